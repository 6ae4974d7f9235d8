#include "SignalProcessEnder.h"

#include "ProcProcessSource.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace vigilorn {
namespace {

// A PID the kernel could hold; 0 would signal our own process group, so it never names one.
bool parsePid(const std::string& s, pid_t& pid) {
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    std::string t = s.substr(std::min(s.find_first_not_of('0'), s.size()));
    if (t.empty() || t.size() > 10)
        return false;
    unsigned long long v = std::stoull(t);
    if (v == 0 || v > 0x7FFFFFFFull)
        return false;
    pid = static_cast<pid_t>(v);
    return true;
}

struct PidFd {
    int fd = -1;
    ~PidFd() {
        if (fd >= 0)
            close(fd);
    }
};

// glibc before 2.36 has no wrappers for these.
int pidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}
int pidfdSendSignal(int pidfd, int sig) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

std::string argv0Of(const std::string& root, pid_t pid) {
    const std::string path = root + "/" + std::to_string(pid) + "/cmdline";
    PidFd f{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0)
        return {};
    char buf[4096];
    const ssize_t n = read(f.fd, buf, sizeof buf);
    if (n <= 0)
        return {};
    return std::string(buf, strnlen(buf, static_cast<std::size_t>(n)));
}

// Opens a pidfd on pid and checks, after it is open, that the process under the PID still
// started at startTime: from then on the pidfd names that process whatever happens to the PID.
// accept, when given, also checks the process's present name.
template <class Accept>
PidEnd holdAndSignal(const std::string& root, pid_t pid, std::uint64_t startTime,
                     const Accept& accept) {
    PidFd held{pidfdOpen(pid)};
    if (held.fd < 0) {
        if (errno == ESRCH)
            return {PidEnd::NotRunning, {}};
        return {PidEnd::Failed, errorFromErrno(errno)};
    }
    ProcStat now;
    if (!readProcStat(root, pid, now))
        return {PidEnd::NotRunning, {}};
    if (now.startTime != startTime)
        return {PidEnd::Replaced, {}};
    if (now.state == 'Z' || now.state == 'X')
        return {PidEnd::NotRunning, {}};
    if (!accept(now))
        return {PidEnd::Replaced, {}};
    if (pidfdSendSignal(held.fd, SIGTERM) != 0) {
        // Gone meanwhile, or not ours to end: left alone silently, as tskill does.
        if (errno == ESRCH || errno == EPERM)
            return {PidEnd::NotRunning, {}};
        return {PidEnd::Failed, errorFromErrno(errno)};
    }
    return {PidEnd::Signalled, {}};
}

} // namespace

std::string nameBeforeFirstDot(const std::string& name) {
    return name.substr(0, name.find('.'));
}

PidEnd SignalProcessEnder::endByPid(const std::string& pid, std::uint64_t startTime) {
    pid_t p = 0;
    if (!parsePid(pid, p))
        return {PidEnd::NotRunning, {}};
    return holdAndSignal(m_root, p, startTime, [](const ProcStat&) { return true; });
}

Failure SignalProcessEnder::endByName(const std::string& name) {
    struct Target {
        pid_t pid;
        std::uint64_t startTime;
    };
    std::vector<Target> targets;
    m_source.requireFullPass();
    auto failure = m_source.EnumerateProcesses([&](const ProcessEntry& e) {
        pid_t pid = 0;
        if (nameBeforeFirstDot(e.Name) == name && parsePid(e.processid, pid))
            targets.push_back({pid, e.startTime});
        return true;
    });
    if (failure && !failure->duringWalk)
        return failure->error;
    for (const Target& t : targets) {
        // The list may be a moment old: the process must still bear the name.
        const PidEnd end = holdAndSignal(m_root, t.pid, t.startTime, [&](const ProcStat& now) {
            return nameBeforeFirstDot(recogniseProcessName(now.comm, argv0Of(m_root, t.pid))) ==
                   name;
        });
        if (end.outcome == PidEnd::Failed)
            return end.error;
    }
    return std::nullopt;
}

} // namespace vigilorn
