// Which engine the Linux platform picks when there is no system bus at all.
#include "platform/linux/LinuxRestore.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

using namespace vigilorn;

class TestRestoreChoice : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void noSystemBusMeansBuiltinStoreQuickly();
    void unusableModuleIsAnErrorNotACrash_data();
    void unusableModuleIsAnErrorNotACrash();

private:
    QTemporaryDir m_dir;
};

void TestRestoreChoice::initTestCase() {
    QVERIFY(m_dir.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + "/data"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + "/config"));
    QVERIFY(QDir().mkpath(m_dir.path() + "/config"));
    // Set before the first use of the system bus, which reads it once.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", QFile::encodeName("unix:path=" + m_dir.path() + "/no-bus"));
}

void TestRestoreChoice::noSystemBusMeansBuiltinStoreQuickly() {
    QElapsedTimer t;
    t.start();
    const auto engine = createLinuxRestoreEngine({"QMVigilornApp", "", 50, GITSTORE_MODULE});
    const qint64 ms = t.elapsed();
    QVERIFY(engine);
    qInfo("chosen in %lld ms: %s", ms, engine->displayName().c_str());
    QVERIFY(ms < 5000);
    QCOMPARE(QString::fromStdString(engine->displayName()),
             "built-in store in " + m_dir.path() + "/data/QMVigilornApp/restore-points.git");
    QVERIFY(!engine->createRestorePoint("works", 12, 100));
    std::vector<RestorePointRecord> points;
    QVERIFY(!engine->listRestorePoints(points));
    QCOMPARE(points.size(), std::size_t(1));
    QCOMPARE(points[0].Description, std::string("works"));
}

void TestRestoreChoice::unusableModuleIsAnErrorNotACrash_data() {
    QTest::addColumn<QString>("module");
    QTest::newRow("missing") << m_dir.path() + "/nowhere/vigilorn-gitstore.so";
    QTest::newRow("not a library") << QFINDTESTDATA("test_restorechoice.cpp");
    // Loads, but lacks the store's entry points.
    QTest::newRow("another library") << QStringLiteral("libc.so.6");
}

void TestRestoreChoice::unusableModuleIsAnErrorNotACrash() {
    QFETCH(QString, module);
    const PlatformConfig config{"QMVigilornApp", "", 50, module.toStdString()};
    const auto engine = createLinuxRestoreEngine(config);
    QVERIFY(engine);
    // The name needs no module: the windows show it before anything is stored.
    QVERIFY(QString::fromStdString(engine->displayName()).startsWith("built-in store in "));
    const Failure made = engine->createRestorePoint("never", 12, 100);
    QVERIFY(made);
    QCOMPARE(made->number, kGitStoreUnusable);
    QVERIFY2(made->description.find(config.gitStoreModule) != std::string::npos,
             made->description.c_str());
    std::vector<RestorePointRecord> points;
    QCOMPARE(engine->listRestorePoints(points).value_or(PlatformError{}).number, kGitStoreUnusable);
    QCOMPARE(engine->leftOutOfNewest(), std::size_t(0));

    const auto changes = createLinuxRestoreChanges(config, *engine);
    QVERIFY(changes);
    QCOMPARE(changes->compare("1", {}).value_or(PlatformError{}).number, kGitStoreUnusable);
    QVERIFY(!changes->canRunAsRoot());
}

QTEST_GUILESS_MAIN(TestRestoreChoice)
#include "test_restorechoice.moc"
