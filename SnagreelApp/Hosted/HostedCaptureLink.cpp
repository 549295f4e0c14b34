#include "SnagreelApp/Hosted/HostedCaptureLink.hpp"

#include "SnagreelApp/Hosted/HostedErrors.hpp"
#include "SnagreelApp/Hosted/HostedServiceConfiguration.hpp"
#include "SnagreelCore/Support/Json.hpp"
#include "SnagreelReports/Linux/CaptureFiles.hpp"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cerrno>

namespace snagreel::app {

std::string HostedCaptureLink::toJson() const {
    const nlohmann::json object = {{"captureID", captureID},
                                   {"reportID", reportID},
                                   {"serviceOrigin", serviceOrigin},
                                   {"reportURL", reportURL},
                                   {"status", status}};
    auto text = dumpJson(object);
    return text ? *text : std::string();
}

std::optional<HostedCaptureLink> HostedCaptureLink::fromJson(std::string_view text) {
    auto json = parseJson(text);
    if (!json) {
        return std::nullopt;
    }
    HostedCaptureLink link;
    for (auto [key, field] : {std::pair{"captureID", &link.captureID},
                              {"reportID", &link.reportID},
                              {"serviceOrigin", &link.serviceOrigin},
                              {"reportURL", &link.reportURL},
                              {"status", &link.status}}) {
        auto value = jsonread::readString(*json, key);
        if (!value) {
            return std::nullopt;
        }
        *field = std::move(*value);
    }
    return link;
}

Result<std::optional<HostedCaptureLink>>
loadHostedCaptureLink(const std::filesystem::path& directory,
                      const HostedServiceConfiguration& configuration) {
    namespace linuxfs = reports::linuxfs;
    constexpr std::size_t kLimit = 16384;
    const auto invalid = Unexpected{hostedError(HostedServiceError::Case::invalidResponse)};
    auto folder = linuxfs::openPathWithoutLinks(directory);
    if (!folder) {
        return Unexpected{folder.error()};
    }
    auto file = linuxfs::openFileAt(folder->get(), "hosted.json");
    if (!file) {
        if (const auto* posix = file.error().as<PlatformError>(); posix && posix->code == ENOENT) {
            return std::optional<HostedCaptureLink>();
        }
        return Unexpected{file.error()};
    }
    auto info = linuxfs::statFd(file->get());
    if (!info || info->type != linuxfs::EntryType::regular) {
        return invalid;
    }
    auto bytes = linuxfs::readAll(file->get(), kLimit);
    if (!bytes) {
        return invalid;
    }
    auto link = HostedCaptureLink::fromJson(*bytes);
    if (!link || link->serviceOrigin != configuration.origin().toStdString() ||
        !isUuidString(link->captureID) || !isUuidString(link->reportID)) {
        return invalid;
    }
    const QString written = QString::fromStdString(link->reportURL);
    auto url = configuration.sameOriginURL(written);
    if (!url || url->toString(QUrl::FullyEncoded) != written || url->hasQuery() ||
        url->path() != QStringLiteral("/reports/") + QString::fromStdString(link->reportID)) {
        return invalid;
    }
    return std::optional<HostedCaptureLink>(std::move(*link));
}

bool isUuidString(std::string_view text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace snagreel::app
