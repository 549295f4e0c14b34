#pragma once

#include "SnagreelApp/System/CaptureShortcut.hpp"
#include "SnagreelApp/System/HotKeyBackend.hpp"
#include "SnagreelApp/System/ShortcutStorage.hpp"

#include <QObject>
#include <QUuid>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace snagreel::app {

// The system-wide capture shortcut: loads the stored combination, keeps it
// registered with the backend, runs `action` on a press, and lets the user change
// or clear it. Main thread only; the state below is observed through the signals.
class GlobalHotKey : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kPreferenceKey = "captureShortcut.v1";

    // A press of the current combination goes to `acceptCurrent` instead of
    // `action` while the shortcut recorder field is listening for keys.
    struct RecordingSession {
        QUuid id;
        std::function<void(const CaptureShortcut&)> acceptCurrent;
    };

    // Loads the preference (the default combination when nothing usable is stored;
    // nothing is written back) and registers it. `storage` must outlive this.
    GlobalHotKey(ShortcutStorage& storage, std::unique_ptr<HotKeyBackend> backend,
                 std::string preferenceKey = kPreferenceKey, QObject* parent = nullptr);
    ~GlobalHotKey() override;

    const std::optional<CaptureShortcut>& shortcut() const { return shortcut_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    // The status of the last registration attempt; 0 when none failed.
    std::int32_t registrationStatus() const { return registrationStatus_; }
    std::int32_t handlerStatus() const { return backend_->handlerStatus(); }
    // Why no shortcut can work in this session (for example a Wayland session), or
    // none.
    std::optional<std::string> unavailableReason() const { return backend_->unavailableReason(); }
    // The key the desktop bound for the live shortcut, in its words, where the
    // desktop chooses (the Wayland portal); none until it said or elsewhere.
    std::optional<std::string> assignedTrigger() const;
    // A shortcut is set and a press of it reaches `action`.
    bool isLive() const;

    // Changes or clears the combination. Fails with a ShortcutError or the storage's
    // error; after a failure the previous combination is still registered and
    // stored.
    Result<void> setShortcut(std::optional<CaptureShortcut> shortcut);

    // One press delivered by the backend; true when it was this registration's.
    bool received(std::uint32_t registrationID);

    // The recorder field's session; at most one at a time, a new one replaces it.
    void beginRecording(RecordingSession session);
    // Ends the session with `id`; a stale identifier is ignored.
    void endRecording(const QUuid& id);
    bool isRecording() const { return recordingSession_.has_value(); }
    void clearLastError();

    // What a press does (save a clip).
    std::function<void()> action;

signals:
    void shortcutChanged();
    void lastErrorChanged();
    void registrationStatusChanged();
    void assignedTriggerChanged();

private:
    Result<void> replaceRegistration(const CaptureShortcut& shortcut,
                                     std::optional<std::uint32_t>& newID);
    void setLastError(std::optional<std::string> text);
    void setRegistrationStatus(std::int32_t status);
    Result<void> store(const std::optional<CaptureShortcut>& shortcut);

    ShortcutStorage& storage_;
    std::unique_ptr<HotKeyBackend> backend_;
    std::string preferenceKey_;
    std::optional<std::uint32_t> activeRegistrationID_;
    std::optional<RecordingSession> recordingSession_;
    std::optional<CaptureShortcut> shortcut_;
    std::optional<std::string> lastError_;
    std::int32_t registrationStatus_ = 0;
};

} // namespace snagreel::app
