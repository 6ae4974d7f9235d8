// The package hook's cost to an APT run, against the same run without the hooks, in one go:
//  (a) no program running, so every run gets an automatic point of an unchanged /etc and
//      package list (a reinstall of a tiny package this benchmark builds);
//  (b) nothing that needs a point: a version 3 input without package lines, as aptitude
//      gives when nothing changes.
// It installs the hooks and a package, so it runs only as root in a throw-away copy of the
// system:  tests/e2e/in-overlay.sh bench_hook_apt [rounds]
#include <fcntl.h>
#include <linux/magic.h>
#include <spawn.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kPackage = "vigilorn-bench-probe";
constexpr const char* kAptHook = "/etc/apt/apt.conf.d/80qmvigilorn";
constexpr const char* kDpkgHook = "/etc/dpkg/dpkg.cfg.d/qmvigilorn";
constexpr const char* kPointList = "/var/lib/qmvigilorn/points.list";

// No program runs for this uid, so the hook makes an automatic point without waiting.
const std::vector<std::string> kEnv{"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C",
                                    "DEBIAN_FRONTEND=noninteractive", "SUDO_UID=65534"};

[[noreturn]] void die(const std::string& text) {
    std::fprintf(stderr, "bench_hook_apt: %s\n", text.c_str());
    std::exit(1);
}

double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Runs argv with kEnv (plus `extraEnv`), its output to `log`; `input` on descriptor 20.
int run(const std::vector<std::string>& args, const std::string& log,
        const std::optional<std::string>& input = std::nullopt,
        const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env = kEnv;
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argv, envp;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int in[2] = {-1, -1};
    if (input && ::pipe2(in, O_CLOEXEC) != 0)
        die("no pipe");
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    if (input)
        posix_spawn_file_actions_adddup2(&files, in[0], 20);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&files);
    if (input) {
        ::close(in[0]);
        // Far below a pipe's buffer, so this never waits for the reader.
        [[maybe_unused]] const ssize_t n = ::write(in[1], input->data(), input->size());
        ::close(in[1]);
    }
    if (spawned != 0)
        die("cannot start " + args[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string readFile(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!(f << text) || !f.flush())
        die("cannot write " + path.string());
}

std::size_t pointCount() {
    const std::string list = readFile(kPointList);
    return static_cast<std::size_t>(std::count(list.begin(), list.end(), '\n'));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    if (::geteuid() != 0)
        die("run as root, in a throw-away copy of the system (tests/e2e/in-overlay.sh)");
    struct statfs root {};
    // It installs hooks and packages: never on a real system.
    if (::statfs("/", &root) != 0 || root.f_type != OVERLAYFS_SUPER_MAGIC)
        die("/ is not a throw-away overlay; run it through tests/e2e/in-overlay.sh");
    const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 7;

    char base[] = "/tmp/bench-hook-apt.XXXXXX";
    if (!::mkdtemp(base))
        die("no temporary folder");
    const fs::path work = base;
    const std::string log = (work / "log").string();

    // A package with one small file and no scripts, so that dpkg's own work stays small.
    const fs::path tree = work / "tree";
    writeFile(tree / "DEBIAN/control", std::string("Package: ") + kPackage +
                                           "\nVersion: 1.0\nArchitecture: all\n"
                                           "Maintainer: Bench <bench@localhost>\n"
                                           "Description: a package for timing the hook\n");
    writeFile(tree / "usr/share/doc" / kPackage / "README", "timing\n");
    const std::string deb = (work / (std::string(kPackage) + "_1.0_all.deb")).string();
    if (run({"/usr/bin/dpkg-deb", "--root-owner-group", "--build", tree.string(), deb}, log) != 0)
        die("dpkg-deb failed; see " + log);

    // The hooks as the package installs them: the configured files and both programs.
    const fs::path libexec = VIGILORN_LIBEXEC;
    fs::create_directories(libexec);
    for (const auto& [from, to] : {std::pair{VIGILORN_HOOK_EXE, "qmvigilorn-hook"},
                                   std::pair{VIGILORN_SYSTEM_EXE, "qmvigilorn-system"}})
        fs::copy_file(from, libexec / to, fs::copy_options::overwrite_existing);
    const std::string aptHook = readFile(fs::path(VIGILORN_HOOK_SNIPPETS) / "80qmvigilorn");
    const std::string dpkgHook = readFile(fs::path(VIGILORN_HOOK_SNIPPETS) / "qmvigilorn");
    if (aptHook.empty() || dpkgHook.empty())
        die("the configured hook files are missing");
    auto hooks = [&](bool on) {
        if (on) {
            writeFile(kAptHook, aptHook);
            writeFile(kDpkgHook, dpkgHook);
        } else {
            fs::remove(kAptHook);
            fs::remove(kDpkgHook);
        }
    };

    // Lists and cache of its own: with the machine's, every run with a local package rebuilds
    // APT's cache from all of them, seconds that would hide what the hook costs.
    const fs::path lists = work / "lists", cache = work / "cache";
    fs::create_directories(lists / "partial");
    fs::create_directories(cache / "archives/partial");
    const std::vector<std::string> apt{"/usr/bin/apt-get",
                                       "-y",
                                       "-o",
                                       "Dpkg::Use-Pty=0",
                                       "-o",
                                       "Dir::State::Lists=" + lists.string(),
                                       "-o",
                                       "Dir::Cache=" + cache.string()};
    std::vector<std::string> install = apt, reinstall = apt, purge = apt;
    install.insert(install.end(), {"install", deb});
    reinstall.insert(reinstall.end(), {"install", "--reinstall", deb});
    purge.insert(purge.end(), {"purge", kPackage});
    auto aptRun = [&](bool withHooks) {
        hooks(withHooks);
        const std::size_t before = withHooks ? pointCount() : 0;
        const auto t0 = std::chrono::steady_clock::now();
        if (run(reinstall, log) != 0)
            die("apt-get failed; see " + log);
        const double ms = msSince(t0);
        hooks(false);
        if (withHooks && pointCount() != before + 1)
            die("the hooked run made no point; see " + log);
        return ms;
    };

    // The first point of this system: every file of /etc read once.
    const std::size_t start = pointCount();
    hooks(true);
    auto t0 = std::chrono::steady_clock::now();
    if (run(install, log) != 0)
        die("apt-get failed; see " + log);
    const double firstRun = msSince(t0);
    hooks(false);
    if (pointCount() != start + 1)
        die("the first hooked run made no point; see " + log);
    aptRun(false); // caches warm for both kinds of run

    std::vector<double> plain, hooked, added;
    for (int i = 0; i < rounds; ++i) {
        // Alternating which goes first, so neither is always the one after a point.
        double a = 0, b = 0;
        if (i % 2 == 0) {
            a = aptRun(false);
            b = aptRun(true);
        } else {
            b = aptRun(true);
            a = aptRun(false);
        }
        plain.push_back(a);
        hooked.push_back(b);
        added.push_back(b - a);
    }

    // (b) The hook alone, as APT starts it on a run without package lines.
    std::string input = "VERSION 3\n";
    for (int i = 0; i < 400; ++i)
        input += "APT::Bench::Item" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
    input += "\n";
    const std::string hookExe = (libexec / "qmvigilorn-hook").string();
    std::vector<double> idle;
    for (int i = 0; i < 5 * rounds; ++i) {
        t0 = std::chrono::steady_clock::now();
        if (run({hookExe, "apt"}, log, input, {"APT_HOOK_INFO_FD=20"}) != 0)
            die("the hook failed; see " + log);
        idle.push_back(msSince(t0));
    }
    const std::size_t made = pointCount() - start;
    run(purge, log);
    std::error_code ec;
    fs::remove_all(work, ec);

    const double p = median(plain), h = median(hooked), d = median(added), n = median(idle);
    std::printf("APT run (apt-get install --reinstall of a local package, lists of its own), "
                "%d rounds each:\n",
                rounds);
    std::printf("  without the hooks:          %8.1f ms (median; %.1f..%.1f)\n", p,
                *std::min_element(plain.begin(), plain.end()),
                *std::max_element(plain.begin(), plain.end()));
    std::printf("  with the hooks, auto point: %8.1f ms (median; %.1f..%.1f)\n", h,
                *std::min_element(hooked.begin(), hooked.end()),
                *std::max_element(hooked.begin(), hooked.end()));
    std::printf("  added per run:              %8.1f ms (median of the pairs; bound 300 ms)\n", d);
    std::printf("  with/without:               %8.3f\n", h / p);
    std::printf("  first point's run:          %8.1f ms (every file of /etc read once)\n",
                firstRun);
    std::printf("Nothing needing a point (no package line), %zu runs of the hook:\n", idle.size());
    std::printf("  the hook:                   %8.1f ms (median; %.1f..%.1f; bound 20 ms)\n", n,
                *std::min_element(idle.begin(), idle.end()),
                *std::max_element(idle.begin(), idle.end()));
    std::printf("  against the plain APT run:  %8.4f\n", n / p);
    std::printf("points made: %zu\n", made);
    return 0;
}
