#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace snagreel::app {

// Which engine writes new reports. Declaration order is the settings picker's order.
enum class ProcessingMode { cloud, local };

inline constexpr std::array<ProcessingMode, 2> kAllProcessingModes = {ProcessingMode::cloud,
                                                                      ProcessingMode::local};

inline std::string_view rawValue(ProcessingMode mode) {
    return mode == ProcessingMode::local ? "local" : "cloud";
}

// Exact, case-sensitive raw values only.
inline std::optional<ProcessingMode> processingModeFromRaw(std::string_view raw) {
    if (raw == "local") {
        return ProcessingMode::local;
    }
    if (raw == "cloud") {
        return ProcessingMode::cloud;
    }
    return std::nullopt;
}

} // namespace snagreel::app
