// The built-in store against temporary folders, checked with the git command-line program
// so that what is stored is seen independently of the code that stored it.
#include "platform/linux/BuiltinStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vigilorn;

namespace {

bool writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestBuiltinStore : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void createAndList();
    void missingStoreListsNothingAndCreatesNothing();
    void numbersCountFromOneAcrossReopen();
    void foreignCommitsAreNotListed();
    void descriptionsAreStoredVerbatim();
    void storesRegularFilesAndLinksOnly();
    void fileSizeBound();
    void ignoresGitIgnoreAndAttributes();
    void laterPointsFollowChanges();
    void skipsDataFolderInsideConfigFolder();
    void storeIsPrivate();
    void failedCommitLeavesStoreAsItWas_data();
    void failedCommitLeavesStoreAsItWas();
    void noRoomLeavesStoreAsItWas();
    void damagedStoreFails_data();
    void damagedStoreFails();
    void missingConfigFolderFails();

private:
    BuiltinStore::Options options() const {
        return BuiltinStore::optionsFor(PlatformConfig{"QMVigilornApp", ""});
    }
    QString repo() const { return m_dir->path() + "/data/QMVigilornApp/restore-points.git"; }
    QString config() const { return m_dir->path() + "/config"; }
    // Runs git on the store; fails the test when git does.
    QByteArray git(const QStringList& args, int* exitCode = nullptr);
    QStringList headFiles(const QString& rev = "HEAD");
    std::vector<RestorePointRecord> list(BuiltinStore& store);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestBuiltinStore::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->path() + "/data"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config()));
    QVERIFY(QDir().mkpath(config()));
    QVERIFY(writeFile(config() + "/app/settings.ini", "[General]\nkey=value\n"));
}

void TestBuiltinStore::cleanup() {
    // A test may leave read-only folders behind; let QTemporaryDir remove them.
    QProcess::execute("chmod", {"-R", "u+rwX", m_dir->path()});
    m_dir.reset();
}

QByteArray TestBuiltinStore::git(const QStringList& args, int* exitCode) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("GIT_CONFIG_NOSYSTEM", "1");
    env.insert("GIT_CONFIG_GLOBAL", "/dev/null");
    p.setProcessEnvironment(env);
    p.start("git", QStringList{"--git-dir=" + repo()} + args);
    if (!p.waitForFinished(30000))
        qWarning("git did not finish");
    if (exitCode)
        *exitCode = p.exitCode();
    else if (p.exitCode() != 0)
        qWarning("git %s: %s", qPrintable(args.join(' ')), p.readAllStandardError().constData());
    return p.readAllStandardOutput();
}

QStringList TestBuiltinStore::headFiles(const QString& rev) {
    QStringList files;
    for (const QByteArray& entry : git({"ls-tree", "-r", "-z", "--name-only", rev}).split('\0'))
        if (!entry.isEmpty())
            files << QString::fromUtf8(entry);
    files.sort();
    return files;
}

std::vector<RestorePointRecord> TestBuiltinStore::list(BuiltinStore& store) {
    std::vector<RestorePointRecord> out;
    const Failure f = store.listRestorePoints(out);
    if (f)
        qWarning("list failed: %d %s", f->number, f->description.c_str());
    return out;
}

void TestBuiltinStore::createAndList() {
    BuiltinStore store(options());
    QVERIFY(QString::fromStdString(store.displayName()).startsWith("built-in store in "));
    QVERIFY(
        QString::fromStdString(store.displayName()).endsWith("/QMVigilornApp/restore-points.git"));
    QVERIFY(!store.createRestorePoint("first", 12, 100));
    QVERIFY(!store.createRestorePoint("second", 12, 100));
    const auto points = list(store);
    QCOMPARE(points.size(), std::size_t(2));
    QCOMPARE(points[0].SequenceNumber, std::string("1"));
    QCOMPARE(points[0].Description, std::string("first"));
    QCOMPARE(points[1].SequenceNumber, std::string("2"));
    QCOMPARE(points[1].Description, std::string("second"));

    const QString time = QString::fromStdString(points[1].creationtime);
    QVERIFY2(QRegularExpression("^\\d{14}\\.000000\\+000$").match(time).hasMatch(),
             qPrintable(time));
    const QDateTime made = QDateTime::fromString(time.left(14), "yyyyMMddHHmmss");
    QVERIFY(made.isValid());
    QDateTime madeUtc = made;
    madeUtc.setTimeSpec(Qt::UTC);
    QVERIFY(qAbs(madeUtc.secsTo(QDateTime::currentDateTimeUtc())) < 60);

    // The trailers and the captured file, as git itself sees them.
    const QByteArray message = git({"log", "-1", "--format=%B"});
    QVERIFY(message.contains("\nRestore-Point-Type: 12\n"));
    QVERIFY(message.contains("\nEvent-Type: 100\n"));
    QVERIFY(message.contains("\nSequence-Number: 2\n"));
    QCOMPARE(git({"show", "HEAD:app/settings.ini"}), QByteArray("[General]\nkey=value\n"));
    int rc = -1;
    git({"fsck", "--strict"}, &rc);
    QCOMPARE(rc, 0);
}

void TestBuiltinStore::missingStoreListsNothingAndCreatesNothing() {
    BuiltinStore store(options());
    std::vector<RestorePointRecord> out{{"1", "stale", "x"}};
    QVERIFY(!store.listRestorePoints(out));
    QVERIFY(out.empty());
    QVERIFY(!QFileInfo::exists(repo()));
}

void TestBuiltinStore::numbersCountFromOneAcrossReopen() {
    {
        BuiltinStore store(options());
        for (int i = 0; i < 3; ++i)
            QVERIFY(!store.createRestorePoint("p", 12, 100));
    }
    BuiltinStore reopened(options());
    QVERIFY(!reopened.createRestorePoint("after reopen", 12, 100));
    const auto points = list(reopened);
    QCOMPARE(points.size(), std::size_t(4));
    for (std::size_t i = 0; i < points.size(); ++i)
        QCOMPARE(points[i].SequenceNumber, std::to_string(i + 1));
    QCOMPARE(points[3].Description, std::string("after reopen"));
}

void TestBuiltinStore::foreignCommitsAreNotListed() {
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("ours", 12, 100));
    // Someone commits on top by hand; its message looks almost like ours.
    const QByteArray tree = git({"rev-parse", "HEAD^{tree}"}).trimmed();
    const QByteArray head = git({"rev-parse", "HEAD"}).trimmed();
    const QByteArray foreign =
        git({"-c", "user.name=x", "-c", "user.email=x@y", "commit-tree", QString::fromLatin1(tree),
             "-p", QString::fromLatin1(head), "-m", "by hand\n\nSequence-Number: 50"})
            .trimmed();
    git({"update-ref", "HEAD", QString::fromLatin1(foreign)});
    QVERIFY(!store.createRestorePoint("ours again", 12, 100));
    const auto points = list(store);
    QCOMPARE(points.size(), std::size_t(2));
    QCOMPARE(points[1].SequenceNumber, std::string("2"));
    QCOMPARE(points[1].Description, std::string("ours again"));
}

void TestBuiltinStore::descriptionsAreStoredVerbatim() {
    const std::vector<std::string> descriptions = {
        "   ",
        "",
        "say \"hello\" and 'bye'",
        "$HOME ${PATH} $(rm -rf /) `id`",
        "line one\nline two\r\nline three",
        "\n\nleading and trailing newlines\n\n",
        "tab\there\t",
        "Grüße, 日本語, emoji 🙂",
        std::string(256, 'x'),
        "looks like ours\n\nRestore-Point-Type: 1\nEvent-Type: 2\nSequence-Number: 99\n",
        "a : b : c",
    };
    BuiltinStore store(options());
    for (const auto& d : descriptions)
        QVERIFY(!store.createRestorePoint(d, 12, 100));
    const auto points = list(store);
    QCOMPARE(points.size(), descriptions.size());
    for (std::size_t i = 0; i < descriptions.size(); ++i) {
        QCOMPARE(points[i].Description, descriptions[i]);
        QCOMPARE(points[i].SequenceNumber, std::to_string(i + 1));
    }
    // Text that C strings can't carry is refused rather than cut short.
    QVERIFY(store.createRestorePoint(std::string("cut\0here", 8), 12, 100));
    QCOMPARE(list(store).size(), descriptions.size());
}

void TestBuiltinStore::storesRegularFilesAndLinksOnly() {
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.path() + "/secret", "outside the folder"));
    QVERIFY(writeFile(config() + "/nested/.git/config", "[core]\n"));
    QVERIFY(writeFile(config() + "/nested/.git/HEAD", "ref: refs/heads/main\n"));
    QVERIFY(QDir().mkpath(config() + "/nested/.git/objects"));
    QVERIFY(QDir().mkpath(config() + "/nested/.git/refs"));
    QVERIFY(writeFile(config() + "/nested/tracked.txt", "in a repository of its own"));
    QVERIFY(writeFile(config() + "/plain/.git", "gitdir: /nowhere\n")); // a worktree's link file
    QVERIFY(writeFile(config() + "/plain/kept.txt", "kept"));
    QVERIFY(QFile::link(outside.path() + "/secret", config() + "/link-to-file"));
    QVERIFY(QFile::link(outside.path(), config() + "/link-to-folder"));
    QVERIFY(QFile::link("app/settings.ini", config() + "/relative-link"));
    QVERIFY(::mkfifo(QFile::encodeName(config() + "/fifo").constData(), 0600) == 0);

    const QByteArray socketPath = QFile::encodeName(config() + "/socket");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(sock >= 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    QVERIFY(std::size_t(socketPath.size()) < sizeof addr.sun_path);
    std::memcpy(addr.sun_path, socketPath.constData(), socketPath.size());
    QCOMPARE(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    BuiltinStore store(options());
    const Failure f = store.createRestorePoint("kinds", 12, 100);
    ::close(sock);
    QVERIFY2(!f, f ? f->description.c_str() : "");

    const QStringList files = headFiles();
    // A folder holding a repository keeps its files, never its .git.
    QCOMPARE(files, QStringList({"app/settings.ini", "link-to-file", "link-to-folder",
                                 "nested/tracked.txt", "plain/kept.txt", "relative-link"}));
    // Links are stored as links: mode 120000 and the target as their content.
    const QByteArray tree = git({"ls-tree", "HEAD", "link-to-file", "link-to-folder"});
    QCOMPARE(tree.count("120000 blob"), 2);
    QCOMPARE(git({"show", "HEAD:link-to-file"}), QFile::encodeName(outside.path() + "/secret"));
    QCOMPARE(git({"show", "HEAD:relative-link"}), QByteArray("app/settings.ini"));
}

void TestBuiltinStore::fileSizeBound() {
    auto sized = [this](const QString& name, qint64 size) {
        QFile f(config() + "/" + name);
        return f.open(QIODevice::WriteOnly) && f.resize(size);
    };
    QVERIFY(sized("at-bound.bin", BuiltinStore::kMaxFileSize));
    QVERIFY(sized("over-bound.bin", BuiltinStore::kMaxFileSize + 1));
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("sizes", 12, 100));
    QCOMPARE(headFiles(), QStringList({"app/settings.ini", "at-bound.bin"}));

    // A captured file that outgrows the bound leaves the next restore point.
    QVERIFY(sized("at-bound.bin", BuiltinStore::kMaxFileSize + 10));
    QVERIFY(!store.createRestorePoint("grown", 12, 100));
    QCOMPARE(headFiles(), QStringList({"app/settings.ini"}));
    QCOMPARE(headFiles("HEAD~1"), QStringList({"app/settings.ini", "at-bound.bin"}));
}

void TestBuiltinStore::ignoresGitIgnoreAndAttributes() {
    QVERIFY(writeFile(config() + "/.gitignore", "*\n"));
    QVERIFY(writeFile(config() + "/.gitattributes", "* text eol=crlf ident\n"));
    QVERIFY(writeFile(config() + "/ignored.conf", "a\nb\n$Id$\n"));
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("ignore", 12, 100));
    QCOMPARE(headFiles(),
             QStringList({".gitattributes", ".gitignore", "app/settings.ini", "ignored.conf"}));
    QCOMPARE(git({"cat-file", "blob", "HEAD:ignored.conf"}), QByteArray("a\nb\n$Id$\n"));
}

void TestBuiltinStore::laterPointsFollowChanges() {
    QVERIFY(writeFile(config() + "/gone.txt", "soon deleted"));
    QVERIFY(writeFile(config() + "/dots/.git/HEAD", "ref: refs/heads/main\n"));
    QVERIFY(QDir().mkpath(config() + "/dots/.git/objects"));
    QVERIFY(QDir().mkpath(config() + "/dots/.git/refs"));
    QVERIFY(writeFile(config() + "/dots/gone-too.txt", "soon deleted"));
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("one", 12, 100));
    QVERIFY(QFile::remove(config() + "/gone.txt"));
    QVERIFY(QFile::remove(config() + "/dots/gone-too.txt"));
    // Same size and second as before: the stat cache must not hide the change.
    QVERIFY(writeFile(config() + "/app/settings.ini", "[General]\nkey=VALUE\n"));
    QVERIFY(writeFile(config() + "/new.txt", "new"));
    QVERIFY(!store.createRestorePoint("two", 12, 100));
    QCOMPARE(headFiles(), QStringList({"app/settings.ini", "new.txt"}));
    QCOMPARE(git({"show", "HEAD:app/settings.ini"}), QByteArray("[General]\nkey=VALUE\n"));
    QCOMPARE(git({"show", "HEAD~1:app/settings.ini"}), QByteArray("[General]\nkey=value\n"));
    QCOMPARE(headFiles("HEAD~1"),
             QStringList({"app/settings.ini", "dots/gone-too.txt", "gone.txt"}));
}

void TestBuiltinStore::skipsDataFolderInsideConfigFolder() {
    qputenv("XDG_DATA_HOME", QFile::encodeName(config() + "/share"));
    QVERIFY(writeFile(config() + "/share/other-app/data.db", "data of another program"));
    const QString inner = config() + "/share/QMVigilornApp/restore-points.git";
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("one", 12, 100));
    QVERIFY(!store.createRestorePoint("two", 12, 100));
    QVERIFY(QFileInfo(inner + "/HEAD").exists());
    QProcess p;
    p.start("git", {"--git-dir=" + inner, "ls-tree", "-r", "--name-only", "HEAD"});
    QVERIFY(p.waitForFinished());
    QCOMPARE(p.readAllStandardOutput(), QByteArray("app/settings.ini\n"));
}

void TestBuiltinStore::storeIsPrivate() {
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("private", 12, 100));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(repo()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0700));
}

void TestBuiltinStore::failedCommitLeavesStoreAsItWas_data() {
    QTest::addColumn<QString>("blocker");
    // Held by another process: the index before anything is written, the branch after the
    // tree and commit objects are.
    QTest::newRow("index.lock held") << "index.lock";
    QTest::newRow("branch lock held") << "refs/heads/restore-points.lock";
    QTest::newRow("object folder read-only") << "objects";
}

void TestBuiltinStore::failedCommitLeavesStoreAsItWas() {
    QFETCH(QString, blocker);
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("before", 12, 100));
    const QByteArray headBefore = git({"rev-parse", "HEAD"});
    QVERIFY(writeFile(config() + "/changed.txt", "a change to capture"));

    const QString path = repo() + "/" + blocker;
    const bool readOnly = blocker == "objects";
    if (readOnly) {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders");
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner));
    } else {
        QVERIFY(writeFile(path, "held by another process"));
    }

    const Failure f = store.createRestorePoint("blocked", 12, 100);
    QVERIFY(f);
    QVERIFY(f->number != 0);
    QVERIFY(!f->description.empty());
    qInfo("%s -> %d %s", qPrintable(blocker), f->number, f->description.c_str());

    auto points = list(store);
    QCOMPARE(points.size(), std::size_t(1));
    QCOMPARE(git({"rev-parse", "HEAD"}), headBefore);
    // Someone else's lock is theirs to remove; ours are gone.
    if (!readOnly)
        QCOMPARE(readFile(path), QByteArray("held by another process"));
    if (blocker != "index.lock")
        QVERIFY(!QFileInfo::exists(repo() + "/index.lock"));

    if (readOnly)
        QVERIFY(
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    else
        QVERIFY(QFile::remove(path));
    QVERIFY(!store.createRestorePoint("after", 12, 100));
    points = list(store);
    QCOMPARE(points.size(), std::size_t(2));
    QCOMPARE(points[1].SequenceNumber, std::string("2"));
    QCOMPARE(points[1].Description, std::string("after"));
    QVERIFY(headFiles().contains("changed.txt"));
    int rc = -1;
    git({"fsck", "--no-dangling"}, &rc);
    QCOMPARE(rc, 0);
}

void TestBuiltinStore::noRoomLeavesStoreAsItWas() {
    if (::geteuid() != 0)
        QSKIP("needs root to mount a small file system");
    const QString data = m_dir->path() + "/data";
    QVERIFY(QDir().mkpath(data));
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=2m", "tmpfs", data}) != 0)
        QSKIP("cannot mount tmpfs here");
    struct Unmount {
        QString path;
        ~Unmount() { QProcess::execute("umount", {path}); }
    } unmount{data};

    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("fits", 12, 100));
    // Random bytes don't compress: 3 MiB can't fit in what is left of 2 MiB.
    QFile random("/dev/urandom");
    QVERIFY(random.open(QIODevice::ReadOnly));
    QVERIFY(writeFile(config() + "/big.bin", random.read(3 * 1024 * 1024)));

    const Failure f = store.createRestorePoint("no room", 12, 100);
    QVERIFY(f);
    qInfo("no room -> %d %s", f->number, f->description.c_str());
    QCOMPARE(f->number, ENOSPC);
    auto points = list(store);
    QCOMPARE(points.size(), std::size_t(1));
    QVERIFY(!QFileInfo::exists(repo() + "/index.lock"));

    QVERIFY(QFile::remove(config() + "/big.bin"));
    QVERIFY(!store.createRestorePoint("room again", 12, 100));
    points = list(store);
    QCOMPARE(points.size(), std::size_t(2));
    QCOMPARE(points[1].SequenceNumber, std::string("2"));
    QVERIFY(!headFiles().contains("big.bin"));
}

void TestBuiltinStore::damagedStoreFails_data() {
    QTest::addColumn<QString>("damage");
    QTest::newRow("HEAD is garbage") << "head";
    QTest::newRow("last commit object is garbage") << "commit";
    QTest::newRow("branch names a missing commit") << "ref";
    QTest::newRow("store is a plain file") << "file";
    QTest::newRow("objects folder missing") << "objects";
}

void TestBuiltinStore::damagedStoreFails() {
    QFETCH(QString, damage);
    {
        BuiltinStore store(options());
        QVERIFY(!store.createRestorePoint("one", 12, 100));
        QVERIFY(!store.createRestorePoint("two", 12, 100));
    }
    if (damage == "head") {
        QVERIFY(writeFile(repo() + "/HEAD", "\x01\x02 not a ref\n"));
    } else if (damage == "commit") {
        const QString id = QString::fromLatin1(git({"rev-parse", "HEAD"}).trimmed());
        const QString object = repo() + "/objects/" + id.left(2) + "/" + id.mid(2);
        QVERIFY(QFile::setPermissions(object, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeFile(object, "this is not zlib data"));
    } else if (damage == "ref") {
        QVERIFY(writeFile(repo() + "/refs/heads/restore-points",
                          "0123456789012345678901234567890123456789\n"));
    } else if (damage == "file") {
        QVERIFY(QDir(repo()).removeRecursively());
        QVERIFY(writeFile(repo(), "not a repository"));
    } else if (damage == "objects") {
        QVERIFY(QDir(repo() + "/objects").removeRecursively());
    }
    const QByteArray headFile = readFile(repo() + "/HEAD");
    const QByteArray branchFile = readFile(repo() + "/refs/heads/restore-points");

    BuiltinStore store(options());
    const Failure created = store.createRestorePoint("three", 12, 100);
    QVERIFY(created);
    QVERIFY(!created->description.empty());
    qInfo("create: %d %s", created->number, created->description.c_str());
    std::vector<RestorePointRecord> out;
    const Failure listed = store.listRestorePoints(out);
    QVERIFY(listed);
    QVERIFY(!listed->description.empty());
    qInfo("list: %d %s", listed->number, listed->description.c_str());
    QCOMPARE(readFile(repo() + "/HEAD"), headFile);
    QCOMPARE(readFile(repo() + "/refs/heads/restore-points"), branchFile);
}

void TestBuiltinStore::missingConfigFolderFails() {
    QVERIFY(QDir(config()).removeRecursively());
    BuiltinStore store(options());
    const Failure f = store.createRestorePoint("nothing to capture", 12, 100);
    QVERIFY(f);
    QCOMPARE(f->number, ENOENT);
    std::vector<RestorePointRecord> out;
    QVERIFY(!store.listRestorePoints(out));
    QVERIFY(out.empty());
}

QTEST_GUILESS_MAIN(TestBuiltinStore)
#include "tst_builtinstore.moc"
