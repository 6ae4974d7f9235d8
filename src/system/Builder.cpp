#include "Builder.h"

#include "RootFiles.h"
#include "Run.h"
#include "SystemStore.h"
#include "debian/PackagePool.h"

#include "platform/posix/Fd.h"
#include "platform/posix/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vigilorn::sys {

namespace {

constexpr const char* kBuilderLock = "builder.lock";
constexpr const char* kWaitingLock = "builder-waits.lock";
constexpr std::size_t kMaxNotKept = 64 * 1024;

bool lockFree(const std::string& path) {
    const posix::Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid())
        return true;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return ::fcntl(fd.get(), F_GETLK, &probe) == 0 && probe.l_type == F_UNLCK;
}

void lowestPriority() {
    ::setpriority(PRIO_PROCESS, 0, 19);
    constexpr int kWhoProcess = 1, kClassIdle = 3, kClassShift = 13;
    ::syscall(SYS_ioprio_set, kWhoProcess, 0, kClassIdle << kClassShift);
}

struct timespec statusTime(const std::string& status) {
    struct stat st {};
    return ::stat(status.c_str(), &st) == 0 ? st.st_mtim : timespec{};
}

} // namespace

bool waitForStatusChange(const BuilderOptions& options, const struct timespec& before,
                         std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
        const timespec now = statusTime(options.dpkgStatus);
        if ((now.tv_sec != before.tv_sec || now.tv_nsec != before.tv_nsec) &&
            packageRunsIdle(options.dpkgLocks))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

bool packageRunsIdle(const std::string& dpkgLocks) {
    return lockFree(dpkgLocks + "/lock-frontend") && lockFree(dpkgLocks + "/lock");
}

void startBuilder() {
    // Nothing of the caller's stays open in it: the hook waits for its pipes to close.
    startDetached("/proc/self/exe", {"qmvigilorn-system", "build"});
}

int runBuilder(const BuilderOptions& options) {
    lowestPriority();
    posix::Fd root;
    if (openRootPath(options.folder, 0755, root, false))
        return 0;
    // One builder waits for the package runs; another started meanwhile leaves it the work.
    posix::Fd waiting;
    if (options.wait) {
        waiting = posix::Fd(
            ::openat(root.get(), kWaitingLock, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!waiting.valid() || ::flock(waiting.get(), LOCK_EX | LOCK_NB) != 0)
            return 0;
        const auto until = std::chrono::steady_clock::now() + options.longest;
        while (!packageRunsIdle(options.dpkgLocks)) {
            if (std::chrono::steady_clock::now() > until)
                return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    }
    posix::Fd poolFolder;
    if (openRootFolder(root.get(), kPoolFolderName, options.folder + "/" + kPoolFolderName, 0700,
                       poolFolder, false))
        return 0;
    PoolOptions poolOptions;
    poolOptions.dpkgStatus = options.dpkgStatus;
    PackagePool pool(std::move(poolFolder), options.folder + "/" + kPoolFolderName, poolOptions);
    int failed = 0;
    const auto until = std::chrono::steady_clock::now() + options.longest;
    while (true) {
        const timespec before = statusTime(options.dpkgStatus);
        bool waitingForDpkg = false;
        {
            // One pass at a time; held only while building, so that `build --now` never waits
            // for a change that may not come.
            const posix::Fd lock(::openat(root.get(), kBuilderLock,
                                          O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!lock.valid() || ::flock(lock.get(), LOCK_EX) != 0)
                return failed;
            std::string notKept;
            for (const auto& b : pool.buildStaged(root.get())) {
                if (b.how == "waiting") {
                    waitingForDpkg = true;
                    continue;
                }
                const bool fine = b.kept || b.how == "not-replaced";
                failed += fine ? 0 : 1;
                if (!fine)
                    notKept += b.file + " " + b.how + "\n";
                if (options.report)
                    options.report((b.kept ? "kept " : "not-kept ") + b.file + " " + b.how);
            }
            // The packages staged but not kept after all, newest last: a restore names them
            // missing, this says why.
            if (!notKept.empty()) {
                const auto old = posix::readFile(root.get(), kNotKeptName, kMaxNotKept,
                                                 posix::kNoFollow | posix::kRootOwned);
                std::string text = (old.ok() ? old.text : std::string()) + notKept;
                while (text.size() > kMaxNotKept / 2)
                    text.erase(0, text.find('\n') + 1);
                posix::replaceFile(root.get(), kNotKeptName, text, 0644);
            }
            // What each point holds now that the packages are built.
            SystemStore::Options store;
            store.folder = options.folder;
            SystemStore(store).writeSizes();
        }
        // A change whose dpkg has not started yet: until its status file changes.
        if (!waitingForDpkg || !options.wait || !waitForStatusChange(options, before, until))
            break;
    }
    return failed;
}

} // namespace vigilorn::sys
