#include "app/RestorePointService.h"
#include "platform/RuntimeError.h"
#include "platform/fake/FakePlatform.h"

#include <QTest>

using namespace vigilorn;

class TestRestorePointService : public QObject {
    Q_OBJECT
private slots:
    void formatTime_data();
    void formatTime();
    void formatLine_data();
    void formatLine();
    void requestPassesTypeAndEvent();
    void requestThrowsOnEngineFailure();
    void readKeepsEngineOrder();
    void readThrowsOnEngineFailure();
};

void TestRestorePointService::formatTime_data() {
    QTest::addColumn<QString>("creationtime");
    QTest::addColumn<QString>("expected");
    QTest::newRow("full") << "20110122125859.000000+000"
                          << "22/01/2011-12:58:59";
    QTest::newRow("exactly 14") << "20101123094512"
                                << "23/11/2010-09:45:12";
    QTest::newRow("year only") << "2010"
                               << "//2010-::";
    QTest::newRow("empty") << ""
                           << "//-::";
    QTest::newRow("cut inside the month") << "20105"
                                          << "/5/2010-::";
    QTest::newRow("cut inside the seconds") << "2010112309451"
                                            << "23/11/2010-09:45:1";
    QTest::newRow("three characters") << "201"
                                      << "//201-::";
    // No checking: nonsense is cut by position like anything else.
    QTest::newRow("not digits") << "abcdefghijklmnop"
                                << "gh/ef/abcd-ij:kl:mn";
}

void TestRestorePointService::formatTime() {
    QFETCH(QString, creationtime);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(FormatRestorePointTime(creationtime.toStdString())), expected);
}

void TestRestorePointService::formatLine_data() {
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("creationtime");
    QTest::addColumn<QString>("expected");
    QTest::newRow("example") << "57"
                             << "QMAutoResPnt"
                             << "20101123094512.000000+000"
                             << "P57 : QMAutoResPnt : 23/11/2010-09:45:12";
    QTest::newRow("separator inside description") << "3"
                                                  << "a : b"
                                                  << "20110122125859.000000+000"
                                                  << "P3 : a : b : 22/01/2011-12:58:59";
    QTest::newRow("newlines become spaces") << "4"
                                            << "one\ntwo\r\nthree\r"
                                            << "20110122125859.000000+000"
                                            << "P4 : one two  three  : 22/01/2011-12:58:59";
    QTest::newRow("tabs and quotes untouched") << "5"
                                               << "\t\"$x\" `y`"
                                               << "2011"
                                               << "P5 : \t\"$x\" `y` : //2011-::";
    QTest::newRow("utf-8 untouched") << "6"
                                     << "Grüße ✓"
                                     << ""
                                     << "P6 : Grüße ✓ : //-::";
    QTest::newRow("empty description") << "7"
                                       << ""
                                       << "2011"
                                       << "P7 :  : //2011-::";
}

void TestRestorePointService::formatLine() {
    QFETCH(QString, number);
    QFETCH(QString, description);
    QFETCH(QString, creationtime);
    QFETCH(QString, expected);
    const RestorePointRecord r{number.toStdString(), description.toStdString(),
                               creationtime.toStdString()};
    QCOMPARE(QString::fromStdString(FormatRestorePointLine(r)), expected);
}

void TestRestorePointService::requestPassesTypeAndEvent() {
    FakeRestoreEngine engine;
    RequestRestorePoint(engine, "before \"setup\"\n$HOME");
    QCOMPARE(engine.requests.size(), std::size_t(1));
    QCOMPARE(engine.requests[0].description, std::string("before \"setup\"\n$HOME"));
    QCOMPARE(engine.requests[0].type, 12);
    QCOMPARE(engine.requests[0].eventType, 100);
}

void TestRestorePointService::requestThrowsOnEngineFailure() {
    FakeRestoreEngine engine;
    engine.createFailure = PlatformError{9111, "No permissions."};
    try {
        RequestRestorePoint(engine, "x");
        QFAIL("a failing engine must throw");
    } catch (const RuntimeError& e) {
        QCOMPARE(e.error().number, 9111);
        QCOMPARE(e.error().description, std::string("No permissions."));
    }
    QCOMPARE(engine.requests.size(), std::size_t(1));
    QVERIFY(engine.points.empty());
}

void TestRestorePointService::readKeepsEngineOrder() {
    FakeRestoreEngine engine;
    engine.points = {{"9", "last made first", "20200101000000.000000+000"},
                     {"2", "b", "20190101000000.000000+000"},
                     {"5", "c", "20210101000000.000000+000"}};
    const auto points = ReadRestorePoints(engine);
    QCOMPARE(points.size(), std::size_t(3));
    QCOMPARE(points[0].SequenceNumber, std::string("9"));
    QCOMPARE(points[1].SequenceNumber, std::string("2"));
    QCOMPARE(points[2].SequenceNumber, std::string("5"));
    QCOMPARE(points[0].Description, std::string("last made first"));
}

void TestRestorePointService::readThrowsOnEngineFailure() {
    FakeRestoreEngine engine;
    engine.points = {{"1", "a", "2020"}};
    engine.listFailure = PlatformError{13, "Type mismatch"};
    QVERIFY_THROWS_EXCEPTION(RuntimeError, ReadRestorePoints(engine));
}

QTEST_GUILESS_MAIN(TestRestorePointService)
#include "test_restorepointservice.moc"
