#include "SnagreelApp/Hosted/HostedServiceConfiguration.hpp"

#include "SnagreelApp/Hosted/HostedErrors.hpp"

namespace snagreel::app {

namespace {

using Case = HostedServiceError::Case;

// QUrl folds the scheme to lower case; the address must spell it "https" itself.
QString literalScheme(const QString& text) {
    const auto colon = text.indexOf(u':');
    return colon < 0 ? QString() : text.left(colon);
}

} // namespace

int effectivePort(const QUrl& url) {
    return url.port(url.scheme() == u"https" ? 443 : 80);
}

Result<HostedServiceConfiguration>
HostedServiceConfiguration::fromBuildSetting(const std::optional<std::string>& value) {
    if (!value || value->empty()) {
        return Unexpected{hostedError(Case::notConfigured)};
    }
    const QString text = QString::fromStdString(*value);
    if (!QUrl(text, QUrl::StrictMode).isValid()) {
        return Unexpected{hostedError(Case::notConfigured)};
    }
    return create(text);
}

Result<HostedServiceConfiguration> HostedServiceConfiguration::create(const QString& address) {
    const auto invalid = Unexpected{hostedError(Case::invalidServiceURL)};
    const QUrl url(address, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) {
        return invalid;
    }
    if (!url.userInfo().isEmpty() || address.contains(u'@') || url.hasQuery() ||
        url.hasFragment()) {
        return invalid;
    }
    if (!url.path().isEmpty() && url.path() != u"/") {
        return invalid;
    }
    if (literalScheme(address) != u"https") {
        return invalid;
    }
    QUrl rebuilt;
    rebuilt.setScheme(QStringLiteral("https"));
    rebuilt.setHost(url.host().toLower());
    if (url.port() != -1) {
        rebuilt.setPort(url.port());
    }
    if (!rebuilt.isValid()) {
        return invalid;
    }
    return HostedServiceConfiguration(rebuilt);
}

Result<QUrl> HostedServiceConfiguration::sameOriginURL(const QString& text) const {
    const auto invalid = Unexpected{hostedError(Case::invalidResponse)};
    const QUrl relative(text, QUrl::StrictMode);
    if (!relative.isValid()) {
        return invalid;
    }
    const QUrl resolved = baseURL_.resolved(relative);
    if (!resolved.isValid() || resolved.isRelative()) {
        return invalid;
    }
    if (resolved.scheme() != baseURL_.scheme() ||
        resolved.host().toLower() != baseURL_.host().toLower() ||
        effectivePort(resolved) != effectivePort(baseURL_)) {
        return invalid;
    }
    if (!resolved.userName().isEmpty() || !resolved.password().isEmpty() ||
        resolved.hasFragment()) {
        return invalid;
    }
    return resolved;
}

} // namespace snagreel::app
