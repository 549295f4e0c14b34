#include "SnagreelApp/Hosted/HostedErrors.hpp"

namespace snagreel::app {

std::string HostedServiceError::message() const {
    switch (kind) {
    case Case::rejected:
        return "Snagreel could not complete this request (" + std::to_string(status) +
               "). Your recording is still on this computer.";
    case Case::notConfigured:
        return "This build has no report service configured. Your recording is still on this "
               "computer.";
    case Case::invalidServiceURL:
        return "This build's report service address is not valid.";
    case Case::invalidResponse:
        return "The report service returned an unexpected response. Please try again.";
    case Case::signInRequired:
        return "Sign in to write a report. Your recording is still on this computer.";
    case Case::pairingExpired:
        return "This sign-in request expired. Please start sign-in again.";
    case Case::redirectRejected:
        return "The report service changed addresses unexpectedly. Please try again later.";
    case Case::serviceUnavailable:
        return "Could not reach Snagreel. Your recording is safe on this computer; try again when "
               "connected.";
    case Case::uploadFailed:
        return "The recording did not finish uploading. Your original video is still on this "
               "computer.";
    case Case::revokedLocallyOnly:
        return "Signed out on this computer. The server could not confirm revocation, so the "
               "previous session may remain valid until it expires.";
    case Case::invalidCapture:
        return "This saved recording's metadata could not be read. The original video is still on "
               "this computer.";
    case Case::inputTooLarge:
        return "This recording exceeds the current report size limit. Your original video is still "
               "on this computer.";
    }
    return {};
}

PlatformError HostedServiceError::platformForm() const {
    return {kHostedServiceErrorDomain, static_cast<std::int64_t>(kind), message()};
}

std::string HostedVideoError::message() const {
    switch (kind) {
    case Case::invalidRecording:
        return "This recording could not be prepared for a report. The original video is still on "
               "this computer.";
    case Case::decodeFailed:
        return "Could not read the saved video's first and final frames. The original video is "
               "still on this computer.";
    case Case::recordingChanged:
        return "The saved video changed while preparing its report. Please try again.";
    case Case::anchorTooLarge:
        return "This recording's full-resolution images exceed the current upload limit. The "
               "original video is still on this computer.";
    }
    return {};
}

PlatformError HostedVideoError::platformForm() const {
    return {kHostedVideoErrorDomain, static_cast<std::int64_t>(kind), message()};
}

std::string HostedKeyringError::message() const {
    return "Snagreel could not access its saved sign-in in the keyring (" + std::to_string(status) +
           "). Your recording is still on this computer.";
}

PlatformError HostedKeyringError::platformForm() const {
    return {kHostedKeyringErrorDomain, status, message()};
}

} // namespace snagreel::app
