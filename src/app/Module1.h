#pragma once
// The state shared for the whole run; the start-up sequence itself (Main) sits at the top.
#include "AppOptions.h"

#include <QString>
#include <QUrl>

#include <functional>

namespace vigilorn {
class SettingsStore;
class ProcessSource;
class ProcessEnder;
class RestoreEngine;
class RestoreChanges;
class Autorun;
class SysInfoLauncher;
class PackageTransactions;
class SystemRestore;
} // namespace vigilorn

namespace Module1 {

// What the windows reach the system through. Main fills it from the platform; tests fill it
// with fakes. Not owned here.
struct Services {
    vigilorn::SettingsStore* settings = nullptr;
    vigilorn::ProcessSource* processes = nullptr;
    vigilorn::ProcessEnder* ender = nullptr;
    vigilorn::RestoreEngine* restore = nullptr;
    vigilorn::RestoreChanges* changes = nullptr;      // null: no comparison for this engine
    vigilorn::SystemRestore* systemRestore = nullptr; // null: no root side installed
    vigilorn::Autorun* autorun = nullptr;
    vigilorn::SysInfoLauncher* sysInfo = nullptr;
    vigilorn::PackageTransactions* packageDaemon = nullptr; // may stay empty
    QString appName = QStringLiteral("QMVigilornApp");
    QString appDir; // the executable's folder
    QString vendorUrl = QStringLiteral("https://www.quillmere.com/vigilorn/");
    QString vendorSite = QStringLiteral("www.quillmere.com");
    // Opens a page in the user's browser; false when it cannot.
    std::function<bool(const QUrl&)> openUrl;
    // Says that the point the user asked for was made, and returns once they have seen it. The
    // confirmation is the reminders' window, which the restore window does not reach itself.
    std::function<void()> confirmPointMade;
};

inline Services services;
inline vigilorn::Options AppOptions;
inline QString exePath;
inline bool restorePointConfirmed = false;

} // namespace Module1
