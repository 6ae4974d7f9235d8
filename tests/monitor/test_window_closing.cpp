#include "TestSupport.h"
#include "monitor/frmDialog.h"
#include "monitor/frmDialog2.h"
#include "monitor/frmRPntOK.h"
#include "restore/frmRestorePoints.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>

using namespace vigilorn;

namespace {

QDialog* loadedWindow(const QString& name) {
    if (name == u"frmDialog")
        return frmDialog::loaded();
    if (name == u"frmDialog2")
        return frmDialog2::loaded();
    if (name == u"frmRPntOK")
        return frmRPntOK::loaded();
    return frmRestorePoints::loaded();
}

// Opens the window with something typed into it, so that a reopening can tell old from new.
QDialog* openWindow(const QString& name) {
    if (name == u"frmDialog") {
        frmDialog::instance()->Label1->setText(QStringLiteral("old text"));
        return frmDialog::instance();
    }
    if (name == u"frmDialog2") {
        frmDialog2::instance()->Label1->setText(QStringLiteral("old text"));
        return frmDialog2::instance();
    }
    if (name == u"frmRPntOK")
        return frmRPntOK::instance();
    frmRestorePoints::instance()->Text1->setText(QStringLiteral("old text"));
    return frmRestorePoints::instance();
}

QString typedText(QDialog* w) {
    if (auto* d = qobject_cast<frmDialog*>(w))
        return d->Label1->text();
    if (auto* d = qobject_cast<frmDialog2*>(w))
        return d->Label1->text();
    if (auto* r = qobject_cast<frmRestorePoints*>(w))
        return r->Text1->text();
    return {};
}

} // namespace

class TestWindowClosing : public QObject {
    Q_OBJECT
    std::unique_ptr<test::FakeServices> env;

    static void flushDeletes() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private slots:
    void init() { env = std::make_unique<test::FakeServices>(); }
    void cleanup() {
        for (const char* n : {"frmDialog", "frmDialog2", "frmRPntOK", "frmRestorePoints"})
            delete loadedWindow(QString::fromLatin1(n));
        flushDeletes();
        env.reset();
    }

    void everyCloseUnloadsEscapeDoesNothing_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("way");
        for (const char* w : {"frmDialog", "frmDialog2", "frmRPntOK", "frmRestorePoints"})
            for (const char* way : {"escape", "close box", "reject", "done"})
                QTest::addRow("%s, %s", w, way)
                    << QString::fromLatin1(w) << QString::fromLatin1(way);
    }
    void everyCloseUnloadsEscapeDoesNothing() {
        QFETCH(QString, window);
        QFETCH(QString, way);
        QDialog* w = openWindow(window);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        if (way == u"escape") {
            QTest::keyClick(w, Qt::Key_Escape);
            if (QWidget* f = w->focusWidget())
                QTest::keyClick(f, Qt::Key_Escape);
            QVERIFY(w->isVisible());
            QCOMPARE(loadedWindow(window), w);
            return;
        }
        if (way == u"close box")
            QVERIFY(w->close());
        else if (way == u"reject")
            w->reject();
        else
            w->done(QDialog::Accepted);
        QVERIFY(!w->isVisible());
        QVERIFY(!loadedWindow(window));
        flushDeletes();
        // The next opening starts afresh.
        QDialog* again = window == u"frmDialog"    ? static_cast<QDialog*>(frmDialog::instance())
                         : window == u"frmDialog2" ? static_cast<QDialog*>(frmDialog2::instance())
                         : window == u"frmRPntOK"  ? static_cast<QDialog*>(frmRPntOK::instance())
                                                   : frmRestorePoints::instance();
        QVERIFY(typedText(again).isEmpty());
        QVERIFY(!again->isModal());
    }

    // After Escape on a confirmation that came up modally, the next automatic confirmation is a
    // new, modeless window.
    void automaticConfirmationIsModelessAfterAModalOne() {
        frmRPntOK* ok = frmRPntOK::instance();
        ok->setWindowModality(Qt::ApplicationModal);
        ok->show();
        QTest::keyClick(ok, Qt::Key_Escape);
        ok->close();
        flushDeletes();
        frmDialog2::instance()->CreatePointAuto();
        frmRPntOK* next = frmRPntOK::loaded();
        QVERIFY(next);
        QVERIFY(next->isVisible());
        QCOMPARE(next->windowModality(), Qt::NonModal);
    }
};

QTEST_MAIN(TestWindowClosing)
#include "test_window_closing.moc"
