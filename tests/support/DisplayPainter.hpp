#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace snagreel::testing {

// Paints known pictures on an X display for capture tests: solid fills of the root
// window and solid top-level windows. Every call returns once the server has drawn.
class DisplayPainter {
public:
    static std::unique_ptr<DisplayPainter> open(const std::string& displayName);
    ~DisplayPainter();
    DisplayPainter(const DisplayPainter&) = delete;
    DisplayPainter& operator=(const DisplayPainter&) = delete;

    // Colours are 0xRRGGBB.
    void fillRoot(std::uint32_t rgb);
    // A mapped, override-redirect window (so no window manager is needed).
    std::uint32_t makeWindow(int x, int y, int width, int height, std::uint32_t rgb,
                             bool mapped = true);
    void fillWindow(std::uint32_t window, std::uint32_t rgb);
    void resizeWindow(std::uint32_t window, int width, int height);
    void destroyWindow(std::uint32_t window);
    void warpPointer(int x, int y);

private:
    DisplayPainter() = default;
    void sync();
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace snagreel::testing
