#include "frmMain.h"

#include "app/Module1.h"
#include "dialogs/frmAbout.h"
#include "dialogs/frmHelp.h"
#include "dialogs/frmOptions.h"
#include "mainwin/TrayProbe.h"
#include "mainwin/TrayWait.h"
#include "monitor/InstallerMonitor.h"
#include "monitor/InstallerRule.h"
#include "monitor/frmDialog.h"
#include "monitor/frmDialog2.h"
#include "monitor/frmRPntOK.h"
#include "platform/PointRequest.h"
#include "platform/ProcessSource.h"
#include "platform/RestoreEngine.h"
#include "restore/frmRestorePoints.h"
#include "ui/Artwork.h"
#include "ui/EmptyTitle.h"
#include "ui/ErrorReport.h"
#include "ui/MessageBox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QWindow>

using namespace vigilorn;

namespace {

const QString kTitle = QStringLiteral("Quillmere Vigilorn");
constexpr int kTwipsPerPixel = 15;
constexpr int px(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

// The raw bytes of a process name, kept beside its display text so that a name that is not
// valid UTF-8 still ends exactly the processes it names.
constexpr int kRawNameRole = Qt::UserRole + 1;
// On the PID cell: when the listed process started, so that a kill by PID reaches that process
// and not one that was given its PID later.
constexpr int kStartTimeRole = Qt::UserRole + 2;
constexpr int kPidColumn = 2;

ProcessSource& processes() {
    if (!Module1::services.processes)
        throw RuntimeError(ErrorNumber::CantPerformOperation);
    return *Module1::services.processes;
}

} // namespace

frmMain::frmMain()
    : ImageList1(makeImageList({{QStringLiteral("Show running processes"), {132, 25}},
                                {QStringLiteral("Show form border"), {101, 25}},
                                {QStringLiteral("Hide form border"), {102, 25}},
                                {QStringLiteral("Minimise to tray"), {94, 25}}})) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(kTitle);
    keepEmptyTitle(this); // without its border the window has an empty title
    setWindowIcon(programIcon());
    setFont(tahoma(8.25));

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(px(8310), px(3540));
    setCentralWidget(client);

    auto button = [&](const char* name, int released, const QString& label, QRect twips) {
        auto* b = new ImageButton(client, ImageList1, released, released + 1, label);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(px(twips.x()), px(twips.y()), px(twips.width()), px(twips.height()));
        return b;
    };
    Picture1 =
        button("Picture1", 1, QStringLiteral("Show running processes"), {95, 2880, 1900, 375});
    Picture2 = button("Picture2", 3, QStringLiteral("Show form border"), {2600, 2880, 1500, 375});
    Picture3 = button("Picture3", 5, QStringLiteral("Hide form border"), {4700, 2880, 1500, 375});
    Picture4 = button("Picture4", 7, QStringLiteral("Minimise to tray"), {6815, 2880, 1400, 375});
    connect(Picture1, &ImageButton::clicked, this, [this] { guarded([&] { ListProcesses(); }); });
    connect(Picture2, &ImageButton::clicked, this, &frmMain::showBorder);
    connect(Picture3, &ImageButton::clicked, this, &frmMain::hideBorder);
    connect(Picture4, &ImageButton::clicked, this,
            [this] { guarded([&] { minimize_to_tray(); }); });

    buildMenus();

    m_monitor = new InstallerMonitor(this);
    Timer1 = m_monitor->Timer1;
    Timer2 = m_monitor->Timer2;
    m_monitor->secondReminderOpen = [] {
        const frmDialog2* d = frmDialog2::loaded();
        return d && d->isVisible();
    };
    connect(m_monitor, &InstallerMonitor::installerFound, this, [this](const QString& name) {
        silently([&] {
            frmDialog* dialog = frmDialog::instance();
            dialog->setMonitor(m_monitor);
            dialog->Label1->setText(reminderText(name));
            dialog->show();
            dialog->raise();
        });
    });
    connect(m_monitor, &InstallerMonitor::secondReminderWanted, this, [this] {
        frmDialog2* d = frmDialog2::instance();
        d->setMonitor(m_monitor);
        d->Label1->setText(secondMessageText());
        d->show();
        d->raise();
    });
    connect(m_monitor, &InstallerMonitor::heldPointMade, this, [](const QString& number) {
        // The hook made the system point; the user's configuration folder goes beside it, so
        // that going back to it puts both back. The point stands without it.
        bool isNumber = false;
        const qulonglong n = number.toULongLong(&isNumber);
        if (RestoreEngine* engine = Module1::services.restore; engine && isNumber && n > 0)
            if (const Failure f =
                    engine->adoptRestorePoint(n, std::string(pointreq::kAskedDescription), {}))
                qWarning("P%llu: the configuration folder was not recorded: %s", n,
                         f->description.c_str());
        frmRPntOK::instance()->show();
    });
    connect(m_monitor, &InstallerMonitor::heldPointFailed, this, [](const QString& why) {
        reportError(PlatformError{ErrorNumber::CantPerformOperation, why.toStdString()});
    });

    // Load.
    processSelected = false;
    if (Module1::AppOptions.showFormBorder())
        showBorder();
    else
        hideBorder();
}

frmMain::~frmMain() {
    if (m_tray)
        m_tray->hide();
}

void frmMain::buildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("menuBar"));
    auto action = [this](QMenu* menu, const char* name, const QString& text) {
        auto* a = menu->addAction(text);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    auto menu = [&](const char* name, const QString& title, bool inBar) {
        auto* m = new QMenu(title, this);
        m->setObjectName(QString::fromLatin1(name));
        if (inBar)
            bar->addMenu(m);
        return m;
    };

    mnuTitle = bar->addAction(kTitle + QStringLiteral("               "));
    mnuTitle->setObjectName(QStringLiteral("mnuTitle"));
    mnuTitle->setEnabled(false);

    mnuFile = menu("mnuFile", QStringLiteral("&File"), true);
    mnuExit = action(mnuFile, "mnuExit", QStringLiteral("E&xit"));
    mnuOptions = menu("mnuOptions", QStringLiteral("&Options"), true);
    mnuProgOpts = action(mnuOptions, "mnuProgOpts", QStringLiteral("&Program Options"));
    mnuRestore = menu("mnuRestore", QStringLiteral("&Restore"), true);
    mnurestpnt = action(mnuRestore, "mnurestpnt", QStringLiteral("&Show Restore Points"));
    mnuCreateResPnt =
        action(mnuRestore, "mnuCreateResPnt", QStringLiteral("&Create New Restore Point"));
    mnuHelp = menu("mnuHelp", QStringLiteral("&Help"), true);
    mnuHelpProgram = action(mnuHelp, "mnuHelpProgram", QStringLiteral("Pro&gram Help"));
    mnuAbout = action(mnuHelp, "mnuAbout", QStringLiteral("&About"));
    mnuUpdates = menu("mnuUpdates", QStringLiteral("Updates"), true);
    mnuCheckAction =
        action(mnuUpdates, "mnuCheck", QStringLiteral("Check at ") + Module1::services.vendorSite);

    mnuTray = menu("mnuTray", QStringLiteral("Tray"), false);
    mnuTabout = action(mnuTray, "mnuTabout", QStringLiteral("About"));
    mnuShowMain = action(mnuTray, "mnuShowMain", QStringLiteral("&Show Main"));
    mnuTcheck = action(mnuTray, "mnuTcheck", QStringLiteral("&Check for Updates"));
    mnuClose = action(mnuTray, "mnuClose", QStringLiteral("E&xit Program"));

    mnuprocess = menu("mnuprocess", QStringLiteral("Process"), false);
    mnuKillProcess = action(mnuprocess, "mnuKillProcess", QStringLiteral("Kill Selected Process"));

    connect(mnuExit, &QAction::triggered, this, &frmMain::endProgram);
    connect(mnuClose, &QAction::triggered, this, &frmMain::endProgram);
    connect(mnuProgOpts, &QAction::triggered, this, &frmMain::openOptions);
    connect(mnurestpnt, &QAction::triggered, this, &frmMain::openRestorePoints);
    connect(mnuCreateResPnt, &QAction::triggered, this, &frmMain::openRestorePoints);
    connect(mnuHelpProgram, &QAction::triggered, this, &frmMain::openHelp);
    connect(mnuAbout, &QAction::triggered, this, &frmMain::openAbout);
    connect(mnuTabout, &QAction::triggered, this, &frmMain::openAbout);
    connect(mnuCheckAction, &QAction::triggered, this, &frmMain::mnuCheck_Click);
    connect(mnuTcheck, &QAction::triggered, this, &frmMain::mnuCheck_Click);
    connect(mnuShowMain, &QAction::triggered, this, [this] { show(); });
    connect(mnuKillProcess, &QAction::triggered, this, &frmMain::mnuKillProcess_Click);
}

void frmMain::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, kPanelGreen);
    // Footer band behind the buttons.
    const QWidget* c = centralWidget();
    const int top = c->geometry().top() + px(2800);
    paintBand(p, QRect(r.left(), top, r.width(), r.bottom() - top + 1), QString(), font());
}

void frmMain::closeEvent(QCloseEvent* e) {
    // The window lives for the whole run; without a close button this only comes from the
    // window manager, which gets the tray's behaviour rather than an end of the monitor.
    e->ignore();
    if (m_tray && m_tray->isVisible())
        hide();
    else
        showMinimized();
}

// ---- the monitor ---------------------------------------------------------------------------

void frmMain::scanForInstaller() {
    m_monitor->scanForInstaller();
}

void frmMain::holdChange(HeldChange* change) {
    m_monitor->hold(change);
}

void frmMain::haveDoneRestore() {
    m_monitor->haveDoneRestore();
}

void frmMain::secondMessage() {
    m_monitor->secondMessage();
}

void frmMain::waitForInstallerEnd() {
    m_monitor->waitForInstallerEnd();
}

// ---- the process grid ----------------------------------------------------------------------

QTableWidget* frmMain::MSFlexGrid1() {
    if (m_grid)
        return m_grid;
    m_grid = new QTableWidget(2, 3, centralWidget());
    m_grid->setObjectName(QStringLiteral("MSFlexGrid1"));
    m_grid->setAccessibleName(QStringLiteral("Processes"));
    m_grid->setGeometry(px(240), px(120), px(7935), px(2655));
    m_grid->setFont(tahoma(8.25));
    m_grid->setToolTip(QStringLiteral("Click on a process then Right Click to Kill the Process"));
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid->verticalHeader()->hide();
    m_grid->setWordWrap(false);
    // Tab leaves the grid; the arrow keys move between its cells.
    m_grid->setTabKeyNavigation(false);
    m_grid->hide();
    m_grid->viewport()->installEventFilter(this);
    connect(m_grid, &QTableWidget::currentCellChanged, this, [this] { processSelected = true; });
    return m_grid;
}

void frmMain::showEvent(QShowEvent* e) {
    MSFlexGrid1(); // a shown window has all its controls, for screen readers too
    QMainWindow::showEvent(e);
}

void frmMain::ListProcesses() {
    processSelected = false;
    MSFlexGrid1()->show();

    // The query runs before the grid is touched: a failure here leaves the grid as it was.
    // The user acts on this list, so it is read afresh rather than from what the monitor kept.
    processes().requireFullPass();
    std::vector<ProcessEntry> entries;
    auto failure = processes().EnumerateProcesses([&](const ProcessEntry& e) {
        entries.push_back(e);
        return true;
    });
    if (failure && !failure->duringWalk)
        throw RuntimeError(failure->error);
    // From here on a failure is ignored: what was read is shown.

    const QSignalBlocker block(MSFlexGrid1());
    MSFlexGrid1()->setUpdatesEnabled(false);
    MSFlexGrid1()->clear();
    MSFlexGrid1()->setColumnCount(3);
    MSFlexGrid1()->setHorizontalHeaderLabels(
        {QStringLiteral("Process"), QStringLiteral("User"), QStringLiteral("PID")});
    MSFlexGrid1()->setColumnWidth(0, px(3500));
    MSFlexGrid1()->setColumnWidth(1, px(2900));
    MSFlexGrid1()->setColumnWidth(2, px(1000));
    MSFlexGrid1()->setRowCount(static_cast<int>(entries.size()));
    int row = 0;
    for (const auto& e : entries) {
        auto* name = new QTableWidgetItem(QString::fromUtf8(e.Name));
        name->setData(kRawNameRole, QByteArray::fromStdString(e.Name));
        MSFlexGrid1()->setItem(row, 0, name);
        MSFlexGrid1()->setItem(row, 1, new QTableWidgetItem(QString::fromUtf8(e.User)));
        auto* pid = new QTableWidgetItem(QString::fromUtf8(e.processid));
        pid->setData(kStartTimeRole, QVariant::fromValue<qulonglong>(e.startTime));
        MSFlexGrid1()->setItem(row, kPidColumn, pid);
        ++row;
    }
    MSFlexGrid1()->setCurrentCell(-1, -1);
    MSFlexGrid1()->setUpdatesEnabled(true);
}

void frmMain::mnuKillProcess_Click() {
    auto currentText = [this]() -> std::pair<QString, std::string> {
        const QTableWidgetItem* item = MSFlexGrid1()->currentItem();
        if (!item)
            return {};
        const QByteArray raw = item->data(kRawNameRole).toByteArray();
        return {item->text(), raw.isNull() ? item->text().toStdString() : raw.toStdString()};
    };
    const QString shown = currentText().first;
    const QString text = QStringLiteral("Are you sure you want to Kill the Process: ") + shown +
                         QStringLiteral("?\r\nThis can cause un-desirable results!\r\n"
                                        "This will stop ALL instances of the selected process!");
    const auto answer =
        MessageBox::show(this, QMessageBox::Question, QStringLiteral("Kill Process?"), text,
                         QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Ok)
        return;

    // The box let events run: take the cell again. Digits name a PID only in the PID column;
    // in the others they are a name, which anyone can give a process.
    const QTableWidgetItem* item = MSFlexGrid1()->currentItem();
    std::string name = currentText().second;
    name = name.substr(0, name.find('.'));
    const bool byPid = item && item->column() == kPidColumn;
    const std::uint64_t startTime = item ? item->data(kStartTimeRole).toULongLong() : 0;
    bool replaced = false;
    guarded(
        [&] {
            if (name.empty() || !Module1::services.ender)
                return;
            if (!byPid) {
                throwIfFailed(Module1::services.ender->endByName(name));
                return;
            }
            const PidEnd end = Module1::services.ender->endByPid(name, startTime);
            if (end.outcome == PidEnd::Failed)
                throw RuntimeError(end.error);
            replaced = end.outcome == PidEnd::Replaced;
        },
        this);
    if (replaced)
        MessageBox::show(this, QMessageBox::Information, kTitle,
                         QStringLiteral("The process with PID %1 has ended since the list was "
                                        "made, and another process now has that PID. Nothing "
                                        "was stopped.")
                             .arg(QString::fromStdString(name)),
                         QMessageBox::Ok, QMessageBox::Ok);
    QCoreApplication::processEvents();
    guarded([&] { ListProcesses(); }, this);
    guarded([&] { ListProcesses(); }, this);
}

bool frmMain::eventFilter(QObject* watched, QEvent* event) {
    // The view makes the cell under any pressed button current, which would count as the
    // user's choice of a process; only the left button chooses one, as the keys do.
    if (m_grid && watched == m_grid->viewport() &&
        (event->type() == QEvent::MouseButtonPress ||
         event->type() == QEvent::MouseButtonDblClick) &&
        static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
        return true;
    if (m_grid && watched == m_grid->viewport() && event->type() == QEvent::MouseButtonRelease) {
        auto* me = static_cast<QMouseEvent*>(event);
        if (me->button() == Qt::RightButton && me->buttons() == Qt::NoButton && processSelected)
            mnuprocess->popup(me->globalPosition().toPoint());
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- the tray ------------------------------------------------------------------------------

bool frmMain::trayPresent() const {
    return trayProbe ? trayProbe() : notificationAreaPresent();
}

void frmMain::stayOnTaskBar() {
    // Said before the window is minimised: a window manager may bring a minimised window that
    // was never shown back up for its box.
    if (!m_noTrayReported) {
        m_noTrayReported = true;
        MessageBox::show(this, QMessageBox::Information, kTitle,
                         QStringLiteral("This desktop has no notification area, so ") + kTitle +
                             QStringLiteral(" stays on the task bar instead."));
    }
    // Hiding without an icon would leave no way back: stay on the task bar instead.
    if (isVisible()) {
        showMinimized();
        return;
    }
    // A window manager may not honour a first mapping as minimised (openbox does not): the
    // window is shown, and minimised once it is on screen.
    show();
    auto* poll = new QTimer(this);
    QElapsedTimer clock;
    clock.start();
    connect(poll, &QTimer::timeout, this, [this, poll, clock] {
        const QWindow* w = windowHandle();
        if ((w && w->isExposed()) || clock.hasExpired(2000)) {
            poll->stop();
            poll->deleteLater();
            showMinimized();
        }
    });
    poll->start(50);
}

void frmMain::attachTrayIcon() {
    if (!m_tray) {
        m_tray = new QSystemTrayIcon(programIcon(), this);
        m_tray->setObjectName(QStringLiteral("trayIcon"));
        m_tray->setToolTip(kTitle);
        connect(m_tray, &QSystemTrayIcon::activated, this, &frmMain::trayActivated);
        // Qt takes the same road when the icon is first shown.
        m_onStatusNotifier = !trayProbe && statusNotifierHostPresent();
        if (m_onStatusNotifier) {
            // The host shows this copy of the menu on its own; the commands are the same
            // actions. On XEmbed no menu is attached: Qt would pop it up before the main window
            // is raised.
            m_exportedTrayMenu = new QMenu(this);
            m_exportedTrayMenu->setObjectName(QStringLiteral("exportedTrayMenu"));
            m_exportedTrayMenu->addActions(mnuTray->actions());
            m_tray->setContextMenu(m_exportedTrayMenu);
        }
    }
    m_tray->show();
}

void frmMain::minimize_to_tray() {
    if (!trayPresent()) {
        stayOnTaskBar();
        return;
    }
    hide();
    attachTrayIcon();
}

void frmMain::minimize_to_tray_at_start() {
    if (trayPresent()) {
        minimize_to_tray();
        return;
    }
    hide();
    if (!m_trayWait) {
        m_trayWait = new TrayWait([this] { return trayPresent(); }, trayWaitLimit,
                                  std::chrono::milliseconds(500), this);
        connect(m_trayWait, &TrayWait::appeared, this, [this] {
            if (!isVisible())
                attachTrayIcon();
        });
        connect(m_trayWait, &TrayWait::gaveUp, this, [this] {
            if (!isVisible())
                stayOnTaskBar();
        });
    }
    m_trayWait->start();
}

bool frmMain::waitingForTray() const {
    return m_trayWait && m_trayWait->isWaiting();
}

void frmMain::bringForward() {
    // Asked for the window: the start-up wait for a tray has no more purpose.
    if (m_trayWait)
        m_trayWait->stop();
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void frmMain::trayActivated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::DoubleClick:
        show();
        break;
    case QSystemTrayIcon::Trigger:
        // A StatusNotifierItem host's activation, its left click, is the double-click there.
        if (m_onStatusNotifier)
            show();
        break;
    case QSystemTrayIcon::Context:
        raise();
        activateWindow();
        mnuTray->popup(QCursor::pos());
        break;
    default:
        break; // the middle button, an XEmbed single click: nothing
    }
}

void frmMain::endProgram() {
    if (m_tray)
        m_tray->hide();
    QCoreApplication::exit(0);
}

// ---- border and menus ----------------------------------------------------------------------

void frmMain::applyWindowFlags() {
    const bool wasVisible = isVisible();
    const QPoint pos = this->pos();
    Qt::WindowFlags f = Qt::Window | Qt::CustomizeWindowHint;
    if (m_borderShown)
        f |= Qt::WindowTitleHint;
    else
        f |= Qt::FramelessWindowHint;
    if (f == windowFlags())
        return;
    setWindowFlags(f);
    if (wasVisible) {
        move(pos);
        show();
    }
}

void frmMain::showBorder() {
    setWindowTitle(kTitle);
    mnuTitle->setVisible(false);
    m_borderShown = true;
    applyWindowFlags();
}

void frmMain::hideBorder() {
    mnuTitle->setVisible(true);
    setWindowTitle(QString());
    m_borderShown = false;
    applyWindowFlags();
}

void frmMain::mnuCheck_Click() {
    guarded(
        [&] {
            const auto& open = Module1::services.openUrl;
            if (!open || !open(QUrl(Module1::services.vendorUrl)))
                throw RuntimeError(ErrorNumber::CantPerformOperation);
        },
        this);
}

template <class T> void frmMain::openModal() {
    T* w = T::instance();
    // Owned by the main window and modal to it alone, so that a reminder that comes up
    // meanwhile can still be answered.
    w->setParent(this, w->windowFlags() | Qt::Dialog);
    w->setWindowModality(Qt::WindowModal);
    w->exec();
}

void frmMain::openRestorePoints() {
    openModal<frmRestorePoints>();
}
void frmMain::openOptions() {
    guarded([&] { openModal<frmOptions>(); }, this);
}

void frmMain::openHelp() {
    openModal<frmHelp>();
}

void frmMain::openAbout() {
    guarded([&] { openModal<frmAbout>(); }, this);
}
