#pragma once
// Everything the program needs from the operating system, built once by main().
#include "Autorun.h"
#include "Notifier.h"
#include "PackageTransactions.h"
#include "ProcessSource.h"
#include "RestoreChanges.h"
#include "RestoreEngine.h"
#include "SysInfoLauncher.h"
#include "SystemRestore.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vigilorn {

struct Platform {
    std::unique_ptr<ProcessSource> processes;
    std::unique_ptr<ProcessEnder> ender;
    std::unique_ptr<Autorun> autorun;
    std::unique_ptr<SysInfoLauncher> sysInfo;
    // Chosen once, at start-up.
    std::unique_ptr<RestoreEngine> restore;
    // What changed since one of restore's points; may be null.
    std::unique_ptr<RestoreChanges> changes;
    // Going back to a system point; null unless the package's root side is installed.
    std::unique_ptr<SystemRestore> systemRestore;
    // Empty where the platform has no such daemon.
    std::unique_ptr<PackageTransactions> packageDaemon;
    // The desktop's notifications; null where the platform has none: the tray's balloon then.
    std::unique_ptr<Notifier> notifier;
};

struct PlatformConfig {
    std::string appName;        // the executable's base name
    std::string snapperConfig;  // snapper config to use; empty = "root"
    unsigned restoreKeep = 50;  // built-in restore points kept; 0 = all
    std::string gitStoreModule; // the built-in store's module; empty = where the build put it
};

// Implemented once per platform folder.
Platform createPlatform(const PlatformConfig& config);

// The executable's full path as the autorun entry names it. On Linux the running file itself
// (folder and base name are only the fallback).
std::string makeExePath(const std::string& folder, const std::string& baseName);

// Makes the title the window system shows for this native window empty. Qt puts the application
// name in place of an empty title, and task bars and screen readers would read that.
void clearNativeWindowTitle(std::uintptr_t nativeWindow);

// The user id of the process at the other end of a connected local socket; empty where it
// cannot be told.
std::optional<unsigned> localPeerUid(std::intptr_t socketDescriptor);

// The text shown on the splash screen for the platform the build runs on.
std::string platformText();

// Calls onRequest from the event loop when the system asks the program to end, so that it ends
// the way Exit does (the tray icon removed first). Call once, after the application object
// exists.
void watchTerminationRequests(std::function<void()> onRequest);

} // namespace vigilorn
