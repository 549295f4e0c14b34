#include "SnagreelApp/System/GlobalHotKey.hpp"

#include <QSettings>

#include <atomic>

namespace snagreel::app {

namespace {

// Numbers every registration of the process, so that a press delivered for a
// registration that has since been replaced is recognised as stale.
std::atomic<std::uint32_t> nextRegistrationID{0};

Error shortcutFailure(ShortcutError error) {
    return Error(std::move(error));
}

} // namespace

std::optional<std::string> SettingsShortcutStorage::read(const std::string& key) const {
    const QVariant value = settings_.value(QString::fromStdString(key));
    if (!value.isValid()) {
        return std::nullopt;
    }
    const QByteArray bytes = value.toByteArray();
    return bytes.toStdString();
}

Result<void> SettingsShortcutStorage::write(const std::string& key, const std::string& bytes) {
    settings_.setValue(QString::fromStdString(key), QByteArray::fromStdString(bytes));
    settings_.sync();
    if (settings_.status() != QSettings::NoError) {
        return Unexpected{
            Error(PlatformError{"QSettings", static_cast<std::int64_t>(settings_.status()),
                                "The preferences file could not be written."})};
    }
    return {};
}

GlobalHotKey::GlobalHotKey(ShortcutStorage& storage, std::unique_ptr<HotKeyBackend> backend,
                           std::string preferenceKey, QObject* parent)
    : QObject(parent), storage_(storage), backend_(std::move(backend)),
      preferenceKey_(std::move(preferenceKey)) {
    shortcut_ = CaptureShortcut::defaultShortcut();
    if (auto bytes = storage_.read(preferenceKey_)) {
        auto preference = ShortcutPreference::decode(*bytes);
        if (preference && preference->v == 1 &&
            (!preference->shortcut || !preference->shortcut->validationError())) {
            shortcut_ = preference->shortcut;
        }
    }

    backend_->onPressed = [this](std::uint32_t id) { received(id); };
    backend_->onLost = [this](std::uint32_t id, std::int32_t status) {
        if (activeRegistrationID_ == id) {
            setRegistrationStatus(status);
            setLastError(shortcutmessages::kSavedUnavailable);
        }
    };

    backend_->onRestored = [this](std::uint32_t id) {
        if (activeRegistrationID_ == id && registrationStatus_ != 0) {
            setRegistrationStatus(0);
            if (lastError_ == shortcutmessages::kSavedUnavailable) {
                clearLastError();
            }
        }
    };

    backend_->onTriggerAssigned = [this](std::uint32_t id) {
        if (activeRegistrationID_ == id) {
            emit assignedTriggerChanged();
        }
    };

    if (backend_->handlerStatus() != HotKeyBackend::kOk) {
        setLastError(backend_->unavailableReason().value_or(shortcutmessages::kEventHandler));
        return;
    }
    if (shortcut_) {
        std::optional<std::uint32_t> id;
        auto registered = replaceRegistration(*shortcut_, id);
        if (!registered) {
            if (auto failure = registered.error().as<ShortcutError>();
                failure && failure->isRegistration()) {
                setRegistrationStatus(static_cast<std::int32_t>(registered.error().code()));
            }
            setLastError(shortcutmessages::kSavedUnavailable);
        } else {
            activeRegistrationID_ = id;
        }
    }
}

GlobalHotKey::~GlobalHotKey() {
    backend_->onPressed = nullptr;
    backend_->onLost = nullptr;
    backend_->onRestored = nullptr;
    backend_->onTriggerAssigned = nullptr;
    if (activeRegistrationID_) {
        backend_->unregisterShortcut(*activeRegistrationID_);
    }
}

std::optional<std::string> GlobalHotKey::assignedTrigger() const {
    if (!isLive()) {
        return std::nullopt;
    }
    return backend_->assignedTrigger(*activeRegistrationID_);
}

bool GlobalHotKey::isLive() const {
    return shortcut_ && activeRegistrationID_ && backend_->handlerStatus() == HotKeyBackend::kOk &&
           registrationStatus_ == 0;
}

// Registers `shortcut` next to whatever is live now; the caller retires the old
// registration once the change is stored, so a failure at any step can leave the
// previous combination working.
Result<void> GlobalHotKey::replaceRegistration(const CaptureShortcut& shortcut,
                                               std::optional<std::uint32_t>& newID) {
    if (backend_->handlerStatus() != HotKeyBackend::kOk) {
        return Unexpected{shortcutFailure(ShortcutError::eventHandler(backend_->handlerStatus()))};
    }
    const std::uint32_t id = ++nextRegistrationID;
    const std::int32_t status = backend_->registerShortcut(shortcut, id);
    if (status != HotKeyBackend::kOk) {
        return Unexpected{shortcutFailure(ShortcutError::registration(status))};
    }
    newID = id;
    return {};
}

Result<void> GlobalHotKey::store(const std::optional<CaptureShortcut>& shortcut) {
    return storage_.write(preferenceKey_, ShortcutPreference{1, shortcut}.encode());
}

Result<void> GlobalHotKey::setShortcut(std::optional<CaptureShortcut> shortcut) {
    if (shortcut) {
        if (auto message = shortcut->validationError()) {
            return Unexpected{shortcutFailure(ShortcutError::invalid(*message))};
        }
    }
    if (shortcut && shortcut == shortcut_ && isLive()) {
        clearLastError();
        return {};
    }
    if (!shortcut && !shortcut_) {
        clearLastError();
        return {};
    }

    const std::optional<CaptureShortcut> previous = shortcut_;
    const std::optional<std::uint32_t> previousID = activeRegistrationID_;
    std::optional<std::uint32_t> newID;
    if (shortcut) {
        auto registered = replaceRegistration(*shortcut, newID);
        if (!registered) {
            if (auto failure = registered.error().as<ShortcutError>();
                failure && failure->isEventHandler() && backend_->unavailableReason()) {
                setLastError(backend_->unavailableReason());
            } else {
                setLastError(registered.error().description());
            }
            return registered;
        }
    }

    auto undoNew = [&] {
        if (newID) {
            backend_->unregisterShortcut(*newID);
        }
    };
    if (auto stored = store(shortcut); !stored) {
        undoNew();
        setLastError(stored.error().description());
        return stored;
    }
    if (previousID) {
        const std::int32_t status = backend_->unregisterShortcut(*previousID);
        if (status != HotKeyBackend::kOk) {
            undoNew();
            (void)store(previous);
            const ShortcutError failure = ShortcutError::registration(status);
            setLastError(failure.description());
            return Unexpected{shortcutFailure(failure)};
        }
    }

    activeRegistrationID_ = newID;
    const bool changed = shortcut_ != shortcut;
    shortcut_ = shortcut;
    setRegistrationStatus(0);
    clearLastError();
    if (changed) {
        emit shortcutChanged();
    }
    return {};
}

bool GlobalHotKey::received(std::uint32_t registrationID) {
    if (activeRegistrationID_ != registrationID || !isLive()) {
        return false;
    }
    if (recordingSession_) {
        if (recordingSession_->acceptCurrent) {
            recordingSession_->acceptCurrent(*shortcut_);
        }
    } else if (action) {
        action();
    }
    return true;
}

void GlobalHotKey::beginRecording(RecordingSession session) {
    recordingSession_ = std::move(session);
}

void GlobalHotKey::endRecording(const QUuid& id) {
    if (recordingSession_ && recordingSession_->id == id) {
        recordingSession_.reset();
    }
}

void GlobalHotKey::clearLastError() {
    setLastError(std::nullopt);
}

void GlobalHotKey::setLastError(std::optional<std::string> text) {
    if (lastError_ != text) {
        lastError_ = std::move(text);
        emit lastErrorChanged();
    }
}

void GlobalHotKey::setRegistrationStatus(std::int32_t status) {
    if (registrationStatus_ != status) {
        registrationStatus_ = status;
        emit registrationStatusChanged();
    }
}

} // namespace snagreel::app
