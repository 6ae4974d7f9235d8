// The window of changes since a point, and its way back, against the fake comparison.
#include "TestSupport.h"
#include "restore/frmChanges.h"
#include "restore/frmRestorePoints.h"
#include "restore/frmSystemRestore.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <condition_variable>
#include <mutex>

using namespace vigilorn;

namespace {

constexpr int kWaitMs = 20000;

Change pkg(Change::Kind k, const char* name, const char* before, const char* after) {
    return {Change::Area::Packages, k, name, before, after};
}
Change file(Change::Area a, Change::Kind k, const char* name) {
    return {a, k, name, {}, {}};
}

frmChanges* openChanges() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* c = qobject_cast<frmChanges*>(w); c && c->isVisible())
            return c;
    return nullptr;
}

frmSystemRestore* openSystemRestore() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* c = qobject_cast<frmSystemRestore*>(w); c && c->isVisible())
            return c;
    return nullptr;
}

frmRestoreConfirm* openConfirm() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* c = qobject_cast<frmRestoreConfirm*>(w); c && c->isVisible())
            return c;
    return nullptr;
}

} // namespace

class TestChangesWindow : public QObject {
    Q_OBJECT
    std::unique_ptr<test::FakeServices> env;

private slots:
    void init() {
        env = std::make_unique<test::FakeServices>();
        env->restore.points = {{"3", "Before setup.exe", "20261201101112.000000+000"},
                               {"4", "later", "20261202101112.000000+000"}};
        env->restore.nextNumber = 5;
        env->changes.changes = {
            pkg(Change::Kind::Added, "fresh", "", "1.0"),
            pkg(Change::Kind::Upgraded, "curl", "7.88.1-10", "7.88.1-10+deb12u5"),
            file(Change::Area::Etc, Change::Kind::Changed, "hostname"),
            file(Change::Area::Config, Change::Kind::Added, "app/new.ini"),
            file(Change::Area::Config, Change::Kind::Removed, "old.ini"),
        };
    }
    void cleanup() {
        QList<QPointer<QWidget>> windows;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<frmChanges*>(w) || qobject_cast<frmRestoreConfirm*>(w) ||
                qobject_cast<frmSystemRestore*>(w))
                windows << w;
        for (const auto& w : windows)
            delete w.data(); // a confirmation goes with its window
        delete frmRestorePoints::loaded();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        env.reset();
    }

    // Each of the three ways from a line of the list opens the window for that line's point.
    void opensFromTheList_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("double-click") << "double-click";
        QTest::newRow("Enter") << "enter";
        QTest::newRow("Return") << "return";
        QTest::newRow("context menu") << "menu";
    }
    void opensFromTheList() {
        QFETCH(QString, how);
        frmRestorePoints* list = frmRestorePoints::instance();
        list->show();
        list->ListPoints();
        QCOMPARE(list->listview2->count(), 2);
        QListWidgetItem* item = list->listview2->item(0);
        list->listview2->setCurrentItem(item);
        QVERIFY(QTest::qWaitForWindowExposed(list));
        QTRY_VERIFY_WITH_TIMEOUT(!list->listview2->visualItemRect(item).isEmpty(), kWaitMs);
        const QRect r = list->listview2->visualItemRect(item);
        int points = 0;
        if (how == "double-click") {
            QTest::mouseClick(list->listview2->viewport(), Qt::LeftButton, {}, r.center());
            QVERIFY(!openChanges()); // one click only selects
            QTest::mouseDClick(list->listview2->viewport(), Qt::LeftButton, {}, r.center());
        } else if (how == "menu") {
            QTimer::singleShot(0, [] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                QVERIFY(menu);
                QCOMPARE(menu->actions().size(), 1);
                QCOMPARE(menu->actions().first()->text(),
                         QStringLiteral("Show changes since this point"));
                menu->actions().first()->trigger();
                menu->close();
            });
            emit list->listview2->customContextMenuRequested(r.center());
        } else {
            QTest::keyClick(list->listview2, how == "enter" ? Qt::Key_Enter : Qt::Key_Return);
            points = static_cast<int>(env->restore.requests.size());
        }
        frmChanges* w = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((w = openChanges()) != nullptr, kWaitMs);
        QCOMPARE(w->windowTitle(), QStringLiteral("Changes since P3"));
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), kWaitMs);
        QCOMPARE(env->changes.compared, std::vector<std::string>{"3"});
        // Enter went to the line, not to the list window's buttons.
        QCOMPARE(static_cast<int>(env->restore.requests.size()), points);
        QCOMPARE(list->listview2->count(), 2);
    }

    void listsChangesGrouped() {
        frmChanges* w = frmChanges::showFor("3", nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), kWaitMs);
        QCOMPARE(w->shownLines(), (QStringList{
                                      "Packages added: fresh  -> 1.0",
                                      "Packages upgraded: curl 7.88.1-10 -> 7.88.1-10+deb12u5",
                                      "Files changed under /etc: hostname",
                                      "Files added under the configuration folder: app/new.ini",
                                      "Files removed under the configuration folder: old.ini",
                                  }));
        QCOMPARE(w->treeChanges->topLevelItem(0)->text(0), QStringLiteral("Packages added (1)"));
        QCOMPARE(w->lblStatus->text(), QStringLiteral("5 changes since P3."));
        QVERIFY(w->cmdRestore->isEnabled());
        QVERIFY(!w->cmdCancel->isEnabled());
        for (QWidget* c : w->findChildren<QWidget*>())
            if (c->isVisibleTo(w) && (qobject_cast<QPushButton*>(c) ||
                                      qobject_cast<QTreeWidget*>(c) || qobject_cast<QLabel*>(c)))
                QVERIFY2(!c->accessibleName().isEmpty(), qPrintable(c->objectName()));
    }

    // The window answers while the comparison works; Cancel stops it and says so.
    void comparesOffTheWindowAndCancels() {
        std::mutex m;
        std::condition_variable cv;
        bool release = false;
        env->changes.batchSize = 1;
        env->changes.beforeBatch = [&](std::size_t index) {
            if (index != 2)
                return;
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return release; });
        };
        frmChanges* w = frmChanges::showFor("3", nullptr);
        // Two rows shown while the third is held back: the rows come before the end.
        QTRY_COMPARE_WITH_TIMEOUT(w->shownLines().size(), 2, kWaitMs);
        QVERIFY(w->isComparing());
        QVERIFY(w->cmdCancel->isEnabled());
        QVERIFY(!w->cmdRestore->isEnabled());
        QTest::mouseClick(w->cmdCancel, Qt::LeftButton);
        {
            std::lock_guard lock(m);
            release = true;
        }
        cv.notify_all();
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), kWaitMs);
        QVERIFY2(w->lblStatus->text().startsWith("Cancelled"), qPrintable(w->lblStatus->text()));
        QCOMPARE(w->shownLines().size(), 2);
        QVERIFY(!w->cmdRestore->isEnabled());
    }

    void oneChangeIsSingular() {
        env->changes.changes = {pkg(Change::Kind::Added, "fresh", "", "1.0")};
        frmChanges* w = frmChanges::showFor("3", nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), kWaitMs);
        QCOMPARE(w->lblStatus->text(), QStringLiteral("1 change since P3."));
    }

    void failureIsShown() {
        env->changes.changes.clear();
        env->changes.compareFailure = PlatformError{9302, "There is no restore point P3."};
        frmChanges* w = frmChanges::showFor("3", nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), kWaitMs);
        QCOMPARE(w->lblStatus->text(),
                 QStringLiteral("The comparison failed: There is no restore point P3."));
        QVERIFY(!w->cmdRestore->isEnabled());
    }

    // The confirmation lists what happens; the folder is restored, snapper's command runs only
    // when asked for, and the list is compared again afterwards.
    void restoreAsConfirmed_data() {
        QTest::addColumn<bool>("run");
        QTest::addColumn<bool>("rootAvailable");
        QTest::newRow("folder and command") << true << true;
        QTest::newRow("folder only") << false << true;
        QTest::newRow("no way to root") << false << false;
    }
    void restoreAsConfirmed() {
        QFETCH(bool, run);
        QFETCH(bool, rootAvailable);
        env->changes.rootAvailable = rootAvailable;
        env->changes.restorePlan.configFiles = {env->changes.changes[3], env->changes.changes[4]};
        env->changes.restorePlan.rootCommand = {"/usr/bin/snapper",
                                                {"-c", "it's", "undochange", "3..0"}};
        env->changes.restorePlan.notes = {"Left out, not a valid package name and version: x"};
        frmChanges* w = frmChanges::showFor("3", nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), kWaitMs);
        env->changes.duringRestore = [this] { env->changes.changes.resize(2); };

        QTest::mouseClick(w->cmdRestore, Qt::LeftButton);
        frmRestoreConfirm* c = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((c = openConfirm()) != nullptr, kWaitMs);
        QVERIFY2(c->lblSummary->text().contains("1 file put back, 1 file removed"),
                 qPrintable(c->lblSummary->text()));
        QVERIFY(c->lblSummary->text().contains("\"Before restoring P3\""));
        QVERIFY(c->lblSummary->text().contains("Left out, not a valid package"));
        const QString commands = "/usr/bin/snapper -c 'it'\\''s' undochange 3..0";
        QCOMPARE(c->txtCommands->toPlainText(), commands);
        QTest::mouseClick(c->cmdCopy, Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), commands + "\n");
        QCOMPARE(c->chkRun->isVisibleTo(c), rootAvailable);
        QVERIFY(!c->chkRun->isChecked()); // running as root is asked for, never assumed
        if (run)
            c->chkRun->setChecked(true);

        QSignalSpy finished(w, &frmChanges::restoreFinished);
        QTest::mouseClick(c->cmdOK, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QCOMPARE(finished.at(0).at(0).toBool(), true);
        QCOMPARE(env->changes.restored, std::vector<std::string>{"3"});
        QCOMPARE(env->restore.requests.size(), std::size_t(1));
        QCOMPARE(env->restore.requests[0].description, std::string("Before restoring P3"));
        QCOMPARE(env->changes.ran.size(), run ? std::size_t(1) : std::size_t(0));
        if (run)
            QCOMPARE(env->changes.ran[0].arguments[1], std::string("it's"));
        // Compared again: the restored files are gone from the list.
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing() && w->shownLines().size() == 2, kWaitMs);
    }

    // snapper's way back is one root command: Restore waits for the tick, no point is made by
    // the program, and the command runs as planned.
    void commandOnlyWaitsForTheTick() {
        env->changes.restorePlan.rootCommand = {"/usr/bin/snapper",
                                                {"-c", "root", "undochange", "3..0"}};
        frmChanges* w = frmChanges::showFor("3", nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), kWaitMs);
        QTest::mouseClick(w->cmdRestore, Qt::LeftButton);
        frmRestoreConfirm* c = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((c = openConfirm()) != nullptr, kWaitMs);
        QCOMPARE(c->txtCommands->toPlainText(),
                 QStringLiteral("/usr/bin/snapper -c root undochange 3..0"));
        QVERIFY(!c->cmdOK->isEnabled());
        c->chkRun->setChecked(true);
        QVERIFY(c->cmdOK->isEnabled());
        QSignalSpy finished(w, &frmChanges::restoreFinished);
        QTest::mouseClick(c->cmdOK, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QVERIFY(env->changes.restored.empty());
        QVERIFY(env->restore.requests.empty());
        QCOMPARE(env->changes.ran.size(), std::size_t(1));
        QCOMPARE(env->changes.ran[0].arguments[3], std::string("3..0"));
    }

    void failedStepsAreReported_data() {
        QTest::addColumn<bool>("folderFails");
        QTest::newRow("the folder") << true;
        QTest::newRow("a command") << false;
    }
    void failedStepsAreReported() {
        QFETCH(bool, folderFails);
        env->changes.restorePlan.configFiles = {env->changes.changes[3]};
        env->changes.restorePlan.rootCommand = {"/usr/bin/snapper",
                                                {"-c", "root", "undochange", "3..0"}};
        if (folderFails)
            env->changes.restoreFailure =
                PlatformError{9305, "Could not put back /c/app/new.ini: it is a folder now."};
        else
            env->changes.runFailure =
                PlatformError{9304, "/usr/bin/snapper -c root undochange 3..0 failed with exit "
                                    "code 1: Snapshot '3' not found."};
        frmChanges* w = frmChanges::showFor("3", nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), kWaitMs);
        QTest::mouseClick(w->cmdRestore, Qt::LeftButton);
        frmRestoreConfirm* c = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((c = openConfirm()) != nullptr, kWaitMs);
        c->chkRun->setChecked(true);
        QSignalSpy finished(w, &frmChanges::restoreFinished);
        MessageBox::clearShown();
        QTest::mouseClick(c->cmdOK, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, kWaitMs);
        QCOMPARE(finished.at(0).at(0).toBool(), false);
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        const QString text = MessageBox::shown()[0].text;
        QCOMPARE(MessageBox::shown()[0].icon, QMessageBox::Critical);
        if (folderFails) {
            QVERIFY2(text.contains("it is a folder now"), qPrintable(text));
            QVERIFY(env->changes.ran.empty()); // nothing more after a failed step
        } else {
            QVERIFY2(text.contains("exit code 1: Snapshot '3' not found."), qPrintable(text));
            QVERIFY2(text.contains("configuration folder is back"), qPrintable(text));
            QCOMPARE(env->changes.ran.size(), std::size_t(1));
        }
    }

    // With the root side installed, Restore… goes back to the system point through it: asked
    // first, then followed without a modal wait; the configuration part is put back by the
    // program under the point the root side made before restoring.
    void systemPointThroughTheRootSide_data() {
        QTest::addColumn<int>("outcome");
        QTest::addColumn<bool>("before");
        QTest::addColumn<bool>("go");
        QTest::addColumn<bool>("configRestored");
        QTest::addColumn<QString>("status");
        using O = SystemRestore::Outcome;
        QTest::newRow("go on") << int(O::Ok) << true << true << true
                               << "P3 is restored, but not everything: see above.";
        QTest::newRow("stop") << int(O::Stopped) << true << false << false
                              << "The restore was stopped before anything changed.";
        QTest::newRow("failed after its point")
            << int(O::Failed) << true << true << true << "The restore failed: dpkg broke";
        QTest::newRow("failed before its point")
            << int(O::Failed) << false << true << false << "The restore failed: dpkg broke";
    }
    void systemPointThroughTheRootSide() {
        QFETCH(int, outcome);
        QFETCH(bool, before);
        QFETCH(bool, go);
        QFETCH(bool, configRestored);
        QFETCH(QString, status);
        Module1::services.systemRestore = &env->systemRestore;
        // A point the program never saw made has no configuration part to compare.
        env->changes.changes.clear();
        env->changes.compareFailure = PlatformError{9302, "There is no restore point P3."};
        frmChanges* w = frmChanges::showFor("3", nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!w->isComparing(), kWaitMs);
        QVERIFY2(w->lblStatus->text().contains("holds no configuration folder"),
                 qPrintable(w->lblStatus->text()));
        QVERIFY(w->cmdRestore->isEnabled());
        env->changes.compareFailure.reset();

        QTest::mouseClick(w->cmdRestore, Qt::LeftButton);
        frmSystemRestore* r = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((r = openSystemRestore()) != nullptr, kWaitMs);
        QVERIFY(!openConfirm());
        QVERIFY(!r->isModal());
        QVERIFY(env->systemRestore.started.empty()); // asked first
        QTest::mouseClick(r->cmdRestore, Qt::LeftButton);
        QCOMPARE(env->systemRestore.started, std::vector<std::uint64_t>{3});
        QVERIFY(r->isRunning());
        QVERIFY(!r->cmdClose->isEnabled());
        r->close(); // not while the root side works
        QVERIFY(r->isVisible());

        auto& events = env->systemRestore.events;
        SystemRestore::Result result;
        result.outcome = static_cast<SystemRestore::Outcome>(outcome);
        if (before) {
            events.before(12);
            result.before = 12;
        }
        // Said before the question: something to know, not a part that failed.
        events.warn("/etc/shadow goes back as it was at the point");
        events.ask({{"libfoo1", "1.0-1", "amd64"}});
        QVERIFY(r->cmdGoOn->isVisible() && r->cmdStop->isVisible());
        QVERIFY(r->reportLines().contains(
            "Before going on: /etc/shadow goes back as it was at the point"));
        QVERIFY(r->reportLines().join('\n').contains("libfoo1 1.0-1 (amd64)"));
        QTest::mouseClick(go ? r->cmdGoOn : r->cmdStop, Qt::LeftButton);
        QCOMPARE(env->systemRestore.answers, std::vector<bool>{go});
        QVERIFY(!r->cmdGoOn->isVisible());
        if (go) {
            events.step(1, 2, "Installing the versions of P3");
            QCOMPARE(r->prgRestore->value(), 500);
            events.warn("/etc/motd could not be put back");
            result.warnings = {"/etc/motd could not be put back"};
        }
        result.text = outcome == int(SystemRestore::Outcome::Failed) ? "dpkg broke" : "";
        for (QWidget* c : r->findChildren<QWidget*>())
            if (c->isVisibleTo(r) &&
                (qobject_cast<QPushButton*>(c) || qobject_cast<QLabel*>(c) ||
                 qobject_cast<QProgressBar*>(c) || qobject_cast<QPlainTextEdit*>(c)))
                QVERIFY2(!c->accessibleName().isEmpty(), qPrintable(c->objectName()));

        QSignalSpy finished(w, &frmChanges::restoreFinished);
        env->systemRestore.finish(result);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toBool(), false);
        QVERIFY(!r->isRunning());
        QVERIFY(r->cmdClose->isEnabled());
        QCOMPARE(r->lblStatus->text(), status);
        // The configuration part's undo point is the root side's point, never one of its own.
        QVERIFY(env->restore.requests.empty());
        QCOMPARE(env->changes.restored,
                 configRestored ? std::vector<std::string>{"3"} : std::vector<std::string>{});
        QCOMPARE(env->restore.adopted.size(), std::size_t(configRestored ? 1 : 0));
        if (configRestored) {
            QCOMPARE(env->restore.adopted[0].number, std::uint64_t(12));
            QCOMPARE(env->restore.adopted[0].description, std::string("Before restoring P3"));
            QVERIFY(r->reportLines().contains("The configuration folder is back as it was at P3."));
        }
        if (go)
            QVERIFY(r->reportLines().contains("Failed: /etc/motd could not be put back"));
        r->close();
        QTRY_VERIFY_WITH_TIMEOUT(!openSystemRestore(), kWaitMs);
    }
};

QTEST_MAIN(TestChangesWindow)
#include "test_changes_window.moc"
