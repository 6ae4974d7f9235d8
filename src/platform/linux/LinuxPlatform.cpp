#include "LinuxRestore.h"
#include "PackageKitTransactions.h"
#include "PathSysInfoLauncher.h"
#include "ProcProcessSource.h"
#include "SignalProcessEnder.h"
#include "XdgAutorun.h"
#include "platform/Platform.h"

namespace vigilorn {

Platform createPlatform(const PlatformConfig& config) {
    Platform p;
    p.processes = std::make_unique<ProcProcessSource>();
    p.ender = std::make_unique<SignalProcessEnder>(*p.processes);
    p.restore = createLinuxRestoreEngine(config);
    p.autorun = std::make_unique<XdgAutorun>();
    p.sysInfo = std::make_unique<PathSysInfoLauncher>();
    p.packageDaemon = std::make_unique<PackageKitTransactions>();
    return p;
}

std::string makeExePath(const std::string& folder, const std::string& baseName) {
    return folder + "/" + baseName;
}

std::string platformText() {
    return "Linux";
}

} // namespace vigilorn
