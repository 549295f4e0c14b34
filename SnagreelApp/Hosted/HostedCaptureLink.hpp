#pragma once

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

// A canonical 8-4-4-4-12 UUID string, either case.
bool isUuidString(std::string_view text);

} // namespace snagreel::app
