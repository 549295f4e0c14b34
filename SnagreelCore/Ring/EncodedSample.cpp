#include "SnagreelCore/Ring/EncodedSample.hpp"

extern "C" {
#include <libavcodec/packet.h>
}

namespace snagreel {

const std::uint8_t* EncodedSample::data() const {
    return packet ? packet->data : nullptr;
}

std::int64_t EncodedSample::size() const {
    return packet ? packet->size : 0;
}

bool EncodedSample::isKeyframe() const {
    return packet && (packet->flags & AV_PKT_FLAG_KEY) != 0;
}

EncodedSample EncodedSample::referencing(const AVPacket& source,
                                         std::shared_ptr<const CodecParameters> format,
                                         std::int64_t presentationTime, std::int64_t duration) {
    EncodedSample sample;
    AVPacket* copy = av_packet_alloc();
    if (copy != nullptr && av_packet_ref(copy, &source) == 0) {
        sample.packet = std::shared_ptr<const AVPacket>(copy, [](const AVPacket* p) {
            AVPacket* owned = const_cast<AVPacket*>(p);
            av_packet_free(&owned);
        });
    } else if (copy != nullptr) {
        av_packet_free(&copy);
    }
    sample.format = std::move(format);
    sample.presentationTime = presentationTime;
    sample.duration = duration;
    return sample;
}

} // namespace snagreel
