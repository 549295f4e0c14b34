#pragma once

#include "SnagreelApp/EngineProcess.hpp"

namespace snagreel::app {

// Runs the local engine under bubblewrap: every namespace unshared (no network, its
// own PID and IPC namespaces), a new session, all capabilities dropped, the whole
// file system read-only, private /tmp and /run (a network namespace still reaches
// path sockets such as the session bus and X), and only the capture folder writable.
// There is no fallback: without bubblewrap the engine does not run.
class BubblewrapSandbox final : public SandboxLauncher {
public:
    explicit BubblewrapSandbox(std::filesystem::path launcher = "/usr/bin/bwrap")
        : launcher_(std::move(launcher)) {}

    Result<EngineCommand> wrap(EngineCommand command,
                               const std::filesystem::path& writableFolder) const override;

private:
    std::filesystem::path launcher_;
};

} // namespace snagreel::app
