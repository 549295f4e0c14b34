#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <QString>
#include <QUrl>

#include <optional>
#include <string>

namespace snagreel::app {

// The one address of the hosted report service, fixed when the application is
// built. Only create() makes one, so a configuration always holds a normalised
// https address: lower-case host, empty path, no user, password, query or fragment.
class HostedServiceConfiguration {
public:
    // From the build setting (the CMake cache variable SnagreelServiceURL): none,
    // empty or unparsable is notConfigured; anything else goes through create().
    static Result<HostedServiceConfiguration>
    fromBuildSetting(const std::optional<std::string>& value);
    // Fails with invalidServiceURL for anything but a bare https origin.
    static Result<HostedServiceConfiguration> create(const QString& address);

    const QUrl& baseURL() const { return baseURL_; }
    // The base URL's absolute string: the keyring slot and the origin links record.
    QString origin() const { return baseURL_.toString(QUrl::FullyEncoded); }

    // Resolves an address the server handed back (a bare path or a full address)
    // and accepts it only on the service's own origin; invalidResponse otherwise.
    Result<QUrl> sameOriginURL(const QString& text) const;

private:
    explicit HostedServiceConfiguration(QUrl baseURL) : baseURL_(std::move(baseURL)) {}
    QUrl baseURL_;
};

// Port of a URL with the scheme's default filled in (443 for https, else 80).
int effectivePort(const QUrl& url);

} // namespace snagreel::app
