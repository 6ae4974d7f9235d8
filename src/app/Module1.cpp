#include "Module1.h"

#include "ErrorReport.h"
#include "SettingsStore.h"
#include "dialogs/frmSplash.h"
#include "mainwin/frmMain.h"
#include "platform/Platform.h"

#include <QWidget>

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

void setWindowOnTop(QWidget* target, bool onTop) {
    guarded([&] {
        if (!target)
            throw RuntimeError(ErrorNumber::InvalidProcedureCall);
        const QPoint pos = target->pos();
        const bool moved = target->testAttribute(Qt::WA_Moved);
        // Changing a window's flags hides it; the position is put back, and it is shown.
        target->setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
        if (moved)
            target->move(pos);
        target->show();
    });
}

} // namespace Module1
