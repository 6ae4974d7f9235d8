// Detection passes over the real /proc against a floor measured in the same run: a bare loop that
// lists /proc and, for each process, reads its owner (fstatat) and its comm, and nothing else.
//
// Usage: bench_detect [idle processes = 1000] [rounds = 31] [seconds = 60]
// 1. Full pass: the same warm source asked for a full pass, and the floor, alternated `rounds`
//    times; medians compared (target <= 1.25).
// 2. Average pass: a source that has made its first pass (which reads everything, once per run)
//    runs one pass every 5 s for `seconds`, so full passes come at their usual rate, with the
//    floor timed beside each; means compared (target <= 0.3). Three times: on a quiet machine;
//    with a process started and gone before each pass, whose PID alone is looked up; and with a
//    process that ran through the pass before ended before each, which makes every pass list
//    /proc.
// Beside the full pass, the pass with every rule (package managers too, their arguments read)
// against the name rule alone (target <= 1.1). With DBUS_SYSTEM_BUS_ADDRESS set
// (bench/detect/packagekit-silent.sh), also what a package daemon that never answers costs.
#include "monitor/InstallerMonitor.h"
#include "monitor/InstallerRule.h"
#include "monitor/InstallerRules.h"
#include "platform/linux/PackageKitTransactions.h"
#include "platform/linux/ProcProcessSource.h"

#include <QCoreApplication>

#include "IdleProcesses.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

// The floor: what any pass that learns each process's owner and name must do at least.
std::size_t floorPass() {
    std::size_t seen = 0;
    DIR* d = opendir("/proc");
    if (!d)
        return 0;
    const int dfd = dirfd(d);
    char buf[64];
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        struct stat st {};
        if (fstatat(dfd, e->d_name, &st, 0) != 0)
            continue;
        char path[sizeof e->d_name + 16];
        std::snprintf(path, sizeof path, "%s/comm", e->d_name);
        const int fd = openat(dfd, path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        const ssize_t n = read(fd, buf, sizeof buf);
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

double mean(const std::vector<double>& v) {
    return std::accumulate(v.begin(), v.end(), 0.0) / double(v.size());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // for the system bus connection
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 31;
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 60;
    auto pids = startIdleProcesses(n);
    auto lookAlikes = startLookAlikes();
    usleep(200000);

    std::size_t floorCount = 0, passCount = 0;
    {
        vigilorn::ProcProcessSource src;
        std::size_t coldReads = 0;
        const double cold = timeUs([&] { return detectionPass(src); }, passCount);
        coldReads = src.lastPassReads();
        const vigilorn::InstallerRules allRules(true);
        std::vector<double> floorUs, fullUs, rulesUs;
        std::size_t rulesCount = 0;
        for (int r = 0; r < rounds + 2; ++r) { // two warm-up rounds, alternating to share noise
            const double f = timeUs(floorPass, floorCount);
            src.requireFullPass();
            const double p = timeUs([&] { return detectionPass(src); }, passCount);
            src.requireFullPass();
            const double a = timeUs([&] { return rulesPass(src, allRules); }, rulesCount);
            if (r >= 2) {
                floorUs.push_back(f);
                fullUs.push_back(p);
                rulesUs.push_back(a);
            }
        }
        const double fm = medianOf(floorUs), pm = medianOf(fullUs);
        std::printf("processes: floor saw %zu, pass visited %zu (%d idle started)\n", floorCount,
                    passCount, n);
        std::printf("first pass (reads all %zu): %.0f us\n", coldReads, cold);
        std::printf("floor: %.0f us per pass (median of %d)\n", fm, rounds);
        std::printf("full pass: %.0f us per pass, ratio %.3f (target <= 1.25)\n", pm, pm / fm);
        const double am = medianOf(rulesUs);
        std::printf("full pass, every rule: %.0f us per pass (%zu under package-manager names); "
                    "ratio every rule/name rule %.3f (target <= 1.1)\n",
                    am, std::size_t(10), (am / double(rulesCount)) / (pm / double(passCount)));
    }

    // Quiet; with a short-lived process started and gone before each pass, as on a desktop
    // where something runs every few seconds; and with one that lived through the pass before
    // ended before each, which only a listing of /proc finds.
    enum class Load { Quiet, ShortLived, Ending };
    for (const Load load : {Load::Quiet, Load::ShortLived, Load::Ending}) {
        if (seconds <= 0)
            break;
        pid_t lived = -1;
        vigilorn::ProcProcessSource src;
        detectionPass(src);
        std::vector<double> floorUs, passUs, cachedUs;
        std::size_t reads = 0, listed = 0;
        const auto start = Clock::now();
        auto next = start;
        while (Clock::now() - start < std::chrono::seconds(seconds)) {
            const auto now = Clock::now();
            if (now < next)
                usleep(static_cast<useconds_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(next - now).count()));
            if (load == Load::ShortLived) {
                const pid_t pid = fork();
                if (pid == 0)
                    _exit(0);
                if (pid > 0)
                    waitpid(pid, nullptr, 0);
            } else if (load == Load::Ending) {
                if (lived > 0) {
                    kill(lived, SIGKILL);
                    waitpid(lived, nullptr, 0);
                }
                lived = fork();
                if (lived == 0) {
                    for (;;)
                        pause();
                }
            }
            passUs.push_back(timeUs([&] { return detectionPass(src); }, passCount));
            reads += src.lastPassReads();
            listed += src.lastPassListed() ? 1 : 0;
            if ((passUs.size() + 1) % vigilorn::ProcProcessSource::kFullPassEvery != 1)
                cachedUs.push_back(passUs.back());
            floorUs.push_back(timeUs(floorPass, floorCount));
            next += std::chrono::seconds(5);
        }
        if (lived > 0) {
            kill(lived, SIGKILL);
            waitpid(lived, nullptr, 0);
        }
        const double fm = mean(floorUs), pm = mean(passUs);
        std::printf("%s, over %d s at 5 s: %zu passes (%zu listed /proc), mean pass %.0f us, mean "
                    "floor %.0f us, ratio %.3f (target <= 0.3)\n",
                    load == Load::Quiet        ? "quiet"
                    : load == Load::ShortLived ? "a process started and gone before each pass"
                                               : "a process ended before each pass",
                    seconds, passUs.size(), listed, pm, fm, pm / fm);
        std::printf("  cached passes only: mean %.0f us, ratio %.3f; processes read in full: %.1f "
                    "per pass (new ones, and those new on the pass before)\n",
                    mean(cachedUs), mean(cachedUs) / fm, double(reads) / double(passUs.size()));
    }
    stopIdleProcesses(pids);
    stopIdleProcesses(lookAlikes);

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
