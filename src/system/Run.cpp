#include "Run.h"

#include "platform/posix/Fd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace vigilorn::sys {

namespace {

using Clock = std::chrono::steady_clock;

// A write to a program that stopped reading must not end us: SIGPIPE is held back in this
// thread while it writes, and one it raised is taken off again.
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

// The groups of the programs running now, for a signal handler to end; a few threads at most
// run programs at once.
constexpr std::size_t kGroupSlots = 16;
std::atomic<pid_t> g_groups[kGroupSlots];

void endGroupsAndDie(int sig) {
    for (auto& g : g_groups)
        if (const pid_t pid = g.load(); pid > 0)
            ::kill(-pid, SIGKILL);
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Ending signals held while a program starts and its group is noted, so that none slips
// between the two.
class EndingSignalsHeld {
public:
    EndingSignalsHeld() {
        sigset_t ending;
        sigemptyset(&ending);
        for (const int sig : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&ending, sig);
        pthread_sigmask(SIG_BLOCK, &ending, &m_old);
    }
    ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }
    EndingSignalsHeld(const EndingSignalsHeld&) = delete;
    EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

private:
    sigset_t m_old;
};

class GroupNoted {
public:
    void note(pid_t pid) {
        for (auto& g : g_groups) {
            pid_t none = 0;
            if (g.compare_exchange_strong(none, pid)) {
                m_slot = &g;
                return;
            }
        }
    }
    ~GroupNoted() {
        if (m_slot)
            m_slot->store(0);
    }

private:
    std::atomic<pid_t>* m_slot = nullptr;
};

bool makePipe(posix::Fd& read, posix::Fd& write) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    read.reset(ends[0]);
    write.reset(ends[1]);
    return true;
}

void keepOutput(RunResult& result, const RunOptions& options, const char* data, std::size_t n) {
    if (options.keepStart) {
        const std::size_t room =
            options.keep > result.output.size() ? options.keep - result.output.size() : 0;
        result.output.append(data, std::min(room, n));
        result.cut = result.cut || n > room;
        return;
    }
    result.output.append(data, n);
    if (result.output.size() > options.keep) {
        result.output.erase(0, result.output.size() - options.keep);
        result.cut = true;
    }
}

// Reads what is there into `keep`; the descriptor is closed at its end.
template <typename Keep> void drain(posix::Fd& fd, Keep keep) {
    char buffer[16384];
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n > 0)
        keep(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        fd.reset();
}

} // namespace

std::vector<std::string> fixedEnvironment() {
    return {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
            "LC_ALL=C.UTF-8",
            "HOME=/root",
            "DEBIAN_FRONTEND=noninteractive",
            "APT_LISTCHANGES_FRONTEND=none",
            "TERM=dumb"};
}

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
    RunResult result;
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
        result.problem = "not an absolute path";
        return result;
    }
    using Errors = RunOptions::Errors;
    posix::Fd outRead, outWrite, errRead, errWrite, inRead, inWrite;
    if (!makePipe(outRead, outWrite) ||
        (options.errorsTo == Errors::Apart && !makePipe(errRead, errWrite)) ||
        (options.input && !makePipe(inRead, inWrite))) {
        result.startError = errno;
        result.problem = std::strerror(errno);
        return result;
    }

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    if (options.input)
        posix_spawn_file_actions_adddup2(&files, inRead.get(), STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, outWrite.get(), STDOUT_FILENO);
    if (options.errorsTo != Errors::Ours)
        posix_spawn_file_actions_adddup2(
            &files, options.errorsTo == Errors::Apart ? errWrite.get() : outWrite.get(),
            STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&files, options.folder.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A group of its own, so that a time-out ends its children too.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);
    std::vector<char*> args, env;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto environment = options.environment.empty() ? fixedEnvironment() : options.environment;
    for (const auto& e : environment)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    pid_t pid = 0;
    GroupNoted noted;
    int spawned = 0;
    {
        const EndingSignalsHeld held;
        spawned = ::posix_spawn(&pid, argv[0].c_str(), &files, &attr, args.data(), env.data());
        if (spawned == 0)
            noted.note(pid);
    }
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        result.startError = spawned;
        result.problem = std::strerror(spawned);
        return result;
    }
    result.started = true;
    outWrite.reset();
    errWrite.reset();
    inRead.reset();

    // Its end is seen at once through a pidfd, even while a child of its own keeps the output
    // open; without one, by short waits.
    const posix::Fd ended(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    std::optional<PipeSignalHeld> held;
    std::string_view toSend = options.input ? std::string_view(*options.input) : std::string_view{};
    if (toSend.empty())
        inWrite.reset();
    else {
        held.emplace();
        ::fcntl(inWrite.get(), F_SETFL, O_NONBLOCK);
    }

    const auto deadline = Clock::now() + options.cap;
    int status = 0;
    bool exited = false;
    for (;;) {
        if (!exited && ::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            inWrite.reset();
        }
        if (exited && !outRead.valid() && !errRead.valid())
            break;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p[4] = {{outRead.get(), POLLIN, 0},
                       {errRead.get(), POLLIN, 0},
                       {inWrite.get(), POLLOUT, 0},
                       {exited ? -1 : ended.get(), POLLIN, 0}};
        // Once it has ended, only what is already written is read.
        const long long wait = exited ? 0 : std::min<long long>(left, ended.valid() ? 60'000 : 20);
        const int ready = ::poll(p, 4, static_cast<int>(wait));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            result.problem = std::strerror(errno);
            break;
        }
        if (ready == 0 && exited)
            break;
        if (inWrite.valid() && (p[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = ::write(inWrite.get(), toSend.data(), toSend.size());
            if (n > 0)
                toSend.remove_prefix(static_cast<std::size_t>(n));
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || toSend.empty())
                inWrite.reset();
        }
        if (outRead.valid() && p[0].revents)
            drain(outRead,
                  [&](const char* data, std::size_t n) { keepOutput(result, options, data, n); });
        if (errRead.valid() && p[1].revents)
            drain(errRead, [&](const char* data, std::size_t n) {
                const std::size_t room = options.keepErrors > result.errors.size()
                                             ? options.keepErrors - result.errors.size()
                                             : 0;
                result.errors.append(data, std::min(room, n));
            });
    }
    if (!exited && result.timedOut && options.grace.count() > 0) {
        ::kill(-pid, SIGTERM);
        if (ended.valid()) {
            pollfd p{ended.get(), POLLIN, 0};
            const auto until = Clock::now() + options.grace;
            for (auto left = options.grace; left.count() > 0;
                 left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()))
                if (::poll(&p, 1, static_cast<int>(left.count())) >= 0 || errno != EINTR)
                    break;
        }
    }
    if (!exited || result.timedOut) {
        ::kill(-pid, SIGKILL);
        if (!exited)
            ::kill(pid, SIGKILL);
    }
    while (!exited && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (result.problem.empty())
        result.problem = "ended by signal " + std::to_string(WTERMSIG(status));
    if (result.timedOut) {
        result.status = -1;
        result.problem = "did not end within " + std::to_string(options.cap.count() / 1000) +
                         " s and was stopped";
    }
    return result;
}

bool startDetached(const std::string& path, const std::vector<std::string>& argv) {
    if (path.empty() || path[0] != '/' || argv.empty())
        return false;
    // Everything the child needs is made before fork: after it, only async-signal-safe calls.
    std::vector<char*> args, env;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto environment = fixedEnvironment();
    for (const auto& e : environment)
        env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::setsid();
        // Its parent ends at once, so that nobody has to wait for it.
        if (::fork() != 0)
            ::_exit(0);
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        for (int fd = 0; fd <= 2; ++fd)
            ::dup3(null, fd, 0);
        ::close_range(3, ~0u, 0);
        ::execve(path.c_str(), args.data(), env.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void endProgramsWithUs() {
    struct sigaction sa {};
    sa.sa_handler = endGroupsAndDie;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&sa.sa_mask, sig);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

} // namespace vigilorn::sys
