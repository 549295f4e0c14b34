#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace snagreel::devsupport {

// Content that changes on an X display at a steady rate, drawn from its own thread
// and connection into a full-screen window of its own. Drawing is server-side
// (fills and copies from a pixmap prepared once), so the drawer costs next to
// nothing and the figures measured beside it belong to whoever reads the screen.
class MovingContent {
public:
    enum class Mode {
        // The first frame, then nothing changes (a desktop nobody uses).
        idle,
        // A terminal-sized region is redrawn a few times a second (someone typing).
        typing,
        // One small region changes every frame (a clock, a blinking caret).
        patch,
        // Nearly the whole screen changes every frame (scrolling, video).
        motion,
    };

    // "still", "typing", "static", "motion"
    static std::optional<Mode> modeNamed(const std::string& name);

    // Opens the display ("" = $DISPLAY), maps the window, draws the first frame and
    // starts the drawing thread; null (with the reason) when the display is unusable.
    static std::unique_ptr<MovingContent> start(const std::string& displayName, Mode mode,
                                                int framesPerSecond, std::string* whyNot = nullptr);
    ~MovingContent();
    MovingContent(const MovingContent&) = delete;
    MovingContent& operator=(const MovingContent&) = delete;

    void stop();
    std::uint32_t window() const { return window_; }
    std::uint64_t framesDrawn() const { return frames_.load(); }
    // False once the display connection failed (the server went away).
    bool healthy() const { return healthy_.load(); }

private:
    MovingContent() = default;
    void run();
    void drawFrame(std::uint64_t n);

    struct Connection;
    std::unique_ptr<Connection> x_;
    Mode mode_ = Mode::patch;
    int framesPerSecond_ = 15;
    std::uint32_t window_ = 0;
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<bool> healthy_{true};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace snagreel::devsupport
