#pragma once

// The primary screen source on X11: RandR outputs and top-level windows as the
// shareable content, and a stream that reads the chosen rectangle through a private
// MIT-SHM segment, skips unchanged frames with XDamage, draws the XFixes cursor in
// and hands NV12 images to the capture queue.

#include "SnagreelCore/Capture/CapturePlatform.hpp"
#include "SnagreelCore/Linux/FrameConverter.hpp"
#include "SnagreelCore/Support/Error.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace snagreel {

// `displayName` "" means $DISPLAY.
std::shared_ptr<ScreenCaptureService> makeX11ScreenCaptureService(std::string displayName = {});

// The screen-access preflight: the display opens and a 1x1 read of its root window
// succeeds. False in a Wayland session that offers no X display and for a server
// that refuses the connection; true when no server is there at all, which is not
// a matter of permission.
bool x11ScreenAccess(const std::string& displayName = {});
// The re-check while recording, over one connection kept between checks: a check
// never needs a client slot the server may not have. A read the live server
// refuses is `denied`; a connection that broke or cannot be made is `unreachable`
// (and is made afresh by the next check). Safe from any thread.
class X11ScreenAccessMonitor {
public:
    explicit X11ScreenAccessMonitor(std::string displayName = {});
    ~X11ScreenAccessMonitor();
    X11ScreenAccessMonitor(const X11ScreenAccessMonitor&) = delete;
    X11ScreenAccessMonitor& operator=(const X11ScreenAccessMonitor&) = delete;

    ScreenAccessCheck check();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// One sentence for the status text saying why access is or is not there.
std::string screenAccessExplanation(const std::string& displayName = {});

// Why an Xwayland display is refused: it is rootless, so reading its root window
// gives black pixels (or only other X clients' windows), never the desktop.
inline constexpr const char* kXwaylandRefusal =
    "This is a Wayland session, whose X display (Xwayland) shows Snagreel only black "
    "frames, so Snagreel cannot record it until it can record Wayland screens.";
// Whether a server is Xwayland, from its extension list and its RandR output names:
// the "XWAYLAND" extension, or outputs named "XWAYLAND<n>" by servers without it.
bool isXwayland(const std::vector<std::string>& extensions,
                const std::vector<std::string>& outputNames);

// One connection's reader of a drawable's rectangle, the building block of the
// stream (public so that the benchmarks can time its steps one by one). Not
// thread-safe: one thread uses it at a time.
class X11FrameReader {
public:
    // Opens the display and prepares the segment for the filter's target: a RandR
    // output (its CRTC rectangle of the root window) or a top-level window.
    static Result<std::unique_ptr<X11FrameReader>>
    open(const std::string& displayName, const ContentFilter& filter, bool showsCursor);
    ~X11FrameReader(); // detaches and removes the segment, closes the connection
    X11FrameReader(const X11FrameReader&) = delete;
    X11FrameReader& operator=(const X11FrameReader&) = delete;

    int width() const;
    int height() const;

    // Reads the events since the last call and, with the cursor shown, where the
    // cursor is. True when the picture may differ from the last read one. An error
    // means the stream cannot go on (connection lost, target gone or resized).
    Result<bool> poll();
    // Reads the target's pixels into the segment (32-bit BGRX rows of stride()):
    // the rows damaged since the last read (and those the cursor covers, was drawn
    // over or moved across), or every row the first time, after a move, or without
    // the damage extension.
    Result<void> read();
    // The rows the last read() took from the server, in stripes of 16 rows; the
    // others hold what earlier reads found there.
    std::span<const RowRange> rowsRead() const;
    // Draws the cursor found by the last poll() into the pixels read.
    void compositeCursor();

    const std::uint8_t* pixels() const;
    int stride() const;
    // The System V segment id (tests check its permissions and lifetime).
    int segmentID() const;

private:
    struct State;
    explicit X11FrameReader(std::unique_ptr<State> state);
    Result<void> readRows(RowRange range, int readX, int readY);
    std::unique_ptr<State> state_;
};

} // namespace snagreel
