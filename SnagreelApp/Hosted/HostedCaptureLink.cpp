#include "SnagreelApp/Hosted/HostedCaptureLink.hpp"

#include "SnagreelCore/Support/Json.hpp"

#include <nlohmann/json.hpp>

#include <cctype>

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
