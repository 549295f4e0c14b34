#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <optional>
#include <string>

class QSettings;

namespace snagreel::app {

// Where the shortcut preference is kept: bytes under a key.
class ShortcutStorage {
public:
    virtual ~ShortcutStorage() = default;
    virtual std::optional<std::string> read(const std::string& key) const = 0;
    virtual Result<void> write(const std::string& key, const std::string& bytes) = 0;
};

// The application's preferences. The settings object is owned by the caller and
// must outlive this. A write is flushed at once, so that a full disk or a read-only
// file is reported to the user who made the change.
class SettingsShortcutStorage final : public ShortcutStorage {
public:
    explicit SettingsShortcutStorage(QSettings& settings) : settings_(settings) {}
    std::optional<std::string> read(const std::string& key) const override;
    Result<void> write(const std::string& key, const std::string& bytes) override;

private:
    QSettings& settings_;
};

} // namespace snagreel::app
