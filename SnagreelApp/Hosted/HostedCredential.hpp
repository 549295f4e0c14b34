#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace snagreel::app {

// Wall-clock times of the hosted service: seconds since 1970-01-01T00:00:00Z.
double hostedNow();

// Seconds between 1970-01-01 and 2001-01-01, the reference of stored credentials.
inline constexpr double kReferenceDateOffset = 978307200.0;

// An RFC 3339 internet date-time ("2026-12-07T04:20:11.5Z", "...+01:00"), strictly:
// a time without its zone, a lower-case separator in odd places or an out-of-range
// field is refused. Fractional seconds are optional.
std::optional<double> parseInternetDateTime(std::string_view text);
// The same form, in UTC with milliseconds (for the fake service and tests).
std::string formatInternetDateTime(double seconds);

// The device's sign-in with the hosted service.
struct HostedCredential {
    std::string accessToken;
    double expiresAt = 0; // seconds since 1970
    bool approved = false;

    bool operator==(const HostedCredential&) const = default;

    // One compact JSON object; "expiresAt" counts seconds since 2001-01-01.
    std::string toJson() const;
    // All three keys with their exact types, or nothing.
    static std::optional<HostedCredential> fromJson(std::string_view text);
};

// Where the credential is kept. Tests and other stores stand in through it. Calls
// may block (a keyring may ask to be unlocked): never make them on the GUI thread.
class HostedCredentialStore {
public:
    virtual ~HostedCredentialStore() = default;
    virtual Result<std::optional<HostedCredential>> load() = 0;
    virtual Result<void> save(const HostedCredential& credential) = 0;
    virtual Result<void> remove() = 0;
};

} // namespace snagreel::app
