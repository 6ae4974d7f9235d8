#include "SignalProcessEnder.h"

#include <csignal>
#include <sys/types.h>

#include <algorithm>
#include <vector>

namespace vigilorn {
namespace {

bool digitsOnly(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A PID the kernel could hold; 0 would signal our own process group, so it never names one.
bool parsePid(const std::string& s, pid_t& pid) {
    std::string t = s.substr(std::min(s.find_first_not_of('0'), s.size()));
    if (t.empty() || t.size() > 10)
        return false;
    unsigned long long v = std::stoull(t);
    if (v == 0 || v > 0x7FFFFFFFull)
        return false;
    pid = static_cast<pid_t>(v);
    return true;
}

} // namespace

std::string nameBeforeFirstDot(const std::string& name) {
    return name.substr(0, name.find('.'));
}

Failure SignalProcessEnder::endProcesses(const std::string& nameOrPid) {
    if (digitsOnly(nameOrPid)) {
        pid_t pid = 0;
        if (parsePid(nameOrPid, pid))
            ::kill(pid, SIGTERM); // refused or gone: left alone silently, as tskill does
        return std::nullopt;
    }

    std::vector<pid_t> targets;
    auto failure = m_source.EnumerateProcesses([&](const ProcessEntry& e) {
        pid_t pid = 0;
        if (nameBeforeFirstDot(e.Name) == nameOrPid && parsePid(e.processid, pid))
            targets.push_back(pid);
        return true;
    });
    if (failure && !failure->duringWalk)
        return failure->error;
    for (pid_t pid : targets)
        ::kill(pid, SIGTERM);
    return std::nullopt;
}

} // namespace vigilorn
