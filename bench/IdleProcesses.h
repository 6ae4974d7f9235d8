#pragma once
// Many sleeping processes whose names match nothing, for benchmarks over the real /proc.
#include <algorithm>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

inline std::vector<pid_t> startIdleProcesses(int n) {
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_NAME, "vigbench-idle", 0, 0, 0);
            for (;;)
                pause();
        }
        if (pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

inline void stopIdleProcesses(std::vector<pid_t>& pids) {
    for (pid_t p : pids)
        kill(p, SIGKILL);
    for (pid_t p : pids)
        waitpid(p, nullptr, 0);
    pids.clear();
}

template <class T> T medianOf(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
