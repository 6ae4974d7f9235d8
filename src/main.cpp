#include "Main.h"
#include "app/DisplayChoice.h"
#include "app/HeldChange.h"
#include "app/Module1.h"
#include "app/SettingsStore.h"
#include "app/SingleInstance.h"
#include "mainwin/frmMain.h"
#include "monitor/frmRPntOK.h"
#include "platform/Platform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[]) {
    const std::string platformChoice = vigilorn::preferredPlatform(
        std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"));
    if (!platformChoice.empty())
        qputenv("QT_QPA_PLATFORM", platformChoice.c_str());
    QApplication app(argc, argv);
    // The program lives in the tray: closing its last window must not end it.
    app.setQuitOnLastWindowClosed(false);

    const QFileInfo exe(QCoreApplication::applicationFilePath());
    const QString appName = exe.completeBaseName();
    QCoreApplication::setApplicationName(appName);

    const QString platformName = QGuiApplication::platformName();
    QString display = platformName;
    if (platformName == QLatin1String("xcb"))
        display = qEnvironmentVariable("DISPLAY");
    else if (platformName == QLatin1String("wayland"))
        display = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
    vigilorn::SingleInstance instance(
        QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation),
        vigilorn::instanceKey(appName, platformName, display));
    switch (instance.claim()) {
    case vigilorn::SingleInstance::Outcome::First:
        break;
    case vigilorn::SingleInstance::Outcome::Told:
        return 0;
    case vigilorn::SingleInstance::Outcome::NoAnswer:
        std::fprintf(stderr, "%s: already running: %s\n", qPrintable(appName),
                     qPrintable(instance.problem()));
        return 1;
    case vigilorn::SingleInstance::Outcome::Unguarded:
        // A possible second copy does less harm than no monitor at all.
        std::fprintf(stderr, "%s: %s; running without the one-copy guard\n", qPrintable(appName),
                     qPrintable(instance.problem()));
        break;
    }
    QObject::connect(&instance, &vigilorn::SingleInstance::showRequested, [] {
        if (frmMain* m = frmMain::loaded())
            m->bringForward();
    });
    // Not answered when no main window is there: the hook then stops waiting on its own.
    QObject::connect(&instance, &vigilorn::SingleInstance::holdRequested,
                     [](vigilorn::HeldChange* change) {
                         if (frmMain* m = frmMain::loaded())
                             m->holdChange(change);
                     });

    vigilorn::SettingsStore settings(appName);
    bool keepIsNumber = false;
    const uint keep =
        settings.readText(QStringLiteral("Restore"), QStringLiteral("Keep"), QStringLiteral("50"))
            .trimmed()
            .toUInt(&keepIsNumber);
    vigilorn::Platform platform = vigilorn::createPlatform(
        {appName.toStdString(),
         settings.readText(QStringLiteral("Snapper"), QStringLiteral("Config"), {}).toStdString(),
         keepIsNumber ? keep : 50u,
         {}});

    auto& s = Module1::services;
    s.settings = &settings;
    s.processes = platform.processes.get();
    s.ender = platform.ender.get();
    s.restore = platform.restore.get();
    s.changes = platform.changes.get();
    s.systemRestore = platform.systemRestore.get();
    s.autorun = platform.autorun.get();
    s.sysInfo = platform.sysInfo.get();
    s.packageDaemon = platform.packageDaemon.get();
    s.appName = appName;
    s.appDir = exe.absolutePath();
    s.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    s.confirmPointMade = frmRPntOK::confirmModally;

    vigilorn::watchTerminationRequests(Module1::EndRequested);

    Module1::Main();
    const int rc = app.exec();
    Module1::End();
    return rc;
}
