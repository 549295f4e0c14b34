#include "SnagreelCore/Diagnostics/DiagnosticTimeline.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

using namespace snagreel;
using nlohmann::json;

namespace {

using Interface = NetworkPathState::Interface;
using Status = NetworkPathState::Status;
using Thermal = SystemState::Thermal;
using NetworkEntry = DiagnosticTimeline<NetworkPathState>::Entry;
using SystemEntry = DiagnosticTimeline<SystemState>::Entry;

const NetworkPathState kWifi{Status::satisfied, {Interface::wifi}, false, false};
const NetworkPathState kWired{Status::satisfied, {Interface::wiredEthernet}, false, true};
const NetworkPathState kOffline{Status::unsatisfied, {}, false, false};
const SystemState kNominal{false, Thermal::nominal};
const SystemState kSerious{true, Thermal::serious};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> times(const std::vector<NetworkEntry>& entries) {
    std::vector<double> result;
    for (const auto& entry : entries) {
        result.push_back(entry.time);
    }
    return result;
}

DiagnosticEnvironment sampleEnvironment() {
    DiagnosticEnvironment environment;
    environment.osVersion = "6.1.0";
    environment.osBuild = "1-amd64";
    environment.appVersion = "0.1.0";
    environment.appBuild = "1";
    environment.hardwareClass = "Linux";
    environment.processArchitecture = "x86_64";
    environment.physicalMemoryBytes = 25769803776ull;
    return environment;
}

} // namespace

TEST(DiagnosticTimeline, PrunesByAgeButKeepsTheEntryInForceAndCutsClips) {
    DiagnosticsBuffer buffer(60, 127);
    buffer.start(0, SystemState::unknown());
    buffer.network.record(kWifi, 10);
    buffer.network.record(kWired, 100);

    EXPECT_EQ(times(buffer.network.entries), (std::vector<double>{10, 100}));
    EXPECT_EQ(buffer.network.retainedFrom, 10);

    // History reaches back to the clip start: the state of 10 is in force at 0 s.
    const auto inside = buffer.network.selection(50, 110);
    EXPECT_EQ(inside.samples, (std::vector<NetworkEntry>{{0, -40, kWifi}, {50, 50, kWired}}));
    EXPECT_FALSE(inside.historyTruncated);

    // History starts inside the clip: the beginning was dropped by the bounds.
    const auto before = buffer.network.selection(5, 110);
    EXPECT_EQ(before.samples,
              (std::vector<NetworkEntry>{
                  {0, std::nullopt, NetworkPathState{}}, {5, 5, kWifi}, {95, 95, kWired}}));
    EXPECT_TRUE(before.historyTruncated);
}

TEST(DiagnosticTimeline, ClipStartingBeforeMonitoringIsUnknownFirstButNotTruncated) {
    DiagnosticsBuffer buffer(60, 127);
    buffer.start(20, kNominal);

    const auto system = buffer.system.selection(5, 50);
    EXPECT_EQ(system.samples,
              (std::vector<SystemEntry>{{0, std::nullopt, SystemState{}}, {15, 15, kNominal}}));
    EXPECT_FALSE(system.historyTruncated);

    // Nothing real was read yet, so the network stays unknown from 0 s on.
    const auto network = buffer.network.selection(5, 50);
    EXPECT_EQ(network.samples, (std::vector<NetworkEntry>{{0, std::nullopt, NetworkPathState{}}}));
    EXPECT_FALSE(network.historyTruncated);
}

TEST(DiagnosticTimeline, SelectionBoundsAreHalfOpen) {
    DiagnosticsBuffer buffer(60, 127);
    buffer.start(0, SystemState::unknown());
    buffer.network.record(kWifi, 10);
    buffer.network.record(kWired, 20);

    // An entry exactly at the start is the initial state; one exactly at the end
    // belongs to the next clip.
    EXPECT_EQ(buffer.network.selection(10, 20).samples, (std::vector<NetworkEntry>{{0, 0, kWifi}}));
    EXPECT_EQ(buffer.network.selection(12, 30).samples,
              (std::vector<NetworkEntry>{{0, -2, kWifi}, {8, 8, kWired}}));
}

TEST(DiagnosticTimeline, DegenerateSelections) {
    DiagnosticsBuffer idle(60, 127);
    EXPECT_EQ(idle.network.selection(0, 10).samples,
              (std::vector<NetworkEntry>{{0, std::nullopt, NetworkPathState{}}}));

    DiagnosticsBuffer buffer(60, 127);
    buffer.start(0, kNominal);
    for (auto [s, e] : {std::pair{5.0, 5.0}, {6.0, 5.0}, {kNaN, 5.0}, {0.0, kInf}}) {
        const auto cut = buffer.system.selection(s, e);
        EXPECT_TRUE(cut.samples.empty()) << s << ".." << e;
        EXPECT_FALSE(cut.historyTruncated);
    }
}

TEST(DiagnosticTimeline, RecordDedupesReplacesAndIgnoresOldReadings) {
    DiagnosticsBuffer buffer(60, 127);
    buffer.start(0, SystemState::unknown());
    auto& network = buffer.network;

    network.record(kWifi, 1);
    network.record(kWifi, 2);
    EXPECT_EQ(network.entries.size(), 2u);
    EXPECT_EQ(network.latestTime, 2);

    network.record(kWired, 3);
    network.record(kOffline, 3);
    ASSERT_EQ(network.entries.size(), 3u);
    EXPECT_EQ(network.entries.back(), (NetworkEntry{3, 3, kOffline}));

    network.record(kWired, 2.5);
    network.record(kWired, kNaN);
    EXPECT_EQ(network.entries.back(), (NetworkEntry{3, 3, kOffline}));

    // The unknown value was never read, so it carries no observation time.
    network.record(NetworkPathState::unknown(), 4);
    EXPECT_EQ(network.entries.back(), (NetworkEntry{4, std::nullopt, NetworkPathState{}}));

    // Advancing backwards is ignored too.
    network.advance(1);
    EXPECT_EQ(network.latestTime, 4);
}

TEST(DiagnosticTimeline, IdleTimelineIgnoresRecordAndAdvance) {
    DiagnosticTimeline<SystemState> timeline(60, 127);
    timeline.record(kNominal, 1);
    timeline.advance(2);
    EXPECT_TRUE(timeline.entries.empty());
    EXPECT_FALSE(timeline.latestTime);
}

TEST(DiagnosticTimeline, CountBoundDropsOldestAndMovesRetainedFrom) {
    DiagnosticsBuffer buffer(1000, 127);
    buffer.start(0, SystemState::unknown());
    for (int i = 1; i <= 200; ++i) {
        buffer.system.record(i % 2 ? kNominal : kSerious, i);
    }
    ASSERT_EQ(buffer.system.entries.size(), 127u);
    EXPECT_EQ(buffer.system.entries.front().time, 74);
    EXPECT_EQ(buffer.system.retainedFrom, 74);

    const auto cut = buffer.system.selection(50, 300);
    EXPECT_TRUE(cut.historyTruncated);
    ASSERT_EQ(cut.samples.size(), 128u);
    EXPECT_EQ(cut.samples[0].value, SystemState::unknown());
    EXPECT_EQ(cut.samples[1].time, 24);
}

TEST(DiagnosticTimeline, ZeroDurationKeepsOnlyTheCurrentState) {
    DiagnosticsBuffer buffer(0, 127);
    buffer.start(0, kNominal);
    buffer.system.record(kSerious, 5);
    buffer.system.advance(8);
    EXPECT_EQ(buffer.system.entries, (std::vector<SystemEntry>{{5, 5, kSerious}}));
    EXPECT_EQ(buffer.system.retainedFrom, 5);
}

TEST(DiagnosticsBuffer, ConstructionClampsBounds) {
    struct Case {
        double duration;
        std::int64_t entries;
        double expectedDuration;
        std::int64_t expectedEntries;
    };
    for (const Case& c : {Case{-5, 0, 0, 1}, Case{kInf, 500, 120, 127}, Case{-kInf, -3, 120, 1},
                          Case{kNaN, 127, 120, 127}, Case{30, 50, 30, 50}}) {
        DiagnosticsBuffer buffer(c.duration, c.entries);
        for (double duration : {buffer.network.maximumDuration, buffer.system.maximumDuration}) {
            EXPECT_EQ(duration, c.expectedDuration) << c.duration;
        }
        EXPECT_EQ(buffer.network.maximumEntries, c.expectedEntries) << c.entries;
        EXPECT_EQ(buffer.system.maximumEntries, c.expectedEntries) << c.entries;
        EXPECT_EQ(buffer.generation, 0);
        EXPECT_FALSE(buffer.isMonitoring);
    }
}

TEST(DiagnosticsBuffer, StartEmptiesHistoryAndCountsGenerations) {
    DiagnosticsBuffer buffer(60, 127);
    EXPECT_EQ(buffer.start(0, kNominal), 1);
    EXPECT_EQ(buffer.system.entries, (std::vector<SystemEntry>{{0, 0, kNominal}}));
    buffer.network.record(kWifi, 3);

    EXPECT_EQ(buffer.start(10, SystemState::unknown()), 2);
    EXPECT_TRUE(buffer.isMonitoring);
    EXPECT_EQ(buffer.network.entries,
              (std::vector<NetworkEntry>{{10, std::nullopt, NetworkPathState{}}}));
    EXPECT_EQ(buffer.system.entries, (std::vector<SystemEntry>{{10, std::nullopt, SystemState{}}}));

    EXPECT_EQ(buffer.start(kNaN, kNominal), 3);
    EXPECT_FALSE(buffer.isMonitoring);
    EXPECT_TRUE(buffer.network.entries.empty());
    EXPECT_FALSE(buffer.system.startedAt);
}

TEST(DiagnosticEnvironment, CompactTokenFilter) {
    struct Case {
        std::optional<std::string> text;
        bool kept;
    };
    const Case cases[] = {
        {"14A123", true},
        {"1.2.3-beta_4", true},
        {"a,b", true},
        {std::string(64, 'x'), true},
        {std::string(65, 'x'), false},
        {std::string(300, 'x'), false},
        {"", false},
        {"1.0 beta", false},
        {"caf\xc3\xa9", false},
        {"a/b", false},
        {std::string("a\0b", 3), false},
        {std::nullopt, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compactToken(c.text).has_value(), c.kept) << c.text.value_or("<absent>");
    }
}

TEST(DiagnosticEnvironment, CurrentFiltersOptionalTexts) {
    SystemInformation system;
    system.osVersion = "6.1.0";
    system.osBuild = "#1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1";
    system.hardwareModel = "ThinkPad_X1";
    system.hardwareClass = "Linux";
    system.processArchitecture = "x86_64";
    system.physicalMemoryBytes = 1024;

    const auto environment = DiagnosticEnvironment::current(BundleInfo{"1.2.3-beta_4", ""}, system);
    EXPECT_EQ(environment.osVersion, "6.1.0");
    EXPECT_FALSE(environment.osBuild);
    EXPECT_EQ(environment.hardwareModel, "ThinkPad_X1");
    EXPECT_EQ(environment.appVersion, "1.2.3-beta_4");
    EXPECT_FALSE(environment.appBuild);
    EXPECT_EQ(environment.hardwareClass, "Linux");
    EXPECT_EQ(environment.processArchitecture, "x86_64");
    EXPECT_EQ(environment.physicalMemoryBytes, 1024u);

    const auto bundle = BundleInfo::main();
    EXPECT_TRUE(compactToken(bundle.shortVersion));
    EXPECT_TRUE(compactToken(bundle.version));
}

TEST(CaptureDiagnostics, ClipWithoutChangesHasOneSamplePerChannel) {
    DiagnosticsBuffer buffer(60, 127);
    buffer.start(0, kNominal);
    buffer.network.record(kWifi, 0.5);
    const auto diagnostics = buffer.snapshot(10, 40, sampleEnvironment());

    EXPECT_EQ(diagnostics.v, 1);
    EXPECT_EQ(diagnostics.timeReference, "clip");
    EXPECT_EQ(diagnostics.environment, sampleEnvironment());
    EXPECT_EQ(diagnostics.networkPath.samples,
              (std::vector<NetworkPathSample>{
                  {0, -9.5, Status::satisfied, {Interface::wifi}, false, false}}));
    EXPECT_EQ(diagnostics.systemState.samples,
              (std::vector<SystemStateSample>{{0, -10, false, Thermal::nominal}}));
}
