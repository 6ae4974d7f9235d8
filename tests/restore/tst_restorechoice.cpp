// Which engine the Linux platform picks when there is no system bus at all.
#include "platform/linux/LinuxRestore.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

using namespace vigilorn;

class TestRestoreChoice : public QObject {
    Q_OBJECT
private slots:
    void noSystemBusMeansBuiltinStoreQuickly();

private:
    QTemporaryDir m_dir;
};

void TestRestoreChoice::noSystemBusMeansBuiltinStoreQuickly() {
    QVERIFY(m_dir.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + "/data"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path() + "/config"));
    QVERIFY(QDir().mkpath(m_dir.path() + "/config"));
    // Set before the first use of the system bus, which reads it once.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", QFile::encodeName("unix:path=" + m_dir.path() + "/no-bus"));

    QElapsedTimer t;
    t.start();
    const auto engine = createLinuxRestoreEngine({"QMVigilornApp", ""});
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

QTEST_GUILESS_MAIN(TestRestoreChoice)
#include "tst_restorechoice.moc"
