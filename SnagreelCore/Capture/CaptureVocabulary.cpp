#include "SnagreelCore/Capture/CaptureVocabulary.hpp"

#include <array>
#include <utility>

namespace snagreel {

namespace {

constexpr std::array<std::pair<CapturePhase, std::string_view>, 7> kPhaseNames{{
    {CapturePhase::paused, "paused"},
    {CapturePhase::starting, "starting"},
    {CapturePhase::recording, "recording"},
    {CapturePhase::recovering, "recovering"},
    {CapturePhase::suspended, "suspended"},
    {CapturePhase::permissionRequired, "permissionRequired"},
    {CapturePhase::unavailable, "unavailable"},
}};

using Kind = CaptureFailure::Kind;

constexpr std::array<std::pair<Kind, std::string_view>, 7> kKindNames{{
    {Kind::permission, "permission"},
    {Kind::userStopped, "userStopped"},
    {Kind::unclassifiedStop, "unclassifiedStop"},
    {Kind::missingEntitlement, "missingEntitlement"},
    {Kind::transient, "transient"},
    {Kind::sourceUnavailable, "sourceUnavailable"},
    {Kind::other, "other"},
}};

template <typename Value, std::size_t N>
std::string_view nameOf(const std::array<std::pair<Value, std::string_view>, N>& table,
                        Value value) {
    for (const auto& [candidate, name] : table) {
        if (candidate == value) {
            return name;
        }
    }
    return {};
}

template <typename Value, std::size_t N>
std::optional<Value> valueNamed(const std::array<std::pair<Value, std::string_view>, N>& table,
                                std::string_view raw) {
    for (const auto& [value, name] : table) {
        if (name == raw) {
            return value;
        }
    }
    return std::nullopt;
}

// What each classified code stands for when our Linux adapters report it. The
// adapters pick the code whose meaning matches what they saw, so that the
// controller's recovery decisions read the same as on the original platform.
//
// Stream domain (X11 shared-memory stream, kStreamErrorDomain):
//   -3801 permission          X server refused the connection or its authorization, or a
//                             Wayland session without X access (no XWayland, DISPLAY unset)
//   -3803 missingEntitlement  MIT-SHM extension missing, or the shm segment was refused
//                             (ENOSYS/EPERM from shmget)
//   -3804 transient           the X connection could not be opened (error at connect)
//   -3805 transient           the X connection was lost mid-stream (xcb_connection_has_error,
//                             XCB_CONN_ERROR, socket closed)
//   -3811 transient           internal capture error (unexpected X reply error, shm attach
//                             failure)
//   -3813 sourceUnavailable   the window list is unreadable (_NET_CLIENT_LIST or QueryTree
//                             failed)
//   -3814 sourceUnavailable   RandR reports no outputs or no CRTCs
//   -3815 sourceUnavailable   the chosen RandR output is gone or disconnected
//   -3817 userStopped         the user stopped the stream from outside (desktop portal or a
//                             stop action; rare on X11)
//   -3821 transient           the server stopped the stream (screen reset, or a RandR screen
//                             reconfiguration that forces a restart)
//
// Fallback domain (grab session, kAVFoundationErrorDomain):
//   -11836 permission         the display is not readable (XOpenDisplay or GetImage refused)
//   -11852 permission         a read of the unchanged output refused by the live server
//   -11808 sourceUnavailable  read error after the display went away or changed
//   -11814 sourceUnavailable  the session input could not be opened for the display
//   -11845 sourceUnavailable  the output is inactive (no CRTC drives it)
Kind classifyStreamCode(std::int64_t code) {
    switch (code) {
    case StreamErrorCode::userDeclined:
        return Kind::permission;
    case StreamErrorCode::missingEntitlements:
        return Kind::missingEntitlement;
    case StreamErrorCode::connectionInvalid:
    case StreamErrorCode::connectionInterrupted:
    case StreamErrorCode::internalError:
    case StreamErrorCode::systemStoppedStream:
        return Kind::transient;
    case StreamErrorCode::noWindowList:
    case StreamErrorCode::noDisplayList:
    case StreamErrorCode::noCaptureSource:
        return Kind::sourceUnavailable;
    case StreamErrorCode::userStopped:
        return Kind::userStopped;
    default:
        return Kind::other;
    }
}

Kind classifyFallbackCode(std::int64_t code) {
    switch (code) {
    case AVErrorCode::notAuthorized:
    case AVErrorCode::notAuthorizedForDevice:
        return Kind::permission;
    case AVErrorCode::deviceDisconnected:
    case AVErrorCode::deviceNotConnected:
    case AVErrorCode::displayDisabled:
        return Kind::sourceUnavailable;
    default:
        return Kind::other;
    }
}

} // namespace

std::string_view rawValue(CapturePhase phase) {
    return nameOf(kPhaseNames, phase);
}

std::optional<CapturePhase> capturePhaseFromRaw(std::string_view raw) {
    return valueNamed(kPhaseNames, raw);
}

std::string_view rawValue(CaptureFailure::Kind kind) {
    return nameOf(kKindNames, kind);
}

std::optional<CaptureFailure::Kind> captureFailureKindFromRaw(std::string_view raw) {
    return valueNamed(kKindNames, raw);
}

PlatformError streamError(std::int64_t code, std::string message) {
    return PlatformError{kStreamErrorDomain, code, std::move(message)};
}

PlatformError avFoundationError(std::int64_t code, std::string message) {
    return PlatformError{kAVFoundationErrorDomain, code, std::move(message)};
}

CaptureError CaptureError::unavailable(std::string message) {
    CaptureError error;
    error.case_ = Case::unavailable;
    error.message_ = std::move(message);
    return error;
}

CaptureError CaptureError::status(std::string operation, std::int32_t status) {
    CaptureError error;
    error.case_ = Case::status;
    error.operation_ = std::move(operation);
    error.status_ = status;
    return error;
}

std::string CaptureError::errorDescription() const {
    if (case_ == Case::unavailable) {
        return message_;
    }
    return operation_ + " failed (" + std::to_string(status_) + ").";
}

PlatformError CaptureError::platformForm() const {
    return PlatformError{kCaptureErrorDomain, case_ == Case::unavailable ? 0 : 1,
                         errorDescription()};
}

CaptureFailure::CaptureFailure(std::string domain, std::int64_t code, Kind kind,
                               std::string message)
    : domain(std::move(domain)), code(code), kind(kind), message(std::move(message)) {}

CaptureFailure::CaptureFailure(const Error& error) {
    if (const auto* failure = error.as<CaptureFailure>()) {
        *this = *failure;
        return;
    }
    PlatformError platform = error.platformForm();
    kind = classify(platform.domain, platform.code);
    domain = std::move(platform.domain);
    code = platform.code;
    message = std::move(platform.message);
}

bool CaptureFailure::canRetry() const {
    return snagreel::canRetry(kind);
}

bool CaptureFailure::endsRecordingIntent() const {
    return snagreel::endsRecordingIntent(kind);
}

bool canRetry(CaptureFailure::Kind kind) {
    return kind == Kind::transient || kind == Kind::sourceUnavailable;
}

bool endsRecordingIntent(CaptureFailure::Kind kind) {
    return kind == Kind::userStopped || kind == Kind::unclassifiedStop;
}

CaptureFailure::Kind classify(std::string_view domain, std::int64_t code) {
    if (domain == kStreamErrorDomain) {
        return classifyStreamCode(code);
    }
    if (domain == kAVFoundationErrorDomain) {
        return classifyFallbackCode(code);
    }
    return Kind::other;
}

double CaptureRecoveryPolicy::delay(std::int64_t consecutiveFailures) const {
    // An empty table would leave nothing at index 0 for a count of 0 or less.
    if (delays.empty()) {
        return slowDelay;
    }
    if (consecutiveFailures <= static_cast<std::int64_t>(delays.size())) {
        const std::int64_t index = consecutiveFailures - 1 < 0 ? 0 : consecutiveFailures - 1;
        return delays[static_cast<std::size_t>(index)];
    }
    return slowDelay;
}

} // namespace snagreel
