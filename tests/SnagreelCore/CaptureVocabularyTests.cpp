#include "SnagreelCore/Capture/CaptureVocabulary.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace snagreel {
namespace {

using Kind = CaptureFailure::Kind;

struct ClassificationCase {
    const char* domain;
    std::int64_t code;
    Kind expected;
};

std::ostream& operator<<(std::ostream& out, const ClassificationCase& c) {
    return out << c.domain << " " << c.code;
}

class ClassificationTest : public testing::TestWithParam<ClassificationCase> {};

TEST_P(ClassificationTest, ClassifiesDomainAndCode) {
    const auto& c = GetParam();
    EXPECT_EQ(classify(c.domain, c.code), c.expected);

    const CaptureFailure failure(Error(PlatformError{c.domain, c.code, "It broke."}));
    EXPECT_EQ(failure, CaptureFailure(c.domain, c.code, c.expected, "It broke."));
}

INSTANTIATE_TEST_SUITE_P(
    StreamDomain, ClassificationTest,
    testing::Values(ClassificationCase{kStreamErrorDomain, -3801, Kind::permission},
                    ClassificationCase{kStreamErrorDomain, -3803, Kind::missingEntitlement},
                    ClassificationCase{kStreamErrorDomain, -3804, Kind::transient},
                    ClassificationCase{kStreamErrorDomain, -3805, Kind::transient},
                    ClassificationCase{kStreamErrorDomain, -3811, Kind::transient},
                    ClassificationCase{kStreamErrorDomain, -3813, Kind::sourceUnavailable},
                    ClassificationCase{kStreamErrorDomain, -3814, Kind::sourceUnavailable},
                    ClassificationCase{kStreamErrorDomain, -3815, Kind::sourceUnavailable},
                    ClassificationCase{kStreamErrorDomain, -3817, Kind::userStopped},
                    ClassificationCase{kStreamErrorDomain, -3821, Kind::transient},
                    // Neighbours of listed codes.
                    ClassificationCase{kStreamErrorDomain, -3800, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3802, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3806, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3807, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3808, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3809, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3810, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3812, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3816, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3818, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3819, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3820, Kind::other},
                    ClassificationCase{kStreamErrorDomain, -3822, Kind::other},
                    // Signed comparison: the positive twin is not the same code.
                    ClassificationCase{kStreamErrorDomain, 3801, Kind::other},
                    ClassificationCase{kStreamErrorDomain, 0, Kind::other}));

INSTANTIATE_TEST_SUITE_P(
    FallbackDomain, ClassificationTest,
    testing::Values(ClassificationCase{kAVFoundationErrorDomain, -11836, Kind::permission},
                    ClassificationCase{kAVFoundationErrorDomain, -11852, Kind::permission},
                    ClassificationCase{kAVFoundationErrorDomain, -11808, Kind::sourceUnavailable},
                    ClassificationCase{kAVFoundationErrorDomain, -11814, Kind::sourceUnavailable},
                    ClassificationCase{kAVFoundationErrorDomain, -11845, Kind::sourceUnavailable},
                    ClassificationCase{kAVFoundationErrorDomain, -11815, Kind::other},
                    ClassificationCase{kAVFoundationErrorDomain, -11837, Kind::other},
                    ClassificationCase{kAVFoundationErrorDomain, -11853, Kind::other},
                    // A stream code in the fallback domain means nothing there.
                    ClassificationCase{kAVFoundationErrorDomain, -3801, Kind::other}));

INSTANTIATE_TEST_SUITE_P(
    OtherDomains, ClassificationTest,
    testing::Values(ClassificationCase{kPosixDomain, -3801, Kind::other},
                    ClassificationCase{kPosixDomain, 1, Kind::other},
                    ClassificationCase{kCaptureDomain, -3817, Kind::other},
                    ClassificationCase{kAVFallbackDomain, -11836, Kind::other},
                    ClassificationCase{kCaptureErrorDomain, 0, Kind::other},
                    // Domains compare exactly, not by prefix or case.
                    ClassificationCase{"AVFoundationErrorDomainX", -11836, Kind::other},
                    ClassificationCase{"avfoundationerrordomain", -11836, Kind::other},
                    ClassificationCase{"", -3801, Kind::other}));

TEST(CaptureFailureTest, WrappedFailureComesBackUnchanged) {
    // Its domain and code would classify as permission; the kind it has must win.
    const CaptureFailure original(kStreamErrorDomain, -3801, Kind::transient, "Retry me.");
    const Error wrapped(original);
    EXPECT_EQ(wrapped.domain(), kStreamErrorDomain);
    EXPECT_EQ(wrapped.description(), "Retry me.");
    EXPECT_EQ(CaptureFailure(wrapped), original);

    const CaptureFailure stopped(kCaptureDomain, 7, Kind::unclassifiedStop, "Stopped.");
    EXPECT_EQ(CaptureFailure(Error(stopped)), stopped);
}

TEST(CaptureFailureTest, CaptureErrorBecomesNonRetryableOther) {
    const auto status = CaptureError::status("Video encoding", -12902);
    const CaptureFailure fromStatus{Error(status)};
    EXPECT_EQ(fromStatus.domain, kCaptureErrorDomain);
    EXPECT_EQ(fromStatus.kind, Kind::other);
    EXPECT_EQ(fromStatus.message, "Video encoding failed (-12902).");
    EXPECT_FALSE(fromStatus.canRetry());

    const CaptureFailure fromUnavailable{Error(CaptureError::unavailable("No display."))};
    EXPECT_EQ(fromUnavailable.domain, kCaptureErrorDomain);
    EXPECT_EQ(fromUnavailable.kind, Kind::other);
    EXPECT_EQ(fromUnavailable.errorDescription(), "No display.");
}

TEST(CaptureFailureTest, AdapterHelpersBuildClassifiedErrors) {
    EXPECT_EQ(CaptureFailure(Error(streamError(-3805, "Lost the X server."))).kind,
              Kind::transient);
    EXPECT_EQ(CaptureFailure(Error(avFoundationError(-11836, "Display not readable."))).kind,
              Kind::permission);
    EXPECT_EQ(streamError(-3815, "Gone.").domain, kStreamErrorDomain);
    EXPECT_EQ(avFoundationError(-11845, "Off.").domain, kAVFoundationErrorDomain);
}

TEST(CaptureFailureTest, DerivedPropertiesPerKind) {
    struct Row {
        Kind kind;
        const char* raw;
        bool retry;
        bool endsIntent;
    };
    const Row rows[] = {
        {Kind::permission, "permission", false, false},
        {Kind::userStopped, "userStopped", false, true},
        {Kind::unclassifiedStop, "unclassifiedStop", false, true},
        {Kind::missingEntitlement, "missingEntitlement", false, false},
        {Kind::transient, "transient", true, false},
        {Kind::sourceUnavailable, "sourceUnavailable", true, false},
        {Kind::other, "other", false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.raw);
        const CaptureFailure failure("d", 1, row.kind, "m");
        EXPECT_EQ(failure.canRetry(), row.retry);
        EXPECT_EQ(failure.endsRecordingIntent(), row.endsIntent);
        EXPECT_EQ(rawValue(row.kind), row.raw);
        EXPECT_EQ(captureFailureKindFromRaw(row.raw), row.kind);
    }
    EXPECT_EQ(captureFailureKindFromRaw("Transient"), std::nullopt);
    EXPECT_EQ(captureFailureKindFromRaw(""), std::nullopt);
}

TEST(CaptureFailureTest, EqualityCoversAllFourFields) {
    const CaptureFailure base("d", 1, Kind::other, "m");
    EXPECT_NE(base, CaptureFailure("e", 1, Kind::other, "m"));
    EXPECT_NE(base, CaptureFailure("d", 2, Kind::other, "m"));
    EXPECT_NE(base, CaptureFailure("d", 1, Kind::transient, "m"));
    EXPECT_NE(base, CaptureFailure("d", 1, Kind::other, "n"));
    EXPECT_EQ(base.platformForm(), (PlatformError{"d", 1, "m"}));
}

TEST(CapturePhaseTest, RawValuesRoundTripAndRejectOthers) {
    const std::pair<CapturePhase, const char*> rows[] = {
        {CapturePhase::paused, "paused"},
        {CapturePhase::starting, "starting"},
        {CapturePhase::recording, "recording"},
        {CapturePhase::recovering, "recovering"},
        {CapturePhase::suspended, "suspended"},
        {CapturePhase::permissionRequired, "permissionRequired"},
        {CapturePhase::unavailable, "unavailable"},
    };
    for (const auto& [phase, raw] : rows) {
        EXPECT_EQ(rawValue(phase), raw);
        EXPECT_EQ(capturePhaseFromRaw(raw), phase);
    }
    for (const char* raw : {"Paused", "PAUSED", "paused ", "", "permissionrequired"}) {
        EXPECT_EQ(capturePhaseFromRaw(raw), std::nullopt) << raw;
    }
}

TEST(CaptureErrorTest, Descriptions) {
    EXPECT_EQ(CaptureError::status("Configuring H.264 encoder", 0).errorDescription(),
              "Configuring H.264 encoder failed (0).");
    EXPECT_EQ(CaptureError::status("Video encoding", -12903).errorDescription(),
              "Video encoding failed (-12903).");
    EXPECT_EQ(CaptureError::status("Video encoding", INT32_MIN).errorDescription(),
              "Video encoding failed (-2147483648).");
    // Kept exactly, without added punctuation, even when it isn't a sentence.
    EXPECT_EQ(CaptureError::unavailable("no display").errorDescription(), "no display");
    EXPECT_EQ(CaptureError::unavailable("").errorDescription(), "");

    const auto status = CaptureError::status("Preparing H.264 encoder", -1);
    EXPECT_EQ(status.platformForm(),
              (PlatformError{kCaptureErrorDomain, 1, "Preparing H.264 encoder failed (-1)."}));
    EXPECT_EQ(CaptureError::unavailable("x").platformForm().code, 0);
    EXPECT_NE(CaptureError::unavailable("x"), CaptureError::status("x", 0));
}

TEST(CaptureRecoveryPolicyTest, DelaySequence) {
    const CaptureRecoveryPolicy policy;
    const std::pair<std::int64_t, double> rows[] = {
        {1, 1}, {2, 15}, {3, 30}, {4, 60}, {5, 60}, {9, 60}, {0, 1}, {-3, 1},
    };
    for (const auto& [count, delay] : rows) {
        EXPECT_EQ(policy.delay(count), delay) << count;
    }

    CaptureRecoveryPolicy custom;
    custom.delays = {2, 4};
    custom.slowDelay = 120;
    EXPECT_EQ(custom.delay(2), 4);
    EXPECT_EQ(custom.delay(3), 120);

    CaptureRecoveryPolicy empty;
    empty.delays.clear();
    empty.slowDelay = 45;
    for (std::int64_t count : {-1, 0, 1, 2, 100}) {
        EXPECT_EQ(empty.delay(count), 45) << count;
    }
}

} // namespace
} // namespace snagreel
