#pragma once

#include "SnagreelCore/Capture/CaptureRecords.hpp"
#include "SnagreelCore/Diagnostics/BundleInfo.hpp"
#include "SnagreelCore/Diagnostics/DiagnosticValues.hpp"
#include "SnagreelCore/Diagnostics/DiagnosticsPlatform.hpp"

#include <nlohmann/json_fwd.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snagreel {

// The bounded recent history of one kind of state. Entries are changes of state,
// oldest first, with strictly increasing times. History is dropped both by age
// (maximumDuration) and by count (maximumEntries), but the entry in force at the
// age cutoff is always kept so the state there stays known.
template <typename Value> struct DiagnosticTimeline {
    struct Entry {
        double time = 0;
        // Equal to time when the value was really read; absent for `unknown`.
        std::optional<double> observedAt;
        Value value;

        bool operator==(const Entry&) const = default;
    };

    // A cut of the timeline; sample times (and observedAt) are relative to the
    // start of the cut.
    struct Selection {
        std::vector<Entry> samples;
        bool historyTruncated = false;

        bool operator==(const Selection&) const = default;
    };

    double maximumDuration = 120;
    std::int64_t maximumEntries = 127;
    Value unknown = Value::unknown();
    std::vector<Entry> entries;
    std::optional<double> startedAt;
    std::optional<double> retainedFrom;
    std::optional<double> latestTime;

    DiagnosticTimeline() = default;
    DiagnosticTimeline(double maximumDuration, std::int64_t maximumEntries,
                       Value unknown = Value::unknown())
        : maximumDuration(clampedDuration(maximumDuration)),
          maximumEntries(clampedEntries(maximumEntries)), unknown(std::move(unknown)) {}

    // A non-finite bound would poison every cutoff, so it falls back to the default.
    static double clampedDuration(double duration) {
        if (!std::isfinite(duration)) {
            return 120;
        }
        return std::max(duration, 0.0);
    }
    static std::int64_t clampedEntries(std::int64_t count) {
        return std::clamp<std::int64_t>(count, 1, 127);
    }

    // Back to idle: no history and no monitoring times.
    void reset() {
        entries.clear();
        startedAt.reset();
        retainedFrom.reset();
        latestTime.reset();
    }

    // Starts monitoring at t with the unknown value in force.
    void begin(double t) {
        reset();
        startedAt = t;
        retainedFrom = t;
        record(unknown, t);
    }

    void record(const Value& value, double t) {
        if (!std::isfinite(t) || !startedAt || (latestTime && t < *latestTime)) {
            return;
        }
        latestTime = t;
        if (!entries.empty() && entries.back().value == value) {
            advance(t);
            return;
        }
        Entry entry{t, value == unknown ? std::nullopt : std::optional<double>(t), value};
        if (!entries.empty() && entries.back().time == t) {
            entries.back() = std::move(entry);
        } else {
            entries.push_back(std::move(entry));
        }
        advance(t);
    }

    void advance(double t) {
        if (!std::isfinite(t) || !startedAt) {
            return;
        }
        if (t < (latestTime ? *latestTime : *startedAt)) {
            return;
        }
        latestTime = t;
        const double cutoff = std::max(*startedAt, t - maximumDuration);
        auto inForce = std::find_if(entries.rbegin(), entries.rend(),
                                    [&](const Entry& e) { return e.time <= cutoff; });
        if (inForce != entries.rend()) {
            entries.erase(entries.begin(), std::prev(inForce.base()));
        }
        if (static_cast<std::int64_t>(entries.size()) > maximumEntries) {
            entries.erase(entries.begin(),
                          entries.begin() +
                              (static_cast<std::int64_t>(entries.size()) - maximumEntries));
        }
        if (!entries.empty()) {
            retainedFrom = std::max(retainedFrom.value_or(*startedAt), entries.front().time);
        }
    }

    Selection selection(double s, double e) const {
        Selection result;
        if (!std::isfinite(s) || !std::isfinite(e) || !(s < e)) {
            return result;
        }
        result.samples.push_back(Entry{0, std::nullopt, unknown});
        if (!startedAt || !retainedFrom) {
            return result;
        }
        const auto relative = [s](const std::optional<double>& at) -> std::optional<double> {
            if (!at) {
                return std::nullopt;
            }
            return *at - s;
        };
        const double lower = std::max(*retainedFrom, s);
        if (lower < e) {
            // The last entry at or before `lower` is the state in force there.
            auto after = std::upper_bound(entries.begin(), entries.end(), lower,
                                          [](double t, const Entry& x) { return t < x.time; });
            if (after != entries.begin()) {
                const Entry& k = *std::prev(after);
                if (lower == s) {
                    result.samples.front() = Entry{0, relative(k.observedAt), k.value};
                } else if (!(k.value == unknown)) {
                    result.samples.push_back(Entry{lower - s, relative(k.observedAt), k.value});
                }
            }
            for (auto it = after; it != entries.end() && it->time < e; ++it) {
                if (it->time > lower) {
                    result.samples.push_back(
                        Entry{it->time - s, relative(it->observedAt), it->value});
                }
            }
        }
        result.historyTruncated = *retainedFrom > s && *startedAt < e && *startedAt < *retainedFrom;
        return result;
    }
};

// Output records: what a clip's manifest carries. Times are seconds from the
// clip's first frame.
struct NetworkPathSample {
    double atSeconds = 0;
    std::optional<double> observedAtSeconds;
    NetworkPathState::Status status = NetworkPathState::Status::unknown;
    std::vector<NetworkPathState::Interface> interfaceTypes;
    std::optional<bool> isExpensive;
    std::optional<bool> isConstrained;

    bool operator==(const NetworkPathSample&) const = default;
};

struct SystemStateSample {
    double atSeconds = 0;
    std::optional<double> observedAtSeconds;
    std::optional<bool> lowPowerMode;
    SystemState::Thermal thermalState = SystemState::Thermal::unknown;

    bool operator==(const SystemStateSample&) const = default;
};

template <typename Sample> struct DiagnosticChannel {
    bool historyTruncated = false;
    std::vector<Sample> samples;

    bool operator==(const DiagnosticChannel&) const = default;
};

// Optional texts that end up in a manifest are kept only when they are short
// ASCII tokens, so nothing odd from the system or the build leaks into the file.
bool isCompactToken(std::string_view text);
std::optional<std::string> compactToken(const std::optional<std::string>& text);

struct DiagnosticEnvironment {
    std::string osVersion;
    std::optional<std::string> osBuild;
    std::optional<std::string> appVersion;
    std::optional<std::string> appBuild;
    std::string hardwareClass;
    std::optional<std::string> hardwareModel;
    std::string processArchitecture;
    std::uint64_t physicalMemoryBytes = 0;

    // The environment right now: the system's description plus the app's versions,
    // with the optional texts passed through the compact-token filter.
    static DiagnosticEnvironment current(const BundleInfo& bundle, const SystemInformation& system);

    bool operator==(const DiagnosticEnvironment&) const = default;
};

struct CaptureDiagnostics {
    std::int64_t v = 1;
    std::string timeReference = "clip";
    DiagnosticEnvironment environment;
    DiagnosticChannel<NetworkPathSample> networkPath;
    DiagnosticChannel<SystemStateSample> systemState;

    bool operator==(const CaptureDiagnostics&) const = default;
};

// The two timelines of one capture engine. `generation` grows with every start and
// clear so that readings taken under an older one can be recognised and dropped.
struct DiagnosticsBuffer {
    DiagnosticTimeline<NetworkPathState> network;
    DiagnosticTimeline<SystemState> system;
    std::int64_t generation = 0;
    bool isMonitoring = false;

    DiagnosticsBuffer(double maximumDuration, std::int64_t maximumEntries);

    // Empties both timelines and starts monitoring at `at` (unless it is not
    // finite) with `systemState` as the first system reading. Returns the new
    // generation.
    std::int64_t start(double at, const SystemState& systemState);
    // Ends monitoring and empties both timelines. Returns the new generation.
    std::int64_t clear();

    CaptureDiagnostics snapshot(double start, double end,
                                const DiagnosticEnvironment& environment) const;
};

// JSON form (the manifest's "diagnostics" object). Absent optionals are left out,
// enumerations are their raw strings. toJson never fails; a non-finite number is
// kept as a JSON float (which dumps as null), so a caller that must not write one
// checks with encodeCaptureDiagnostics or containsNonFiniteNumber.
nlohmann::json toJson(const NetworkPathSample& sample);
nlohmann::json toJson(const SystemStateSample& sample);
nlohmann::json toJson(const DiagnosticChannel<NetworkPathSample>& channel);
nlohmann::json toJson(const DiagnosticChannel<SystemStateSample>& channel);
nlohmann::json toJson(const DiagnosticEnvironment& environment);
nlohmann::json toJson(const CaptureDiagnostics& diagnostics);

// Whether any number in the document is NaN or infinite.
bool containsNonFiniteNumber(const nlohmann::json& json);
// toJson, failing when a number is not finite (JSON cannot carry it).
Expected<nlohmann::json, DecodeError>
encodeCaptureDiagnostics(const CaptureDiagnostics& diagnostics);

// Require every non-optional key with the right type; absent or null optional keys
// read as absent; unknown keys are ignored. Never throw.
Decoded<DiagnosticEnvironment> decodeDiagnosticEnvironment(const nlohmann::json& json);
Decoded<CaptureDiagnostics> decodeCaptureDiagnostics(const nlohmann::json& json);

} // namespace snagreel
