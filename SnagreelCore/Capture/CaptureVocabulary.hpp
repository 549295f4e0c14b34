#pragma once

#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Support/Error.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snagreel {

enum class CapturePhase {
    paused,
    starting,
    recording,
    recovering,
    suspended,
    permissionRequired,
    unavailable,
};
std::string_view rawValue(CapturePhase phase);
std::optional<CapturePhase> capturePhaseFromRaw(std::string_view raw);

// Error domains the classifier knows. The stream domain is the primary backend's
// (the X11 shared-memory stream); the fallback domain is the grab session's.
// Their string values are kept as stored logs and peers know them.
inline constexpr const char* kStreamErrorDomain = "com.apple.ScreenCaptureKit.SCStreamErrorDomain";
inline constexpr const char* kAVFoundationErrorDomain = "AVFoundationErrorDomain";
inline constexpr const char* kCaptureDomain = "Snagreel.Capture";
inline constexpr const char* kAVFallbackDomain = "Snagreel.AVFoundation";
inline constexpr const char* kCaptureErrorDomain = "Snagreel.CaptureError";

// Errors in the two classified domains, as the Linux adapters report them. The
// classifier's comment says which Linux situation each code stands for.
PlatformError streamError(std::int64_t code, std::string message);
PlatformError avFoundationError(std::int64_t code, std::string message);

// Codes of the stream domain (see the classifier for what each means on Linux).
namespace StreamErrorCode {
inline constexpr std::int64_t userDeclined = -3801;
inline constexpr std::int64_t missingEntitlements = -3803;
inline constexpr std::int64_t connectionInvalid = -3804;
inline constexpr std::int64_t connectionInterrupted = -3805;
inline constexpr std::int64_t internalError = -3811;
inline constexpr std::int64_t noWindowList = -3813;
inline constexpr std::int64_t noDisplayList = -3814;
inline constexpr std::int64_t noCaptureSource = -3815;
inline constexpr std::int64_t userStopped = -3817;
inline constexpr std::int64_t systemStoppedStream = -3821;
} // namespace StreamErrorCode

// Codes of the fallback session's domain.
namespace AVErrorCode {
inline constexpr std::int64_t notAuthorized = -11836;
inline constexpr std::int64_t notAuthorizedForDevice = -11852;
inline constexpr std::int64_t deviceDisconnected = -11808;
inline constexpr std::int64_t deviceNotConnected = -11814;
inline constexpr std::int64_t displayDisabled = -11845;
} // namespace AVErrorCode

// The two-case error capture operations fail with.
class CaptureError {
public:
    enum class Case { unavailable, status };

    static CaptureError unavailable(std::string message);
    static CaptureError status(std::string operation, std::int32_t status);

    Case kind() const { return case_; }
    const std::string& message() const { return message_; }     // unavailable
    const std::string& operation() const { return operation_; } // status
    std::int32_t statusCode() const { return status_; }         // status
    std::string errorDescription() const;
    // Domain kCaptureErrorDomain; code 0 for unavailable, 1 for status.
    PlatformError platformForm() const;

    bool operator==(const CaptureError&) const = default;

private:
    Case case_ = Case::unavailable;
    std::string message_;
    std::string operation_;
    std::int32_t status_ = 0;
};

struct CaptureFailure {
    enum class Kind {
        permission,
        userStopped,
        unclassifiedStop,
        missingEntitlement,
        transient,
        sourceUnavailable,
        other,
    };

    std::string domain;
    std::int64_t code = 0;
    Kind kind = Kind::other;
    std::string message;

    CaptureFailure() = default;
    CaptureFailure(std::string domain, std::int64_t code, Kind kind, std::string message);
    // Classifies any error; a wrapped CaptureFailure comes back unchanged.
    explicit CaptureFailure(const Error& error);

    bool canRetry() const;
    bool endsRecordingIntent() const;
    const std::string& errorDescription() const { return message; }
    PlatformError platformForm() const { return {domain, code, message}; }

    bool operator==(const CaptureFailure&) const = default;
};
std::string_view rawValue(CaptureFailure::Kind kind);
std::optional<CaptureFailure::Kind> captureFailureKindFromRaw(std::string_view raw);
bool canRetry(CaptureFailure::Kind kind);
bool endsRecordingIntent(CaptureFailure::Kind kind);
// The kind the classification table gives a (domain, code) pair.
CaptureFailure::Kind classify(std::string_view domain, std::int64_t code);

struct CaptureEngineStatus {
    double seconds = 0;
    std::int64_t bytes = 0;
    std::optional<CaptureFailure> failure;
    bool running = false;
    bool sourceAvailable = false;
    std::optional<CaptureSource> source;
    double healthySourceSeconds = 0;
    // The libavcodec encoder in use ("libx264", "h264_vaapi", ...); empty before one runs.
    std::string encoderName;

    bool operator==(const CaptureEngineStatus&) const = default;
};

struct CaptureRecoveryPolicy {
    std::vector<double> delays{1, 15, 30, 60};
    double slowDelay = 60;
    double stableSourceSeconds = 600;

    // Delay before the n-th consecutive automatic retry (n counted from 1).
    double delay(std::int64_t consecutiveFailures) const;

    bool operator==(const CaptureRecoveryPolicy&) const = default;
};

} // namespace snagreel
