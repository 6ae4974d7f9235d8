// The builder after a change, against a store folder and a dpkg status of its own. Runs as root:
// the store's folder must be root's.
#include "system/Builder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

using namespace vigilorn::sys;

class TestBuilder : public QObject {
    Q_OBJECT

    static void write(const QString& path, const QByteArray& data) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(data), data.size());
    }

    static bool held(const QString& lockFile) {
        const int fd = ::open(QFile::encodeName(lockFile).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return busy;
    }

private slots:
    // A builder waiting for a dpkg run that may never come (the change was stopped before dpkg
    // started) holds up nobody's `build --now`; once dpkg's status changes without replacing
    // the package, it lets the staging go and ends.
    void nowDoesNotWaitForAWaitingBuilder() {
        if (::geteuid() != 0)
            QSKIP("the store's folder must be root's");
        QTemporaryDir tmp;
        const QString store = tmp.filePath("store"), staged = store + "/pool/probe_1_all.staged";
        QVERIFY(QDir().mkpath(staged + "/tree"));
        QVERIFY(QDir().mkpath(tmp.filePath("locks")));
        ::chmod(QFile::encodeName(store).constData(), 0755);
        ::chmod(QFile::encodeName(store + "/pool").constData(), 0700);
        const QString status = tmp.filePath("status");
        write(status,
              "Package: probe\nStatus: install ok installed\nVersion: 1\nArchitecture: all\n");
        write(staged + "/list", "");
        write(staged + "/staged", "probe\t1\tall\n");
        // Staged after dpkg last wrote its status: its run has not started.
        const timespec before[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(status).constData(), before, 0), 0);

        BuilderOptions o;
        o.folder = QFile::encodeName(store).toStdString();
        o.dpkgLocks = QFile::encodeName(tmp.filePath("locks")).toStdString();
        o.dpkgStatus = QFile::encodeName(status).toStdString();
        o.longest = std::chrono::hours(1);
        auto waiting = std::async(std::launch::async, [o] { return runBuilder(o); });
        // dpkg's run, which lets the waiting builder end, whatever the checks find.
        struct DpkgRuns {
            QByteArray status;
            ~DpkgRuns() { ::utimensat(AT_FDCWD, status.constData(), nullptr, 0); }
        } dpkgRuns{QFile::encodeName(status)};
        // Whichever lock the waiting builder holds.
        QTRY_VERIFY_WITH_TIMEOUT(
            held(store + "/builder-waits.lock") || held(store + "/builder.lock"), 30'000);

        BuilderOptions now = o;
        now.wait = false;
        auto built = std::async(std::launch::async, [now] { return runBuilder(now); });
        QVERIFY2(built.wait_for(std::chrono::seconds(60)) == std::future_status::ready,
                 "build --now waited for the builder that waits for dpkg");
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(status).constData(), nullptr, 0), 0);
        QCOMPARE(built.get(), 0);
        QVERIFY(waiting.wait_for(std::chrono::seconds(60)) == std::future_status::ready);
        QCOMPARE(waiting.get(), 0);
        QVERIFY(!QFileInfo::exists(staged));
    }
};

QTEST_GUILESS_MAIN(TestBuilder)
#include "test_builder.moc"
