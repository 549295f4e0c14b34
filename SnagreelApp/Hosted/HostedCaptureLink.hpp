#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace snagreel::app {

// The link between a capture and its hosted report, kept as the capture's
// "hosted.json" so that tracking resumes after a restart.
struct HostedCaptureLink {
    std::string captureID;
    std::string reportID;
    std::string serviceOrigin;
    std::string reportURL;
    std::string status;

    bool operator==(const HostedCaptureLink&) const = default;

    // One compact JSON object with the five keys.
    std::string toJson() const;
    static std::optional<HostedCaptureLink> fromJson(std::string_view text);
};

class HostedServiceConfiguration;

// The "hosted.json" of a capture folder: none when there is none, invalidResponse
// when it is larger than 16 KiB, names another service or does not point at a
// report page of this one.
Result<std::optional<HostedCaptureLink>>
loadHostedCaptureLink(const std::filesystem::path& directory,
                      const HostedServiceConfiguration& configuration);

// A canonical 8-4-4-4-12 UUID string, either case.
bool isUuidString(std::string_view text);

} // namespace snagreel::app
