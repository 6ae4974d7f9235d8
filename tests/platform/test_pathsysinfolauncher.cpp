// The system information tool on Linux: the PATH look-up, the fixed folder, starting it.
#include "platform/linux/PathSysInfoLauncher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using vigilorn::PathSysInfoLauncher;

namespace {

void writeFile(const QString& path, const QByteArray& text, bool executable) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
    f.close();
    QFileDevice::Permissions perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (executable)
        perms |= QFileDevice::ExeOwner;
    QVERIFY(QFile::setPermissions(path, perms));
}

} // namespace

class TestPathSysInfoLauncher : public QObject {
    Q_OBJECT

private slots:
    void init();
    void findsFirstToolOnPath();
    void toolOrderBeatsPathOrder();
    void skipsNonExecutableAndFolders();
    void ignoresRelativeEntries();
    void nothingFound();
    void readsPathFromEnvironment();
    void fixedFolder();
    void startsWithoutShell();
    void startFailsForMissingProgram();

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_a;
    QString m_b;
};

void TestPathSysInfoLauncher::init() {
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_a = m_tmp->filePath(QStringLiteral("a"));
    m_b = m_tmp->filePath(QStringLiteral("b"));
    QVERIFY(QDir().mkpath(m_a));
    QVERIFY(QDir().mkpath(m_b));
}

void TestPathSysInfoLauncher::findsFirstToolOnPath() {
    writeFile(m_b + QStringLiteral("/kinfocenter"), "#!/bin/sh\n", true);
    PathSysInfoLauncher l((m_a + u':' + m_b).toStdString());
    std::string path;
    QVERIFY(l.lookupToolPath(path));
    QCOMPARE(QString::fromStdString(path), m_b + QStringLiteral("/kinfocenter"));
}

void TestPathSysInfoLauncher::toolOrderBeatsPathOrder() {
    writeFile(m_a + QStringLiteral("/gnome-system-monitor"), "#!/bin/sh\n", true);
    writeFile(m_a + QStringLiteral("/kinfocenter"), "#!/bin/sh\n", true);
    writeFile(m_b + QStringLiteral("/hardinfo"), "#!/bin/sh\n", true);
    PathSysInfoLauncher l((m_a + u':' + m_b).toStdString());
    std::string path;
    QVERIFY(l.lookupToolPath(path));
    QCOMPARE(QString::fromStdString(path), m_b + QStringLiteral("/hardinfo"));
}

void TestPathSysInfoLauncher::skipsNonExecutableAndFolders() {
    writeFile(m_a + QStringLiteral("/hardinfo"), "not a program", false);
    QVERIFY(QDir().mkpath(m_a + QStringLiteral("/kinfocenter")));
    writeFile(m_b + QStringLiteral("/kinfocenter"), "#!/bin/sh\n", true);
    PathSysInfoLauncher l((m_a + u':' + m_b).toStdString());
    std::string path;
    QVERIFY(l.lookupToolPath(path));
    QCOMPARE(QString::fromStdString(path), m_b + QStringLiteral("/kinfocenter"));
}

void TestPathSysInfoLauncher::ignoresRelativeEntries() {
    writeFile(m_a + QStringLiteral("/kinfocenter"), "#!/bin/sh\n", true);
    const QString old = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_a));
    PathSysInfoLauncher l(std::string("::.:./"));
    std::string path;
    const bool found = l.lookupToolPath(path);
    QDir::setCurrent(old);
    QVERIFY(!found);
}

void TestPathSysInfoLauncher::nothingFound() {
    PathSysInfoLauncher l((m_a + u':' + m_b).toStdString());
    std::string path = "unchanged";
    QVERIFY(!l.lookupToolPath(path));
    PathSysInfoLauncher empty{std::string()};
    QVERIFY(!empty.lookupToolPath(path));
}

void TestPathSysInfoLauncher::readsPathFromEnvironment() {
    writeFile(m_b + QStringLiteral("/kinfocenter"), "#!/bin/sh\n", true);
    const QByteArray old = qgetenv("PATH");
    qputenv("PATH", m_b.toLocal8Bit());
    PathSysInfoLauncher l;
    std::string path;
    const bool found = l.lookupToolPath(path);
    qputenv("PATH", old);
    QVERIFY(found);
    QCOMPARE(QString::fromStdString(path), m_b + QStringLiteral("/kinfocenter"));
}

void TestPathSysInfoLauncher::fixedFolder() {
    PathSysInfoLauncher l(std::string(), m_a.toStdString());
    std::string folder;
    QVERIFY(l.lookupToolFolder(folder));
    QCOMPARE(QString::fromStdString(folder), m_a);
    QCOMPARE(l.toolInFolder(folder), folder + "/hardinfo");
    QVERIFY(!l.isRegularFile(l.toolInFolder(folder)));
    writeFile(m_a + QStringLiteral("/hardinfo"), "x", false);
    // Existence only: the second look-up does not ask for the execute bit.
    QVERIFY(l.isRegularFile(l.toolInFolder(folder)));
    QVERIFY(!l.isRegularFile(m_b.toStdString()));

    std::string dflt;
    QVERIFY(PathSysInfoLauncher().lookupToolFolder(dflt));
    QCOMPARE(dflt, std::string("/usr/bin"));
}

void TestPathSysInfoLauncher::startsWithoutShell() {
    // A folder name a shell would read as two commands.
    const QString dir = m_tmp->filePath(QStringLiteral("x y;touch INJECTED"));
    QVERIFY(QDir().mkpath(dir));
    const QString marker = m_tmp->filePath(QStringLiteral("ran"));
    writeFile(dir + QStringLiteral("/kinfocenter"),
              "#!/bin/sh\necho \"$#\" > '" + marker.toLocal8Bit() + "'\n", true);
    PathSysInfoLauncher l(dir.toStdString());
    std::string path;
    QVERIFY(l.lookupToolPath(path));
    QVERIFY(l.start(path));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(marker).size() > 0, 10000);
    QFile f(marker);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll().trimmed(), QByteArray("0"));
    QVERIFY(!QFileInfo::exists(m_tmp->filePath(QStringLiteral("INJECTED"))));
    QVERIFY(!QFileInfo::exists(QStringLiteral("INJECTED")));
}

void TestPathSysInfoLauncher::startFailsForMissingProgram() {
    PathSysInfoLauncher l;
    QVERIFY(!l.start((m_a + QStringLiteral("/no-such-program")).toStdString()));
    writeFile(m_a + QStringLiteral("/notexec"), "#!/bin/sh\n", false);
    if (::geteuid() != 0)
        QVERIFY(!l.start((m_a + QStringLiteral("/notexec")).toStdString()));
}

QTEST_GUILESS_MAIN(TestPathSysInfoLauncher)
#include "test_pathsysinfolauncher.moc"
