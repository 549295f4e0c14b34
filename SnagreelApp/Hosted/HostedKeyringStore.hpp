#pragma once

#include "SnagreelApp/Hosted/HostedCredential.hpp"

#include <string>

namespace snagreel::app {

// The credential in the user's keyring through the Secret Service. One item per
// service origin, so that a build pointing elsewhere never sees another service's
// token. Without a Secret Service every call fails with a HostedKeyringError: the
// token is never written anywhere else. Calls block while the keyring asks to be
// unlocked, so they belong on a worker thread.
class HostedKeyringStore final : public HostedCredentialStore {
public:
    // The item's "service" attribute.
    static constexpr const char* kServiceLabel = "io.snagreel.hosted-session";

    explicit HostedKeyringStore(std::string origin) : origin_(std::move(origin)) {}

    const std::string& origin() const { return origin_; }

    Result<std::optional<HostedCredential>> load() override;
    Result<void> save(const HostedCredential& credential) override;
    Result<void> remove() override;

private:
    std::string origin_;
};

} // namespace snagreel::app
