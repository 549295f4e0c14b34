#include "SnagreelCore/Diagnostics/DiagnosticsCollector.hpp"

#include "support/CaptureFakes.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <thread>

using namespace snagreel;
using namespace snagreel::testing;

namespace {

using Interface = NetworkPathState::Interface;
using Status = NetworkPathState::Status;
using Thermal = SystemState::Thermal;
using NetworkEntry = DiagnosticTimeline<NetworkPathState>::Entry;
using SystemEntry = DiagnosticTimeline<SystemState>::Entry;

// Counts live monitors and hands out the latest one's update handler. Deliveries
// are posted to the queue like the platform monitor does; one already posted still
// runs after cancel, which is exactly the late update the collector must drop.
struct MonitorLog {
    int created = 0;
    int live = 0;
    Executor* queue = nullptr;
    std::function<void(const NetworkPath&)> onUpdate;

    void deliver(const NetworkPath& path) {
        ASSERT_TRUE(queue && onUpdate);
        queue->post([handler = onUpdate, path] { handler(path); });
    }
};

class FakeMonitor final : public NetworkPathMonitor {
public:
    explicit FakeMonitor(std::shared_ptr<MonitorLog> log) : log_(std::move(log)) {
        log_->created += 1;
        log_->live += 1;
    }
    ~FakeMonitor() override {
        if (!cancelled_) {
            log_->live -= 1;
        }
    }
    void start(Executor& queue, std::function<void(const NetworkPath&)> onUpdate) override {
        log_->queue = &queue;
        log_->onUpdate = std::move(onUpdate);
    }
    void cancel() override {
        if (!cancelled_) {
            cancelled_ = true;
            log_->live -= 1;
        }
    }

private:
    std::shared_ptr<MonitorLog> log_;
    bool cancelled_ = false;
};

NetworkPath wifiPath() {
    NetworkPath path;
    path.status = NetworkPath::Status::satisfied;
    path.usesWifi = true;
    return path;
}

class DiagnosticsCollectorTest : public ::testing::Test {
protected:
    DiagnosticsPlatform platform() {
        return DiagnosticsPlatform{[log = monitors] { return std::make_unique<FakeMonitor>(log); },
                                   source};
    }
    std::unique_ptr<DiagnosticsCollector> makeCollector() {
        return std::make_unique<DiagnosticsCollector>(queueOwner, 60, platform(),
                                                      [this] { return now; });
    }

    std::shared_ptr<ManualExecutor> queueOwner = std::make_shared<ManualExecutor>(0);
    ManualExecutor& queue = *queueOwner;
    double now = 100;
    std::shared_ptr<MonitorLog> monitors = std::make_shared<MonitorLog>();
    std::shared_ptr<FakeSystemSource> source = std::make_shared<FakeSystemSource>();
};

} // namespace

TEST_F(DiagnosticsCollectorTest, StartReadsSystemStateAndRecordsPathUpdates) {
    auto collector = makeCollector();
    EXPECT_EQ(collector->buffer().network.maximumDuration, 60);
    EXPECT_EQ(collector->buffer().system.maximumEntries, 127);

    source->set(PlatformThermalState::fair, true);
    collector->start();
    EXPECT_TRUE(collector->isMonitoring());
    EXPECT_EQ(collector->buffer().system.entries,
              (std::vector<SystemEntry>{{100, 100, SystemState{true, Thermal::fair}}}));
    EXPECT_EQ(collector->buffer().network.entries,
              (std::vector<NetworkEntry>{{100, std::nullopt, NetworkPathState{}}}));

    now = 101;
    monitors->deliver(wifiPath());
    queue.runUntilIdle();
    EXPECT_EQ(collector->buffer().network.entries.back(),
              (NetworkEntry{101, 101,
                            NetworkPathState{Status::satisfied, {Interface::wifi}, false, false}}));

    now = 102;
    source->set(PlatformThermalState::critical, false);
    source->notify();
    // Nothing touches the buffer until the hop onto the queue has run.
    EXPECT_EQ(collector->buffer().system.entries.size(), 1u);
    queue.runUntilIdle();
    EXPECT_EQ(collector->buffer().system.entries.back(),
              (SystemEntry{102, 102, SystemState{false, Thermal::critical}}));
}

TEST_F(DiagnosticsCollectorTest, NotificationRaisedBeforeClearIsIgnored) {
    auto collector = makeCollector();
    collector->start();

    source->set(PlatformThermalState::serious, false);
    source->notify(); // queued under the old generation

    now = 105;
    source->set(PlatformThermalState::fair, false);
    collector->clear();

    now = 106;
    source->set(PlatformThermalState::critical, false);
    queue.runUntilIdle();
    EXPECT_EQ(collector->buffer().system.entries,
              (std::vector<SystemEntry>{{105, 105, SystemState{false, Thermal::fair}}}));
}

TEST_F(DiagnosticsCollectorTest, PathUpdateFromAnEarlierMonitorIsIgnored) {
    auto collector = makeCollector();
    collector->start();
    monitors->deliver(wifiPath()); // posted by the first monitor, not yet run
    now = 110;
    collector->start();
    queue.runUntilIdle();
    EXPECT_EQ(collector->buffer().network.entries,
              (std::vector<NetworkEntry>{{110, std::nullopt, NetworkPathState{}}}));
}

TEST_F(DiagnosticsCollectorTest, UnrecognisedPathStatusIsRecordedAsUnknown) {
    auto collector = makeCollector();
    collector->start();
    now = 101;
    monitors->deliver(wifiPath());
    queue.runUntilIdle();
    now = 102;
    NetworkPath odd = wifiPath();
    odd.status = NetworkPath::Status::other;
    odd.isExpensive = true;
    monitors->deliver(odd);
    queue.runUntilIdle();

    const auto json = toJson(collector->buffer().snapshot(100, 103, DiagnosticEnvironment{}));
    const auto& samples = json["networkPath"]["samples"];
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples[2], nlohmann::json::parse(
                              R"({"atSeconds": 2.0, "interfaceTypes": [], "status": "unknown"})"));
}

TEST(DiagnosticsCollectorConversion, InterfacesKeepOneOrderAndUnknownsStayUnknown) {
    NetworkPath all;
    all.status = NetworkPath::Status::requiresConnection;
    all.usesOther = all.usesLoopback = all.usesCellular = all.usesWiredEthernet = all.usesWifi =
        true;
    all.isConstrained = true;
    EXPECT_EQ(DiagnosticsCollector::networkState(all),
              (NetworkPathState{Status::requiresConnection,
                                {Interface::wifi, Interface::wiredEthernet, Interface::cellular,
                                 Interface::loopback, Interface::other},
                                false,
                                true}));
    all.status = NetworkPath::Status::other;
    EXPECT_EQ(DiagnosticsCollector::networkState(all), NetworkPathState::unknown());
    EXPECT_EQ(DiagnosticsCollector::thermalState(PlatformThermalState::serious), Thermal::serious);
    EXPECT_EQ(DiagnosticsCollector::thermalState(PlatformThermalState::other), Thermal::unknown);
}

TEST_F(DiagnosticsCollectorTest, ClearWhileIdleStaysIdle) {
    auto collector = makeCollector();
    collector->clear();
    EXPECT_FALSE(collector->isMonitoring());
    EXPECT_EQ(collector->buffer().generation, 1);
    EXPECT_FALSE(collector->buffer().network.startedAt);
    EXPECT_TRUE(collector->buffer().system.entries.empty());
    EXPECT_EQ(monitors->created, 0);
    EXPECT_EQ(source->observerCount(), 0u);
}

TEST_F(DiagnosticsCollectorTest, RestartKeepsOneMonitorAndTwoRegistrations) {
    auto collector = makeCollector();
    collector->start();
    collector->start();
    EXPECT_EQ(monitors->created, 2);
    EXPECT_EQ(monitors->live, 1);
    EXPECT_EQ(source->observerCount(), 2u);
    EXPECT_EQ(collector->buffer().generation, 2);

    collector->clear();
    EXPECT_TRUE(collector->isMonitoring());
    EXPECT_EQ(monitors->live, 1);
    EXPECT_EQ(source->observerCount(), 2u);
    EXPECT_EQ(collector->buffer().generation, 4); // the clear, then the restart

    collector->stop();
    EXPECT_FALSE(collector->isMonitoring());
    EXPECT_EQ(monitors->live, 0);
    EXPECT_EQ(source->observerCount(), 0u);
    EXPECT_TRUE(collector->buffer().network.entries.empty());
}

TEST_F(DiagnosticsCollectorTest, UnchangedReadingsAddNothingAndTicksPrune) {
    auto collector = makeCollector();
    collector->start();
    for (int i = 1; i <= 5; ++i) {
        now = 100 + i;
        source->notify();
        monitors->deliver(wifiPath());
        queue.runUntilIdle();
    }
    EXPECT_EQ(collector->buffer().system.entries.size(), 1u);
    EXPECT_EQ(collector->buffer().network.entries.size(), 2u);
    EXPECT_EQ(collector->buffer().system.latestTime, 105);

    collector->advance(200);
    EXPECT_EQ(collector->buffer().network.entries.size(), 1u);
    EXPECT_EQ(collector->buffer().network.retainedFrom, 101);

    collector->stop();
    collector->advance(300);
    EXPECT_FALSE(collector->buffer().network.latestTime);
}

TEST_F(DiagnosticsCollectorTest, DestroyedWithDeliveriesInFlight) {
    auto collector = makeCollector();
    collector->start();
    source->notify();
    monitors->deliver(wifiPath());
    collector.reset();
    EXPECT_EQ(source->observerCount(), 0u);
    EXPECT_EQ(monitors->live, 0);
    EXPECT_EQ(queue.runUntilIdle(), 3u); // two notification hops and one path update
}

TEST_F(DiagnosticsCollectorTest, StartsWithoutPlatformPieces) {
    DiagnosticsCollector collector(queueOwner, 60, DiagnosticsPlatform{}, [this] { return now; });
    collector.start();
    EXPECT_TRUE(collector.isMonitoring());
    EXPECT_EQ(collector.buffer().system.entries,
              (std::vector<SystemEntry>{{100, std::nullopt, SystemState{}}}));
    collector.clear();
    collector.stop();
}

TEST(DiagnosticsCollectorThreads, NotificationFromAnotherThreadHopsToTheQueue) {
    auto queueOwner = std::make_shared<SerialQueue>("test.capture");
    SerialQueue& queue = *queueOwner;
    auto source = std::make_shared<FakeSystemSource>();
    std::unique_ptr<DiagnosticsCollector> collector;
    queue.post([&] {
        collector = std::make_unique<DiagnosticsCollector>(
            queueOwner, 60, DiagnosticsPlatform{nullptr, source}, [] { return 50.0; });
        collector->start();
    });
    queue.drain();

    source->set(PlatformThermalState::serious, true);
    std::thread raiser([&] { source->notify(); });
    raiser.join();
    queue.drain(); // the hop posted by the raiser has run

    std::vector<SystemEntry> entries;
    queue.post([&] {
        entries = collector->buffer().system.entries;
        collector.reset();
    });
    queue.drain();
    EXPECT_EQ(entries, (std::vector<SystemEntry>{{50, 50, SystemState{true, Thermal::serious}}}));
}
