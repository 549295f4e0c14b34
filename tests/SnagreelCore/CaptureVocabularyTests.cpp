#include "SnagreelCore/Capture/CaptureVocabulary.hpp"

#include <gtest/gtest.h>

namespace snagreel {
namespace {

using Kind = CaptureFailure::Kind;

TEST(CaptureFailureTest, OneRowPerKindFromClassificationToBehaviour) {
    struct Row {
        const char* domain; // null: no error classifies as this kind
        std::int64_t code;
        Kind kind;
        const char* raw;
        bool retry;
        bool endsIntent;
    };
    const Row rows[] = {
        {kStreamErrorDomain, -3801, Kind::permission, "permission", false, false},
        {kAVFoundationErrorDomain, -11836, Kind::permission, "permission", false, false},
        {kStreamErrorDomain, -3803, Kind::missingEntitlement, "missingEntitlement", false, false},
        {kStreamErrorDomain, -3805, Kind::transient, "transient", true, false},
        {kAVFoundationErrorDomain, -11845, Kind::sourceUnavailable, "sourceUnavailable", true,
         false},
        {kStreamErrorDomain, -3817, Kind::userStopped, "userStopped", false, true},
        {nullptr, 0, Kind::unclassifiedStop, "unclassifiedStop", false, true},
        // Codes compare signed and domains exactly: neither twin means anything.
        {kStreamErrorDomain, 3801, Kind::other, "other", false, false},
        {"avfoundationerrordomain", -11836, Kind::other, "other", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.raw) + " " + std::to_string(row.code));
        if (row.domain != nullptr) {
            EXPECT_EQ(classify(row.domain, row.code), row.kind);
            EXPECT_EQ(CaptureFailure(Error(PlatformError{row.domain, row.code, "It broke."})),
                      CaptureFailure(row.domain, row.code, row.kind, "It broke."));
        }
        const CaptureFailure failure("d", 1, row.kind, "m");
        EXPECT_EQ(failure.canRetry(), row.retry);
        EXPECT_EQ(failure.endsRecordingIntent(), row.endsIntent);
        EXPECT_EQ(captureFailureKindFromRaw(rawValue(row.kind)), row.kind);
        EXPECT_EQ(rawValue(row.kind), row.raw);
    }
    EXPECT_EQ(captureFailureKindFromRaw("Transient"), std::nullopt);
    EXPECT_EQ(capturePhaseFromRaw(rawValue(CapturePhase::permissionRequired)),
              CapturePhase::permissionRequired);
    EXPECT_EQ(capturePhaseFromRaw("permissionrequired"), std::nullopt);
}

TEST(CaptureFailureTest, WrappedErrorsKeepTheirKindAndSentence) {
    // Its domain and code would classify as permission; the kind it has must win.
    const CaptureFailure original(kStreamErrorDomain, -3801, Kind::transient, "Retry me.");
    EXPECT_EQ(CaptureFailure(Error(original)), original);
    EXPECT_EQ(CaptureFailure(Error(streamError(-3805, "Lost the X server."))).kind,
              Kind::transient);

    // An engine's own error is not retried.
    const CaptureFailure fromStatus{Error(CaptureError::status("Video encoding", INT32_MIN))};
    EXPECT_EQ(fromStatus.domain, kCaptureErrorDomain);
    EXPECT_EQ(fromStatus.kind, Kind::other);
    EXPECT_EQ(fromStatus.message, "Video encoding failed (-2147483648).");
    // Kept exactly, without added punctuation, even when it isn't a sentence.
    EXPECT_EQ(CaptureFailure(Error(CaptureError::unavailable("no display"))).errorDescription(),
              "no display");
}

TEST(CaptureRecoveryPolicyTest, DelaySequence) {
    const CaptureRecoveryPolicy policy;
    const std::pair<std::int64_t, double> rows[] = {{1, 1}, {2, 15}, {4, 60}, {9, 60}, {-3, 1}};
    for (const auto& [count, delay] : rows) {
        EXPECT_EQ(policy.delay(count), delay) << count;
    }
    CaptureRecoveryPolicy empty;
    empty.delays.clear();
    empty.slowDelay = 45;
    for (std::int64_t count : {-1, 0, 1, 100}) {
        EXPECT_EQ(empty.delay(count), 45) << count;
    }
}

} // namespace
} // namespace snagreel
