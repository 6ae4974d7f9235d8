#include "Run.h"

#include "Fd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vigilorn::sys {

std::vector<std::string> fixedEnvironment() {
    return {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
            "LC_ALL=C.UTF-8",
            "HOME=/root",
            "DEBIAN_FRONTEND=noninteractive",
            "APT_LISTCHANGES_FRONTEND=none",
            "TERM=dumb"};
}

RunResult run(const std::vector<std::string>& argv, const RunOptions& options) {
    using Clock = std::chrono::steady_clock;
    RunResult result;
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
        result.problem = "not an absolute path";
        return result;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.problem = std::strerror(errno);
        return result;
    }
    Fd outRead(out[0]), outWrite(out[1]);
    Fd errRead, errWrite;
    if (options.separateErrors) {
        int err[2];
        if (::pipe2(err, O_CLOEXEC) != 0) {
            result.problem = std::strerror(errno);
            return result;
        }
        errRead.reset(err[0]);
        errWrite.reset(err[1]);
    }

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&files, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(
        &files, options.separateErrors ? errWrite.get() : outWrite.get(), STDERR_FILENO);
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
    const int spawned =
        ::posix_spawn(&pid, argv[0].c_str(), &files, &attr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        result.problem = std::strerror(spawned);
        return result;
    }
    result.started = true;
    outWrite.reset();
    errWrite.reset();

    const auto deadline = Clock::now() + options.cap;
    char buffer[16384];
    int status = 0;
    bool exited = false;
    while (outRead.valid() || errRead.valid()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
        const int ready = ::poll(p, 2, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready == 0) {
            // Ended, with a child of its own still holding the output: not waited for.
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            continue;
        }
        if (ready < 0)
            continue;
        if (p[1].revents) {
            const ssize_t n = ::read(errRead.get(), buffer, sizeof buffer);
            if (n > 0) {
                const std::size_t room = options.keepErrors > result.errors.size()
                                             ? options.keepErrors - result.errors.size()
                                             : 0;
                result.errors.append(buffer, std::min(room, static_cast<std::size_t>(n)));
            } else if (n == 0 || errno != EINTR) {
                errRead.reset();
            }
        }
        if (!p[0].revents)
            continue;
        const ssize_t n = ::read(outRead.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            outRead.reset();
            continue;
        }
        if (options.keepStart) {
            const std::size_t room =
                options.keep > result.output.size() ? options.keep - result.output.size() : 0;
            result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
            result.cut = result.cut || static_cast<std::size_t>(n) > room;
        } else {
            result.output.append(buffer, static_cast<std::size_t>(n));
            if (result.output.size() > options.keep) {
                result.output.erase(0, result.output.size() - options.keep);
                result.cut = true;
            }
        }
    }
    if (result.timedOut) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
    }
    while (!exited && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else
        result.problem = "ended by signal " + std::to_string(WTERMSIG(status));
    if (result.timedOut)
        result.problem = "did not end within " + std::to_string(options.cap.count() / 1000) +
                         " s and was stopped";
    return result;
}

} // namespace vigilorn::sys
