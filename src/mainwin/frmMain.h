#pragma once
#include "app/Form.h"
#include "mainwin/ImageButton.h"

#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>

class QAction;
class QMenu;
class QTableWidget;
class QTimer;
namespace vigilorn {
class InstallerMonitor;
}

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

    // The process grid.
    void ListProcesses();
    bool processSelected = false;

    void minimize_to_tray();
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
    QTableWidget* MSFlexGrid1;
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

    vigilorn::ImageList ImageList1;
    vigilorn::InstallerMonitor* m_monitor;
    QPointer<QSystemTrayIcon> m_tray;
    bool m_borderShown = false;
    bool m_noTrayReported = false;
};
