#include "TestSupport.h"
#include "mainwin/frmMain.h"
#include "monitor/frmRPntOK.h"
#include "restore/frmRestorePoints.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <QTimer>

using namespace vigilorn;

namespace {

QStringList lines(QListWidget* l) {
    QStringList out;
    for (int i = 0; i < l->count(); ++i)
        out << l->item(i)->text();
    return out;
}

// Presses OK on the confirmation as soon as its modal wait has begun.
void answerConfirmation(bool* seenModal = nullptr) {
    QTimer::singleShot(0, [seenModal] {
        frmRPntOK* ok = frmRPntOK::loaded();
        QVERIFY(ok && ok->isVisible());
        if (seenModal)
            *seenModal = ok->isModal();
        QTest::mouseClick(ok->Picture1, Qt::LeftButton);
    });
}

} // namespace

class TestRestoreWindow : public QObject {
    Q_OBJECT
    std::unique_ptr<test::FakeServices> env;
    frmRestorePoints* w = nullptr;

private slots:
    void init() {
        env = std::make_unique<test::FakeServices>();
        env->restore.points = {{"57", "QMAutoResPnt", "20101123094512.000000+000"},
                               {"58", "a : b", "20110122125859.000000+000"}};
        env->restore.nextNumber = 59;
        w = frmRestorePoints::instance();
        w->show();
    }
    void cleanup() {
        delete frmRestorePoints::loaded();
        delete frmRPntOK::loaded();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        env.reset();
    }

    void opensEmpty() {
        QCOMPARE(w->windowTitle(), QStringLiteral("Restore Points"));
        QCOMPARE(w->size(), QSize(386, 429));
        QCOMPARE(w->listview2->count(), 0);
        QVERIFY(w->Text1->text().isEmpty());
        QCOMPARE(w->Text1->maxLength(), 256);
        QCOMPARE(w->Label1->text(),
                 QStringLiteral(
                     "Description of New Restore Point. (Date & Time appended automatically)"));
        QCOMPARE(w->Command1->text(), QStringLiteral("Show Current System Restore Points"));
        QCOMPARE(w->Command2->text(), QStringLiteral("Create a New System Restore Point"));
        QVERIFY(w->lblEngine->text().contains(QStringLiteral("test engine")));
    }

    void footerCountsWhatTheNewestPointLeftOut_data() {
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("after");
        QTest::addColumn<QString>("shown");
        QTest::newRow("nothing left out") << 0 << 0 << QString();
        QTest::newRow("one file") << 0 << 1 << "(1 file left out of the newest point)";
        QTest::newRow("several files") << 2 << 17 << "(17 files left out of the newest point)";
        QTest::newRow("none any more") << 4 << 0 << QString();
    }
    void footerCountsWhatTheNewestPointLeftOut() {
        QFETCH(int, before);
        QFETCH(int, after);
        QFETCH(QString, shown);
        delete frmRestorePoints::loaded();
        env->restore.leftOut = std::size_t(before);
        w = frmRestorePoints::instance();
        w->show();
        QCOMPARE(w->lblEngine->text().contains(QStringLiteral("%1 file").arg(before)), before > 0);
        env->restore.duringCreate = [&] { env->restore.leftOut = std::size_t(after); };
        w->Text1->setText(QStringLiteral("Before the driver"));
        bool modal = false;
        answerConfirmation(&modal);
        QTest::mouseClick(w->Command2, Qt::LeftButton);
        QVERIFY(modal);
        const QString text = w->lblEngine->text();
        QVERIFY2(text.startsWith(QStringLiteral("Restore points go to: test engine")),
                 qPrintable(text));
        if (shown.isEmpty())
            QVERIFY2(!text.contains(QStringLiteral("left out")), qPrintable(text));
        else
            QVERIFY2(text.endsWith(shown), qPrintable(text));
    }

    void listingTwiceShowsEachPointOnce() {
        QTest::mouseClick(w->Command1, Qt::LeftButton);
        QTest::mouseClick(w->Command1, Qt::LeftButton);
        QCOMPARE(lines(w->listview2), QStringList({"P57 : QMAutoResPnt : 23/11/2010-09:45:12",
                                                   "P58 : a : b : 22/01/2011-12:58:59"}));
    }

    void noPointsNoLinesNoMessage() {
        env->restore.points.clear();
        QTest::mouseClick(w->Command1, Qt::LeftButton);
        QCOMPARE(w->listview2->count(), 0);
        QVERIFY(MessageBox::shown().empty());
    }

    void emptyDescriptionIsRefused() {
        QTest::mouseClick(w->Command2, Qt::LeftButton);
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].title, QStringLiteral("Error!"));
        QCOMPARE(MessageBox::shown()[0].text,
                 QStringLiteral("Enter a name for the restore point!"));
        QCOMPARE(MessageBox::shown()[0].icon, QMessageBox::Critical);
        QVERIFY(env->restore.requests.empty());
    }

    void createConfirmsRefreshesAndKeepsTheText() {
        QFETCH(QString, description);
        w->Text1->setText(description);
        bool modal = false;
        answerConfirmation(&modal);
        QTest::mouseClick(w->Command2, Qt::LeftButton);
        QVERIFY(modal);
        QCOMPARE(env->restore.requests.size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(env->restore.requests[0].description), description);
        QCOMPARE(env->restore.requests[0].type, 12);
        QCOMPARE(env->restore.requests[0].eventType, 100);
        QCOMPARE(w->listview2->count(), 3);
        QVERIFY(w->listview2->item(2)->text().startsWith(QStringLiteral("P59 : ")));
        QCOMPARE(w->Text1->text(), description);
        QVERIFY(!frmRPntOK::loaded());
        QVERIFY(MessageBox::shown().empty());
    }
    void createConfirmsRefreshesAndKeepsTheText_data() {
        QTest::addColumn<QString>("description");
        QTest::newRow("plain") << "Before the printer driver";
        QTest::newRow("spaces only") << "   ";
        QTest::newRow("shell characters") << "\"quoted\" $HOME `id` ; rm -rf / & | < >";
        QTest::newRow("UTF-8") << QString::fromUtf8("Übersicht – 日本語");
        QTest::newRow("longest") << QString(256, u'x');
    }

    // The confirmation left open by the second reminder is modeless; Create must still wait in a
    // modal confirmation and make one restore point per click.
    void createDoesNotReenterOverAnOpenConfirmation() {
        frmRPntOK* left = frmRPntOK::instance();
        left->setProperty("left open", true);
        left->show();
        w->Text1->setText(QStringLiteral("x"));
        QWidget* modalSeen = nullptr;
        bool waited = false;
        QTimer::singleShot(0, [&] {
            modalSeen = QApplication::activeModalWidget();
            // A second click reaching the window while the confirmation waits.
            w->Command2->click();
            waited = true;
            if (frmRPntOK* ok = frmRPntOK::loaded())
                ok->Picture1->click();
        });
        w->Command2->click();
        QVERIFY(waited);
        QCOMPARE(env->restore.requests.size(), std::size_t(1));
        QVERIFY(modalSeen);
        QCOMPARE(modalSeen->objectName(), QStringLiteral("frmRPntOK"));
        QVERIFY(!modalSeen->property("left open").toBool());
        QVERIFY(!frmRPntOK::loaded());
        QCOMPARE(w->listview2->count(), 3);
        QVERIFY(MessageBox::shown().empty());
    }

    void textBoxRefusesMoreThanTheMaximum() {
        w->Text1->setFocus();
        QTest::keyClicks(w->Text1, QString(300, u'y'));
        QCOMPARE(w->Text1->text().size(), 256);
    }

    void failedCreationIsReportedWithoutConfirmation() {
        env->restore.createFailure = PlatformError{9111, "No permissions."};
        w->Text1->setText(QStringLiteral("x"));
        QTest::mouseClick(w->Command2, Qt::LeftButton);
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].text,
                 QStringLiteral("An error has occurred - Code: 9111 Description: No permissions."));
        QVERIFY(!frmRPntOK::loaded());
        QVERIFY(w->isVisible());
    }

    void failedListingIsReported() {
        env->restore.listFailure = PlatformError{9209, "damaged repository"};
        QTest::mouseClick(w->Command1, Qt::LeftButton);
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].title, QStringLiteral("System Error!"));
    }

    void closeCrossUnloads() {
        QTest::mousePress(w->Picture1, Qt::LeftButton);
        QCOMPARE(w->Picture1->shownImage(), 2);
        QTest::mouseRelease(w->Picture1, Qt::LeftButton);
        QVERIFY(!frmRestorePoints::loaded());
        // The next opening starts afresh.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        w = frmRestorePoints::instance();
        QCOMPARE(w->listview2->count(), 0);
    }

    void bothMenuCommandsOpenItModallyOverTheMainWindow() {
        delete frmRestorePoints::loaded();
        frmMain* m = frmMain::instance();
        m->show();
        for (QAction* a : {m->mnurestpnt, m->mnuCreateResPnt}) {
            bool checked = false;
            QTimer::singleShot(0, [&] {
                frmRestorePoints* r = frmRestorePoints::loaded();
                QVERIFY(r && r->isVisible());
                QCOMPARE(r->windowModality(), Qt::WindowModal);
                QCOMPARE(r->parentWidget(), m);
                QCOMPARE(r->listview2->count(), 0);
                checked = true;
                QTest::mouseClick(r->Picture1, Qt::LeftButton);
            });
            a->trigger();
            QVERIFY(checked);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY(!frmRestorePoints::loaded());
        }
        delete m;
    }
};

QTEST_MAIN(TestRestoreWindow)
#include "test_restore_window.moc"
