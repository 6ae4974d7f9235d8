#pragma once
#include "ui/Form.h"

namespace vigilorn {
class HeldChange;
}
#include "ui/ImageButton.h"

#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>

#include <chrono>
#include <functional>

class QAction;
class QMenu;
class QTableWidget;
class QTimer;
namespace vigilorn {
class InstallerMonitor;
class TrayWait;
} // namespace vigilorn

// The main window: the monitor's two timers, the process grid, the menus, the tray icon.
class frmMain : public vigilorn::Form<frmMain, QMainWindow> {
    Q_OBJECT
public:
    frmMain();
    ~frmMain() override;

    // The monitor.
    void scanForInstaller();
    void haveDoneRestore();
    void secondMessage();
    void waitForInstallerEnd();
    // A package change the root side's hook holds until the reminder is answered.
    void holdChange(vigilorn::HeldChange* change);

    // The process grid.
    void ListProcesses();
    bool processSelected = false;

    void minimize_to_tray();
    // Start-up's send to the tray: when no notification area is there yet, the window stays
    // hidden while one is waited for, and only then goes to the task bar.
    void minimize_to_tray_at_start();
    bool waitingForTray() const;
    // Another start of the program asks for the main window.
    void bringForward();
    // How long start-up waits for a notification area, and how it looks for one; tests
    // shorten the one and replace the other.
    static inline std::chrono::milliseconds trayWaitLimit{30000};
    static inline std::function<bool()> trayProbe;
    // The tray icon's notifications, as the platform reports them.
    void trayActivated(QSystemTrayIcon::ActivationReason reason);
    // Ends the program at once, removing the tray icon first.
    void endProgram();

    void showBorder(); // Picture2
    void hideBorder(); // Picture3
    bool borderShown() const { return m_borderShown; }
    void mnuCheck_Click();

    QTimer* Timer1;
    QTimer* Timer2;
    // Made when first wanted (the window shown, or processes listed): a table loads the fonts
    // as it is made, which a program that starts in the tray has no use for.
    QTableWidget* MSFlexGrid1();
    vigilorn::ImageButton* Picture1;
    vigilorn::ImageButton* Picture2;
    vigilorn::ImageButton* Picture3;
    vigilorn::ImageButton* Picture4;

    QAction* mnuTitle;
    QMenu* mnuFile;
    QAction* mnuExit;
    QMenu* mnuOptions;
    QAction* mnuProgOpts;
    QMenu* mnuRestore;
    QAction* mnurestpnt;
    QAction* mnuCreateResPnt;
    QMenu* mnuHelp;
    QAction* mnuHelpProgram;
    QAction* mnuAbout;
    QMenu* mnuUpdates;
    QAction* mnuCheckAction;
    QMenu* mnuTray;
    QAction* mnuTabout;
    QAction* mnuShowMain;
    QAction* mnuTcheck;
    QAction* mnuClose;
    QMenu* mnuprocess;
    QAction* mnuKillProcess;

    QSystemTrayIcon* trayIcon() const { return m_tray; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* e) override;
    void paintEvent(QPaintEvent*) override;
    void closeEvent(QCloseEvent* e) override;

private:
    void buildMenus();
    void applyWindowFlags();
    void mnuKillProcess_Click();
    template <class T> void openModal();
    void openRestorePoints();
    void openOptions();
    void openHelp();
    void openAbout();
    bool trayPresent() const;
    void attachTrayIcon();
    void stayOnTaskBar();

    vigilorn::ImageList ImageList1;
    QTableWidget* m_grid = nullptr;
    vigilorn::InstallerMonitor* m_monitor;
    QPointer<QSystemTrayIcon> m_tray;
    bool m_borderShown = false;
    bool m_noTrayReported = false;
    vigilorn::TrayWait* m_trayWait = nullptr;
    // StatusNotifierItem hosts show the exported menu themselves and activate with one click.
    bool m_onStatusNotifier = false;
    QMenu* m_exportedTrayMenu = nullptr;
};
