#include "SnagreelApp/EngineProcess.hpp"

#include "SnagreelApp/EngineOutput.hpp"

#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace snagreel::app {

namespace {

void closeQuietly(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Everything execve needs, built before fork: the child may only make
// async-signal-safe calls.
struct ExecImage {
    std::vector<std::string> storage;
    std::vector<char*> argv;
    std::vector<char*> envp;

    explicit ExecImage(const EngineCommand& command) {
        storage.push_back(command.program);
        for (const auto& argument : command.arguments) {
            storage.push_back(argument);
        }
        const std::size_t argumentCount = storage.size();
        for (const auto& [name, value] : command.environment) {
            storage.push_back(name + "=" + value);
        }
        for (std::size_t i = 0; i < storage.size(); ++i) {
            (i < argumentCount ? argv : envp).push_back(storage[i].data());
        }
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }
};

[[noreturn]] void runChild(const ExecImage& image, const char* directory, int output, int announce,
                           int failure, pid_t parent) {
    ::setpgid(0, 0);
    // An engine never outlives the application (bubblewrap then takes its sandbox
    // down with it).
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &fallback, nullptr);
    }
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int error = 0;
    if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0 ||
        (announce >= 0 && ::dup2(announce, 3) < 0) || ::chdir(directory) != 0) {
        error = errno;
    } else {
        // Nothing else the application holds open reaches the engine.
        ::syscall(SYS_close_range, announce >= 0 ? 4u : 3u, ~0u, CLOSE_RANGE_CLOEXEC);
        ::execve(image.argv[0], image.argv.data(), image.envp.data());
        error = errno;
    }
    [[maybe_unused]] auto written = ::write(failure, &error, sizeof error);
    ::_exit(127);
}

} // namespace

struct EngineProcess::State {
    int output = -1;
    int announce = -1;
    int pidfd = -1;
    bool announcesSandbox = false;
    bool announced = false;
    EngineOutputLines lines;
    std::unique_ptr<QSocketNotifier> outputNotifier;
    std::unique_ptr<QSocketNotifier> exitNotifier;
    QTimer killTimer;
    bool finished = false;
};

Result<std::unique_ptr<EngineProcess>> EngineProcess::start(const EngineCommand& command) {
    int output[2] = {-1, -1};
    int announce[2] = {-1, -1};
    int failure[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* pair : {output, announce, failure}) {
            closeQuietly(pair[0]);
            closeQuietly(pair[1]);
        }
    };
    if (::pipe2(output, O_CLOEXEC) != 0 ||
        (command.announcesSandbox && ::pipe2(announce, O_CLOEXEC) != 0) ||
        ::pipe2(failure, O_CLOEXEC) != 0) {
        const int error = errno;
        closeAll();
        return Unexpected{Error::posix(error)};
    }
    const ExecImage image(command);
    const std::string directory = command.workingDirectory.string();
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        closeAll();
        return Unexpected{Error::posix(error)};
    }
    if (pid == 0) {
        runChild(image, directory.c_str(), output[1], announce[1], failure[1], parent);
    }
    ::setpgid(pid, pid); // also from here, so that a signal sent right away finds the group
    closeQuietly(output[1]);
    closeQuietly(announce[1]);
    closeQuietly(failure[1]);
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(failure[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    closeQuietly(failure[0]);
    if (got == static_cast<ssize_t>(sizeof childError)) {
        ::waitpid(pid, nullptr, 0);
        closeAll();
        return Unexpected{
            Error::posix(childError, "The program “" + command.program +
                                         "” could not be run: " + std::strerror(childError) + ".")};
    }
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        const int error = errno;
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        closeAll();
        return Unexpected{Error::posix(error)};
    }
    std::unique_ptr<EngineProcess> process(new EngineProcess());
    process->pid_ = pid;
    process->state_ = std::make_unique<State>();
    State& state = *process->state_;
    state.output = output[0];
    state.announce = announce[0];
    state.pidfd = pidfd;
    state.announcesSandbox = command.announcesSandbox;
    ::fcntl(state.output, F_SETFL, ::fcntl(state.output, F_GETFL) | O_NONBLOCK);
    if (state.announce >= 0) {
        ::fcntl(state.announce, F_SETFL, ::fcntl(state.announce, F_GETFL) | O_NONBLOCK);
    }
    EngineProcess* self = process.get();
    state.outputNotifier = std::make_unique<QSocketNotifier>(state.output, QSocketNotifier::Read);
    QObject::connect(state.outputNotifier.get(), &QSocketNotifier::activated, self,
                     [self] { self->readOutput(false); });
    state.exitNotifier = std::make_unique<QSocketNotifier>(pidfd, QSocketNotifier::Read);
    QObject::connect(state.exitNotifier.get(), &QSocketNotifier::activated, self,
                     [self] { self->reap(); });
    state.killTimer.setSingleShot(true);
    QObject::connect(&state.killTimer, &QTimer::timeout, self, [self] {
        if (!self->state_->finished) {
            ::kill(-self->pid_, SIGKILL);
        }
    });
    return process;
}

EngineProcess::~EngineProcess() {
    if (!state_) {
        return;
    }
    state_->outputNotifier.reset();
    state_->exitNotifier.reset();
    if (!state_->finished) {
        // The application is going away with the engine still running.
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    closeQuietly(state_->output);
    closeQuietly(state_->announce);
    closeQuietly(state_->pidfd);
}

void EngineProcess::terminate(double graceSeconds) {
    if (state_->finished) {
        return;
    }
    ::kill(-pid_, SIGTERM);
    state_->killTimer.start(static_cast<int>(graceSeconds * 1000));
}

void EngineProcess::readOutput(bool toEnd) {
    State& state = *state_;
    if (state.output < 0) {
        return;
    }
    char buffer[16384];
    std::optional<QString> last;
    // At exit, take what is already in the pipe but never wait for a descendant that
    // keeps it open; the bound stops one that keeps writing.
    std::size_t budget = toEnd ? 4 * 1024 * 1024 : sizeof buffer;
    bool ended = false;
    while (budget > 0) {
        const ssize_t got = ::read(state.output, buffer, sizeof buffer);
        if (got > 0) {
            if (auto line = state.lines.append(std::string_view(buffer, std::size_t(got)))) {
                last = std::move(line);
            }
            budget -= std::min(budget, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        ended = got == 0;
        break;
    }
    if (toEnd || ended) {
        if (auto rest = state.lines.finish()) {
            last = std::move(rest);
        }
        state.outputNotifier.reset();
        closeQuietly(state.output);
    }
    if (last) {
        emit outputLine(*last);
    }
}

void EngineProcess::reap() {
    State& state = *state_;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG) != 0 ||
        info.si_pid == 0) {
        return;
    }
    state.finished = true;
    state.killTimer.stop();
    state.exitNotifier.reset();
    closeQuietly(state.pidfd);
    if (state.announce >= 0) {
        char byte = 0;
        state.announced = ::read(state.announce, &byte, 1) == 1;
        closeQuietly(state.announce);
    }
    readOutput(true);
    const int status = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    emit exited(status, state.announcesSandbox && !state.announced);
}

} // namespace snagreel::app
