#include "SnagreelCore/Diagnostics/DiagnosticTimeline.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <exception>

namespace snagreel {

using nlohmann::json;

// MARK: Compact tokens and environment

bool isCompactToken(std::string_view text) {
    if (text.empty() || text.size() > 64) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == ',' || c == '-' || c == '.' || c == '_';
    });
}

std::optional<std::string> compactToken(const std::optional<std::string>& text) {
    if (!text || !isCompactToken(*text)) {
        return std::nullopt;
    }
    return text;
}

DiagnosticEnvironment DiagnosticEnvironment::current(const BundleInfo& bundle,
                                                     const SystemInformation& system) {
    DiagnosticEnvironment environment;
    environment.osVersion = system.osVersion;
    environment.osBuild = compactToken(system.osBuild);
    environment.appVersion = compactToken(bundle.shortVersion);
    environment.appBuild = compactToken(bundle.version);
    environment.hardwareClass = system.hardwareClass;
    environment.hardwareModel = compactToken(system.hardwareModel);
    environment.processArchitecture = system.processArchitecture;
    environment.physicalMemoryBytes = system.physicalMemoryBytes;
    return environment;
}

// MARK: Buffer

DiagnosticsBuffer::DiagnosticsBuffer(double maximumDuration, std::int64_t maximumEntries)
    : network(maximumDuration, maximumEntries), system(maximumDuration, maximumEntries) {}

std::int64_t DiagnosticsBuffer::start(double at, const SystemState& systemState) {
    clear();
    if (!std::isfinite(at)) {
        return generation;
    }
    isMonitoring = true;
    network.begin(at);
    system.begin(at);
    system.record(systemState, at);
    return generation;
}

std::int64_t DiagnosticsBuffer::clear() {
    isMonitoring = false;
    generation += 1;
    network.reset();
    system.reset();
    return generation;
}

CaptureDiagnostics DiagnosticsBuffer::snapshot(double start, double end,
                                               const DiagnosticEnvironment& environment) const {
    CaptureDiagnostics diagnostics;
    diagnostics.environment = environment;

    const auto networkCut = network.selection(start, end);
    diagnostics.networkPath.historyTruncated = networkCut.historyTruncated;
    for (const auto& entry : networkCut.samples) {
        diagnostics.networkPath.samples.push_back(NetworkPathSample{
            entry.time, entry.observedAt, entry.value.status, entry.value.interfaceTypes,
            entry.value.isExpensive, entry.value.isConstrained});
    }

    const auto systemCut = system.selection(start, end);
    diagnostics.systemState.historyTruncated = systemCut.historyTruncated;
    for (const auto& entry : systemCut.samples) {
        diagnostics.systemState.samples.push_back(SystemStateSample{
            entry.time, entry.observedAt, entry.value.lowPowerMode, entry.value.thermalState});
    }
    return diagnostics;
}

// MARK: Encoding

namespace {

template <typename T>
void putOptional(json& object, const char* key, const std::optional<T>& value) {
    if (value) {
        object[key] = *value;
    }
}

template <typename Sample> json channelJson(const DiagnosticChannel<Sample>& channel) {
    json samples = json::array();
    for (const auto& sample : channel.samples) {
        samples.push_back(toJson(sample));
    }
    json object = json::object();
    object["historyTruncated"] = channel.historyTruncated;
    object["samples"] = std::move(samples);
    return object;
}

} // namespace

json toJson(const NetworkPathSample& sample) {
    json interfaces = json::array();
    for (auto interface : sample.interfaceTypes) {
        interfaces.push_back(std::string(rawValue(interface)));
    }
    json object = json::object();
    object["atSeconds"] = sample.atSeconds;
    putOptional(object, "observedAtSeconds", sample.observedAtSeconds);
    object["status"] = std::string(rawValue(sample.status));
    object["interfaceTypes"] = std::move(interfaces);
    putOptional(object, "isExpensive", sample.isExpensive);
    putOptional(object, "isConstrained", sample.isConstrained);
    return object;
}

json toJson(const SystemStateSample& sample) {
    json object = json::object();
    object["atSeconds"] = sample.atSeconds;
    putOptional(object, "observedAtSeconds", sample.observedAtSeconds);
    putOptional(object, "lowPowerMode", sample.lowPowerMode);
    object["thermalState"] = std::string(rawValue(sample.thermalState));
    return object;
}

json toJson(const DiagnosticChannel<NetworkPathSample>& channel) {
    return channelJson(channel);
}

json toJson(const DiagnosticChannel<SystemStateSample>& channel) {
    return channelJson(channel);
}

json toJson(const DiagnosticEnvironment& environment) {
    json object = json::object();
    object["osVersion"] = environment.osVersion;
    putOptional(object, "osBuild", environment.osBuild);
    putOptional(object, "appVersion", environment.appVersion);
    putOptional(object, "appBuild", environment.appBuild);
    object["hardwareClass"] = environment.hardwareClass;
    putOptional(object, "hardwareModel", environment.hardwareModel);
    object["processArchitecture"] = environment.processArchitecture;
    object["physicalMemoryBytes"] = environment.physicalMemoryBytes;
    return object;
}

json toJson(const CaptureDiagnostics& diagnostics) {
    json object = json::object();
    object["v"] = diagnostics.v;
    object["timeReference"] = diagnostics.timeReference;
    object["environment"] = toJson(diagnostics.environment);
    object["networkPath"] = toJson(diagnostics.networkPath);
    object["systemState"] = toJson(diagnostics.systemState);
    return object;
}

bool containsNonFiniteNumber(const json& value) {
    switch (value.type()) {
    case json::value_t::number_float:
        return !std::isfinite(value.get_ref<const json::number_float_t&>());
    case json::value_t::array:
    case json::value_t::object:
        for (const auto& element : value) {
            if (containsNonFiniteNumber(element)) {
                return true;
            }
        }
        return false;
    default:
        return false;
    }
}

Expected<json, DecodeError> encodeCaptureDiagnostics(const CaptureDiagnostics& diagnostics) {
    json encoded = toJson(diagnostics);
    if (containsNonFiniteNumber(encoded)) {
        return Unexpected{DecodeError{"The diagnostics contain a number that is not finite."}};
    }
    return encoded;
}

// MARK: Decoding

namespace {

// Thrown only inside this file to unwind a failed decode; never escapes.
struct Failure {
    DecodeError error;
};

[[noreturn]] void fail(const std::string& path, const char* problem) {
    throw Failure{DecodeError{"The diagnostics value \"" + path + "\" " + problem + "."}};
}

std::string joined(const std::string& path, const char* key) {
    return path.empty() ? std::string(key) : path + "." + key;
}

const json& requireObject(const json& value, const std::string& path) {
    if (!value.is_object()) {
        fail(path.empty() ? "diagnostics" : path, "is not an object");
    }
    return value;
}

// The member at key, or null when absent (or JSON null and `optional`).
const json* member(const json& object, const std::string& path, const char* key, bool optional) {
    auto it = object.find(key);
    if (it == object.end() || (optional && it->is_null())) {
        if (!optional) {
            fail(joined(path, key), "is missing");
        }
        return nullptr;
    }
    return &*it;
}

double asNumber(const json& value, const std::string& path) {
    if (!value.is_number()) {
        fail(path, "is not a number");
    }
    const double number = value.get<double>();
    if (!std::isfinite(number)) {
        fail(path, "is not a finite number");
    }
    return number;
}

double requireNumber(const json& object, const std::string& path, const char* key) {
    return asNumber(*member(object, path, key, false), joined(path, key));
}

std::optional<double> optionalNumber(const json& object, const std::string& path, const char* key) {
    const json* value = member(object, path, key, true);
    if (!value) {
        return std::nullopt;
    }
    return asNumber(*value, joined(path, key));
}

bool asBool(const json& value, const std::string& path) {
    if (!value.is_boolean()) {
        fail(path, "is not a boolean");
    }
    return value.get<bool>();
}

bool requireBool(const json& object, const std::string& path, const char* key) {
    return asBool(*member(object, path, key, false), joined(path, key));
}

std::optional<bool> optionalBool(const json& object, const std::string& path, const char* key) {
    const json* value = member(object, path, key, true);
    if (!value) {
        return std::nullopt;
    }
    return asBool(*value, joined(path, key));
}

std::string asString(const json& value, const std::string& path) {
    if (!value.is_string()) {
        fail(path, "is not a string");
    }
    return value.get_ref<const std::string&>();
}

std::string requireString(const json& object, const std::string& path, const char* key) {
    return asString(*member(object, path, key, false), joined(path, key));
}

std::optional<std::string> optionalString(const json& object, const std::string& path,
                                          const char* key) {
    const json* value = member(object, path, key, true);
    if (!value) {
        return std::nullopt;
    }
    return asString(*value, joined(path, key));
}

template <typename Enum, typename Parse>
Enum requireEnum(const json& object, const std::string& path, const char* key, Parse parse) {
    const std::string raw = requireString(object, path, key);
    const std::optional<Enum> value = parse(raw);
    if (!value) {
        fail(joined(path, key), "has an unknown value");
    }
    return *value;
}

DiagnosticEnvironment environmentFrom(const json& value, const std::string& path) {
    const json& object = requireObject(value, path);
    DiagnosticEnvironment environment;
    environment.osVersion = requireString(object, path, "osVersion");
    environment.osBuild = optionalString(object, path, "osBuild");
    environment.appVersion = optionalString(object, path, "appVersion");
    environment.appBuild = optionalString(object, path, "appBuild");
    environment.hardwareClass = requireString(object, path, "hardwareClass");
    environment.hardwareModel = optionalString(object, path, "hardwareModel");
    environment.processArchitecture = requireString(object, path, "processArchitecture");
    const json& memory = *member(object, path, "physicalMemoryBytes", false);
    if (memory.is_number_unsigned()) {
        environment.physicalMemoryBytes = memory.get<std::uint64_t>();
    } else if (memory.is_number_integer() && memory.get<std::int64_t>() >= 0) {
        environment.physicalMemoryBytes = static_cast<std::uint64_t>(memory.get<std::int64_t>());
    } else {
        fail(joined(path, "physicalMemoryBytes"), "is not an unsigned integer");
    }
    return environment;
}

NetworkPathSample networkSampleFrom(const json& value, const std::string& path) {
    const json& object = requireObject(value, path);
    NetworkPathSample sample;
    sample.atSeconds = requireNumber(object, path, "atSeconds");
    sample.observedAtSeconds = optionalNumber(object, path, "observedAtSeconds");
    sample.status =
        requireEnum<NetworkPathState::Status>(object, path, "status", networkStatusFromRaw);
    const std::string interfacesPath = joined(path, "interfaceTypes");
    const json& interfaces = *member(object, path, "interfaceTypes", false);
    if (!interfaces.is_array()) {
        fail(interfacesPath, "is not an array");
    }
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const std::string elementPath = interfacesPath + "[" + std::to_string(i) + "]";
        const auto interface = networkInterfaceFromRaw(asString(interfaces[i], elementPath));
        if (!interface) {
            fail(elementPath, "has an unknown value");
        }
        sample.interfaceTypes.push_back(*interface);
    }
    sample.isExpensive = optionalBool(object, path, "isExpensive");
    sample.isConstrained = optionalBool(object, path, "isConstrained");
    return sample;
}

SystemStateSample systemSampleFrom(const json& value, const std::string& path) {
    const json& object = requireObject(value, path);
    SystemStateSample sample;
    sample.atSeconds = requireNumber(object, path, "atSeconds");
    sample.observedAtSeconds = optionalNumber(object, path, "observedAtSeconds");
    sample.lowPowerMode = optionalBool(object, path, "lowPowerMode");
    sample.thermalState =
        requireEnum<SystemState::Thermal>(object, path, "thermalState", thermalFromRaw);
    return sample;
}

template <typename Sample, typename Read>
DiagnosticChannel<Sample> channelFrom(const json& value, const std::string& path, Read read) {
    const json& object = requireObject(value, path);
    DiagnosticChannel<Sample> channel;
    channel.historyTruncated = requireBool(object, path, "historyTruncated");
    const std::string samplesPath = joined(path, "samples");
    const json& samples = *member(object, path, "samples", false);
    if (!samples.is_array()) {
        fail(samplesPath, "is not an array");
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        channel.samples.push_back(read(samples[i], samplesPath + "[" + std::to_string(i) + "]"));
    }
    return channel;
}

template <typename T, typename Body> Decoded<T> guarded(Body body) {
    try {
        return body();
    } catch (const Failure& failure) {
        return Unexpected{failure.error};
    } catch (const std::exception&) {
        return Unexpected{DecodeError{"The diagnostics could not be read."}};
    }
}

} // namespace

Decoded<DiagnosticEnvironment> decodeDiagnosticEnvironment(const json& value) {
    return guarded<DiagnosticEnvironment>([&] { return environmentFrom(value, "environment"); });
}

Decoded<CaptureDiagnostics> decodeCaptureDiagnostics(const json& value) {
    return guarded<CaptureDiagnostics>([&] {
        const json& object = requireObject(value, "");
        CaptureDiagnostics diagnostics;
        const json& version = *member(object, "", "v", false);
        // Readers of the samples depend on the version and the time reference, so
        // a document in another format is refused rather than misread.
        if (!version.is_number_integer()) {
            fail("v", "is not an integer");
        }
        if (version != 1) {
            fail("v", "is not a supported format version");
        }
        diagnostics.timeReference = requireString(object, "", "timeReference");
        if (diagnostics.timeReference != "clip") {
            fail("timeReference", "is not \"clip\"");
        }
        diagnostics.environment =
            environmentFrom(*member(object, "", "environment", false), "environment");
        diagnostics.networkPath = channelFrom<NetworkPathSample>(
            *member(object, "", "networkPath", false), "networkPath", networkSampleFrom);
        diagnostics.systemState = channelFrom<SystemStateSample>(
            *member(object, "", "systemState", false), "systemState", systemSampleFrom);
        return diagnostics;
    });
}

} // namespace snagreel
