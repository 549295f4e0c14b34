#pragma once

#include "SnagreelApp/System/CaptureShortcut.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace snagreel::app {

// What the user binds in the desktop's own keyboard settings where no backend can
// deliver a shortcut: it asks the running program to save a clip.
inline constexpr const char* kSaveCommand = "snagreel --save";

// The system service that delivers a key combination to this program from
// anywhere on the desktop. The X11 backend grabs keys on the root window; on
// Wayland the desktop's shortcut portal binds them. Everything is called on the
// main thread and calls back on it.
class HotKeyBackend {
public:
    // Status values: 0 is success, anything else a backend-specific failure code.
    static constexpr std::int32_t kOk = 0;
    // The combination is held by another client (X BadAccess), or the desktop
    // refused to bind it.
    static constexpr std::int32_t kTaken = 10;
    // The key has no key code in the current keyboard mapping.
    static constexpr std::int32_t kNoKeyCode = -50;
    // The service cannot be reached at all (no connection, Wayland session).
    static constexpr std::int32_t kUnavailable = -1;

    virtual ~HotKeyBackend() = default;

    // 0 when presses can be delivered; else why not as a status, and the reason for
    // the user in `unavailableReason`.
    virtual std::int32_t handlerStatus() const = 0;
    virtual std::optional<std::string> unavailableReason() const = 0;

    // Makes `shortcut` deliver presses as `registrationID`. Other registrations stay
    // live. A status other than 0 means nothing was registered.
    virtual std::int32_t registerShortcut(const CaptureShortcut& shortcut,
                                          std::uint32_t registrationID) = 0;
    virtual std::int32_t unregisterShortcut(std::uint32_t registrationID) = 0;

    // The key the service actually bound for a registration, in its own words, where
    // the service chooses (a desktop portal may pick another key than the one
    // asked for, or let the user pick); none until it said, or where the
    // combination itself is bound.
    virtual std::optional<std::string> assignedTrigger(std::uint32_t /*registrationID*/) const {
        return std::nullopt;
    }

    // Called once per physical press (a held key does not repeat) with the
    // registration's identifier.
    std::function<void(std::uint32_t registrationID)> onPressed;
    // Called when a live registration stopped working (the keyboard mapping changed
    // and the combination could not be taken again), with the failure status. A
    // service that answers later (a desktop portal) can accept a registration at
    // once and report its refusal here.
    std::function<void(std::uint32_t registrationID, std::int32_t status)> onLost;
    // Called when a lost registration works again (a later mapping change gave its
    // key back).
    std::function<void(std::uint32_t registrationID)> onRestored;
    // Called when `assignedTrigger` of a registration changed.
    std::function<void(std::uint32_t registrationID)> onTriggerAssigned;
};

} // namespace snagreel::app
