#include "SnagreelCore/Linux/LinuxRecorder.hpp"

#include "SnagreelCore/Capture/CaptureEngine.hpp"
#include "SnagreelCore/Linux/FFmpegVideoEncoder.hpp"
#include "SnagreelCore/Linux/LifecycleLog.hpp"
#include "SnagreelCore/Linux/LinuxBundleSaver.hpp"
#include "SnagreelCore/Linux/LinuxDiagnosticsPlatform.hpp"
#include "SnagreelCore/Linux/LinuxLifecycle.hpp"
#include "SnagreelCore/Linux/LinuxSystemInformation.hpp"
#include "SnagreelCore/Linux/LogindSleepInhibitor.hpp"
#include "SnagreelCore/Linux/PortalScreenCapture.hpp"
#include "SnagreelCore/Linux/SessionPlatform.hpp"
#include "SnagreelCore/Linux/X11GrabSession.hpp"
#include "SnagreelCore/Linux/X11ScreenCapture.hpp"

#include <malloc.h>

extern "C" {
#include <libavutil/log.h>
}

namespace snagreel {

CapturePlatform makeLinuxCapturePlatform(const LinuxRecorderOptions& options) {
    // The codec and device libraries chat on stderr at their default level; the
    // recorder's only log is its lifecycle line.
    av_log_set_level(AV_LOG_ERROR);
    // Every recovery builds an engine with fresh threads, and glibc gives each new
    // thread its own malloc arena that it never hands back: a day of recoveries
    // would grow the resident size without any leak. Two arenas serve capture
    // and encoding without contention.
    mallopt(M_ARENA_MAX, 2);
    const std::string display = options.displayName;
    CapturePlatform platform;
    platform.clock = monotonicSeconds;
    // A Wayland desktop shares its screen only through the portal; the X11 grab
    // stays as the fallback, which refuses the rootless X server such sessions run.
    if (currentSessionPlatform() == SessionPlatform::wayland) {
        platform.screenCapture = makePortalScreenCaptureService();
    } else {
        platform.screenCapture = makeX11ScreenCaptureService(display);
    }
    platform.makeGrabSession = [display] { return std::make_unique<X11GrabSession>(display); };
    platform.displays = std::make_shared<X11DisplayDirectory>(display);
    platform.makeEncoder = makeFFmpegEncoderFactory();
    platform.screenAccess = [display] { return x11ScreenAccess(display); };
    // One connection for every engine's re-checks, kept between them.
    auto access = std::make_shared<X11ScreenAccessMonitor>(display);
    platform.recheckScreenAccess = [access] { return access->check(); };
    platform.screenAccessExplanation = [display] { return screenAccessExplanation(display); };
    platform.diagnostics = makeLinuxDiagnosticsPlatform();
    // The machine does not change while recording: read it once.
    auto information = std::make_shared<SystemInformation>(readLinuxSystemInformation());
    platform.systemInformation = [information] { return *information; };
    return platform;
}

CaptureConfiguration withSessionBackend(CaptureConfiguration configuration) {
    configuration.backend = captureBackendFor(currentSessionPlatform(), configuration.backend);
    return configuration;
}

EngineFactory linuxEngineFactory(CapturePlatform platform, Executor& main) {
    return [platform = std::move(platform), &main](
               const CaptureConfiguration& configuration, std::optional<std::uint32_t> displayID,
               std::function<void(CaptureEngineStatus)> onStatus,
               std::function<void(CaptureFailure)> onStopped) -> std::shared_ptr<CaptureSession> {
        return CaptureEngine::create(withSessionBackend(configuration), displayID,
                                     std::move(onStatus), std::move(onStopped), platform, main);
    };
}

CaptureControllerEnvironment linuxControllerEnvironment(Executor& main,
                                                        const LinuxRecorderOptions& options) {
    CaptureControllerEnvironment environment;
    environment.sleep = executorSleep(main);
    environment.factory = linuxEngineFactory(makeLinuxCapturePlatform(options), main);
    environment.saveBundle = saveCaptureBundle;
    if (options.monitorLifecycle) {
        LinuxLifecycleOptions lifecycle;
        lifecycle.systemBusAddress = options.systemBusAddress;
        lifecycle.displayName = options.displayName;
        environment.monitor = linuxMonitorFactory(main, lifecycle);
        environment.beginActivity = logindRecordingActivity(options.systemBusAddress);
    }
    environment.log = lifecycleLogger();
    environment.wallClock = [] { return std::chrono::system_clock::now(); };
    return environment;
}

} // namespace snagreel
