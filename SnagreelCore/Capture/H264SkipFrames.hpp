#pragma once

// Frames that repeat the previous picture without an encoder.
//
// A P slice whose macroblocks are all skipped (one mb_skip_run over the picture)
// decodes to exactly the picture before it: every P_Skip motion vector is predicted
// from neighbours that are themselves skipped with a zero vector, there are no
// residuals, and so no edge is filtered. Writing one takes only the slice header
// fields the stream's SPS/PPS fix.
//
// Inserted frames are reference frames with consecutive frame_num values, so the
// encoder's later slices must carry frame_num values that continue after them:
// retimeSlices() rewrites the fixed-width field in each slice of a packet. That
// keeps the decoder's reference in step with the encoder's only while the stream
// has a single reference frame (the one reference is always "the picture before"),
// picture order follows frame_num (pic_order_cnt_type 2) and entropy coding is
// CAVLC; other streams are refused by fromAvcC().

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace snagreel {

class H264SkipFrames {
public:
    // Reads the first SPS and PPS of an avcC record; none when the stream is not of
    // the form described above (CABAC, several reference frames, interlace, slice
    // groups, picture order other than type 2, 4-byte NAL lengths missing).
    static std::optional<H264SkipFrames> fromAvcC(std::span<const std::uint8_t> avcC);

    std::uint32_t maxFrameNum() const { return 1U << log2MaxFrameNum_; }

    // One length-prefixed access unit: a single all-skip P slice with `frameNum`.
    std::vector<std::uint8_t> skipFrame(std::uint32_t frameNum) const;

    // What a length-prefixed access unit holds, read from its first slice; none
    // when it holds no readable slice.
    struct SliceInfo {
        bool idr = false;
        std::uint32_t frameNum = 0;
    };
    std::optional<SliceInfo> inspect(std::span<const std::uint8_t> accessUnit) const;

    // Sets frame_num of every slice in a length-prefixed access unit (NAL lengths
    // are rewritten when escaping changes a slice's size). False, with the unit
    // untouched, when a slice cannot be read.
    bool retimeSlices(std::vector<std::uint8_t>& accessUnit, std::uint32_t frameNum) const;

private:
    std::uint32_t ppsId_ = 0;
    std::uint32_t log2MaxFrameNum_ = 4;
    std::uint32_t widthInMbs_ = 0;
    std::uint32_t heightInMbs_ = 0;
    bool weightedPrediction_ = false;
    bool deblockingControl_ = false;
    bool redundantPictureCount_ = false;
    bool chroma_ = true;
};

} // namespace snagreel
