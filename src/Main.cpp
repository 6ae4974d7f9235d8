#include "Main.h"

#include "app/Module1.h"
#include "app/SettingsStore.h"
#include "dialogs/frmSplash.h"
#include "mainwin/frmMain.h"
#include "platform/Platform.h"
#include "ui/ErrorReport.h"

#include <QApplication>
#include <QList>
#include <QPointer>

namespace Module1 {

using namespace vigilorn;

void Main() {
    // Each failing step is reported once and start-up goes on with the next.
    if (services.settings) {
        if (auto err = services.settings->openError()) {
            reportError(*err);
        } else {
            std::vector<PlatformError> errors;
            AppOptions = readOptions(*services.settings, errors);
            for (const auto& e : errors)
                reportError(e);
        }
    }

    exePath = QString::fromStdString(
        makeExePath(services.appDir.toStdString(), services.appName.toStdString()));

    if (AppOptions.showSplash())
        guarded([] { frmSplash::showOnce(); });

    restorePointConfirmed = false;

    guarded([] {
        frmMain* main = frmMain::instance();
        if (AppOptions.startMinimised())
            main->minimize_to_tray_at_start();
        else
            main->show();
    });
}

void EndRequested() {
    if (frmMain* m = frmMain::loaded())
        m->endProgram();
    else
        QCoreApplication::exit(0);
}

void End() {
    // Nothing else deletes the windows, and a window's worker (the Changes window's comparison)
    // reads the platform's objects: left alone it went on while main() destroyed them.
    QList<QPointer<QWidget>> windows;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (!w->parentWidget())
            windows << w;
    for (const auto& w : windows)
        delete w.data();
    services = {};
}

} // namespace Module1
