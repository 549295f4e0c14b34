#include "SnagreelCore/Diagnostics/DiagnosticsCollector.hpp"

#include <utility>

namespace snagreel {

namespace {
constexpr std::int64_t kEntriesPerTimeline = 127;
} // namespace

DiagnosticsCollector::Inner::Inner(double maximumDuration,
                                   std::shared_ptr<SystemStateSource> source, Clock clock)
    : buffer(maximumDuration, kEntriesPerTimeline), source(std::move(source)),
      clock(clock ? std::move(clock) : Clock(monotonicSeconds)) {}

void DiagnosticsCollector::Inner::recordNetwork(std::int64_t generation, const NetworkPath& path) {
    const NetworkPathState state = networkState(path);
    const double now = clock();
    if (buffer.isMonitoring && buffer.generation == generation) {
        buffer.network.record(state, now);
    }
}

void DiagnosticsCollector::Inner::recordSystem(std::int64_t generation) {
    if (!buffer.isMonitoring || buffer.generation != generation || !source) {
        return;
    }
    SystemState state;
    state.thermalState = thermalState(source->thermalState());
    state.lowPowerMode = source->lowPowerMode();
    buffer.system.record(state, clock());
}

DiagnosticsCollector::DiagnosticsCollector(std::shared_ptr<Executor> queue, double maximumDuration,
                                           DiagnosticsPlatform platform, Clock clock)
    : queue_(queue), inner_(std::make_shared<Inner>(
                         maximumDuration, std::move(platform.systemState), std::move(clock))),
      makeMonitor_(std::move(platform.makeNetworkPathMonitor)) {}

DiagnosticsCollector::~DiagnosticsCollector() {
    cancelObservers();
}

void DiagnosticsCollector::start() {
    cancelObservers();
    const std::int64_t generation = inner_->buffer.start(inner_->clock(), SystemState::unknown());
    const std::weak_ptr<Inner> weak = inner_;

    if (makeMonitor_) {
        monitor_ = makeMonitor_();
    }
    // Every method runs on the queue, so its owner keeps it alive here.
    const auto queue = queue_.lock();
    if (monitor_ && queue) {
        monitor_->start(*queue, [weak, generation](const NetworkPath& path) {
            if (auto inner = weak.lock()) {
                inner->recordNetwork(generation, path);
            }
        });
    }

    if (inner_->source) {
        // Change notifications may come on any thread and carry no reading: they
        // only hop to the queue, where the state is read under the generation check.
        // The platform may still be inside a round of calls when the collector is
        // released; only the weak queue keeps that round off a freed queue.
        auto onChange = [queue = queue_, weak, generation] {
            if (auto executor = queue.lock()) {
                executor->post([weak, generation] {
                    if (auto inner = weak.lock()) {
                        inner->recordSystem(generation);
                    }
                });
            }
        };
        // One registration for thermal changes, one for power-saver changes; the
        // platform source delivers both through the same kind of handler.
        notifications_.push_back(inner_->source->addObserver(onChange));
        notifications_.push_back(inner_->source->addObserver(onChange));
    }

    inner_->recordSystem(generation);
}

void DiagnosticsCollector::clear() {
    const bool wasMonitoring = inner_->buffer.isMonitoring;
    cancelObservers();
    inner_->buffer.clear();
    if (wasMonitoring) {
        start();
    }
}

void DiagnosticsCollector::stop() {
    cancelObservers();
    inner_->buffer.clear();
}

void DiagnosticsCollector::advance(double now) {
    if (!inner_->buffer.isMonitoring) {
        return;
    }
    inner_->buffer.network.advance(now);
    inner_->buffer.system.advance(now);
}

bool DiagnosticsCollector::isMonitoring() const {
    return inner_->buffer.isMonitoring;
}

DiagnosticsBuffer& DiagnosticsCollector::buffer() {
    return inner_->buffer;
}

const DiagnosticsBuffer& DiagnosticsCollector::buffer() const {
    return inner_->buffer;
}

void DiagnosticsCollector::cancelObservers() {
    if (monitor_) {
        monitor_->cancel();
        monitor_.reset();
    }
    for (std::uint64_t token : notifications_) {
        inner_->source->removeObserver(token);
    }
    notifications_.clear();
}

NetworkPathState DiagnosticsCollector::networkState(const NetworkPath& path) {
    NetworkPathState state;
    switch (path.status) {
    case NetworkPath::Status::satisfied:
        state.status = NetworkPathState::Status::satisfied;
        break;
    case NetworkPath::Status::unsatisfied:
        state.status = NetworkPathState::Status::unsatisfied;
        break;
    case NetworkPath::Status::requiresConnection:
        state.status = NetworkPathState::Status::requiresConnection;
        break;
    default:
        return NetworkPathState::unknown();
    }
    using Interface = NetworkPathState::Interface;
    const std::pair<bool, Interface> uses[] = {
        {path.usesWifi, Interface::wifi},
        {path.usesWiredEthernet, Interface::wiredEthernet},
        {path.usesCellular, Interface::cellular},
        {path.usesLoopback, Interface::loopback},
        {path.usesOther, Interface::other},
    };
    for (const auto& [used, interface] : uses) {
        if (used) {
            state.interfaceTypes.push_back(interface);
        }
    }
    state.isExpensive = path.isExpensive;
    state.isConstrained = path.isConstrained;
    return state;
}

SystemState::Thermal DiagnosticsCollector::thermalState(PlatformThermalState state) {
    switch (state) {
    case PlatformThermalState::nominal:
        return SystemState::Thermal::nominal;
    case PlatformThermalState::fair:
        return SystemState::Thermal::fair;
    case PlatformThermalState::serious:
        return SystemState::Thermal::serious;
    case PlatformThermalState::critical:
        return SystemState::Thermal::critical;
    default:
        return SystemState::Thermal::unknown;
    }
}

} // namespace snagreel
