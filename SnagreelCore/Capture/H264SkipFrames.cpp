#include "SnagreelCore/Capture/H264SkipFrames.hpp"

#include "SnagreelCore/Capture/H264Bitstream.hpp"

namespace snagreel {

namespace {

using h264::BitReader;
using h264::unescape;

void appendEscaped(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> rbsp) {
    int zeros = 0;
    for (const std::uint8_t byte : rbsp) {
        if (zeros >= 2 && byte <= 3) {
            out.push_back(3);
            zeros = 0;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        out.push_back(byte);
    }
}

class BitWriter {
public:
    void bits(std::uint32_t value, std::uint32_t count) {
        for (std::uint32_t i = count; i-- > 0;) {
            if (used_ % 8 == 0) {
                bytes_.push_back(0);
            }
            bytes_.back() |= static_cast<std::uint8_t>(((value >> i) & 1U) << (7 - used_ % 8));
            ++used_;
        }
    }
    void unsignedGolomb(std::uint32_t value) {
        const std::uint64_t code = std::uint64_t{value} + 1;
        std::uint32_t length = 0;
        while ((code >> (length + 1)) != 0) {
            ++length;
        }
        bits(0, length);
        bits(1, 1);
        bits(static_cast<std::uint32_t>(code & ((std::uint64_t{1} << length) - 1)), length);
    }
    std::vector<std::uint8_t> finish() {
        bits(1, 1); // rbsp_stop_one_bit, then zeros to the byte boundary
        return std::move(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t used_ = 0;
};

std::uint32_t bigEndian(std::span<const std::uint8_t> bytes) {
    std::uint32_t value = 0;
    for (const std::uint8_t byte : bytes) {
        value = (value << 8) | byte;
    }
    return value;
}

// Visits the NAL units of a 4-byte length-prefixed access unit; false when the
// lengths do not add up to the unit exactly.
template <typename Visit> bool forEachNal(std::span<const std::uint8_t> unit, Visit&& visit) {
    std::size_t at = 0;
    while (at < unit.size()) {
        if (unit.size() - at < 4) {
            return false;
        }
        const std::size_t length = bigEndian(unit.subspan(at, 4));
        if (length == 0 || length > unit.size() - at - 4) {
            return false;
        }
        visit(unit.subspan(at + 4, length));
        at += 4 + length;
    }
    return true;
}

std::span<const std::uint8_t> afterHeader(const std::vector<std::uint8_t>& rbsp) {
    return std::span<const std::uint8_t>(rbsp).subspan(1);
}

bool isSlice(std::span<const std::uint8_t> nal) {
    const int type = nal[0] & 0x1F;
    return type == 1 || type == 5;
}

} // namespace

std::optional<H264SkipFrames> H264SkipFrames::fromAvcC(std::span<const std::uint8_t> avcC) {
    // version, profile, compatibility, level, 0xFC | lengthSizeMinusOne, 0xE0 | SPS count
    if (avcC.size() < 7 || avcC[0] != 1 || (avcC[4] & 3) != 3 || (avcC[5] & 0x1F) == 0) {
        return std::nullopt;
    }
    std::size_t at = 6;
    auto takeUnit = [&]() -> std::optional<std::span<const std::uint8_t>> {
        if (avcC.size() - at < 2) {
            return std::nullopt;
        }
        const std::size_t length = bigEndian(avcC.subspan(at, 2));
        if (length < 2 || avcC.size() - at - 2 < length) {
            return std::nullopt;
        }
        auto unit = avcC.subspan(at + 2, length);
        at += 2 + length;
        return unit;
    };
    auto sps = takeUnit();
    for (int i = 1; sps && i < (avcC[5] & 0x1F); ++i) {
        if (!takeUnit()) {
            return std::nullopt;
        }
    }
    if (!sps || at >= avcC.size() || avcC[at] == 0) {
        return std::nullopt;
    }
    ++at;
    auto pps = takeUnit();
    if (!pps) {
        return std::nullopt;
    }

    H264SkipFrames skip;
    const auto spsBits = unescape(*sps);
    BitReader s{afterHeader(spsBits)};
    const std::uint32_t profile = s.bits(8);
    s.bits(16); // constraint flags, level
    const std::uint32_t spsId = s.unsignedGolomb();
    if (h264::profileHasFormatFields(profile)) {
        const std::uint32_t chromaFormat = s.unsignedGolomb();
        if (chromaFormat == 3) {
            return std::nullopt; // 4:4:4 may code planes separately; never ours
        }
        skip.chroma_ = chromaFormat != 0;
        s.unsignedGolomb(); // bit depths
        s.unsignedGolomb();
        s.bits(1); // qpprime_y_zero_transform_bypass_flag
        if (s.bits(1) != 0) {
            return std::nullopt; // scaling matrices: not worth reading past
        }
    }
    skip.log2MaxFrameNum_ = s.unsignedGolomb() + 4;
    const std::uint32_t pictureOrder = s.unsignedGolomb();
    const std::uint32_t referenceFrames = s.unsignedGolomb();
    s.bits(1); // gaps_in_frame_num_value_allowed_flag
    skip.widthInMbs_ = s.unsignedGolomb() + 1;
    skip.heightInMbs_ = s.unsignedGolomb() + 1;
    const bool progressive = s.bits(1) == 1;
    if (s.failed() || pictureOrder != 2 || referenceFrames != 1 || !progressive ||
        skip.log2MaxFrameNum_ > 16) {
        return std::nullopt;
    }

    const auto ppsBits = unescape(*pps);
    BitReader p{afterHeader(ppsBits)};
    skip.ppsId_ = p.unsignedGolomb();
    const std::uint32_t ppsSpsId = p.unsignedGolomb();
    const bool cabac = p.bits(1) == 1;
    p.bits(1); // bottom_field_pic_order_in_frame_present_flag: fields only
    const std::uint32_t sliceGroups = p.unsignedGolomb() + 1;
    p.unsignedGolomb(); // default reference counts; every skip slice overrides them
    p.unsignedGolomb();
    skip.weightedPrediction_ = p.bits(1) == 1;
    p.bits(2);
    p.signedGolomb(); // initial QP, QS, chroma offset
    p.signedGolomb();
    p.signedGolomb();
    skip.deblockingControl_ = p.bits(1) == 1;
    p.bits(1); // constrained_intra_pred_flag
    skip.redundantPictureCount_ = p.bits(1) == 1;
    if (p.failed() || cabac || sliceGroups != 1 || ppsSpsId != spsId) {
        return std::nullopt;
    }
    return skip;
}

std::vector<std::uint8_t> H264SkipFrames::skipFrame(std::uint32_t frameNum) const {
    BitWriter w;
    w.bits(0x41, 8);     // nal_ref_idc 2, coded slice of a non-IDR picture
    w.unsignedGolomb(0); // first_mb_in_slice
    w.unsignedGolomb(5); // P, and every slice of the picture is P
    w.unsignedGolomb(ppsId_);
    w.bits(frameNum % maxFrameNum(), log2MaxFrameNum_);
    if (redundantPictureCount_) {
        w.unsignedGolomb(0);
    }
    w.bits(1, 1);        // num_ref_idx_active_override_flag:
    w.unsignedGolomb(0); // one reference, the picture before
    w.bits(0, 1);        // ref_pic_list_modification_flag_l0
    if (weightedPrediction_) {
        w.unsignedGolomb(0); // luma_log2_weight_denom
        if (chroma_) {
            w.unsignedGolomb(0);
        }
        w.bits(0, 1); // default weights: plain copy
        if (chroma_) {
            w.bits(0, 1);
        }
    }
    w.bits(0, 1);        // adaptive_ref_pic_marking_mode_flag: sliding window
    w.unsignedGolomb(0); // slice_qp_delta (se 0 and ue 0 share a code)
    if (deblockingControl_) {
        w.unsignedGolomb(1); // disable_deblocking_filter_idc: nothing to filter anyway
    }
    w.unsignedGolomb(widthInMbs_ * heightInMbs_); // mb_skip_run over the whole picture
    const std::vector<std::uint8_t> rbsp = w.finish();

    std::vector<std::uint8_t> unit(4);
    appendEscaped(unit, rbsp);
    const auto length = static_cast<std::uint32_t>(unit.size() - 4);
    for (int i = 0; i < 4; ++i) {
        unit[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    }
    return unit;
}

std::optional<H264SkipFrames::SliceInfo>
H264SkipFrames::inspect(std::span<const std::uint8_t> accessUnit) const {
    std::optional<SliceInfo> info;
    const bool whole = forEachNal(accessUnit, [&](std::span<const std::uint8_t> nal) {
        if (info || !isSlice(nal)) {
            return;
        }
        // The header's first fields fit in a few bytes even when escaped.
        const auto rbsp = unescape(nal.subspan(0, std::min<std::size_t>(nal.size(), 16)));
        BitReader r{afterHeader(rbsp)};
        r.unsignedGolomb();
        r.unsignedGolomb();
        r.unsignedGolomb();
        const std::uint32_t frameNum = r.bits(log2MaxFrameNum_);
        if (!r.failed()) {
            info = SliceInfo{(nal[0] & 0x1F) == 5, frameNum};
        }
    });
    return whole ? info : std::nullopt;
}

bool H264SkipFrames::retimeSlices(std::vector<std::uint8_t>& accessUnit,
                                  std::uint32_t frameNum) const {
    std::vector<std::uint8_t> out;
    out.reserve(accessUnit.size() + 8);
    bool ok = true;
    const bool whole = forEachNal(accessUnit, [&](std::span<const std::uint8_t> nal) {
        const std::size_t start = out.size();
        out.resize(start + 4);
        if (!isSlice(nal)) {
            out.insert(out.end(), nal.begin(), nal.end());
        } else {
            std::vector<std::uint8_t> rbsp = unescape(nal);
            BitReader r{afterHeader(rbsp)};
            r.unsignedGolomb();
            r.unsignedGolomb();
            r.unsignedGolomb();
            const std::size_t position = 8 + r.position();
            r.bits(log2MaxFrameNum_);
            ok = ok && !r.failed();
            const std::uint32_t value = frameNum % maxFrameNum();
            for (std::uint32_t i = 0; ok && i < log2MaxFrameNum_; ++i) {
                const std::size_t bit = position + i;
                const auto mask = static_cast<std::uint8_t>(0x80U >> (bit % 8));
                if (((value >> (log2MaxFrameNum_ - 1 - i)) & 1U) != 0) {
                    rbsp[bit / 8] |= mask;
                } else {
                    rbsp[bit / 8] &= static_cast<std::uint8_t>(~mask);
                }
            }
            appendEscaped(out, rbsp);
        }
        const auto length = static_cast<std::uint32_t>(out.size() - start - 4);
        for (int i = 0; i < 4; ++i) {
            out[start + static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(length >> (24 - 8 * i));
        }
    });
    if (!whole || !ok) {
        return false;
    }
    accessUnit = std::move(out);
    return true;
}

} // namespace snagreel
