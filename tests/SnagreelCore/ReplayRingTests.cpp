#include "SnagreelCore/Ring/ReplayRing.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <random>

using namespace snagreel;

namespace {

// The payload records which frame it came from, and a shared pointer lets the
// tests see that snapshots share payloads instead of copying them.
using Payload = std::shared_ptr<int>;
using Ring = ReplayRing<Payload>;
using Frame = Ring::Frame;

Frame frame(double timestamp, bool keyframe, std::int64_t bytes = 10, double duration = 1) {
    return Frame{timestamp, duration, bytes, keyframe, std::make_shared<int>(0)};
}

// Frames of `duration` seconds from t = 0, a keyframe every `groupSize`.
void fill(Ring& ring, int count, int groupSize, double duration = 1, std::int64_t bytes = 10) {
    for (int index = 0; index < count; ++index) {
        ring.append(frame(index * duration, index % groupSize == 0, bytes, duration));
    }
}

void expectInvariants(const Ring& ring) {
    const auto frames = ring.frames();
    std::int64_t sum = 0;
    for (std::size_t index = 0; index < frames.size(); ++index) {
        sum += frames[index].byteCount;
        if (index > 0) {
            ASSERT_LT(frames[index - 1].timestamp, frames[index].timestamp);
        }
    }
    if (!frames.empty()) {
        ASSERT_TRUE(frames.front().isKeyframe);
    }
    ASSERT_EQ(sum, ring.byteCount());
    ASSERT_LE(ring.byteCount(), ring.maximumBytes());
    ASSERT_GE(ring.span(), 0);
    ASSERT_LE(ring.span(), ring.maximumDuration());
}

TEST(ReplayRing, RandomAppendsKeepEveryInvariant) {
    std::mt19937_64 random(20261206);
    std::uniform_real_distribution<double> unit(0, 1);
    Ring ring(4000, 10);
    double time = 0;
    std::size_t accepted = 0;
    for (int step = 0; step < 20000; ++step) {
        const double roll = unit(random);
        Frame next =
            frame(time, unit(random) < 0.15, static_cast<std::int64_t>(unit(random) * 600) - 20,
                  unit(random) < 0.02 ? -1 : 0.02 + unit(random));
        if (roll < 0.03) {
            next.timestamp = std::numeric_limits<double>::quiet_NaN();
        } else if (roll < 0.06) {
            next.duration = std::numeric_limits<double>::infinity();
        } else if (roll < 0.10 && !ring.empty()) {
            next.timestamp = ring.frames().back().timestamp; // a repeat
        } else if (roll < 0.12 && !ring.empty()) {
            next.timestamp = ring.frames().back().timestamp - 0.5; // out of order
        } else {
            time += unit(random) * 0.3 + 1e-6;
            next.timestamp = time;
        }
        const auto before = ring.frames().size();
        ring.append(next);
        accepted += ring.frames().size() > before ? 1 : 0;
        expectInvariants(ring);
        if (HasFatalFailure()) {
            FAIL() << "after step " << step;
        }
    }
    EXPECT_GT(accepted, 1000u); // the sequence really exercised eviction
}

TEST(ReplayRing, RejectsFramesThatBreakTheRules) {
    Ring ring(1000, 60);
    ring.append(frame(0, false));
    EXPECT_TRUE(ring.empty()) << "a ring never starts at a non-keyframe";
    ring.append(frame(0, true));
    ASSERT_EQ(ring.frames().size(), 1u);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Frame rejected[] = {
        frame(0, false),          // same timestamp as the last frame
        frame(-1, true),          // earlier
        frame(1, false, 0),       // no bytes
        frame(1, false, -5),      // negative bytes
        frame(1, false, 10, 0),   // zero duration
        frame(1, false, 10, -1),  // negative duration
        frame(1, false, 10, inf), // infinite duration
        frame(1, false, 10, nan), // NaN duration
        frame(nan, false),        // NaN timestamp
        frame(inf, false),        // infinite timestamp
    };
    for (const auto& bad : rejected) {
        ring.append(bad);
    }
    EXPECT_EQ(ring.frames().size(), 1u);
    EXPECT_EQ(ring.byteCount(), 10);
}

TEST(ReplayRing, EvictsWholeGroupsToStayWithinTheDuration) {
    Ring ring(1 << 20, 10);
    for (int index = 0; index < 15; ++index) {
        ring.append(frame(index, index % 2 == 0));
        expectInvariants(ring);
    }
    EXPECT_LE(ring.span(), 10);
    EXPECT_TRUE(ring.frames().front().isKeyframe);
    EXPECT_EQ(ring.frames().front().timestamp, 6);
    EXPECT_EQ(ring.frames().back().timestamp, 14);
}

TEST(ReplayRing, EmptiesWhenNoLaterKeyframeCanTakeOver) {
    Ring oversized(100, 60);
    oversized.append(frame(0, true, 101));
    EXPECT_TRUE(oversized.empty());
    EXPECT_EQ(oversized.byteCount(), 0);

    Ring longGroup(1 << 20, 5);
    for (int index = 0; index < 6; ++index) {
        longGroup.append(frame(index, index == 0));
    }
    EXPECT_TRUE(longGroup.empty()) << "the span passed 5 s with only the first keyframe";
    longGroup.append(frame(10, false));
    EXPECT_TRUE(longGroup.empty());
    longGroup.append(frame(11, true));
    EXPECT_EQ(longGroup.frames().size(), 1u);
}

TEST(ReplayRing, BytesAreCheckedBeforeDuration) {
    Ring ring(50, 60);
    fill(ring, 12, 3, 1, 10); // 120 bytes offered, groups of 30
    expectInvariants(ring);
    EXPECT_EQ(ring.byteCount(), 30);
    EXPECT_EQ(ring.frames().front().timestamp, 9);
}

TEST(ReplayRing, SnapshotStartsAtAKeyframeInsideTheWindow) {
    Ring ring(1 << 20, 60);
    fill(ring, 20, 5); // keyframes at 0, 5, 10, 15
    EXPECT_TRUE(ring.snapshot(0, 20).empty());
    EXPECT_TRUE(ring.snapshot(-3, 20).empty());
    EXPECT_TRUE(ring.snapshot(std::numeric_limits<double>::infinity(), 20).empty());
    EXPECT_TRUE(ring.snapshot(3, std::numeric_limits<double>::quiet_NaN()).empty());
    EXPECT_TRUE(ring.snapshot(3, 10).empty()) << "frames 7-9 but no keyframe";

    const auto window = ring.snapshot(8, 14);
    ASSERT_EQ(window.size(), 4u);
    EXPECT_EQ(window.front().timestamp, 10);
    EXPECT_EQ(window.back().timestamp, 13);
    EXPECT_EQ(window.front().payload, ring.frames()[10].payload) << "payloads are shared";
    EXPECT_EQ(ring.frames().size(), 20u) << "a snapshot leaves the ring alone";

    EXPECT_EQ(ring.snapshot(1000, 100).size(), 20u);
    EXPECT_TRUE(ring.snapshot(100, 1000).empty()) << "the window lies after every frame";
}

TEST(ReplayRing, SelectionEndsAtTheTriggerAndIsCutToTheBudget) {
    Ring ring(1 << 20, 60);
    EXPECT_FALSE(ring.selection(10, 5));
    fill(ring, 100, 15, 1); // keyframes every 15 s; the 60 s budget keeps 45..99
    ASSERT_EQ(ring.frames().front().timestamp, 45);
    EXPECT_FALSE(ring.selection(10, 30)) << "trigger before the first frame";
    EXPECT_FALSE(ring.selection(10, 45)) << "a frame exactly at the trigger is not before it";
    EXPECT_FALSE(ring.selection(0, 50));
    EXPECT_FALSE(ring.selection(std::numeric_limits<double>::quiet_NaN(), 50));

    // The last frame before 50.5 runs to 51, past the trigger.
    auto cut = ring.selection(20, 50.5);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->end, 50.5);
    EXPECT_EQ(cut->endedBeforeTrigger, 0);
    EXPECT_EQ(cut->frames.front().timestamp, 45);
    EXPECT_EQ(cut->frames.back().timestamp, 50);

    // Frames stopped at 99 (+1 s); the trigger is 3 s later.
    auto late = ring.selection(30, 103);
    ASSERT_TRUE(late);
    EXPECT_EQ(late->end, 100);
    EXPECT_EQ(late->endedBeforeTrigger, 3);
    EXPECT_EQ(late->frames.front().timestamp, 75);

    // Asking for 120 s is asking for the 60 s budget: from 40 on.
    auto longest = ring.selection(120, 100);
    ASSERT_TRUE(longest);
    EXPECT_EQ(longest->frames.front().timestamp, 45) << "first keyframe at or after 40";
    EXPECT_EQ(longest->frames.size(), 55u);
}

TEST(ReplayRing, RemoveAllKeepsTheBudgets) {
    Ring ring(500, 30);
    fill(ring, 10, 2);
    ring.removeAll();
    EXPECT_TRUE(ring.empty());
    EXPECT_EQ(ring.byteCount(), 0);
    EXPECT_EQ(ring.span(), 0);
    EXPECT_EQ(ring.maximumBytes(), 500);
    EXPECT_EQ(ring.maximumDuration(), 30);
    ring.append(frame(100, true));
    EXPECT_EQ(ring.frames().size(), 1u);
}

} // namespace
