// A store planted by someone else cannot make the root side's restore write outside the /etc
// it restores, nor take a name that climbs out of it.
#include "system/EtcRestore.h"
#include "system/StoredPoint.h"
#include "system/SystemRestore.h"

#include <git2.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace vigilorn::sys;

namespace {

struct Entry {
    QByteArray mode; // "40000", "100644", "120000"
    QByteArray name;
    git_oid id;
};

git_oid write(git_odb* odb, const QByteArray& data, git_object_t type) {
    git_oid id;
    if (git_odb_write(&id, odb, data.constData(), data.size(), type) < 0)
        qFatal("could not write an object");
    return id;
}

// A raw tree, names as given: libgit2's tree builder would refuse the planted ones.
git_oid tree(git_odb* odb, std::vector<Entry> entries) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return (a.mode == "40000" ? a.name + '/' : a.name) <
               (b.mode == "40000" ? b.name + '/' : b.name);
    });
    QByteArray data;
    for (const auto& e : entries)
        data += e.mode + ' ' + e.name + '\0' +
                QByteArray(reinterpret_cast<const char*>(e.id.id), GIT_OID_RAWSZ);
    return write(odb, data, GIT_OBJECT_TREE);
}

// "type path" of everything below `root`, links with their targets.
QStringList listing(const QString& root) {
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString rel = QDir(root).relativeFilePath(path);
        out << (info.isSymLink() ? "link " + rel + " -> " + info.symLinkTarget()
                : info.isDir()   ? "dir " + rel
                                 : "file " + rel);
    }
    out.sort();
    return out;
}

} // namespace

class TestRestoreAttacks : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { git_libgit2_init(); }
    void cleanupTestCase() { git_libgit2_shutdown(); }

    // From the caller, root takes only a point number, and only a plain one in bounds.
    void pointNumber_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<qulonglong>("number"); // 0: refused
        QTest::newRow("plain") << QStringList{"restore", "--point", "12"} << 12ull;
        QTest::newRow("the bound")
            << QStringList{"restore", "--point", "1000000000000"} << 1000000000000ull;
        QTest::newRow("past the bound")
            << QStringList{"restore", "--point", "1000000000001"} << 0ull;
        QTest::newRow("zero") << QStringList{"restore", "--point", "0"} << 0ull;
        QTest::newRow("leading zero") << QStringList{"restore", "--point", "012"} << 0ull;
        QTest::newRow("signed") << QStringList{"restore", "--point", "+12"} << 0ull;
        QTest::newRow("not a number") << QStringList{"restore", "--point", "../1"} << 0ull;
        QTest::newRow("huge") << QStringList{"restore", "--point", QString(40, u'9')} << 0ull;
        QTest::newRow("more arguments")
            << QStringList{"restore", "--point", "12", "--folder", "/tmp"} << 0ull;
        QTest::newRow("no number") << QStringList{"restore", "--point"} << 0ull;
    }
    void pointNumber() {
        QFETCH(QStringList, args);
        QFETCH(qulonglong, number);
        std::vector<std::string> list;
        for (const auto& a : args)
            list.push_back(a.toStdString());
        const auto got = parseRestoreArguments(list);
        QCOMPARE(qulonglong(got.value_or(0)), number);
    }

    void planted_data() {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QStringList>("etcAfter");
        QTest::newRow("a '..' name") << "dotdot" << true << QStringList{"file keep"};
        QTest::newRow("a '.' name") << "dot" << true << QStringList{"file keep"};
        QTest::newRow("a name with a slash") << "slash" << true << QStringList{"file keep"};
        QTest::newRow("owners naming a path out of /etc")
            << "owners" << true << QStringList{"file keep"};
        QTest::newRow("/etc itself a link") << "etclink" << true << QStringList{"file keep"};
        // A link is put back as a link; a folder the owners place below it is not made
        // through it.
        QTest::newRow("a link entry")
            << "link" << false << QStringList{"file keep", "link a -> OUTSIDE"};
        // The live /etc has a link where the point has a folder: the link goes, the folder
        // comes back, nothing is written through it.
        QTest::newRow("a link in the target path")
            << "target" << false << QStringList{"dir conf.d", "file conf.d/job", "file keep"};
    }
    void planted() {
        QFETCH(QString, attack);
        QFETCH(bool, refused);
        QFETCH(QStringList, etcAfter);
        if (::geteuid() != 0)
            QSKIP("the owners of a restored /etc are set as root");
        QTemporaryDir dir;
        const QString etc = dir.filePath("etc"), outside = dir.filePath("outside");
        QVERIFY(QDir().mkpath(etc) && QDir().mkpath(outside + "/existing"));
        QFile keep(etc + "/keep");
        QVERIFY(keep.open(QIODevice::WriteOnly));
        keep.write("kept\n");
        keep.close();
        if (attack == "target")
            QVERIFY(QFile::link(outside, etc + "/conf.d"));
        const QStringList outsideBefore = listing(outside);

        git_repository* repo = nullptr;
        const QByteArray repoPath = QFile::encodeName(dir.filePath("points.git"));
        QCOMPARE(git_repository_init(&repo, repoPath.constData(), 1), 0);
        git_odb* odb = nullptr;
        QCOMPARE(git_repository_odb(&odb, repo), 0);
        const git_oid file = write(odb, "planted\n", GIT_OBJECT_BLOB);
        const git_oid kept = write(odb, "kept\n", GIT_OBJECT_BLOB);
        const git_oid evil = tree(odb, {{"100644", "evil", file}});
        QByteArray owners = "040755 0 0 etc\n100644 0 0 etc/keep\n";
        std::vector<Entry> top{{"100644", "keep", kept}};
        if (attack == "dotdot") {
            top.push_back({"40000", "..", evil});
            owners += "040755 0 0 etc/..\n";
        } else if (attack == "dot") {
            top.push_back({"40000", ".", evil});
        } else if (attack == "slash") {
            top.push_back({"100644", "../outside/evil", file});
        } else if (attack == "owners") {
            owners += "100644 0 0 etc/../outside/evil\n";
        } else if (attack == "link") {
            top.push_back({"120000", "a", write(odb, QFile::encodeName(outside), GIT_OBJECT_BLOB)});
            owners += "120777 0 0 etc/a\n040755 0 0 etc/a/sub\n";
        } else if (attack == "target") {
            top.push_back({"40000", "conf.d", tree(odb, {{"100644", "job", file}})});
            owners += "040755 0 0 etc/conf.d\n100644 0 0 etc/conf.d/job\n";
        }
        const git_oid etcTree = tree(odb, top);
        std::vector<Entry> root{
            {"40000", "packages", tree(odb, {{"100644", "dpkg", write(odb, "", GIT_OBJECT_BLOB)}})},
            {"100644", "etc-owners.txt", write(odb, owners, GIT_OBJECT_BLOB)}};
        if (attack == "etclink")
            root.push_back({"120000", "etc", write(odb, "/root", GIT_OBJECT_BLOB)});
        else
            root.push_back({"40000", "etc", etcTree});
        const git_oid rootTree = tree(odb, root);
        char hex[GIT_OID_HEXSZ + 1];
        git_oid_tostr(hex, sizeof hex, &rootTree);
        const QByteArray commit = QByteArray("tree ") + hex +
                                  "\nauthor a <a@b> 1 +0000\ncommitter a <a@b> 1 +0000\n\n"
                                  "planted\n\nRestore-Point-Type: 12\nEvent-Type: 100\n"
                                  "Sequence-Number: 1\nStore-Layout: 2\n";
        const git_oid commitId = write(odb, commit, GIT_OBJECT_COMMIT);
        git_reference* ref = nullptr;
        QCOMPARE(git_reference_create(&ref, repo, "refs/heads/restore-points", &commitId, 1, "t"),
                 0);
        git_reference_free(ref);
        git_odb_free(odb);
        git_repository_free(repo);

        StoredPoint point;
        const vigilorn::Failure f = readStoredPoint(repoPath.toStdString(), 1, 1 << 20, point);
        QCOMPARE(bool(f), refused);
        if (!f) {
            QStringList warnings;
            restoreEtc(QFile::encodeName(etc).toStdString(), point,
                       [&](const std::string& w) { warnings << QString::fromStdString(w); });
            qInfo() << warnings;
        }
        QCOMPARE(listing(outside), outsideBefore);
        QCOMPARE(listing(etc).replaceInStrings(outside, "OUTSIDE"), etcAfter);
        QVERIFY(!QFile::exists(dir.filePath("evil")));
    }
};

QTEST_GUILESS_MAIN(TestRestoreAttacks)
#include "test_restore_attacks.moc"
