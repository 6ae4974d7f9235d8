// One detection pass over the real /proc against a floor measured in the same run: a bare loop
// that lists /proc and reads each process's comm and owner, and nothing else.
#include "monitor/InstallerRule.h"
#include "platform/linux/ProcProcessSource.h"

#include "IdleProcesses.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

// The floor: what any pass must do at least.
std::size_t floorPass() {
    std::size_t seen = 0;
    DIR* d = opendir("/proc");
    if (!d)
        return 0;
    const int dfd = dirfd(d);
    char buf[4096];
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        char path[sizeof e->d_name + 16];
        std::snprintf(path, sizeof path, "%s/status", e->d_name);
        int fd = openat(dfd, path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        close(fd);
        if (n <= 0 || !memmem(buf, static_cast<std::size_t>(n), "\nUid:", 5))
            continue;
        std::snprintf(path, sizeof path, "%s/comm", e->d_name);
        fd = openat(dfd, path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        n = read(fd, buf, sizeof buf);
        close(fd);
        if (n > 0)
            ++seen;
    }
    closedir(d);
    return seen;
}

std::size_t detectionPass(vigilorn::ProcessSource& src) {
    std::size_t seen = 0;
    src.EnumerateProcesses([&](const vigilorn::ProcessEntry& e) {
        ++seen;
        return !vigilorn::isInstallerName(e.Name);
    });
    return seen;
}

template <class F> double timeUs(F&& f, std::size_t& count) {
    const auto t0 = Clock::now();
    count = f();
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 31;
    auto pids = startIdleProcesses(n);
    usleep(200000);

    vigilorn::ProcProcessSource src;
    std::vector<double> floorUs, passUs;
    std::size_t floorCount = 0, passCount = 0;
    for (int r = 0; r < rounds + 2; ++r) { // two warm-up rounds, alternating to share the noise
        const double f = timeUs(floorPass, floorCount);
        const double p = timeUs([&] { return detectionPass(src); }, passCount);
        if (r >= 2) {
            floorUs.push_back(f);
            passUs.push_back(p);
        }
    }
    stopIdleProcesses(pids);

    const double fm = medianOf(floorUs), pm = medianOf(passUs);
    std::printf("processes: floor saw %zu, pass saw %zu (%d idle started)\n", floorCount, passCount,
                n);
    std::printf("floor: %.3f us/process (%.0f us per pass)\n", fm / double(floorCount), fm);
    std::printf("detection pass: %.3f us/process (%.0f us per pass)\n", pm / double(passCount), pm);
    std::printf("ratio pass/floor: %.3f (target <= 1.25)\n",
                (pm / double(passCount)) / (fm / double(floorCount)));
    return 0;
}
