#include "PointMaker.h"

#include "Fd.h"
#include "MakerOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

extern char** environ;

namespace vigilorn::sys {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxOutput = kMaxMakerOutput;

// A write to a maker that stopped reading must not end the hook: SIGPIPE is held back in
// this thread while it writes, and one it raised is taken off again.
class PipeSignalHeld {
public:
    PipeSignalHeld() {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
    }
    ~PipeSignalHeld() {
        sigset_t pending;
        sigpending(&pending);
        if (!m_wasPending && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{0, 0};
            sigtimedwait(&m_pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_old;
    bool m_wasPending = false;
};

std::string exitProblem(int status) {
    if (WIFSIGNALED(status))
        return "was ended by signal " + std::to_string(WTERMSIG(status));
    return "failed with exit status " + std::to_string(WEXITSTATUS(status));
}

} // namespace

PointMaker::PointMaker(std::string path, std::chrono::milliseconds cap)
    : m_path(std::move(path)), m_cap(cap) {}

std::vector<std::string> PointMaker::arguments(const MakerRequest& request) const {
    std::vector<std::string> args{m_path,          "create",           "--reason",
                                  request.reason,  "--frontend",       request.frontend,
                                  "--description", request.description};
    if (request.change) {
        args.emplace_back("--change");
        args.push_back(*request.change);
    }
    return args;
}

MakerResult PointMaker::make(const MakerRequest& request) const {
    MakerResult result;
    const auto deadline = Clock::now() + m_cap;
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        result.problem = std::strerror(errno);
        return result;
    }
    Fd inRead(in[0]), inWrite(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.problem = std::strerror(errno);
        return result;
    }
    Fd outRead(out[0]), outWrite(out[1]);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, inRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&files, outWrite.get(), STDOUT_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const auto args = arguments(request);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, m_path.c_str(), &files, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        result.status = (spawned == ENOENT || spawned == EACCES || spawned == ENOTDIR)
                            ? MakerResult::Status::Missing
                            : MakerResult::Status::Failed;
        result.problem = std::strerror(spawned);
        return result;
    }
    inRead.reset();
    outWrite.reset();
    ::fcntl(inWrite.get(), F_SETFL, O_NONBLOCK);
    ::fcntl(outRead.get(), F_SETFL, O_NONBLOCK);

    const PipeSignalHeld held;
    std::string_view toSend = request.actionLines;
    if (toSend.empty())
        inWrite.reset();
    std::string output;
    bool tooMuch = false;
    bool exited = false;
    int status = 0;
    for (;;) {
        if (!exited && ::waitpid(pid, &status, WNOHANG) == pid)
            exited = true;
        if (exited && !outRead.valid())
            break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            if (!exited) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
            result.status = MakerResult::Status::TimedOut;
            result.problem = "did not finish within " + std::to_string(m_cap.count() / 1000) +
                             " s and was stopped";
            return result;
        }
        pollfd p[2] = {{outRead.get(), POLLIN, 0}, {inWrite.get(), POLLOUT, 0}};
        // Short waits while it runs, so its end is seen even if a child of its own keeps the
        // output open.
        const int wait = exited ? 0 : static_cast<int>(std::min<long long>(left.count(), 20));
        const int ready = ::poll(p, 2, wait);
        if (ready < 0 && errno != EINTR) {
            const int error = errno;
            if (!exited) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
            }
            result.problem = std::strerror(error);
            return result;
        }
        if (inWrite.valid() && (p[1].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = ::write(inWrite.get(), toSend.data(), toSend.size());
            if (n > 0)
                toSend.remove_prefix(static_cast<std::size_t>(n));
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || toSend.empty())
                inWrite.reset();
        }
        if (outRead.valid() && (p[0].revents & (POLLIN | POLLERR | POLLHUP))) {
            char buf[kMaxOutput + 1];
            const ssize_t n = ::read(outRead.get(), buf, sizeof buf);
            if (n > 0) {
                output.append(buf, static_cast<std::size_t>(n));
                if (output.size() > kMaxOutput) {
                    tooMuch = true;
                    outRead.reset();
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                outRead.reset();
            }
        } else if (exited) {
            // Gone, and nothing more to read now.
            outRead.reset();
        }
    }

    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        const auto made = parseMakerOutput(output);
        if (made && !tooMuch) {
            result.status = MakerResult::Status::Made;
            result.number = made->number;
            result.notKept = made->notKept;
            return result;
        }
        result.problem = "did not give the point's number";
        return result;
    }
    result.problem = exitProblem(status);
    return result;
}

} // namespace vigilorn::sys
