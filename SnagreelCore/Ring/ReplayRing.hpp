#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace snagreel {

// One encoded video frame held by the rewind.
template <typename Payload> struct ReplayFrame {
    double timestamp = 0; // presentation time on the monotonic media clock
    double duration = 0;
    std::int64_t byteCount = 0;
    bool isKeyframe = false;
    Payload payload{};
};

// The bounded store of the last minute of compressed frames. It always starts at a
// keyframe, so whatever it holds can be decoded; eviction drops whole groups of
// pictures from the front. No locking: the engine touches it from one queue.
//
// Frames live contiguously from `head_` to the end of `storage_`; the evicted prefix
// is compacted away only once it outweighs the live part, which keeps appends and
// evictions amortised constant time and, once the ring has filled, free of
// allocations.
template <typename Payload> class ReplayRing {
public:
    using Frame = ReplayFrame<Payload>;

    struct Selection {
        std::vector<Frame> frames; // never empty
        double end = 0;
        double endedBeforeTrigger = 0;
    };

    ReplayRing(std::int64_t maximumBytes, double maximumDuration)
        : maximumBytes_(maximumBytes), maximumDuration_(maximumDuration) {}

    std::int64_t maximumBytes() const { return maximumBytes_; }
    double maximumDuration() const { return maximumDuration_; }
    std::int64_t byteCount() const { return byteCount_; }
    std::span<const Frame> frames() const {
        return std::span<const Frame>(storage_).subspan(head_);
    }
    bool empty() const { return head_ == storage_.size(); }

    double span() const {
        if (empty()) {
            return 0;
        }
        const Frame& first = storage_[head_];
        const Frame& last = storage_.back();
        return std::max(0.0, last.timestamp + last.duration - first.timestamp);
    }

    void append(Frame frame) {
        if (frame.byteCount < 1 || !std::isfinite(frame.timestamp) ||
            !std::isfinite(frame.duration) || !(frame.duration > 0)) {
            return;
        }
        if (empty()) {
            if (!frame.isKeyframe) {
                return;
            }
        } else if (!(frame.timestamp > storage_.back().timestamp)) {
            return;
        }
        byteCount_ += frame.byteCount;
        storage_.push_back(std::move(frame));
        evict();
    }

    void removeAll() {
        storage_.clear();
        head_ = 0;
        byteCount_ = 0;
    }

    std::vector<Frame> snapshot(double seconds, double endingAt) const {
        if (!(seconds > 0) || !std::isfinite(seconds) || !std::isfinite(endingAt) || empty()) {
            return {};
        }
        const auto live = frames();
        const double windowStart = endingAt - seconds;
        auto first = std::lower_bound(
            live.begin(), live.end(), windowStart,
            [](const Frame& frame, double time) { return frame.timestamp < time; });
        while (first != live.end() && first->timestamp < endingAt && !first->isKeyframe) {
            ++first;
        }
        if (first == live.end() || !(first->timestamp < endingAt)) {
            return {};
        }
        auto last =
            std::lower_bound(first, live.end(), endingAt, [](const Frame& frame, double time) {
                return frame.timestamp < time;
            });
        return std::vector<Frame>(first, last);
    }

    std::optional<Selection> selection(double seconds, double triggeredAt) const {
        if (!(seconds > 0) || !std::isfinite(seconds) || !std::isfinite(triggeredAt)) {
            return std::nullopt;
        }
        const auto live = frames();
        auto after = std::lower_bound(
            live.begin(), live.end(), triggeredAt,
            [](const Frame& frame, double time) { return frame.timestamp < time; });
        if (after == live.begin()) {
            return std::nullopt;
        }
        const Frame& lastBefore = *(after - 1);
        const double end = std::min(lastBefore.timestamp + lastBefore.duration, triggeredAt);
        const double requestedStart = triggeredAt - std::min(maximumDuration_, seconds);
        auto chosen = snapshot(end - requestedStart, end);
        if (chosen.empty()) {
            return std::nullopt;
        }
        return Selection{std::move(chosen), end, std::max(0.0, triggeredAt - end)};
    }

private:
    void evict() {
        while (byteCount_ > maximumBytes_ || span() > maximumDuration_) {
            std::size_t next = head_ + 1;
            while (next < storage_.size() && !storage_[next].isKeyframe) {
                ++next;
            }
            if (next == storage_.size()) {
                removeAll();
                return;
            }
            for (std::size_t index = head_; index < next; ++index) {
                byteCount_ -= storage_[index].byteCount;
                storage_[index] = Frame{};
            }
            head_ = next;
        }
        if (head_ > 0 && head_ >= storage_.size() - head_) {
            storage_.erase(storage_.begin(), storage_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }

    std::int64_t maximumBytes_;
    double maximumDuration_;
    std::vector<Frame> storage_;
    std::size_t head_ = 0;
    std::int64_t byteCount_ = 0;
};

} // namespace snagreel
