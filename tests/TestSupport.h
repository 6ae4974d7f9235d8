#pragma once
// Shared set-up for the widget tests: fake platform, temporary settings, answered message boxes.
#include "app/Module1.h"
#include "app/SettingsStore.h"
#include "monitor/frmRPntOK.h"
#include "platform/fake/FakePlatform.h"
#include "ui/MessageBox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace vigilorn::test {

struct FakeServices {
    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> settings;
    FakeProcessSource processes;
    FakeProcessEnder ender;
    FakeRestoreEngine restore;
    FakeRestoreChanges changes;
    FakeSystemRestore systemRestore; // installed by the tests that want it
    FakeAutorun autorun;
    FakeSysInfoLauncher sysInfo;
    FakePackageTransactions packageDaemon;
    std::vector<QUrl> openedUrls;
    bool openUrlSucceeds = true;

    FakeServices() {
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("config")).toUtf8());
        qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toUtf8());
        qputenv("XDG_CONFIG_DIRS", dir.filePath(QStringLiteral("xdg")).toUtf8());
        settings = std::make_unique<SettingsStore>(QStringLiteral("QMVigilornApp"), configDir());
        install();
        MessageBox::setTestMode(true);
        MessageBox::clearShown();
        Module1::AppOptions = {};
        Module1::restorePointConfirmed = false;
    }
    ~FakeServices() { Module1::services = {}; }

    QString configDir() const { return dir.filePath(QStringLiteral("config")); }

    // Replaces the settings file with this text and reopens the store.
    void writeSettings(const QByteArray& ini) {
        QDir().mkpath(configDir());
        QFile f(QDir(configDir()).filePath(QStringLiteral("QMVigilornApp.ini")));
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(ini);
        f.close();
        settings = std::make_unique<SettingsStore>(QStringLiteral("QMVigilornApp"), configDir());
        install();
    }

    void install() {
        auto& s = Module1::services;
        s = {};
        s.settings = settings.get();
        s.processes = &processes;
        s.ender = &ender;
        s.restore = &restore;
        s.changes = &changes;
        s.autorun = &autorun;
        s.sysInfo = &sysInfo;
        s.packageDaemon = &packageDaemon;
        s.appDir = dir.path();
        s.openUrl = [this](const QUrl& u) {
            openedUrls.push_back(u);
            return openUrlSucceeds;
        };
        s.confirmPointMade = frmRPntOK::confirmModally; // as the program does
    }
};

inline ProcessEntry proc(const char* name, const char* pid = "100", const char* user = "alice") {
    return {name, pid, user};
}

} // namespace vigilorn::test
