// A process's arguments from /proc, and the real program's monitor on a real package manager's
// command line.
#include "platform/linux/ProcProcessSource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace vigilorn;

Q_DECLARE_METATYPE(std::vector<std::string>)

class TestProcArguments : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    void writeCmdline(const QString& pid, const QByteArray& data) {
        const QString path = dir.filePath(pid + QStringLiteral("/cmdline"));
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(data), data.size());
    }

private slots:
    void cmdlines_data() {
        QTest::addColumn<QByteArray>("cmdline");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<std::vector<std::string>>("args");
        using V = std::vector<std::string>;
        QTest::newRow("plain") << QByteArray("apt-get\0install\0./x.deb\0", 24) << true
                               << V{"apt-get", "install", "./x.deb"};
        QTest::newRow("an empty argument kept")
            << QByteArray("dpkg\0\0-i\0", 9) << true << V{"dpkg", "", "-i"};
        QTest::newRow("rewritten title without its NUL")
            << QByteArray("npm install -g x") << true << V{"npm install -g x"};
        QTest::newRow("UTF-8") << QByteArray("apt\0install\0caf\xc3\xa9\0", 18) << true
                               << V{"apt", "install", "caf\xc3\xa9"};
        QTest::newRow("exactly the limit")
            << QByteArray("a\0", 2) + QByteArray(4093, 'b') + QByteArray(1, '\0') << true
            << V{"a", std::string(4093, 'b')};
        QTest::newRow("one byte over the limit")
            << QByteArray("a\0", 2) + QByteArray(4094, 'b') + QByteArray(1, '\0') << false << V{};
        QTest::newRow("megabytes")
            << QByteArray("apt-get\0install\0", 16) + QByteArray(8 << 20, 'x') << false << V{};
        QTest::newRow("empty (a kernel thread)") << QByteArray() << false << V{};
        QTest::newRow("not UTF-8") << QByteArray("apt\0install\0\xff\xfe\0", 15) << false << V{};
        QTest::newRow("overlong encoding") << QByteArray("apt\0\xc0\xaf\0", 7) << false << V{};
        QTest::newRow("surrogate") << QByteArray("apt\0\xed\xa0\x80\0", 8) << false << V{};
        QTest::newRow("cut sequence at the end") << QByteArray("apt\0\xe2\x82", 6) << false << V{};
    }
    void cmdlines() {
        QFETCH(QByteArray, cmdline);
        QFETCH(bool, readable);
        QFETCH(std::vector<std::string>, args);
        writeCmdline(QStringLiteral("4242"), cmdline);
        ProcProcessSource src(dir.path().toStdString());
        std::vector<std::string> got{"stale"};
        QCOMPARE(src.readArguments("4242", got), readable);
        QCOMPARE(got, args); // cleared when unreadable: never a stale or partial list
    }

    void unreadableOrMisnamed_data() {
        QTest::addColumn<QString>("pid");
        QTest::newRow("gone") << "999999";
        QTest::newRow("not a number") << "../4242";
        QTest::newRow("empty") << "";
    }
    void unreadableOrMisnamed() {
        QFETCH(QString, pid);
        writeCmdline(QStringLiteral("4242"), QByteArray("apt\0install\0", 12));
        ProcProcessSource src(dir.path().toStdString());
        std::vector<std::string> got;
        QVERIFY(!src.readArguments(pid.toStdString(), got));
        QVERIFY(got.empty());
    }

    void aFolderInsteadOfAFile() {
        QDir().mkpath(dir.filePath(QStringLiteral("77/cmdline")));
        ProcProcessSource src(dir.path().toStdString());
        std::vector<std::string> got;
        QVERIFY(!src.readArguments("77", got));
    }

    void aRealProcess() {
        QProcess p;
        // sleep refuses an argument it cannot read as a time and ends at once; python ignores it.
        p.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral("-c"), QStringLiteral("import time; time.sleep(30)"),
                 QString::fromUtf8("caf\xc3\xa9")});
        QVERIFY(p.waitForStarted());
        ProcProcessSource src;
        std::vector<std::string> got;
        // The exec may not have replaced the forked child's arguments yet.
        QTRY_VERIFY(src.readArguments(std::to_string(p.processId()), got) && got.size() == 4);
        QCOMPARE(got, (std::vector<std::string>{"/usr/bin/python3", "-c",
                                                "import time; time.sleep(30)", "caf\xc3\xa9"}));
        p.kill();
        p.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestProcArguments)
#include "test_proc_arguments.moc"
