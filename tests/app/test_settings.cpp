#include "TestSupport.h"
#include "app/AppOptions.h"
#include "app/ErrorReport.h"
#include "app/RuntimeError.h"

#include <QFileInfo>
#include <QTest>

using namespace vigilorn;

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void conversions_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value"); // -1000000 = Type mismatch, -2000000 = Overflow
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("one") << "1" << 1;
        QTest::newRow("blanks") << "  2 " << 2;
        QTest::newRow("negative") << "-1" << -1;
        QTest::newRow("plus") << "+7" << 7;
        QTest::newRow("min") << "-32768" << -32768;
        QTest::newRow("max") << "32767" << 32767;
        QTest::newRow("above max") << "32768" << -2000000;
        QTest::newRow("below min") << "-32769" << -2000000;
        QTest::newRow("huge") << "99999999999999999999999" << -2000000;
        QTest::newRow("letters") << "abc" << -1000000;
        QTest::newRow("empty") << "" << -1000000;
        QTest::newRow("sign only") << "-" << -1000000;
        QTest::newRow("fraction") << "1.5" << -1000000;
        QTest::newRow("inner blank") << "1 2" << -1000000;
        QTest::newRow("arabic digits") << QString::fromUtf8("\u0661") << -1000000;
    }
    void conversions() {
        QFETCH(QString, text);
        QFETCH(int, value);
        try {
            const int got = toInt16(text);
            QCOMPARE(got, value);
        } catch (const RuntimeError& e) {
            QCOMPARE(e.error().number, value == -1000000 ? 13 : 6);
            QCOMPARE(QString::fromStdString(e.error().description),
                     value == -1000000 ? QStringLiteral("Type mismatch")
                                       : QStringLiteral("Overflow"));
        }
    }

    void defaultsWhenNothingStored() {
        test::FakeServices env;
        std::vector<PlatformError> errors;
        const Options o = readOptions(*env.settings, errors);
        QVERIFY(errors.empty());
        QCOMPARE(o.ShowSplashStartUP, 1);
        QCOMPARE(o.RunAtStartUP, 0);
        QCOMPARE(o.StartMinimised, 0);
        QCOMPARE(o.ShowFormBorder, 0);
        QVERIFY(!QFileInfo::exists(env.settings->fileName())); // reading never creates the file
    }

    void badValuesTakeTheirDefaultOthersRead() {
        test::FakeServices env;
        env.writeSettings("[Options]\nShowSplashStartUP=abc\nRunAtStartUP=1\n"
                          "StartMinimised=40000\nShowFormBorder=\"1,2\"\n");
        std::vector<PlatformError> errors;
        const Options o = readOptions(*env.settings, errors);
        QCOMPARE(o.ShowSplashStartUP, 1);
        QCOMPARE(o.RunAtStartUP, 1);
        QCOMPARE(o.StartMinimised, 0);
        QCOMPARE(o.ShowFormBorder, 0);
        QCOMPARE(errors.size(), std::size_t(3));
        QCOMPARE(errors[0].number, 13);
        QCOMPARE(errors[1].number, 6);
        QCOMPARE(errors[2].number, 13);
    }

    void aListValueIsATypeMismatch() {
        test::FakeServices env;
        env.writeSettings("[Options]\nShowFormBorder=1,2\n");
        std::vector<PlatformError> errors;
        const Options o = readOptions(*env.settings, errors);
        QCOMPARE(o.ShowFormBorder, 0);
        QCOMPARE(errors.size(), std::size_t(1));
        QCOMPARE(errors[0].number, 13);
    }

    void theTwoTestsDiffer() {
        Options o;
        o.ShowSplashStartUP = 2;
        o.StartMinimised = -1;
        o.ShowFormBorder = -1;
        QVERIFY(!o.showSplash());
        QVERIFY(!o.startMinimised());
        QVERIFY(o.showFormBorder());
    }

    void writesDecimalTextUnderItsSection() {
        test::FakeServices env;
        env.settings->writeText(kOptionsSection, QStringLiteral("StartMinimised"),
                                QStringLiteral("1"));
        QFile f(env.settings->fileName());
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray ini = f.readAll();
        QVERIFY2(ini.contains("[Options]\nStartMinimised=1"), ini.constData());
        QCOMPARE(QFileInfo(env.settings->fileName()).fileName(),
                 QStringLiteral("QMVigilornApp.ini"));
    }

    void errorReportText() {
        QCOMPARE(vigilorn::errorReportText(programError(17)),
                 QStringLiteral("An error has occurred - Code: 17 Description: Can't perform "
                                "requested operation"));
        test::FakeServices env;
        reportError(errorFromErrno(2));
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].title, QStringLiteral("System Error!"));
        QCOMPARE(MessageBox::shown()[0].icon, QMessageBox::Critical);
        QCOMPARE(MessageBox::shown()[0].buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(MessageBox::shown()[0].text,
                 QStringLiteral(
                     "An error has occurred - Code: 2 Description: No such file or directory"));
    }
};

QTEST_MAIN(TestSettings)
#include "test_settings.moc"
