#include "TestSupport.h"
#include "app/AppOptions.h"
#include "app/ErrorReport.h"
#include "app/RuntimeError.h"
#include "app/SettingsStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace vigilorn;

enum class Outcome { Value, TypeMismatch, Overflow };
Q_DECLARE_METATYPE(Outcome)

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void conversions_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<int>("value"); // only for Outcome::Value
        const auto value = Outcome::Value;
        const auto mismatch = Outcome::TypeMismatch;
        const auto overflow = Outcome::Overflow;
        QTest::newRow("zero") << "0" << value << 0;
        QTest::newRow("one") << "1" << value << 1;
        QTest::newRow("blanks") << "  2 " << value << 2;
        QTest::newRow("negative") << "-1" << value << -1;
        QTest::newRow("plus") << "+7" << value << 7;
        QTest::newRow("min") << "-32768" << value << -32768;
        QTest::newRow("max") << "32767" << value << 32767;
        QTest::newRow("max with zeros") << "00032767" << value << 32767;
        QTest::newRow("above max") << "32768" << overflow << 0;
        QTest::newRow("below min") << "-32769" << overflow << 0;
        QTest::newRow("huge") << "99999999999999999999999" << overflow << 0;
        QTest::newRow("huge then letter") << "99999999999999999999999x" << mismatch << 0;
        QTest::newRow("letters") << "abc" << mismatch << 0;
        QTest::newRow("empty") << "" << mismatch << 0;
        QTest::newRow("sign only") << "-" << mismatch << 0;
        QTest::newRow("fraction") << "1.5" << mismatch << 0;
        QTest::newRow("inner blank") << "1 2" << mismatch << 0;
        QTest::newRow("arabic digits") << QString::fromUtf8("\u0661") << mismatch << 0;
    }
    void conversions() {
        QFETCH(QString, text);
        QFETCH(Outcome, outcome);
        QFETCH(int, value);
        std::optional<int> got;
        std::optional<PlatformError> error;
        try {
            got = toInt16(text);
        } catch (const RuntimeError& e) {
            error = e.error();
        }
        switch (outcome) {
        case Outcome::Value:
            QVERIFY2(got, error ? error->description.c_str() : "");
            QCOMPARE(*got, value);
            break;
        case Outcome::TypeMismatch:
            QVERIFY2(error, qPrintable(QString::number(got.value_or(0))));
            QCOMPARE(error->number, 13);
            QCOMPARE(QString::fromStdString(error->description), QStringLiteral("Type mismatch"));
            break;
        case Outcome::Overflow:
            QVERIFY2(error, qPrintable(QString::number(got.value_or(0))));
            QCOMPARE(error->number, 6);
            QCOMPARE(QString::fromStdString(error->description), QStringLiteral("Overflow"));
            break;
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
