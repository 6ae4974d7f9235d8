// The PackageKit client against a stand-in daemon on a private bus of the system type.
#include "platform/linux/PackageKitTransactions.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace vigilorn;

namespace {

constexpr std::uint32_t kInstallFiles = 10, kInstallPackages = 11, kRemovePackages = 14,
                        kUpdatePackages = 22, kRepairSystem = 29, kUpgradeSystem = 33;
constexpr std::uint64_t kOnlyTrusted = 1u << 1, kSimulate = 1u << 2, kOnlyDownload = 1u << 3;

} // namespace

class TestPackageKit : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QProcess bus;
    std::unique_ptr<QProcess> daemon;
    bool usable = false;

    QString socket() const { return dir.filePath(QStringLiteral("bus.sock")); }

    void setTransactions(const QByteArray& lines) {
        QFile f(dir.filePath(QStringLiteral("transactions.new")));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(lines);
        f.close();
        QFile::remove(dir.filePath(QStringLiteral("transactions")));
        QVERIFY(QFile::rename(f.fileName(), dir.filePath(QStringLiteral("transactions"))));
    }

    void startDaemon(bool silent) {
        stopDaemon();
        QFile::remove(dir.filePath(QStringLiteral("ready")));
        daemon = std::make_unique<QProcess>();
        daemon->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList args{QStringLiteral(VIGILORN_FAKE_PACKAGEKIT), dir.path()};
        if (silent)
            args << QStringLiteral("--silent");
        daemon->start(QStringLiteral("/usr/bin/python3"), args);
        QVERIFY(daemon->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath(QStringLiteral("ready"))), 30000);
    }
    void stopDaemon() {
        if (!daemon)
            return;
        daemon->terminate();
        daemon->waitForFinished(10000);
        daemon.reset();
    }

private slots:
    void roles_data() {
        QTest::addColumn<uint>("role");
        QTest::addColumn<qulonglong>("flags");
        QTest::addColumn<bool>("changes");
        QTest::newRow("install files") << uint(kInstallFiles) << 0ull << true;
        QTest::newRow("install packages") << uint(kInstallPackages) << 0ull << true;
        QTest::newRow("install, only trusted")
            << uint(kInstallPackages) << qulonglong(kOnlyTrusted) << true;
        QTest::newRow("remove") << uint(kRemovePackages) << 0ull << true;
        QTest::newRow("update") << uint(kUpdatePackages) << 0ull << true;
        QTest::newRow("repair") << uint(kRepairSystem) << 0ull << true;
        QTest::newRow("upgrade system") << uint(kUpgradeSystem) << 0ull << true;
        QTest::newRow("simulated install")
            << uint(kInstallPackages) << qulonglong(kSimulate) << false;
        QTest::newRow("updates downloaded for later")
            << uint(kUpdatePackages) << qulonglong(kOnlyTrusted | kOnlyDownload) << false;
        QTest::newRow("unknown (not started yet)") << 0u << 0ull << false;
        QTest::newRow("refresh cache") << 13u << 0ull << false;
        QTest::newRow("search name") << 21u << 0ull << false;
        QTest::newRow("get updates") << 9u << 0ull << false;
        QTest::newRow("download packages") << 25u << 0ull << false;
        QTest::newRow("a role from a later version") << 99u << 0ull << false;
    }
    void roles() {
        QFETCH(uint, role);
        QFETCH(qulonglong, flags);
        QFETCH(bool, changes);
        QCOMPARE(packageKitTransactionChanges(role, flags), changes);
    }

    // One bus for every case below: the process connects to its system bus once.
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty() ||
            QProcess::execute(QStringLiteral("/usr/bin/python3"),
                              {QStringLiteral("-c"), QStringLiteral("import dbus, gi")}) != 0)
            return; // the cases on the bus skip themselves
        QFile in(QStringLiteral(VIGILORN_SYSTEM_BUS_CONF));
        QVERIFY(in.open(QIODevice::ReadOnly));
        QFile out(dir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(in.readAll().replace("@SOCKET@", socket().toUtf8()));
        out.close();
        bus.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--config-file=") + out.fileName(), QStringLiteral("--nofork"),
                   QStringLiteral("--nopidfile")});
        QVERIFY(bus.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(socket()), 10000);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + socket().toUtf8());
        setTransactions({});
        usable = true;
    }
    void init() {
        if (!usable && QByteArray(QTest::currentTestFunction()) != "roles")
            QSKIP("needs dbus-daemon, python3-dbus and python3-gi");
    }
    void cleanupTestCase() {
        stopDaemon();
        bus.terminate();
        bus.waitForFinished(10000);
    }

    void absentDaemonIsSilentAndQuick() {
        PackageKitTransactions pk;
        QElapsedTimer t;
        t.start();
        // Far below the time-out: an absent daemon is not waited for, however busy the machine.
        QVERIFY(!pk.changingPackages(20000));
        QVERIFY2(t.elapsed() < 10000, qPrintable(QString::number(t.elapsed())));
    }

    void transactions_data() {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<bool>("changing");
        QTest::newRow("none") << QByteArray() << false;
        QTest::newRow("one install") << QByteArray("11 0\n") << true;
        QTest::newRow("a search, then an update") << QByteArray("21 0\n22 2\n") << true;
        QTest::newRow("a simulated install") << QByteArray("11 4\n") << false;
        QTest::newRow("a refresh and a download") << QByteArray("13 0\n22 8\n") << false;
    }
    void transactions() {
        QFETCH(QByteArray, list);
        QFETCH(bool, changing);
        if (!daemon)
            startDaemon(false);
        setTransactions(list);
        PackageKitTransactions pk;
        // The fake answers; a loaded machine must not turn a late answer into "none".
        const auto got = pk.changingPackages(20000);
        QCOMPARE(bool(got), changing);
        if (got)
            QCOMPARE(*got, std::string("packagekitd"));
    }

    // A daemon that never answers costs one question its timeout, and no more.
    void silentDaemonCostsTheTimeoutOnly() {
        startDaemon(true);
        setTransactions("11 0\n");
        PackageKitTransactions pk;
        QElapsedTimer t;
        t.start();
        QVERIFY(!pk.changingPackages(500));
        const qint64 ms = t.elapsed();
        qInfo("no answer cost %lld ms", ms);
        // The lower bound is exact; the upper one only says the question ends.
        QVERIFY2(ms >= 450 && ms < 15000, qPrintable(QString::number(ms)));
        stopDaemon();
    }
};

QTEST_GUILESS_MAIN(TestPackageKit)
#include "test_packagekit.moc"
