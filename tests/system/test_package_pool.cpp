// The pool of replaced packages as an ordinary user, with stand-ins for dpkg-deb and
// dpkg-repack: which installed version is kept, and by which way.
#include "system/debian/PackagePool.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace vigilorn;
using namespace vigilorn::sys;

class TestPackagePool : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString path(const QString& name) const { return dir.filePath(name); }
    void write(const QString& name, const QByteArray& data, bool executable = false) {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(data), data.size());
        f.close();
        if (executable)
            QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

private slots:
    void init() {
        for (const char* d : {"pool", "archives", "repack"}) {
            QDir(path(d)).removeRecursively();
            QVERIFY(QDir().mkpath(path(d)));
        }
        // What a .deb of these stand-ins holds is what dpkg-deb --show says of it.
        write("dpkg-deb", "#!/bin/sh\ncat \"$3\"\n", true);
        write("dpkg-repack",
              "#!/bin/sh\n[ -f '" + QFile::encodeName(path("repack")) +
                  "'/\"$3\" ] || exit 1\ncp '" + QFile::encodeName(path("repack")) +
                  "'/\"$3\" built.deb\n",
              true);
    }

    void keep_data() {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<int>("kib");
        QTest::addColumn<QString>("source"); // cached, repack, pool, or nothing
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("kept");
        const QByteArray ok = "install ok installed";
        QTest::newRow("APT's copy") << ok << 10 << "cached"
                                    << "cached" << true;
        QTest::newRow("rebuilt") << ok << 10 << "repack"
                                 << "rebuilt" << true;
        QTest::newRow("held, rebuilt") << QByteArray("hold ok installed") << 10 << "repack"
                                       << "rebuilt" << true;
        QTest::newRow("kept before") << ok << 10 << "pool"
                                     << "already-kept" << true;
        QTest::newRow("too large to rebuild") << ok << 300 * 1024 << "repack"
                                              << "too-large" << false;
        QTest::newRow("rebuild fails") << ok << 10 << ""
                                       << "rebuild-failed" << false;
        // Not there, whatever the word ends with.
        QTest::newRow("half-installed") << QByteArray("install ok half-installed") << 10 << "repack"
                                        << "not-installed" << false;
        QTest::newRow("not-installed") << QByteArray("install ok not-installed") << 10 << "repack"
                                       << "not-installed" << false;
        QTest::newRow("config-files") << QByteArray("deinstall ok config-files") << 10 << "repack"
                                      << "not-installed" << false;
    }
    void keep() {
        QFETCH(QByteArray, status);
        QFETCH(int, kib);
        QFETCH(QString, source);
        QFETCH(QString, how);
        QFETCH(bool, kept);
        const QByteArray deb = "probe\t1:1.0-1\tamd64\n";
        const QString file = QString::fromStdString(poolFileName("probe", "1:1.0-1", "amd64"));
        QCOMPARE(file, QStringLiteral("probe_1%3a1.0-1_amd64.deb"));
        if (source == "cached")
            write("archives/" + file, deb);
        else if (source == "pool")
            write("pool/" + file, deb);
        else if (source == "repack")
            write("repack/probe:amd64", deb);

        PoolOptions o;
        o.archives = path("archives").toStdString();
        o.dpkgDeb = path("dpkg-deb").toStdString();
        o.repack = path("dpkg-repack").toStdString();
        o.owner = ::geteuid();
        posix::Fd folder(::open(QFile::encodeName(path("pool")).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        QVERIFY(folder.valid());
        PackagePool pool(std::move(folder), path("pool").toStdString(), o);
        const std::string text = "Package: other\nStatus: install ok installed\nVersion: 1\n"
                                 "Architecture: amd64\n\n"
                                 "Package: probe\nStatus: " +
                                 status.toStdString() +
                                 "\nVersion: 1:1.0-1\nArchitecture: amd64\n"
                                 "Installed-Size: " +
                                 std::to_string(kib) + "\nDescription: a probe\n more of it\n";
        const auto notes = pool.keep({{"probe", "1:1.0-1", "2.0-1", ActionKind::Upgrade}}, text);
        QCOMPARE(notes.size(), std::size_t(1));
        QCOMPARE(QString::fromStdString(notes[0].how), how);
        QCOMPARE(notes[0].kept, kept);
        QCOMPARE(pool.find("probe", "1:1.0-1", "amd64").has_value(), kept);
        if (kept)
            QCOMPARE(QFile(path("pool/" + file)).size(), qint64(deb.size()));
        // Nothing of the work is left behind.
        QCOMPARE(
            QDir(path("pool")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            kept ? QStringList{file} : QStringList{});
    }

    // A kept file stays while a point names it.
    void retain() {
        write("pool/a_1_amd64.deb", "x");
        write("pool/b_1_amd64.deb", "x");
        write("pool/notes.txt", "x");
        posix::Fd folder(::open(QFile::encodeName(path("pool")).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        PoolOptions o;
        o.owner = ::geteuid();
        PackagePool pool(std::move(folder), path("pool").toStdString(), o);
        std::set<std::string> wanted;
        poolNamesOfList("a\tamd64\t1\tinstall ok installed\n", wanted);
        QCOMPARE(pool.retain(wanted), std::size_t(1));
        QCOMPARE(QDir(path("pool")).entryList(QDir::Files),
                 (QStringList{"a_1_amd64.deb", "notes.txt"}));
    }
};

QTEST_GUILESS_MAIN(TestPackagePool)
#include "test_package_pool.moc"
