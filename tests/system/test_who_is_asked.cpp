// Whom the hook asks, from the environment, a fake /proc and a fake logind sessions folder.
#include "system/WhoIsAsked.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace vigilorn::sys;

Q_DECLARE_METATYPE(std::vector<uid_t>)

namespace {

std::optional<std::string> optional(const QString& s) {
    return s.isNull() ? std::nullopt : std::optional<std::string>(s.toStdString());
}

} // namespace

class TestWhoIsAsked : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    bool write(const QString& relative, const QByteArray& data) {
        const QString path = dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
    }

    // The hook's parent shell 300, under a front end 200, under a login shell 100.
    void writeTree(const QByteArray& frontendComm, const QByteArray& loginuid) {
        QDir(dir.filePath("proc")).removeRecursively();
        QVERIFY(write("proc/300/stat", "300 (sh) S 200 300 1 0 -1 4194560 0 0"));
        QVERIFY(write("proc/200/stat", "200 (" + frontendComm + ") S 100 200 1 0 -1 0"));
        QVERIFY(write("proc/100/stat", "100 (bash) S 1 100 100 34816 0"));
        QVERIFY(write("proc/100/loginuid", "2000"));
        if (!loginuid.isEmpty())
            QVERIFY(write("proc/200/loginuid", loginuid));
    }

    void writeSessions(const QStringList& sessions) {
        QDir(dir.filePath("sessions")).removeRecursively();
        if (sessions.isEmpty())
            return;
        for (int i = 0; i < sessions.size(); ++i)
            QVERIFY(write(QStringLiteral("sessions/%1").arg(i + 1), sessions[i].toUtf8()));
        // logind keeps a FIFO beside each session: it must be passed over, never waited on.
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("sessions/1.ref")).constData(), 0600), 0);
    }

private slots:
    void asked_data() {
        QTest::addColumn<QString>("pkexecUid");
        QTest::addColumn<QString>("sudoUid");
        QTest::addColumn<QString>("packagekitUid");
        QTest::addColumn<QByteArray>("frontendComm");
        QTest::addColumn<QByteArray>("loginuid");
        QTest::addColumn<QStringList>("sessions");
        QTest::addColumn<std::vector<uid_t>>("uids");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("frontend");
        const QString unset;
        const QStringList none;
        // Only the machine's own seats, and only their administrators (not 1004), are asked.
        const QStringList desktops{
            "# This is private data. Do not parse.\nUID=1000\nUSER=ann\nACTIVE=1\nTYPE=x11\n"
            "SEAT=seat0\n",
            "UID=1001\nACTIVE=1\nTYPE=tty\nSEAT=seat0\n",
            "UID=1002\nACTIVE=0\nTYPE=wayland\nSEAT=seat0\n",
            "UID=1003\nACTIVE=1\nTYPE=wayland\nSEAT=seat1\nREMOTE=0\n",
            "UID=1000\nACTIVE=1\nTYPE=wayland\nSEAT=seat0\n",
            "UID=abc\nACTIVE=1\nTYPE=x11\nSEAT=seat0\n",
            "UID=1004\nACTIVE=1\nTYPE=x11\nSEAT=seat0\n",
            "UID=1005\nACTIVE=1\nTYPE=x11\nREMOTE=1\nSEAT=seat0\n",
            "UID=1006\nACTIVE=1\nTYPE=wayland\nSEAT=\n",
            "UID=1007\nACTIVE=1\nTYPE=x11\nREMOTE=1\n"};

        QTest::newRow("pkexec first") << "1001"
                                      << "1000"
                                      << "1002" << QByteArray("apt-get") << QByteArray("1003")
                                      << desktops << std::vector<uid_t>{1001} << "PKEXEC_UID"
                                      << "apt-get";
        QTest::newRow("then sudo") << unset << "1000"
                                   << "1002" << QByteArray("apt") << QByteArray("1003") << desktops
                                   << std::vector<uid_t>{1000} << "SUDO_UID"
                                   << "apt";
        QTest::newRow("then PackageKit's caller")
            << unset << unset << "1002" << QByteArray("packagekitd") << QByteArray("1003")
            << desktops << std::vector<uid_t>{1002} << "PACKAGEKIT_CALLER_UID"
            << "packagekitd";
        QTest::newRow("root counts") << unset << "0" << unset << QByteArray("apt-get")
                                     << QByteArray() << none << std::vector<uid_t>{0} << "SUDO_UID"
                                     << "apt-get";
        QTest::newRow("a uid that is no number is passed over")
            << "1000x"
            << "-1"
            << "4294967295" << QByteArray("aptitude") << QByteArray("1003\n") << desktops
            << std::vector<uid_t>{1003} << "loginuid"
            << "aptitude";
        QTest::newRow("the front end's login uid")
            << unset << unset << unset << QByteArray("unattended-upgr") << QByteArray("1003")
            << desktops << std::vector<uid_t>{1003} << "loginuid"
            << "unattended-upgr";
        QTest::newRow("login uid unset: the graphical sessions")
            << unset << unset << unset << QByteArray("synaptic") << QByteArray("4294967295")
            << desktops << std::vector<uid_t>{1000, 1003} << "sessions"
            << "synaptic";
        QTest::newRow("PackageKit naming nobody: the graphical sessions")
            << unset << unset << unset << QByteArray("packagekitd") << QByteArray("4294967295")
            << desktops << std::vector<uid_t>{1000, 1003} << "sessions"
            << "packagekitd";
        QTest::newRow("an unattended run without a login uid: the graphical sessions")
            << unset << unset << unset << QByteArray("unattended-upgr") << QByteArray() << desktops
            << std::vector<uid_t>{1000, 1003} << "sessions"
            << "unattended-upgr";
        QTest::newRow("no front end: its login uid is not the caller's")
            << unset << unset << unset << QByteArray("make") << QByteArray("1003") << desktops
            << std::vector<uid_t>{1000, 1003} << "sessions"
            << "sh";
        QTest::newRow("no sessions folder: nobody")
            << unset << unset << unset << QByteArray("dpkg") << QByteArray() << none
            << std::vector<uid_t>{} << "sessions"
            << "dpkg";
    }
    void asked() {
        QFETCH(QString, pkexecUid);
        QFETCH(QString, sudoUid);
        QFETCH(QString, packagekitUid);
        QFETCH(QByteArray, frontendComm);
        QFETCH(QByteArray, loginuid);
        QFETCH(QStringList, sessions);
        QFETCH(std::vector<uid_t>, uids);
        QFETCH(QString, source);
        QFETCH(QString, frontend);
        writeTree(frontendComm, loginuid);
        writeSessions(sessions);

        const ProcReader proc(dir.filePath("proc").toStdString());
        const auto chain = proc.ancestors(300);
        QCOMPARE(chain.size(), std::size_t(3));
        QCOMPARE(QString::fromStdString(frontendName(chain)), frontend);
        const CallerIds ids{optional(pkexecUid), optional(sudoUid), optional(packagekitUid)};
        const AskedUsers asked =
            whoIsAsked(ids, proc, chain, dir.filePath("sessions").toStdString(),
                       [](uid_t uid) { return uid != 1004; });
        QCOMPARE(asked.uids, uids);
        QCOMPARE(QString::fromStdString(asked.source), source);
        // Users found only at the machine are told, not obeyed; and asked only while PackageKit
        // works, perhaps for one of them.
        QCOMPARE(asked.standing != Standing::Behind, source == "sessions");
        QCOMPARE(asked.standing == Standing::Bystanders,
                 source == "sessions" && frontend != "packagekitd");
    }

    void processNames_data() {
        QTest::addColumn<QByteArray>("stat");
        QTest::addColumn<QString>("comm");
        QTest::addColumn<int>("length");
        QTest::newRow("plain") << QByteArray("200 (apt-get) S 100 1") << "apt-get" << 2;
        QTest::newRow("spaces and parentheses")
            << QByteArray("200 (a) (b c) S 100 1") << "a) (b c" << 2;
        QTest::newRow("no parent field") << QByteArray("200 (apt-get) S") << "" << 0;
        QTest::newRow("parent not a number") << QByteArray("200 (apt) S x 1") << "apt" << 1;
        QTest::newRow("too long to be stat") << QByteArray(5000, 'x') << "" << 0;
    }
    void processNames() {
        QFETCH(QByteArray, stat);
        QFETCH(QString, comm);
        QFETCH(int, length);
        QDir(dir.filePath("proc")).removeRecursively();
        QVERIFY(write("proc/200/stat", stat));
        QVERIFY(write("proc/100/stat", "100 (bash) S 1 1"));
        const auto chain = ProcReader(dir.filePath("proc").toStdString()).ancestors(200);
        QCOMPARE(int(chain.size()), length);
        if (length > 0)
            QCOMPARE(QString::fromStdString(chain.front().comm), comm);
    }

    void loopsEnd() {
        // A parent pointing back at its child must not keep the walk going.
        QDir(dir.filePath("proc")).removeRecursively();
        QVERIFY(write("proc/200/stat", "200 (a) S 201 1"));
        QVERIFY(write("proc/201/stat", "201 (b) S 200 1"));
        QCOMPARE(ProcReader(dir.filePath("proc").toStdString()).ancestors(200).size(),
                 std::size_t(32));
    }
};

QTEST_GUILESS_MAIN(TestWhoIsAsked)
#include "test_who_is_asked.moc"
