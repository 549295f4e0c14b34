#pragma once

#include "SnagreelCore/Support/Error.hpp"

#include <QObject>
#include <QString>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace snagreel::app {

// One report engine invocation: the program, its arguments (without the program
// itself), the working directory and the whole environment.
struct EngineCommand {
    std::string program;
    std::vector<std::string> arguments;
    std::filesystem::path workingDirectory;
    std::map<std::string, std::string> environment;
    // The program is a sandbox launcher that writes to descriptor 3 once the sandbox
    // stands; an exit without that means the sandbox itself failed.
    bool announcesSandbox = false;
};

// Wraps an engine's command so that it runs confined: no network, no other
// processes, nothing writable but `writableFolder` and private temporary folders.
class SandboxLauncher {
public:
    virtual ~SandboxLauncher() = default;
    virtual Result<EngineCommand> wrap(EngineCommand command,
                                       const std::filesystem::path& writableFolder) const = 0;
};

// A running engine: a child process in its own process group whose standard output
// and standard error share one pipe. Lives on the main thread; everything it reports
// comes from the event loop.
class EngineProcess : public QObject {
    Q_OBJECT
public:
    static Result<std::unique_ptr<EngineProcess>> start(const EngineCommand& command);
    ~EngineProcess() override;

    // Asks the process group to stop (SIGTERM), and kills it (SIGKILL) when it is still
    // there `graceSeconds` later.
    void terminate(double graceSeconds);
    int pid() const { return pid_; }

signals:
    // The latest line of output (see EngineOutputLines).
    void outputLine(const QString& line);
    // The engine exited: its exit status, or 128 + the signal that ended it. The run
    // ends here even if a detached descendant still holds the pipe.
    void exited(int status, bool sandboxFailed);

private:
    EngineProcess() = default;
    void readOutput(bool toEnd);
    void reap();

    struct State;
    std::unique_ptr<State> state_;
    int pid_ = -1;
};

} // namespace snagreel::app
