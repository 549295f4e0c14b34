#pragma once

// Reading H.264 parameter sets and slice headers: the RBSP of a NAL unit and the
// bit reader over it. Shared by the encoder (which reads the stream format of the
// SPS it made) and the frames written without it.

#include <cstdint>
#include <span>
#include <vector>

namespace snagreel::h264 {

// The RBSP of a NAL unit (header byte included) without emulation prevention bytes.
inline std::vector<std::uint8_t> unescape(std::span<const std::uint8_t> nal) {
    std::vector<std::uint8_t> out;
    out.reserve(nal.size());
    int zeros = 0;
    for (const std::uint8_t byte : nal) {
        if (zeros >= 2 && byte == 3) {
            zeros = 0;
            continue;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out.push_back(byte);
    }
    return out;
}

class BitReader {
public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t position() const { return position_; }
    bool failed() const { return failed_; }

    std::uint32_t bits(std::uint32_t count) {
        std::uint32_t value = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (position_ >= bytes_.size() * 8) {
                failed_ = true;
                return 0;
            }
            value = (value << 1) | ((bytes_[position_ / 8] >> (7 - position_ % 8)) & 1U);
            ++position_;
        }
        return value;
    }
    std::uint32_t unsignedGolomb() {
        std::uint32_t zeros = 0;
        while (bits(1) == 0 && !failed_) {
            if (++zeros > 31) {
                failed_ = true;
                return 0;
            }
        }
        return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + bits(zeros));
    }
    std::int32_t signedGolomb() {
        const std::uint32_t code = unsignedGolomb();
        const auto magnitude = static_cast<std::int32_t>((code + 1) / 2);
        return code % 2 == 1 ? magnitude : -magnitude;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    bool failed_ = false;
};

// Profiles whose SPS carries chroma_format_idc and the bit depths.
inline bool profileHasFormatFields(std::uint32_t profile) {
    switch (profile) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
        return true;
    default:
        return false;
    }
}

} // namespace snagreel::h264
