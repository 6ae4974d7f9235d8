#pragma once
// Shared set-up of the window tests: message boxes answered in advance, the services filled
// with fakes, settings in a temporary folder.
#include "app/Module1.h"
#include "app/SettingsStore.h"
#include "platform/fake/FakePlatform.h"
#include "ui/MessageBox.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <memory>

struct DialogTestEnv {
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<vigilorn::SettingsStore> settings;
    vigilorn::FakeAutorun autorun;
    vigilorn::FakeSysInfoLauncher sysInfo;
    vigilorn::FakeRestoreEngine restore;

    // A fresh environment: new folders, empty settings, default options.
    void reset() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        vigilorn::MessageBox::setTestMode(true);
        vigilorn::MessageBox::clearShown();
        settings = std::make_unique<vigilorn::SettingsStore>(QStringLiteral("QMVigilornApp"),
                                                             path(QStringLiteral("config")));
        autorun = {};
        sysInfo = {};
        restore = {};
        auto& s = Module1::services;
        s = {};
        s.settings = settings.get();
        s.autorun = &autorun;
        s.sysInfo = &sysInfo;
        s.restore = &restore;
        s.appDir = path(QStringLiteral("bin"));
        Module1::AppOptions = {};
        // A real executable, since an autostart entry is only written for one.
        Module1::exePath = path(QStringLiteral("Quillmere Vigilorn/QMVigilornApp"));
        QVERIFY(QDir().mkpath(path(QStringLiteral("Quillmere Vigilorn"))));
        QFile exe(Module1::exePath);
        QVERIFY(exe.open(QIODevice::WriteOnly));
        exe.close();
        QVERIFY(exe.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                   QFileDevice::ExeOwner));
    }

    QString path(const QString& name) const { return dir->filePath(name); }

    // What the settings file holds now, read by a separate reader.
    QString stored(const QString& key) const {
        QSettings ini(settings->fileName(), QSettings::IniFormat);
        return ini.value(QStringLiteral("Options/") + key).toString();
    }
    bool hasStored(const QString& key) const {
        QSettings ini(settings->fileName(), QSettings::IniFormat);
        return ini.contains(QStringLiteral("Options/") + key);
    }
};

// Runs the deferred deletes of unloaded windows.
inline void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Every child control is named, for tests and for screen readers alike.
inline void verifyEveryControlNamed(QWidget* window) {
    const auto children = window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(!children.isEmpty());
    for (QWidget* w : children) {
        QVERIFY2(!w->objectName().isEmpty(), w->metaObject()->className());
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        QVERIFY(a);
        QVERIFY2(!a->text(QAccessible::Name).isEmpty(), qPrintable(w->objectName()));
    }
}
