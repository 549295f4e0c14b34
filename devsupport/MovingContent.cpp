#include "devsupport/MovingContent.hpp"

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

namespace snagreel::devsupport {
namespace {

constexpr int kPatternPeriod = 256; // the texture repeats every this many columns
constexpr int kShiftPerFrame = 8;

// A texture with edges and gradients, so that an encoder sees detail rather than a
// flat fill that compresses to nothing.
std::uint32_t patternPixel(int x, int y) {
    const auto r = static_cast<std::uint32_t>((x * 3 + y) & 0xff);
    const auto g = static_cast<std::uint32_t>(((x ^ y) * 5) & 0xff);
    const auto b = static_cast<std::uint32_t>((((x / 16) + (y / 16)) & 1) ? 0xe0 : 0x30);
    return (r << 16) | (g << 8) | b;
}

} // namespace

struct MovingContent::Connection {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_pixmap_t texture = 0;
    xcb_gcontext_t gc = 0;
    int width = 0;
    int height = 0;

    ~Connection() {
        if (c) {
            xcb_disconnect(c);
        }
    }
};

std::optional<MovingContent::Mode> MovingContent::modeNamed(const std::string& name) {
    if (name == "still") {
        return Mode::idle;
    }
    if (name == "typing") {
        return Mode::typing;
    }
    if (name == "static") {
        return Mode::patch;
    }
    if (name == "motion") {
        return Mode::motion;
    }
    return std::nullopt;
}

std::unique_ptr<MovingContent> MovingContent::start(const std::string& displayName, Mode mode,
                                                    int framesPerSecond, std::string* whyNot) {
    auto fail = [&](const char* why) -> std::unique_ptr<MovingContent> {
        if (whyNot) {
            *whyNot = why;
        }
        return nullptr;
    };
    std::unique_ptr<MovingContent> content(new MovingContent());
    content->mode_ = mode;
    content->framesPerSecond_ = std::max(1, framesPerSecond);
    content->x_ = std::make_unique<Connection>();
    Connection& x = *content->x_;
    int screenNumber = 0;
    x.c = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (xcb_connection_has_error(x.c)) {
        return fail("cannot open the display");
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(x.c));
    for (int i = 0; i < screenNumber && it.rem; ++i) {
        xcb_screen_next(&it);
    }
    x.screen = it.data;
    if (!x.screen || x.screen->root_depth != 24) {
        return fail("the display is not a depth-24 screen");
    }
    x.width = x.screen->width_in_pixels;
    x.height = x.screen->height_in_pixels;

    content->window_ = xcb_generate_id(x.c);
    const std::uint32_t values[] = {x.screen->black_pixel, 1};
    xcb_create_window(x.c, XCB_COPY_FROM_PARENT, content->window_, x.screen->root, 0, 0,
                      static_cast<std::uint16_t>(x.width), static_cast<std::uint16_t>(x.height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, x.screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    x.gc = xcb_generate_id(x.c);
    const std::uint32_t gcValues[] = {0, 0};
    xcb_create_gc(x.c, x.gc, content->window_, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES,
                  gcValues);

    // The texture is one period wider than the screen, so that every shifted copy
    // of it covers the window.
    const int textureWidth = x.width + kPatternPeriod;
    x.texture = xcb_generate_id(x.c);
    xcb_create_pixmap(x.c, 24, x.texture, x.screen->root, static_cast<std::uint16_t>(textureWidth),
                      static_cast<std::uint16_t>(x.height));
    constexpr int kRowsPerRequest = 32;
    std::vector<std::uint32_t> rows(static_cast<std::size_t>(textureWidth) * kRowsPerRequest);
    for (int y0 = 0; y0 < x.height; y0 += kRowsPerRequest) {
        const int count = std::min(kRowsPerRequest, x.height - y0);
        for (int y = 0; y < count; ++y) {
            for (int px = 0; px < textureWidth; ++px) {
                rows[static_cast<std::size_t>(y) * textureWidth + px] = patternPixel(px, y0 + y);
            }
        }
        xcb_put_image(x.c, XCB_IMAGE_FORMAT_Z_PIXMAP, x.texture, x.gc,
                      static_cast<std::uint16_t>(textureWidth), static_cast<std::uint16_t>(count),
                      0, static_cast<std::int16_t>(y0), 0, 24,
                      static_cast<std::uint32_t>(count * textureWidth * 4),
                      reinterpret_cast<const std::uint8_t*>(rows.data()));
    }
    xcb_map_window(x.c, content->window_);
    content->drawFrame(0);
    xcb_generic_error_t* error = nullptr;
    free(xcb_get_input_focus_reply(x.c, xcb_get_input_focus(x.c), &error));
    if (error || xcb_connection_has_error(x.c)) {
        free(error);
        return fail("the display refused the drawing requests");
    }
    content->frames_ = 1;
    content->thread_ = std::thread([raw = content.get()] { raw->run(); });
    return content;
}

void MovingContent::drawFrame(std::uint64_t n) {
    Connection& x = *x_;
    if (mode_ == Mode::motion) {
        const auto shift = static_cast<std::int16_t>((n * kShiftPerFrame) % kPatternPeriod);
        xcb_copy_area(x.c, x.texture, window_, x.gc, shift, 0, 0, 0,
                      static_cast<std::uint16_t>(x.width), static_cast<std::uint16_t>(x.height));
    } else if (mode_ == Mode::typing) {
        if (n == 0) {
            xcb_copy_area(x.c, x.texture, window_, x.gc, 0, 0, 0, 0,
                          static_cast<std::uint16_t>(x.width),
                          static_cast<std::uint16_t>(x.height));
        }
        // A terminal of 80x24 cells of 8x16 pixels; every fifth frame (three times a
        // second at 15 fps) its lines are redrawn shifted, as when output scrolls or
        // text is typed and echoed.
        if (n % 5 == 0) {
            const auto shift = static_cast<std::int16_t>((n / 5 * 8) % kPatternPeriod);
            const int width = std::min(640, x.width);
            const int height = std::min(384, x.height);
            xcb_copy_area(x.c, x.texture, window_, x.gc, shift, 0,
                          static_cast<std::int16_t>(std::max(0, x.width / 8)),
                          static_cast<std::int16_t>(std::max(0, x.height / 8)),
                          static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height));
        }
    } else if (mode_ == Mode::idle) {
        if (n == 0) {
            xcb_copy_area(x.c, x.texture, window_, x.gc, 0, 0, 0, 0,
                          static_cast<std::uint16_t>(x.width),
                          static_cast<std::uint16_t>(x.height));
        }
    } else {
        if (n == 0) {
            xcb_copy_area(x.c, x.texture, window_, x.gc, 0, 0, 0, 0,
                          static_cast<std::uint16_t>(x.width),
                          static_cast<std::uint16_t>(x.height));
        }
        // A clock-sized patch in the bottom-right corner, a new shade each frame.
        const std::uint32_t colour = static_cast<std::uint32_t>((n * 37) & 0xff) << 8 | 0x200000;
        xcb_change_gc(x.c, x.gc, XCB_GC_FOREGROUND, &colour);
        const xcb_rectangle_t patch{static_cast<std::int16_t>(std::max(0, x.width - 96)),
                                    static_cast<std::int16_t>(std::max(0, x.height - 32)), 80, 20};
        xcb_poly_fill_rectangle(x.c, window_, x.gc, 1, &patch);
    }
    xcb_flush(x.c);
}

void MovingContent::run() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::nanoseconds(1'000'000'000LL / framesPerSecond_);
    auto next = Clock::now() + period;
    std::uint64_t n = 1;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (wake_.wait_until(lock, next, [this] { return stopping_; })) {
            break;
        }
        next += period;
        if (next < Clock::now()) {
            next = Clock::now() + period;
        }
        lock.unlock();
        drawFrame(n++);
        // Waiting for the server keeps the drawer from queueing frames faster than
        // the server draws them, as a real application's compositor would.
        free(xcb_get_input_focus_reply(x_->c, xcb_get_input_focus(x_->c), nullptr));
        const bool ok = xcb_connection_has_error(x_->c) == 0;
        lock.lock();
        if (!ok) {
            healthy_ = false;
            break;
        }
        frames_.fetch_add(1);
    }
}

void MovingContent::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

MovingContent::~MovingContent() {
    stop();
}

} // namespace snagreel::devsupport
