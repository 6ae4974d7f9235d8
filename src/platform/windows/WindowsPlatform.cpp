#include "RegistryAutorun.h"
#include "SystemRestoreEngine.h"
#include "TskillProcessEnder.h"
#include "WinHeaders.h"
#include "WindowsSysInfoLauncher.h"
#include "WmiProcessSource.h"
#include "platform/Platform.h"

namespace vigilorn {

Platform createPlatform(const PlatformConfig&) {
    Platform p;
    p.processes = std::make_unique<WmiProcessSource>();
    p.ender = std::make_unique<TskillProcessEnder>(*p.processes);
    p.autorun = std::make_unique<RegistryAutorun>();
    p.sysInfo = std::make_unique<WindowsSysInfoLauncher>();
    p.restore = std::make_unique<SystemRestoreEngine>();
    return p;
}

std::string makeExePath(const std::string& folder, const std::string& baseName) {
    // Qt hands the folder over with forward slashes; the Run value is read by Windows itself.
    std::string path = folder + "\\" + baseName + ".exe";
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

void clearNativeWindowTitle(std::uintptr_t nativeWindow) {
    if (nativeWindow)
        ::SetWindowTextW(reinterpret_cast<HWND>(nativeWindow), L"");
}

// Held package changes are a Linux matter; no peer is ever trusted here.
std::optional<unsigned> localPeerUid(std::intptr_t) {
    return std::nullopt;
}

std::string platformText() {
    return "Windows XP/Vista";
}

// A window program is told to end by its window messages (WM_QUERYENDSESSION, WM_CLOSE), which
// Qt turns into its own events; there is no signal to watch.
void watchTerminationRequests(std::function<void()>) {}

} // namespace vigilorn
