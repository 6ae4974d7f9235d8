#include "DesktopNotifier.h"
#include "LinuxRestore.h"
#include "PackageKitTransactions.h"
#include "PathSysInfoLauncher.h"
#include "ProcProcessSource.h"
#include "RootSideRestore.h"
#include "SignalProcessEnder.h"
#include "SystemPointsEngine.h"
#include "XdgAutorun.h"
#include "platform/Platform.h"

#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace vigilorn {

Platform createPlatform(const PlatformConfig& config) {
    Platform p;
    p.processes = std::make_unique<ProcProcessSource>();
    p.ender = std::make_unique<SignalProcessEnder>(*p.processes);
    p.restore = createLinuxRestoreEngine(config);
    p.changes = createLinuxRestoreChanges(config, *p.restore);
    if (const auto* system = dynamic_cast<const SystemPointsEngine*>(p.restore.get()))
        p.systemRestore =
            std::make_unique<RootSideRestore>(RootSideRestore::Options{system->options().maker});
    p.autorun = std::make_unique<XdgAutorun>();
    p.sysInfo = std::make_unique<PathSysInfoLauncher>();
    p.packageDaemon = std::make_unique<PackageKitTransactions>();
    p.notifier = std::make_unique<DesktopNotifier>();
    return p;
}

std::string makeExePath(const std::string& folder, const std::string& baseName) {
    // The file that is running: the base name has lost whatever suffix the file name had, and
    // the folder may be reached through a link.
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            break;
        if (static_cast<std::size_t>(n) < buf.size()) {
            const std::string target(buf.data(), static_cast<std::size_t>(n));
            // A replaced executable reads "... (deleted)"; that path names nothing.
            static const std::string deleted = " (deleted)";
            if (target.size() > deleted.size() &&
                target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
                break;
            return target;
        }
        buf.resize(buf.size() * 2);
    }
    return folder + "/" + baseName;
}

std::optional<unsigned> localPeerUid(std::intptr_t socketDescriptor) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (socketDescriptor < 0 ||
        ::getsockopt(static_cast<int>(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return std::nullopt;
    return static_cast<unsigned>(cred.uid);
}

std::string platformText() {
    return "Linux";
}

} // namespace vigilorn
