#include "app/Module1.h"
#include "app/SettingsStore.h"
#include "mainwin/frmMain.h"
#include "platform/Platform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // The program lives in the tray: closing its last window must not end it.
    app.setQuitOnLastWindowClosed(false);

    const QFileInfo exe(QCoreApplication::applicationFilePath());
    const QString appName = exe.completeBaseName();
    QCoreApplication::setApplicationName(appName);

    vigilorn::SettingsStore settings(appName);
    bool keepIsNumber = false;
    const uint keep =
        settings.readText(QStringLiteral("Restore"), QStringLiteral("Keep"), QStringLiteral("50"))
            .trimmed()
            .toUInt(&keepIsNumber);
    vigilorn::Platform platform = vigilorn::createPlatform(
        {appName.toStdString(),
         settings.readText(QStringLiteral("Snapper"), QStringLiteral("Config"), {}).toStdString(),
         keepIsNumber ? keep : 50u});

    auto& s = Module1::services;
    s.settings = &settings;
    s.processes = platform.processes.get();
    s.ender = platform.ender.get();
    s.restore = platform.restore.get();
    s.autorun = platform.autorun.get();
    s.sysInfo = platform.sysInfo.get();
    s.appName = appName;
    s.appDir = exe.absolutePath();
    s.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

    vigilorn::watchTerminationRequests([] {
        if (frmMain* m = frmMain::loaded())
            m->endProgram();
        else
            QCoreApplication::exit(0);
    });

    Module1::Main();
    const int rc = app.exec();
    Module1::services = {};
    return rc;
}
