// A whole restore against a temporary store, /etc and dpkg status, with stand-ins of apt-get
// and dpkg that behave as each row says. Runs as root, as the restore does.
#include "system/SystemRestore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

using namespace vigilorn::sys;

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& data, QFile::Permissions mode = {}) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size())
        return false;
    f.close();
    return mode == QFile::Permissions{} || QFile::setPermissions(path, mode);
}

QByteArray stanza(const QByteArray& name, const QByteArray& version, const QByteArray& arch) {
    return "Package: " + name + "\nStatus: install ok installed\nArchitecture: " + arch +
           "\nVersion: " + version + "\n\n";
}

QByteArray runningKernel() {
    utsname u{};
    return ::uname(&u) == 0 ? QByteArray("linux-image-") + u.release : QByteArray();
}

} // namespace

class TestSystemRestore : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (::geteuid() != 0)
            QSKIP("a restore runs as root");
    }

    // What the restore does when apt-get downloads slowly, fails or leaves dpkg half-way, and
    // with packages it must never take away.
    void packagesThenEtc_data() {
        QTest::addColumn<QByteArray>("atPoint");        // dpkg status stanzas at the point
        QTest::addColumn<QByteArray>("installedSince"); // and in their place after it
        QTest::addColumn<QByteArray>("download");       // the stand-in's --download-only run
        QTest::addColumn<QByteArray>("install");        // its install run
        QTest::addColumn<QByteArray>("audit");          // what dpkg --audit says afterwards
        QTest::addColumn<QByteArray>("end");            // the end line starts with this
        QTest::addColumn<bool>("etcBack");              // /etc was put back
        QTest::addColumn<QByteArray>("said");           // a line the restore said before its end
        const QByteArray added = stanza("rt-new", "1.0", "all");
        // The install run takes the package away, as apt-get would.
        const QByteArray removes = "sed -i '/^Package: rt-new$/,/^$/d' \"$STATUS\"\nexit 0\n";
        QTest::newRow("download stopped by its cap")
            << QByteArray() << added << QByteArray("exec sleep 600\n") << removes << QByteArray()
            << QByteArray("end failed the packages could not be downloaded") << false
            << QByteArray("warn apt-get could not download the packages");
        QTest::newRow("an install longer than the download's cap is not stopped")
            << QByteArray() << added << QByteArray("exit 0\n") << "sleep 3\n" + removes
            << QByteArray() << QByteArray("end ok") << true << QByteArray();
        QTest::newRow("apt-get fails with dpkg half-way")
            << QByteArray() << added << QByteArray("exit 0\n") << QByteArray("exit 100\n")
            << QByteArray("The following packages are only half configured: rt-new\n")
            << QByteArray("end failed apt-get did not end well") << false
            << QByteArray("warn apt-get failed");
        QTest::newRow("apt-get refuses the whole run: /etc still goes back")
            << QByteArray() << added << QByteArray("exit 0\n") << QByteArray("exit 100\n")
            << QByteArray() << QByteArray("end failed P1 restored in part") << true
            << QByteArray("warn rt-new 1.0 all is still installed");
        QTest::newRow("a password changed since is named before go")
            << QByteArray() << QByteArray() << QByteArray("exit 0\n") << QByteArray("exit 0\n")
            << QByteArray() << QByteArray("end ok") << true
            << QByteArray("warn /etc/shadow goes back");
        QTest::newRow("this package and the running kernel's are left alone")
            << QByteArray()
            << added + stanza("qmvigilorn", "9.9", "amd64") + stanza(runningKernel(), "1", "amd64")
            << QByteArray("exit 0\n") << removes << QByteArray() << QByteArray("end ok") << true
            << QByteArray("warn qmvigilorn 9.9 amd64 is left as it is");
        // Nothing is missing, yet it asks: the old version is there, the fix is not.
        QTest::newRow("a downgrade below a security update is named before go")
            << stanza("rt-sec", "1.0", "all") << stanza("rt-sec", "1.1", "all")
            << QByteArray("exit 0\n")
            << QByteArray("sed -i 's/^Version: 1.1$/Version: 1.0/' \"$STATUS\"\n") << QByteArray()
            << QByteArray("end ok") << true
            << QByteArray("warn rt-sec goes back to 1.0, below 1.1 from bookworm-security");
    }
    void packagesThenEtc() {
        QFETCH(QByteArray, atPoint);
        QFETCH(QByteArray, installedSince);
        QFETCH(QByteArray, download);
        QFETCH(QByteArray, install);
        QFETCH(QByteArray, audit);
        QFETCH(QByteArray, end);
        QFETCH(bool, etcBack);
        QFETCH(QByteArray, said);
        QTemporaryDir tmp;
        const QString etc = tmp.filePath("etc"), status = tmp.filePath("status");
        QVERIFY(QDir().mkdir(etc));
        QVERIFY(writeFile(etc + "/a.conf", "at the point\n"));
        QVERIFY(writeFile(etc + "/shadow", "root:old-hash:1::::::\n"));
        QVERIFY(writeFile(status, stanza("base", "1.0", "all") + atPoint));
        RestoreOptions o;
        o.store.folder = tmp.filePath("store").toStdString();
        o.store.etc = etc.toStdString();
        o.store.dpkgStatus = status.toStdString();
        o.store.flatpakSystem.clear();
        o.store.lockWaitSeconds = 5;
        o.store.pool.archives = tmp.filePath("no-archives").toStdString();
        o.store.pool.repack = "/bin/false";
        o.packages.downloadCap = std::chrono::seconds(1);
        unsigned long long number = 0;
        {
            Request r;
            r.description = "the point";
            SystemStore store(o.store);
            QVERIFY(!store.create(r, number));
        }
        QCOMPARE(number, 1ull);

        QVERIFY(writeFile(etc + "/a.conf", "changed since\n"));
        if (said.contains("/etc/shadow"))
            QVERIFY(writeFile(etc + "/shadow", "root:new-hash:2::::::\n"));
        QVERIFY(writeFile(status, stanza("base", "1.0", "all") + installedSince));
        const QByteArray lead = "#!/bin/sh\nSTATUS='" + QFile::encodeName(status) + "'\nD='" +
                                QFile::encodeName(tmp.path()) + "'\n";
        const auto exe = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
        QVERIFY(writeFile(tmp.filePath("apt-get"),
                          lead +
                              "printf '%s\\n' \"$*\" >> \"$D/apt-runs\"\n"
                              "case \" $* \" in *' --download-only '*)\n"
                              "echo $$ > \"$D/download.pid\"\n" +
                              download + ";;\nesac\n" + install,
                          exe));
        QVERIFY(writeFile(tmp.filePath("audit"), audit));
        QVERIFY(writeFile(tmp.filePath("dpkg"),
                          lead + "case \"$1\" in --print-architecture) echo amd64 ;;\n"
                                 "--audit) cat \"$D/audit\" ;;\n*) exit 2 ;;\nesac\n",
                          exe));
        o.packages.aptGet = tmp.filePath("apt-get").toStdString();
        // The archive has the old version, and the newer one came as a security update.
        QVERIFY(writeFile(tmp.filePath("apt-cache"),
                          "#!/bin/sh\ncase \"$1\" in\n"
                          "show) printf 'Package: rt-sec\\nVersion: 1.0\\nArchitecture: all\\n"
                          "Filename: pool/rt-sec_1.0_all.deb\\n\\n' ;;\n"
                          "policy) printf 'rt-sec:\\n  Installed: 1.1\\n  Version table:\\n"
                          " *** 1.1 500\\n        500 file:/srv/archive "
                          "bookworm-security/main amd64 Packages\\n"
                          "        100 /var/lib/dpkg/status\\n     1.0 500\\n"
                          "        500 file:/srv/archive bookworm/main amd64 Packages\\n' ;;\n"
                          "*) exit 1 ;;\nesac\n",
                          exe));
        o.packages.aptCache = tmp.filePath("apt-cache").toStdString();
        o.packages.dpkg = tmp.filePath("dpkg").toStdString();
        QVERIFY(writeFile(tmp.filePath("answer"), "go\n"));
        const int in = ::open(QFile::encodeName(tmp.filePath("answer")).constData(), O_RDONLY);
        const int out = ::open(QFile::encodeName(tmp.filePath("talk")).constData(),
                               O_WRONLY | O_CREAT | O_TRUNC, 0600);
        QVERIFY(in >= 0 && out >= 0);
        o.inFd = in;
        o.outFd = out;
        try {
            restorePoint(number, o);
        } catch (const std::exception& e) {
            QFAIL(e.what());
        }
        ::close(in);
        ::close(out);

        const QByteArray talk = readAll(tmp.filePath("talk"));
        const QList<QByteArray> lines = talk.trimmed().split('\n');
        QVERIFY2(lines.last().startsWith(end), talk.constData());
        QCOMPARE(readAll(etc + "/a.conf"),
                 etcBack ? QByteArray("at the point\n") : QByteArray("changed since\n"));
        if (!said.isEmpty())
            QVERIFY2(talk.contains("\n" + said), talk.constData());
        // The slow download was ended whole, the process it ran included.
        if (const QByteArray pid = readAll(tmp.filePath("download.pid")).trimmed();
            !pid.isEmpty() && download.contains("sleep"))
            QVERIFY(::kill(pid.toInt(), 0) != 0 && errno == ESRCH);
        // Nothing it leaves alone reaches apt-get, and what it leaves alone is said before go.
        const QByteArray runs = readAll(tmp.filePath("apt-runs"));
        QVERIFY2(!runs.contains("qmvigilorn") && !runs.contains("linux-image"), runs.constData());
        if (said.contains("left as it is") || said.contains("goes back"))
            QVERIFY2(talk.indexOf("\nask\n") > talk.indexOf(said), talk.constData());
        else
            QVERIFY2(!talk.contains("\nask\n"), talk.constData());
        // dpkg, once started, is never cut short.
        QCOMPARE(runs.count("--download-only"), runs.isEmpty() ? 0 : 1);
    }
};

QTEST_GUILESS_MAIN(TestSystemRestore)
#include "test_system_restore.moc"
