#include "SnagreelCore/Capture/CapturePlatform.hpp"

#include "SnagreelCore/Capture/CaptureVocabulary.hpp"

#include <atomic>
#include <utility>

namespace snagreel {

namespace {

// Passes everything through; remembers a failure for the factory.
class CandidateEncoder final : public VideoEncoder {
public:
    CandidateEncoder(std::unique_ptr<VideoEncoder> inner, std::shared_ptr<std::atomic<bool>> failed)
        : inner_(std::move(inner)), failed_(std::move(failed)) {}

    std::int32_t encode(const ScreenImage& image, std::int64_t presentationTime,
                        std::int64_t duration, bool forceKeyframe) override {
        return inner_->encode(image, presentationTime, duration, forceKeyframe);
    }
    void completeFrames(std::int64_t until) override { inner_->completeFrames(until); }
    void invalidate() override { inner_->invalidate(); }
    std::string name() const override { return inner_->name(); }
    void markFailed() override {
        if (failed_) {
            failed_->store(true);
        }
        inner_->markFailed();
    }

private:
    std::unique_ptr<VideoEncoder> inner_;
    std::shared_ptr<std::atomic<bool>> failed_;
};

} // namespace

EncoderFactory fallingBackEncoderFactory(std::vector<EncoderFactory> candidates) {
    struct Candidate {
        EncoderFactory make;
        // None for the last: there is nothing to fall back to.
        std::shared_ptr<std::atomic<bool>> failed;
    };
    auto list = std::make_shared<std::vector<Candidate>>();
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        list->push_back(Candidate{
            std::move(candidates[i]),
            i + 1 < candidates.size() ? std::make_shared<std::atomic<bool>>(false) : nullptr});
    }
    return [list](const EncoderSettings& settings, std::function<void(EncoderOutput)> onOutput)
               -> Result<std::unique_ptr<VideoEncoder>> {
        Result<std::unique_ptr<VideoEncoder>> last =
            Unexpected{Error(CaptureError::status("Creating hardware H.264 encoder", -1))};
        for (const Candidate& candidate : *list) {
            if ((candidate.failed && candidate.failed->load()) || !candidate.make) {
                continue;
            }
            last = candidate.make(settings, onOutput);
            if (last) {
                return std::unique_ptr<VideoEncoder>(
                    std::make_unique<CandidateEncoder>(std::move(*last), candidate.failed));
            }
        }
        return last;
    };
}

} // namespace snagreel
