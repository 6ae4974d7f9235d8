#include "TestSupport.h"
#include "app/AppOptions.h"
#include "app/SettingsStore.h"
#include "platform/RuntimeError.h"
#include "ui/ErrorReport.h"

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

    // A file QSettings cannot parse, or text no person wrote, is reported at once, read as
    // defaults, and replaced only by a save that keeps a copy and the readable sections.
    void damagedFile_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray rest = "[Snapper]\nConfig=home\n[Options]\nShowFormBorder=1\n";
        QTest::newRow("line without =") << QByteArray(rest + "justtext\n");
        QTest::newRow("open section") << QByteArray(rest + "[Broken\nx=1\n");
        QByteArray binary = rest;
        for (int i = 0; i < 4096; ++i)
            binary.append(char(i * 7 % 256));
        QTest::newRow("binary") << binary;
        QTest::newRow("not UTF-8") << QByteArray(rest + "Note=caf\xe9\n");
    }
    void damagedFile() {
        QFETCH(QByteArray, bytes);
        test::FakeServices env;
        env.writeSettings(bytes);
        SettingsStore& store = *env.settings;
        QVERIFY(store.openError());
        QCOMPARE(store.openError()->number, 13);
        QVERIFY(store.isDamaged());
        QCOMPARE(store.readInt16(kOptionsSection, QStringLiteral("ShowFormBorder"), 0), 0);
        QFile file(store.fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bytes); // reading changed nothing
        file.close();

        for (const char* key :
             {"ShowSplashStartUP", "RunAtStartUP", "StartMinimised", "ShowFormBorder"})
            store.writeText(kOptionsSection, QString::fromLatin1(key), QStringLiteral("0"));
        QFile copy(store.damagedCopyName());
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), bytes);

        SettingsStore reopened(QStringLiteral("QMVigilornApp"), env.configDir());
        QVERIFY2(!reopened.openError(), reopened.openError()->description.c_str());
        std::vector<PlatformError> errors;
        const Options o = readOptions(reopened, errors);
        QVERIFY(errors.empty());
        QCOMPARE(o.ShowSplashStartUP, 0);
        QCOMPARE(o.ShowFormBorder, 0);
        QCOMPARE(reopened.readText(QStringLiteral("Snapper"), QStringLiteral("Config"), {}),
                 QStringLiteral("home"));
    }

    // Only a regular file is the settings file; anything else is reported, never opened by
    // QSettings and never written.
    void onlyARegularFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("folder") << "folder";
    }
    void onlyARegularFile() {
        QFETCH(QString, kind);
        test::FakeServices env;
        QDir().mkpath(env.configDir());
        const QString path = QDir(env.configDir()).filePath(QStringLiteral("QMVigilornApp.ini"));
        const QByteArray native = QFile::encodeName(path);
        if (kind == u"fifo")
            QCOMPARE(::mkfifo(native.constData(), 0600), 0);
        else
            QVERIFY(QDir().mkpath(path));
        // Should the store wait for a writer after all, one comes after 20 s and the test fails
        // instead of hanging.
        std::atomic<bool> opened{false};
        std::thread unblock([&] {
            for (int i = 0; i < 200 && !opened; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!opened && kind == u"fifo") {
                const int fd = ::open(native.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
            }
        });
        QElapsedTimer clock;
        clock.start();
        SettingsStore store(QStringLiteral("QMVigilornApp"), env.configDir());
        opened = true;
        unblock.join();
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(store.openError());
        QCOMPARE(store.openError()->number, EINVAL);
        QVERIFY2(QString::fromStdString(store.openError()->description)
                     .endsWith(QStringLiteral("is not a regular file")),
                 store.openError()->description.c_str());
        QCOMPARE(store.readInt16(kOptionsSection, QStringLiteral("ShowSplashStartUP"), 1), 1);
        QVERIFY_THROWS_EXCEPTION(
            RuntimeError,
            store.writeText(kOptionsSection, QStringLiteral("RunAtStartUP"), QStringLiteral("1")));
        QFileInfo info(path);
        QCOMPARE(info.isFile(), false);
    }

    // A write that fails says why, with the number of the call that failed, and is told apart
    // from a file that cannot be parsed.
    void writeErrorCarriesTheSystemsReason() {
        QTemporaryDir dir;
        const QString notAFolder = dir.filePath(QStringLiteral("plain"));
        QFile plain(notAFolder);
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        SettingsStore store(QStringLiteral("QMVigilornApp"), notAFolder);
        QVERIFY(!store.openError());
        try {
            store.writeText(kOptionsSection, QStringLiteral("RunAtStartUP"), QStringLiteral("1"));
            QFAIL("the write did not fail");
        } catch (const RuntimeError& e) {
            QCOMPARE(e.error().number, ENOTDIR);
            QVERIFY2(QString::fromStdString(e.error().description)
                         .endsWith(QStringLiteral("cannot be written: Not a directory")),
                     e.error().description.c_str());
        }
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
