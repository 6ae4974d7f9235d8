// The splash screen: how it goes away, what does not close it, and that it comes only once.
#include "dialogs/Version.h"
#include "dialogs/frmSplash.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QTest>
#include <QTimer>

class TestFrmSplash : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void timerTickUnloads();
    void keyPressUnloads();
    void onlyACharacterKeyCloses_data();
    void onlyACharacterKeyCloses();
    void clickDoesNothing();
    void shownOnlyOncePerRun();
    void labelsRightAlignedAtTheirEdges();

private:
    frmSplash* showSplash();
};

void TestFrmSplash::init() {
    frmSplash::resetShownForTesting();
}

void TestFrmSplash::cleanup() {
    if (auto* s = frmSplash::loaded())
        s->unload();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

frmSplash* TestFrmSplash::showSplash() {
    frmSplash::showOnce();
    frmSplash* s = frmSplash::loaded();
    if (s)
        s->activateWindow();
    return s;
}

void TestFrmSplash::timerTickUnloads() {
    frmSplash* s = showSplash();
    QVERIFY(s && s->isVisible());
    QCOMPARE(s->Timer1->interval(), 3500);
    QVERIFY(s->Timer1->isSingleShot());
    QVERIFY(s->Timer1->isActive());
    QVERIFY(s->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(s->windowTitle().isEmpty());
    QMetaObject::invokeMethod(s->Timer1, "timeout");
    QVERIFY(!frmSplash::loaded());
    QVERIFY(!s->isVisible());
}

void TestFrmSplash::keyPressUnloads() {
    frmSplash* s = showSplash();
    QVERIFY(QTest::qWaitForWindowActive(s));
    // Sent to whatever has the focus: the splash must be holding it.
    QCOMPARE(QApplication::focusWidget(), s);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QVERIFY(!frmSplash::loaded());
}

void TestFrmSplash::onlyACharacterKeyCloses_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("closes");
    QTest::newRow("Shift") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << false;
    QTest::newRow("Ctrl") << int(Qt::Key_Control) << int(Qt::ControlModifier) << false;
    QTest::newRow("Alt") << int(Qt::Key_Alt) << int(Qt::AltModifier) << false;
    QTest::newRow("Alt+F") << int(Qt::Key_F) << int(Qt::AltModifier) << false;
    QTest::newRow("F1") << int(Qt::Key_F1) << 0 << false;
    QTest::newRow("F12") << int(Qt::Key_F12) << 0 << false;
    QTest::newRow("Caps Lock") << int(Qt::Key_CapsLock) << 0 << false;
    QTest::newRow("arrow") << int(Qt::Key_Left) << 0 << false;
    QTest::newRow("letter") << int(Qt::Key_A) << 0 << true;
    QTest::newRow("capital") << int(Qt::Key_A) << int(Qt::ShiftModifier) << true;
    QTest::newRow("digit") << int(Qt::Key_7) << 0 << true;
    QTest::newRow("Enter") << int(Qt::Key_Return) << 0 << true;
}

void TestFrmSplash::onlyACharacterKeyCloses() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, closes);
    frmSplash* s = showSplash();
    QVERIFY(QTest::qWaitForWindowExposed(s));
    // keyClick makes up the text a real keyboard would give each key.
    QTest::keyClick(s, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(!frmSplash::loaded(), closes);
}

void TestFrmSplash::clickDoesNothing() {
    frmSplash* s = showSplash();
    QVERIFY(QTest::qWaitForWindowExposed(s));
    QTest::mouseClick(s, Qt::LeftButton, {}, QPoint(40, 200));
    QTest::mouseClick(s->lblPlatform, Qt::LeftButton);
    QTest::mouseClick(s, Qt::RightButton, {}, QPoint(300, 100));
    QCOMPARE(frmSplash::loaded(), s);
    QVERIFY(s->isVisible());
    QVERIFY(s->Timer1->isActive());
}

void TestFrmSplash::shownOnlyOncePerRun() {
    frmSplash* s = showSplash();
    QVERIFY(s && s->isVisible());
    QVERIFY(frmSplash::hasBeenShown());
    s->close();
    QVERIFY(!frmSplash::loaded());

    frmSplash::showOnce();
    QVERIFY(!frmSplash::loaded());
    // Even through the plain route: a new instance never appears, and goes away again.
    frmSplash* again = frmSplash::instance();
    again->show();
    QVERIFY(!again->isVisible());
    QVERIFY(!frmSplash::loaded());
}

void TestFrmSplash::labelsRightAlignedAtTheirEdges() {
    frmSplash* s = frmSplash::instance();
    QCOMPARE(s->size(), QSize(405, 244));
    auto rightEdge = [](const QLabel* l) { return l->x() + l->width(); };
    QCOMPARE(s->lblPlatform->text(), QStringLiteral("Linux"));
    QCOMPARE(rightEdge(s->lblPlatform), 385);
    QCOMPARE(s->lblVersion->text(), vigilorn::versionText());
    QCOMPARE(rightEdge(s->lblVersion), 385);
    QCOMPARE(s->lblVersion->geometry().top(), 176);
    QCOMPARE(s->lblVersion->height(), 19);
    QVERIFY(s->lblVersion->width() >=
            QFontMetrics(s->lblVersion->font()).horizontalAdvance(s->lblVersion->text()));
    QCOMPARE(rightEdge(s->lblCopyright), 393);
    QCOMPARE(rightEdge(s->lblCompany), 393);
    QCOMPARE(s->lblCompany->text(), QStringLiteral("Quillmere Computer Services and Software"));
    for (const QLabel* l : {s->lblPlatform, s->lblVersion, s->lblCopyright, s->lblCompany}) {
        QVERIFY2(l->alignment() & Qt::AlignRight, qPrintable(l->objectName()));
        QVERIFY2(!l->autoFillBackground(), qPrintable(l->objectName()));
    }
    QVERIFY(s->lblLicenseTo->alignment() & Qt::AlignHCenter);
    QCOMPARE(s->lblPlatform->font().pointSizeF(), 15.75);
    QCOMPARE(s->lblVersion->font().pointSizeF(), 12.0);
}

QTEST_MAIN(TestFrmSplash)
#include "test_frmsplash.moc"
