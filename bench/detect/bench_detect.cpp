// One detection pass over the real /proc against a floor measured in the same run: a bare loop
// that lists /proc and reads each process's comm and owner, and nothing else. Then the pass
// with every rule (package managers too, their arguments read) against the name rule alone.
// With DBUS_SYSTEM_BUS_ADDRESS set (bench/detect/packagekit-silent.sh), also what a package
// daemon that never answers costs one pass.
#include "monitor/InstallerMonitor.h"
#include "monitor/InstallerRule.h"
#include "monitor/InstallerRules.h"
#include "platform/linux/PackageKitTransactions.h"
#include "platform/linux/ProcProcessSource.h"

#include <QCoreApplication>

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

// The monitor's walk: every rule, with a process's arguments read only when its name needs them.
std::size_t rulesPass(vigilorn::ProcessSource& src, const vigilorn::InstallerRules& rules) {
    std::size_t seen = 0;
    src.EnumerateProcesses([&](const vigilorn::ProcessEntry& e) {
        ++seen;
        return !rules.isInstaller(e.Name, [&]() {
            std::optional<std::vector<std::string>> args(std::in_place);
            if (!src.readArguments(e.processid, *args))
                args.reset();
            return args;
        });
    });
    return seen;
}

// A few idle processes under package-manager names that do not install (their arguments are
// this benchmark's own), so that the rules' pass reads some arguments, as on a desktop.
std::vector<pid_t> startLookAlikes() {
    std::vector<pid_t> pids;
    for (const char* name : {"apt", "apt-get", "dpkg", "python3", "python3", "python3", "python3",
                             "node", "node", "flatpak"}) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_NAME, name, 0, 0, 0);
            for (;;)
                pause();
        }
        if (pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

template <class F> double timeUs(F&& f, std::size_t& count) {
    const auto t0 = Clock::now();
    count = f();
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // for the system bus connection
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 31;
    auto pids = startIdleProcesses(n);
    auto lookAlikes = startLookAlikes();
    usleep(200000);

    vigilorn::ProcProcessSource src;
    const vigilorn::InstallerRules allRules(true);
    std::vector<double> floorUs, passUs, rulesUs;
    std::size_t floorCount = 0, passCount = 0, rulesCount = 0;
    for (int r = 0; r < rounds + 2; ++r) { // two warm-up rounds, alternating to share the noise
        const double f = timeUs(floorPass, floorCount);
        const double p = timeUs([&] { return detectionPass(src); }, passCount);
        const double a = timeUs([&] { return rulesPass(src, allRules); }, rulesCount);
        if (r >= 2) {
            floorUs.push_back(f);
            passUs.push_back(p);
            rulesUs.push_back(a);
        }
    }
    stopIdleProcesses(pids);
    stopIdleProcesses(lookAlikes);

    const double fm = medianOf(floorUs), pm = medianOf(passUs), am = medianOf(rulesUs);
    std::printf("processes: floor saw %zu, pass saw %zu, rules saw %zu (%d idle started, %zu "
                "under package-manager names)\n",
                floorCount, passCount, rulesCount, n, std::size_t(10));
    std::printf("floor: %.3f us/process (%.0f us per pass)\n", fm / double(floorCount), fm);
    std::printf("detection pass, name rule: %.3f us/process (%.0f us per pass)\n",
                pm / double(passCount), pm);
    std::printf("detection pass, every rule: %.3f us/process (%.0f us per pass)\n",
                am / double(rulesCount), am);
    std::printf("ratio pass/floor: %.3f (target <= 1.25)\n",
                (pm / double(passCount)) / (fm / double(floorCount)));
    std::printf("ratio every rule/name rule: %.3f (target <= 1.1)\n",
                (am / double(rulesCount)) / (pm / double(passCount)));

    if (qEnvironmentVariableIsSet("DBUS_SYSTEM_BUS_ADDRESS")) {
        vigilorn::PackageKitTransactions daemon;
        std::vector<double> askMs;
        for (int r = 0; r < 5; ++r) {
            const auto t0 = Clock::now();
            const bool answered =
                daemon.changingPackages(vigilorn::InstallerMonitor::kPackageDaemonTimeoutMs)
                    .has_value();
            askMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            if (answered)
                std::printf("the package daemon answered: not a silent one\n");
        }
        std::printf("package daemon question: median %.1f ms, max %.1f ms over %zu (timeout %d "
                    "ms)\n",
                    medianOf(askMs), *std::max_element(askMs.begin(), askMs.end()), askMs.size(),
                    vigilorn::InstallerMonitor::kPackageDaemonTimeoutMs);
    }
    return 0;
}
