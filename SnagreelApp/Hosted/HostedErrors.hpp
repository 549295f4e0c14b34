#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <cstdint>

namespace snagreel::app {

// Failures of the hosted report service protocol. Each case's message is the
// sentence the user sees.
struct HostedServiceError {
    enum class Case {
        rejected,
        notConfigured,
        invalidServiceURL,
        invalidResponse,
        signInRequired,
        pairingExpired,
        redirectRejected,
        serviceUnavailable,
        uploadFailed,
        revokedLocallyOnly,
        invalidCapture,
        inputTooLarge,
    };
    Case kind = Case::invalidResponse;
    std::int32_t status = 0; // the HTTP status of `rejected`; 0 otherwise

    static HostedServiceError rejected(std::int32_t status) { return {Case::rejected, status}; }

    bool operator==(const HostedServiceError&) const = default;
    std::string message() const;
    PlatformError platformForm() const;
};

// Why a saved clip could not be prepared for upload.
struct HostedVideoError {
    enum class Case { invalidRecording, decodeFailed, recordingChanged, anchorTooLarge };
    Case kind = Case::invalidRecording;

    bool operator==(const HostedVideoError&) const = default;
    std::string message() const;
    PlatformError platformForm() const;
};

// The keyring could not be read or written. `status` is the Secret Service's
// error code (a GError code), or kDecodeStatus for an item that is not a
// credential. The message never carries the token.
struct HostedKeyringError {
    static constexpr std::int32_t kDecodeStatus = -26275;
    std::int32_t status = 0;

    bool operator==(const HostedKeyringError&) const = default;
    std::string message() const;
    PlatformError platformForm() const;
};

inline constexpr const char* kHostedServiceErrorDomain = "Snagreel.HostedServiceError";
inline constexpr const char* kHostedVideoErrorDomain = "Snagreel.HostedVideoError";
inline constexpr const char* kHostedKeyringErrorDomain = "Snagreel.HostedKeyringError";

// Shorthands for the error sides of results.
inline Error hostedError(HostedServiceError::Case kind) {
    return Error(HostedServiceError{kind});
}
inline Error videoError(HostedVideoError::Case kind) {
    return Error(HostedVideoError{kind});
}

// The service case an error carries, if it is one.
inline bool isHostedError(const Error& error, HostedServiceError::Case kind) {
    const auto* hosted = error.as<HostedServiceError>();
    return hosted != nullptr && hosted->kind == kind;
}

} // namespace snagreel::app
