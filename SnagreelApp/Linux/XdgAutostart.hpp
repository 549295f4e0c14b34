#pragma once

#include "SnagreelApp/System/LaunchAtLogin.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace snagreel::app {

// Launch at login through an XDG autostart entry. The user's entry in
// $XDG_CONFIG_HOME/autostart wins over one of the same name in the system
// directories; turning off a system-wide entry therefore writes a user entry with
// Hidden=true rather than touching the system one.
class XdgAutostart final : public LoginItemService {
public:
    struct Options {
        std::filesystem::path userDirectory;                  // .../autostart
        std::vector<std::filesystem::path> systemDirectories; // /etc/xdg/autostart, ...
        std::string fileName = "snagreel.desktop";
        std::filesystem::path program; // what Exec starts
    };

    // $XDG_CONFIG_HOME (or ~/.config)/autostart, $XDG_CONFIG_DIRS (or /etc/xdg)
    // /autostart, and this running executable.
    static Options defaultOptions();

    explicit XdgAutostart(Options options);

    int status() const override;
    Result<void> registerItem() override;
    Result<void> unregisterItem() override;

    // The entry written for `program`, with Exec quoted as desktop entries require.
    static std::string entryText(const std::filesystem::path& program, bool hidden);

private:
    Options options_;
};

} // namespace snagreel::app
