#include "SnagreelApp/Linux/BubblewrapSandbox.hpp"

#include <unistd.h>

namespace snagreel::app {

Result<EngineCommand> BubblewrapSandbox::wrap(EngineCommand command,
                                              const std::filesystem::path& writableFolder) const {
    if (::access(launcher_.c_str(), X_OK) != 0) {
        return Unexpected{
            Error(PlatformError{"Snagreel.Sandbox", 1,
                                "The local engine runs only inside its sandbox, and bubblewrap (" +
                                    launcher_.string() + ") is not installed."})};
    }
    std::vector<std::string> arguments = {
        "--unshare-all",
        "--new-session",
        "--die-with-parent",
        "--cap-drop",
        "ALL",
        "--ro-bind",
        "/",
        "/",
        "--dev",
        "/dev",
        "--proc",
        "/proc",
        "--tmpfs",
        "/tmp",
        "--tmpfs",
        "/run",
    };
    // Bound again after the private mounts, which would otherwise hide them when they
    // lie below /tmp or /run.
    const std::string workspace = command.workingDirectory.string();
    arguments.insert(arguments.end(), {"--ro-bind", workspace, workspace});
    const std::string folder = writableFolder.string();
    arguments.insert(arguments.end(), {"--bind", folder, folder});
    arguments.insert(arguments.end(), {"--chdir", workspace, "--info-fd", "3", "--"});
    arguments.push_back(command.program);
    arguments.insert(arguments.end(), command.arguments.begin(), command.arguments.end());
    command.program = launcher_.string();
    command.arguments = std::move(arguments);
    command.announcesSandbox = true;
    return command;
}

} // namespace snagreel::app
