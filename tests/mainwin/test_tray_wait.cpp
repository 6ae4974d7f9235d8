#include "mainwin/TrayWait.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace vigilorn;
using namespace std::chrono_literals;

class TestTrayWait : public QObject {
    Q_OBJECT
private slots:
    void outcomes_data() {
        QTest::addColumn<int>("presentFromLook"); // 0: never
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<bool>("appeared");
        QTest::newRow("there at the first look") << 1 << 3000 << true;
        QTest::newRow("appears at the fourth look") << 4 << 3000 << true;
        QTest::newRow("never appears") << 0 << 1200 << false;
    }
    void outcomes() {
        QFETCH(int, presentFromLook);
        QFETCH(int, limitMs);
        QFETCH(bool, appeared);
        int looks = 0;
        TrayWait wait(
            [&] {
                ++looks;
                return presentFromLook && looks >= presentFromLook;
            },
            std::chrono::milliseconds(limitMs), 250ms);
        QSignalSpy up(&wait, &TrayWait::appeared);
        QSignalSpy down(&wait, &TrayWait::gaveUp);
        QElapsedTimer clock;
        clock.start();
        wait.start();
        QVERIFY(wait.isWaiting());
        QCOMPARE(looks, 0); // the first look is one interval away
        QTRY_VERIFY_WITH_TIMEOUT(up.count() + down.count() == 1, limitMs + 10000);
        const qint64 took = clock.elapsed();
        QCOMPARE(up.count(), appeared ? 1 : 0);
        QCOMPARE(down.count(), appeared ? 0 : 1);
        QVERIFY(!wait.isWaiting());
        if (appeared) {
            QCOMPARE(looks, presentFromLook);
            QVERIFY(took >= presentFromLook * 250 - 30);
        } else {
            // Not before the limit, and the last look falls on it.
            QVERIFY2(took >= limitMs - 30, qPrintable(QString::number(took)));
            QVERIFY(looks <= limitMs / 250 + 1);
        }
        // Once over, it stays over.
        const int seen = looks;
        QTest::qWait(700);
        QCOMPARE(looks, seen);
        QCOMPARE(up.count() + down.count(), 1);
    }

    void looksAreNeverCloserThanAQuarterSecond() {
        int looks = 0;
        TrayWait wait([&] { return ++looks, false; }, 1000ms, 10ms);
        QCOMPARE(wait.interval(), TrayWait::kShortestInterval);
        QSignalSpy down(&wait, &TrayWait::gaveUp);
        wait.start();
        QTRY_COMPARE_WITH_TIMEOUT(down.count(), 1, 10000);
        QVERIFY2(looks <= 5, qPrintable(QString::number(looks)));
    }

    void stoppedWaitSaysNothing() {
        int looks = 0;
        TrayWait wait([&] { return ++looks, true; }, 600ms, 250ms);
        QSignalSpy up(&wait, &TrayWait::appeared);
        QSignalSpy down(&wait, &TrayWait::gaveUp);
        wait.start();
        wait.stop();
        QTest::qWait(1000);
        QCOMPARE(looks, 0);
        QCOMPARE(up.count() + down.count(), 0);
    }

    void restartedWaitGetsAFreshLimit() {
        int looks = 0;
        TrayWait wait([&] { return ++looks, false; }, 800ms, 250ms);
        QSignalSpy down(&wait, &TrayWait::gaveUp);
        wait.start();
        QTRY_COMPARE_WITH_TIMEOUT(down.count(), 1, 10000);
        QElapsedTimer clock;
        clock.start();
        looks = 0;
        wait.start();
        QTRY_COMPARE_WITH_TIMEOUT(down.count(), 2, 10000);
        QVERIFY(clock.elapsed() >= 770);
        // At the same pace as the first time, not the last short step's.
        QVERIFY2(looks <= 4, qPrintable(QString::number(looks)));
    }
};

QTEST_MAIN(TestTrayWait)
#include "test_tray_wait.moc"
