#include "DisplayPainter.hpp"

#include <xcb/xcb.h>

#include <cstdlib>

namespace snagreel::testing {

struct DisplayPainter::State {
    xcb_connection_t* c = nullptr;
    xcb_screen_t* screen = nullptr;
    xcb_gcontext_t gc = 0;
    ~State() {
        if (c) {
            xcb_disconnect(c);
        }
    }
};

std::unique_ptr<DisplayPainter> DisplayPainter::open(const std::string& displayName) {
    auto state = std::make_unique<State>();
    state->c = xcb_connect(displayName.c_str(), nullptr);
    if (xcb_connection_has_error(state->c)) {
        return nullptr;
    }
    state->screen = xcb_setup_roots_iterator(xcb_get_setup(state->c)).data;
    state->gc = xcb_generate_id(state->c);
    const std::uint32_t values[] = {0, 0};
    xcb_create_gc(state->c, state->gc, state->screen->root,
                  XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, values);
    std::unique_ptr<DisplayPainter> painter(new DisplayPainter());
    painter->state_ = std::move(state);
    painter->sync();
    return painter;
}

DisplayPainter::~DisplayPainter() = default;

void DisplayPainter::sync() {
    std::free(xcb_get_input_focus_reply(state_->c, xcb_get_input_focus(state_->c), nullptr));
}

void DisplayPainter::fillRoot(std::uint32_t rgb) {
    fillWindow(state_->screen->root, rgb);
}

void DisplayPainter::fillWindow(std::uint32_t window, std::uint32_t rgb) {
    xcb_change_gc(state_->c, state_->gc, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t all{0, 0, 0x7fff, 0x7fff};
    xcb_poly_fill_rectangle(state_->c, window, state_->gc, 1, &all);
    sync();
}

std::uint32_t DisplayPainter::makeWindow(int x, int y, int width, int height, std::uint32_t rgb,
                                         bool mapped) {
    const xcb_window_t window = xcb_generate_id(state_->c);
    const std::uint32_t values[] = {rgb, 1};
    xcb_create_window(state_->c, XCB_COPY_FROM_PARENT, window, state_->screen->root,
                      static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, state_->screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    if (mapped) {
        xcb_map_window(state_->c, window);
    }
    sync();
    return window;
}

void DisplayPainter::resizeWindow(std::uint32_t window, int width, int height) {
    const std::uint32_t values[] = {static_cast<std::uint32_t>(width),
                                    static_cast<std::uint32_t>(height)};
    xcb_configure_window(state_->c, window, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    sync();
}

void DisplayPainter::destroyWindow(std::uint32_t window) {
    xcb_destroy_window(state_->c, window);
    sync();
}

void DisplayPainter::warpPointer(int x, int y) {
    xcb_warp_pointer(state_->c, XCB_NONE, state_->screen->root, 0, 0, 0, 0,
                     static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
    sync();
}

} // namespace snagreel::testing
