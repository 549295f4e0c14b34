#pragma once

#include <optional>
#include <string>

// The application's version and build number. The app target may override them
// with compile definitions; these defaults are what a plain library build reports.
#ifndef SNAGREEL_APP_SHORT_VERSION
#define SNAGREEL_APP_SHORT_VERSION "0.1.0"
#endif
#ifndef SNAGREEL_APP_BUILD
#define SNAGREEL_APP_BUILD "1"
#endif

namespace snagreel {

inline constexpr const char* kAppShortVersion = SNAGREEL_APP_SHORT_VERSION;
inline constexpr const char* kAppBuild = SNAGREEL_APP_BUILD;

// The version strings of the running application, as they go into a manifest.
struct BundleInfo {
    std::optional<std::string> shortVersion;
    std::optional<std::string> version;

    // The values this build was compiled with.
    static BundleInfo main() { return BundleInfo{kAppShortVersion, kAppBuild}; }

    bool operator==(const BundleInfo&) const = default;
};

} // namespace snagreel
