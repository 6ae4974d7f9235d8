// The built-in store against temporary folders, checked with the git command-line program
// so that what is stored is seen independently of the code that stored it.
#include "store/BuiltinStore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>

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

bool makeFifo(const QByteArray& path) {
    return ::mkfifo(path.constData(), 0600) == 0;
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
    void configurationPartsTakeTheSystemPointsNumbers();
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
    void missingConfigFolderIsLeftOut();
    void pointHoldsThreeParts();
    void dpkgStatusForms_data();
    void dpkgStatusForms();
    void leftOutWithReason_data();
    void leftOutWithReason();
    void namesAndLinksKeptExactly();
    void changingFilesNeverBlock_data();
    void changingFilesNeverBlock();
    void concurrentProcessesNeverShareANumber();
    void damagedObjectHidesNothingElse_data();
    void damagedObjectHidesNothingElse();
    void retentionKeepsNewest();
    void changedFileIsReadAgainDespiteOldTimes();
    void storeIsPrivateWhoeverMadeIt_data();
    void storeIsPrivateWhoeverMadeIt();
    void leftoverTemporaryObjectsGo();
    void objectCutShortIsWrittenAgain_data();
    void objectCutShortIsWrittenAgain();

private:
    BuiltinStore::Options options() const {
        BuiltinStore::Options o = builtinStoreOptions(PlatformConfig{"QMVigilornApp", "", 50, {}});
        o.etc = etc().toStdString();
        o.dpkgStatus = (m_dir->path() + "/status").toStdString();
        o.flatpakSystem = (m_dir->path() + "/flatpak").toStdString();
        return o;
    }
    QString etc() const { return m_dir->path() + "/etc"; }
    QString repo() const { return m_dir->path() + "/data/QMVigilornApp/restore-points.git"; }
    QString config() const { return m_dir->path() + "/config"; }
    // Runs git on the store; fails the test when git does.
    QByteArray git(const QStringList& args, int* exitCode = nullptr);
    // The captured configuration files, without their config/ prefix.
    QStringList headFiles(const QString& rev = "HEAD");
    QStringList allFiles(const QString& rev = "HEAD");
    QByteArray leftOut(const QString& rev = "HEAD") { return git({"show", rev + ":left-out.txt"}); }
    void fsckClean();
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
    QVERIFY(writeFile(etc() + "/hostname", "box\n"));
    QVERIFY(writeFile(m_dir->path() + "/status",
                      "Package: zlib1g\nStatus: install ok installed\nArchitecture: amd64\n"
                      "Version: 1:1.2.13\n"));
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

QStringList TestBuiltinStore::allFiles(const QString& rev) {
    QStringList files;
    for (const QByteArray& entry : git({"ls-tree", "-r", "-z", "--name-only", rev}).split('\0'))
        if (!entry.isEmpty())
            files << QString::fromUtf8(entry);
    files.sort();
    return files;
}

QStringList TestBuiltinStore::headFiles(const QString& rev) {
    QStringList files;
    for (const QString& f : allFiles(rev))
        if (f.startsWith("config/"))
            files << f.mid(7);
    return files;
}

void TestBuiltinStore::fsckClean() {
    int rc = -1;
    const QByteArray out = git({"fsck", "--strict", "--no-dangling"}, &rc);
    QVERIFY2(rc == 0, out.constData());
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
    QVERIFY(message.contains("\nStore-Layout: 2\n"));
    QCOMPARE(git({"show", "HEAD:config/app/settings.ini"}), QByteArray("[General]\nkey=value\n"));
    fsckClean();
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

// The configuration part of a system point is stored under the root side's number, in a store
// apart from the user's own points, and holds the configuration folder alone.
void TestBuiltinStore::configurationPartsTakeTheSystemPointsNumbers() {
    BuiltinStore own(options());
    QVERIFY(!own.createRestorePoint("the user's own", 12, 100));
    const BuiltinStore::Options o =
        configurationPartOptions(PlatformConfig{"QMVigilornApp", "", 50, {}});
    QVERIFY(o.repository != options().repository);
    BuiltinStore parts(o);
    QVERIFY(!parts.createNumberedRestorePoint("QMAutoResPnt", 12, 100, 5, {}));
    QVERIFY(!parts.createNumberedRestorePoint("Before restoring P5", 12, 100, 9, "5"));
    auto numbers = [&](BuiltinStore& store) {
        std::vector<std::string> out;
        for (const auto& p : list(store))
            out.push_back(p.SequenceNumber + " " + p.Description);
        return out;
    };
    QCOMPARE(numbers(parts), (std::vector<std::string>{"5 QMAutoResPnt", "9 Before restoring P5"}));
    // A lower number than the newest: the root side's store began again, and what this store
    // held under 9 and above belongs to none of its points.
    QVERIFY(!parts.createNumberedRestorePoint("window", 12, 100, 7, {}));
    QCOMPARE(numbers(parts), (std::vector<std::string>{"5 QMAutoResPnt", "7 window"}));
    // The user's own points are another store's and keep their numbers.
    QCOMPARE(numbers(own), std::vector<std::string>{"1 the user's own"});
    QVERIFY(!own.createRestorePoint("next", 12, 100));
    QCOMPARE(list(own).back().SequenceNumber, std::string("2"));
    QVERIFY(parts.createNumberedRestorePoint("zero", 12, 100, 0, {}));

    QProcess p;
    p.start("git", {"--git-dir=" + QString::fromStdString(o.repository), "ls-tree", "-r",
                    "--name-only", "HEAD"});
    QVERIFY(p.waitForFinished());
    const QStringList files = QString::fromUtf8(p.readAllStandardOutput()).split('\n');
    QVERIFY2(files.contains("config/app/settings.ini"), qPrintable(files.join(' ')));
    for (const QString& f : files)
        QVERIFY2(!f.startsWith("etc/") && !f.startsWith("packages/"), qPrintable(f));
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
    const QByteArray tree =
        git({"ls-tree", "HEAD", "config/link-to-file", "config/link-to-folder"});
    QCOMPARE(tree.count("120000 blob"), 2);
    QCOMPARE(git({"show", "HEAD:config/link-to-file"}),
             QFile::encodeName(outside.path() + "/secret"));
    QCOMPARE(git({"show", "HEAD:config/relative-link"}), QByteArray("app/settings.ini"));
    QCOMPARE(leftOut(), QByteArray("special\tconfig/fifo\nspecial\tconfig/socket\n"));
    QCOMPARE(store.leftOutOfNewest(), std::size_t(2));
    fsckClean();
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
    QCOMPARE(leftOut(), QByteArray("too-large\tconfig/over-bound.bin\n"));

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
    QCOMPARE(git({"cat-file", "blob", "HEAD:config/ignored.conf"}), QByteArray("a\nb\n$Id$\n"));
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
    QCOMPARE(git({"show", "HEAD:config/app/settings.ini"}), QByteArray("[General]\nkey=VALUE\n"));
    QCOMPARE(git({"show", "HEAD~1:config/app/settings.ini"}), QByteArray("[General]\nkey=value\n"));
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
    p.start("git", {"--git-dir=" + inner, "ls-tree", "-r", "--name-only", "HEAD", "config"});
    QVERIFY(p.waitForFinished());
    QCOMPARE(p.readAllStandardOutput(), QByteArray("config/app/settings.ini\n"));
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
    // Held by another process: the store's lock before anything is written, the branch after
    // the tree and commit objects are.
    QTest::newRow("store lock held") << "vigilorn.lock";
    QTest::newRow("branch lock held") << "refs/heads/restore-points.lock";
    QTest::newRow("object folder read-only") << "objects";
}

void TestBuiltinStore::failedCommitLeavesStoreAsItWas() {
    QFETCH(QString, blocker);
    BuiltinStore::Options o = options();
    o.lockWaitSeconds = 1;
    BuiltinStore store(o);
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
    QFile held(path);
    if (blocker == "vigilorn.lock") {
        QVERIFY(held.open(QIODevice::ReadOnly));
        QCOMPARE(::flock(held.handle(), LOCK_EX | LOCK_NB), 0);
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

    held.close();
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
    fsckClean();
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

void TestBuiltinStore::missingConfigFolderIsLeftOut() {
    QVERIFY(QDir(config()).removeRecursively());
    BuiltinStore store(options());
    // The package set and /etc are still worth a point.
    QVERIFY(!store.createRestorePoint("no configuration folder", 12, 100));
    QCOMPARE(leftOut(), QByteArray("vanished\tconfig\n"));
    QVERIFY(allFiles().contains("etc/hostname"));
    QCOMPARE(list(store).size(), std::size_t(1));
    fsckClean();
}

void TestBuiltinStore::pointHoldsThreeParts() {
    QVERIFY(writeFile(etc() + "/sub/run.sh", "#!/bin/sh\n"));
    QVERIFY(QFile::setPermissions(etc() + "/sub/run.sh",
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QFile::link("/", etc() + "/root-link"));
    const QString flatpak = m_dir->path() + "/flatpak";
    QVERIFY(QDir().mkpath(flatpak + "/app/org.example.App/x86_64/stable"));
    QVERIFY(QFile::link("6f1e", flatpak + "/app/org.example.App/x86_64/stable/active"));
    QVERIFY(QDir().mkpath(flatpak + "/runtime/org.example.Platform/x86_64/23.08"));
    QVERIFY(QFile::link("a1b2", flatpak + "/runtime/org.example.Platform/x86_64/23.08/active"));
    QVERIFY(QDir().mkpath(flatpak + "/app/org.example.Gone/x86_64/stable")); // not deployed
    QVERIFY(QDir().mkpath(m_dir->path() + "/data/flatpak"));                 // empty, user

    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("three parts", 12, 100));
    QCOMPARE(allFiles(), QStringList({"config/app/settings.ini", "etc/hostname", "etc/root-link",
                                      "etc/sub/run.sh", "left-out.txt", "packages/dpkg",
                                      "packages/flatpak-system", "packages/flatpak-user"}));
    QCOMPARE(git({"show", "HEAD:packages/dpkg"}),
             QByteArray("zlib1g\tamd64\t1:1.2.13\tinstall ok installed\n"));
    QCOMPARE(git({"show", "HEAD:packages/flatpak-system"}),
             QByteArray("app/org.example.App/x86_64/stable\t6f1e\n"
                        "runtime/org.example.Platform/x86_64/23.08\ta1b2\n"));
    QCOMPARE(git({"show", "HEAD:packages/flatpak-user"}), QByteArray());
    QCOMPARE(git({"show", "HEAD:etc/root-link"}), QByteArray("/"));
    QVERIFY(git({"ls-tree", "HEAD", "etc/sub/run.sh"}).startsWith("100755 blob"));
    QVERIFY(git({"ls-tree", "HEAD", "etc/root-link"}).startsWith("120000 blob"));
    QCOMPARE(leftOut(), QByteArray());
    QCOMPARE(store.leftOutOfNewest(), std::size_t(0));
    fsckClean();
}

void TestBuiltinStore::dpkgStatusForms_data() {
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("sorted by name, then architecture")
        << QByteArray("Package: b\nArchitecture: all\nVersion: 2\nStatus: install ok installed\n\n"
                      "Package: a\nArchitecture: i386\nVersion: 1\nStatus: deinstall ok "
                      "config-files\n\n"
                      "Package: a\nArchitecture: amd64\nVersion: 1\nStatus: install ok "
                      "installed\n")
        << QByteArray("a\tamd64\t1\tinstall ok installed\n"
                      "a\ti386\t1\tdeinstall ok config-files\n"
                      "b\tall\t2\tinstall ok installed\n");
    QTest::newRow("continuation lines and field case")
        << QByteArray("package: x\nDescription: short\n Version: not a field\n .\nversion: "
                      "3.1\nSTATUS: install ok unpacked\n")
        << QByteArray("x\t\t3.1\tinstall ok unpacked\n");
    QTest::newRow("blank lines with spaces, no final newline")
        << QByteArray("\n\nPackage: p\n \t \nPackage: q\nVersion: 9")
        << QByteArray("p\t\t\t\nq\t\t9\t\n");
    QTest::newRow("empty status") << QByteArray() << QByteArray();
}

void TestBuiltinStore::dpkgStatusForms() {
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, expected);
    QVERIFY(writeFile(m_dir->path() + "/status", status));
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("packages", 12, 100));
    QCOMPARE(git({"show", "HEAD:packages/dpkg"}), expected);
    // A machine without dpkg has an empty list, not a failed point.
    QVERIFY(QFile::remove(m_dir->path() + "/status"));
    QVERIFY(!store.createRestorePoint("no dpkg", 12, 100));
    QCOMPARE(git({"show", "HEAD:packages/dpkg"}), QByteArray());
}

void TestBuiltinStore::leftOutWithReason_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("unprivileged");
    QByteArray deep = "config/deep";
    for (int i = 1; i <= BuiltinStore::kMaxDepth; ++i)
        deep += "/d";
    QTest::newRow("unreadable file")
        << "file" << QByteArray("unreadable\tconfig/app/secret\n") << true;
    QTest::newRow("unreadable folder")
        << "folder" << QByteArray("unreadable\tconfig/private\n") << true;
    QTest::newRow("unreadable file in etc")
        << "etc" << QByteArray("unreadable\tetc/shadow\n") << true;
    QTest::newRow("100-deep folder") << "deep" << QByteArray("too-deep\t" + deep + "\n") << false;
    QTest::newRow("17 MB file") << "large" << QByteArray("too-large\tconfig/big.bin\n") << false;
    QTest::newRow("FIFO") << "fifo" << QByteArray("special\tetc/initctl\n") << false;
    QTest::newRow("name that needs escaping")
        << "escaped" << QByteArray("special\tconfig/a\\tb\\\\c\\nd\n") << false;
}

void TestBuiltinStore::leftOutWithReason() {
    QFETCH(QString, kind);
    QFETCH(QByteArray, expected);
    QFETCH(bool, unprivileged);
    if (unprivileged && ::geteuid() == 0) {
        // Root reads everything: run this row again as nobody.
        QVERIFY(!qEnvironmentVariableIsSet("VIGILORN_TEST_UNPRIVILEGED"));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VIGILORN_TEST_UNPRIVILEGED", "1");
        env.insert("HOME", QDir::tempPath()); // root's own is closed to nobody
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QDir::tempPath());
        const QString tag = QString::fromUtf8(QTest::currentDataTag());
        p.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                            QCoreApplication::applicationFilePath(), "leftOutWithReason:" + tag});
        QVERIFY(p.waitForFinished(120000));
        const QByteArray out = p.readAllStandardOutput() + p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, out.constData());
        QVERIFY2(out.contains("PASS   : TestBuiltinStore::leftOutWithReason(" + tag.toUtf8() + ")"),
                 out.constData());
        return;
    }
    const QFile::Permissions none;
    if (kind == "file") {
        QVERIFY(writeFile(config() + "/app/secret", "root's"));
        QVERIFY(QFile::setPermissions(config() + "/app/secret", none));
    } else if (kind == "folder") {
        QVERIFY(writeFile(config() + "/private/inside", "hidden"));
        QVERIFY(QFile::setPermissions(config() + "/private", none));
    } else if (kind == "etc") {
        QVERIFY(writeFile(etc() + "/shadow", "root:*:1::::::\n"));
        QVERIFY(QFile::setPermissions(etc() + "/shadow", none));
    } else if (kind == "deep") {
        QString path = config() + "/deep";
        QVERIFY(writeFile(path + "/shallow.txt", "kept"));
        for (int i = 0; i < 99; ++i)
            path += "/d";
        QVERIFY(writeFile(path + "/bottom.txt", "too deep"));
    } else if (kind == "large") {
        QFile f(config() + "/big.bin");
        QVERIFY(f.open(QIODevice::WriteOnly) && f.resize(17 * 1024 * 1024));
    } else if (kind == "fifo") {
        QVERIFY(makeFifo(QFile::encodeName(etc() + "/initctl")));
    } else if (kind == "escaped") {
        QVERIFY(makeFifo(QFile::encodeName(config()) + "/a\tb\\c\nd"));
    }
    BuiltinStore store(options());
    const Failure f = store.createRestorePoint("left out", 12, 100);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QCOMPARE(leftOut(), expected);
    QCOMPARE(store.leftOutOfNewest(), std::size_t(1));
    QVERIFY(headFiles().contains("app/settings.ini"));
    QVERIFY(allFiles().contains("etc/hostname"));
    if (kind == "deep")
        QVERIFY(headFiles().contains("deep/shallow.txt"));
    QCOMPARE(list(store).size(), std::size_t(1));
    fsckClean();
}

void TestBuiltinStore::namesAndLinksKeptExactly() {
    const QByteArray dir = QFile::encodeName(config());
    const QByteArray latin1Name = "caf\xe9.conf";
    // QTemporaryDir can't remove a name it can't decode.
    struct Unlink {
        QByteArray path;
        ~Unlink() { ::unlink(path.constData()); }
    } unlink{dir + "/" + latin1Name};
    const int fd = ::open(unlink.path.constData(), O_WRONLY | O_CREAT, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "not UTF-8", 9), ssize_t(9));
    ::close(fd);
    QVERIFY(::symlink("/", (dir + "/root").constData()) == 0);
    QVERIFY(::symlink("/nowhere/at/all", (dir + "/dangling").constData()) == 0);
    QVERIFY(::symlink("loop", (dir + "/loop").constData()) == 0);
    QVERIFY(::symlink("\xff\xfe", (dir + "/odd-target").constData()) == 0);

    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("names", 12, 100));
    const QList<QByteArray> entries = git({"ls-tree", "-r", "-z", "HEAD", "config"}).split('\0');
    auto entryFor = [&](const QByteArray& name) {
        for (const QByteArray& e : entries)
            if (e.endsWith("\tconfig/" + name))
                return e;
        return QByteArray();
    };
    QVERIFY(entryFor(latin1Name).startsWith("100644 blob"));
    for (const char* link : {"root", "dangling", "loop", "odd-target"})
        QVERIFY2(entryFor(link).startsWith("120000 blob"), link);
    // Stored as links, never followed: nothing of / came in.
    QCOMPARE(entries.size(), 7); // six entries and the empty piece after the last NUL
    QCOMPARE(git({"show", "HEAD:config/root"}), QByteArray("/"));
    QCOMPARE(git({"show", "HEAD:config/loop"}), QByteArray("loop"));
    QCOMPARE(git({"show", "HEAD:config/odd-target"}), QByteArray("\xff\xfe"));
    const QByteArray blob = entryFor(latin1Name).mid(12, 40);
    QCOMPARE(git({"cat-file", "blob", QString::fromLatin1(blob)}), QByteArray("not UTF-8"));
    QCOMPARE(leftOut(), QByteArray());
    fsckClean();
}

void TestBuiltinStore::changingFilesNeverBlock_data() {
    QTest::addColumn<bool>("growing");
    QTest::newRow("vanishing files") << false;
    QTest::newRow("growing file") << true;
}

void TestBuiltinStore::changingFilesNeverBlock() {
    QFETCH(bool, growing);
    // A write that crosses a page boundary is copied a page at a time, and a reader may see the
    // file between the two parts: chunks that divide the page size never cross one.
    constexpr int kChunk = 128;
    const qint64 start = 2 * 1024 * 1024;
    const QByteArray grow = QFile::encodeName(config() + "/grow.log");
    const QByteArray churn = QFile::encodeName(config() + "/churn");
    QVERIFY(writeFile(QFile::decodeName(grow), QByteArray(start, 'x')));
    QVERIFY(QDir().mkpath(QFile::decodeName(churn)));

    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const QByteArray chunk(kChunk, 'y');
        const int fd = ::open(grow.constData(), O_WRONLY | O_APPEND);
        int i = 0;
        while (!stop) {
            if (growing) {
                if (::write(fd, chunk.constData(), kChunk) != kChunk)
                    break;
                // Back to the start now and then, so that it never outgrows the size bound.
                if (++i % 20000 == 0 && ::ftruncate(fd, start) != 0)
                    break;
            } else {
                // Files appear, move and disappear under the snapshot.
                const QByteArray a = churn + "/f" + QByteArray::number(i % 50);
                const QByteArray b = churn + "/g" + QByteArray::number(i % 50);
                const int w = ::open(a.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (w >= 0) {
                    (void)!::write(w, "data", 4);
                    ::close(w);
                }
                ::rename(a.constData(), b.constData());
                if (i % 3 == 0)
                    ::unlink(b.constData());
                ++i;
            }
        }
        ::close(fd);
    });
    struct Join {
        std::atomic<bool>& stop;
        std::thread& t;
        ~Join() {
            stop = true;
            t.join();
        }
    } join{stop, writer};

    BuiltinStore store(options());
    constexpr int kRounds = 12;
    int leftOutRounds = 0;
    for (int round = 0; round < kRounds; ++round) {
        const Failure f = store.createRestorePoint("churn", 12, 100);
        QVERIFY2(!f, f ? f->description.c_str() : "");
        leftOutRounds += leftOut().isEmpty() ? 0 : 1;
        for (const QByteArray& line : leftOut().split('\n')) {
            if (line.isEmpty())
                continue;
            const QByteArray reason = line.left(line.indexOf('\t'));
            const QByteArray path = line.mid(line.indexOf('\t') + 1);
            if (growing)
                QCOMPARE(line, QByteArray("changed\tconfig/grow.log"));
            else
                QVERIFY2((reason == "vanished" || reason == "changed") &&
                             path.startsWith("config/churn/"),
                         line.constData());
        }
        if (growing && headFiles().contains("grow.log")) {
            // Stored only whole: the size the file had between two appends.
            const qint64 size =
                git({"cat-file", "-s", "HEAD:config/grow.log"}).trimmed().toLongLong();
            QVERIFY(size >= start);
            QCOMPARE((size - start) % kChunk, 0);
        }
    }
    stop = true;
    qInfo("points that left something out: %d of %d", leftOutRounds, kRounds);
    QCOMPARE(list(store).size(), std::size_t(kRounds));
    fsckClean();
}

void TestBuiltinStore::concurrentProcessesNeverShareANumber() {
    constexpr int kEach = 6;
    const BuiltinStore::Options o = options();
    QList<QProcess*> creators;
    for (const char* name : {"a", "b"}) {
        auto* p = new QProcess(this);
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start(BUILTINSTORE_CREATOR, {QString::fromStdString(o.repository), config(), etc(),
                                        m_dir->path() + "/status", QString::number(kEach), name});
        creators << p;
    }
    for (QProcess* p : creators) {
        QVERIFY(p->waitForFinished(240000));
        QVERIFY2(p->exitCode() == 0, p->readAll().constData());
    }
    BuiltinStore store(o);
    const auto points = list(store);
    QCOMPARE(points.size(), std::size_t(2 * kEach));
    QStringList descriptions;
    for (std::size_t i = 0; i < points.size(); ++i) {
        QCOMPARE(points[i].SequenceNumber, std::to_string(i + 1));
        descriptions << QString::fromStdString(points[i].Description);
    }
    descriptions.sort();
    QCOMPARE(descriptions,
             QStringList({"a0", "a1", "a2", "a3", "a4", "a5", "b0", "b1", "b2", "b3", "b4", "b5"}));
    QCOMPARE(git({"rev-list", "--count", "HEAD"}).trimmed(), QByteArray("12"));
    fsckClean();
}

namespace {
std::atomic<int> g_damageWarnings{0};
QtMessageHandler g_previousHandler = nullptr;
void countDamageWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.contains("damaged or missing object"))
        ++g_damageWarnings;
    g_previousHandler(type, context, text);
}
} // namespace

void TestBuiltinStore::damagedObjectHidesNothingElse_data() {
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QStringList>("readable");
    QTest::newRow("newest commit is garbage") << "newest" << QStringList({"1", "2"});
    QTest::newRow("middle commit is garbage") << "middle" << QStringList({"1", "3"});
    QTest::newRow("branch names a missing commit") << "missing" << QStringList({"1", "2", "3"});
}

void TestBuiltinStore::damagedObjectHidesNothingElse() {
    QFETCH(QString, damage);
    QFETCH(QStringList, readable);
    {
        BuiltinStore store(options());
        for (const char* d : {"one", "two", "three"})
            QVERIFY(!store.createRestorePoint(d, 12, 100));
    }
    QString damaged;
    if (damage == "missing") {
        damaged = QString::fromLatin1(QByteArray(40, 'e'));
        QVERIFY(writeFile(repo() + "/refs/heads/restore-points", damaged.toLatin1() + "\n"));
    } else {
        damaged = QString::fromLatin1(
            git({"rev-parse", damage == "newest" ? "HEAD" : "HEAD~1"}).trimmed());
        const QString object = repo() + "/objects/" + damaged.left(2) + "/" + damaged.mid(2);
        QVERIFY(QFile::setPermissions(object, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(writeFile(object, "this is not zlib data"));
    }
    auto numbers = [](const std::vector<RestorePointRecord>& points) {
        QStringList n;
        for (const auto& p : points)
            n << QString::fromStdString(p.SequenceNumber);
        return n;
    };

    g_damageWarnings = 0;
    g_previousHandler = qInstallMessageHandler(countDamageWarnings);
    struct Restore {
        ~Restore() { qInstallMessageHandler(g_previousHandler); }
    } restore;

    BuiltinStore store(options());
    QCOMPARE(numbers(list(store)), readable);
    QCOMPARE(numbers(list(store)), readable);
    // A new point starts from the newest readable one and never takes a number again.
    const Failure f = store.createRestorePoint("four", 12, 100);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QCOMPARE(numbers(list(store)), readable + QStringList{"4"});
    QCOMPARE(git({"rev-list", "--count", "HEAD"}).trimmed(),
             QByteArray::number(readable.size() + 1));
    QCOMPARE(git({"log", "-1", "--format=%s", "HEAD~1"}).trimmed(),
             damage == "newest" ? QByteArray("two") : QByteArray("three"));
    QCOMPARE(g_damageWarnings.load(), 1);
    QVERIFY(BuiltinStore::damagedObjects().size() >= 1);
    fsckClean();
    if (damage != "missing")
        QVERIFY(QFileInfo::exists(repo() + "/damaged/" + damaged));
}

void TestBuiltinStore::retentionKeepsNewest() {
    QVERIFY(writeFile(config() + "/only-in-first.txt", "soon gone from every point"));
    BuiltinStore::Options o = options();
    o.keep = 3;
    {
        BuiltinStore store(o);
        QVERIFY(!store.createRestorePoint("p1", 12, 100));
        const QString blob =
            QString::fromLatin1(git({"rev-parse", "HEAD:config/only-in-first.txt"}).trimmed());
        QVERIFY(QFile::remove(config() + "/only-in-first.txt"));
        for (int i = 2; i <= 5; ++i) {
            QVERIFY(writeFile(config() + "/counter.txt", QByteArray::number(i)));
            QVERIFY(!store.createRestorePoint("p" + std::to_string(i), 12, 100));
        }
        const auto points = list(store);
        QCOMPARE(points.size(), std::size_t(3));
        QCOMPARE(points[0].SequenceNumber, std::string("3"));
        QCOMPARE(points[0].Description, std::string("p3"));
        QCOMPARE(points[2].SequenceNumber, std::string("5"));
        QCOMPARE(git({"rev-list", "--count", "HEAD"}).trimmed(), QByteArray("3"));
        // The kept points hold what they held.
        QCOMPARE(git({"show", "HEAD~2:config/counter.txt"}), QByteArray("3"));
        int rc = -1;
        git({"cat-file", "-e", blob}, &rc);
        QVERIFY2(rc != 0, "an object only the dropped points held is still stored");
        fsckClean();
    }
    o.keep = 0;
    BuiltinStore all(o);
    for (int i = 0; i < 3; ++i)
        QVERIFY(!all.createRestorePoint("kept", 12, 100));
    const auto points = list(all);
    QCOMPARE(points.size(), std::size_t(6));
    QCOMPARE(points.front().SequenceNumber, std::string("3"));
    QCOMPARE(points.back().SequenceNumber, std::string("8"));
    fsckClean();
}

void TestBuiltinStore::changedFileIsReadAgainDespiteOldTimes() {
    const QString path = config() + "/app/settings.ini";
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
    // Files changed in the last second are always read again; wait until this one is older,
    // so that the first point remembers it.
    QTRY_VERIFY_WITH_TIMEOUT(QDateTime::currentSecsSinceEpoch() > st.st_ctim.tv_sec + 1, 10000);
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("one", 12, 100));
    // Same size, and the old modification time put back, as some editors and tar do.
    QVERIFY(writeFile(path, "[General]\nkey=VALUE\n"));
    const timespec times[2] = {st.st_atim, st.st_mtim};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
    QVERIFY(!store.createRestorePoint("two", 12, 100));
    QCOMPARE(git({"show", "HEAD:config/app/settings.ini"}), QByteArray("[General]\nkey=VALUE\n"));
    QCOMPARE(git({"show", "HEAD~1:config/app/settings.ini"}), QByteArray("[General]\nkey=value\n"));
    // Unchanged since: the third point has the second's tree.
    QVERIFY(!store.createRestorePoint("three", 12, 100));
    QCOMPARE(git({"rev-parse", "HEAD:config"}), git({"rev-parse", "HEAD~1:config"}));
    fsckClean();
}

void TestBuiltinStore::storeIsPrivateWhoeverMadeIt_data() {
    QTest::addColumn<bool>("pointFirst");
    QTest::newRow("folder made by someone else") << false;
    QTest::newRow("store opened up since") << true;
}

void TestBuiltinStore::storeIsPrivateWhoeverMadeIt() {
    QFETCH(bool, pointFirst);
    BuiltinStore store(options());
    if (pointFirst)
        QVERIFY(!store.createRestorePoint("first", 12, 100));
    else
        QVERIFY(QDir().mkpath(repo()));
    QCOMPARE(::chmod(QFile::encodeName(repo()).constData(), 0755), 0);
    QVERIFY(!store.createRestorePoint("private", 12, 100));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(repo()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0700));
}

void TestBuiltinStore::leftoverTemporaryObjectsGo() {
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("first", 12, 100));
    // Left by writers that crashed: libgit2 names them one way, git another.
    const QStringList old = {"objects/tmp_object_git2_AbC123", "objects/tmp_obj_XyZ789",
                             "objects/4f/tmp_obj_Q1w2E3"};
    const QString fresh = "objects/tmp_object_git2_Fresh1";
    for (const QString& name : old + QStringList{fresh}) {
        QVERIFY(writeFile(repo() + "/" + name, "x\x9c half an object"));
        if (name == fresh)
            continue;
        // Hours old: no writer is still at it.
        const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3 * 3600, 0}};
        QCOMPARE(
            ::utimensat(AT_FDCWD, QFile::encodeName(repo() + "/" + name).constData(), times, 0), 0);
    }
    QVERIFY(!store.createRestorePoint("second", 12, 100));
    for (const QString& name : old)
        QVERIFY2(!QFileInfo::exists(repo() + "/" + name), qPrintable(name));
    // One being written right now stays.
    QVERIFY(QFileInfo::exists(repo() + "/" + fresh));
}

void TestBuiltinStore::objectCutShortIsWrittenAgain_data() {
    QTest::addColumn<QString>("object");
    QTest::addColumn<bool>("empty");
    QTest::newRow("blob left empty") << "HEAD:config/app/settings.ini" << true;
    QTest::newRow("tree cut in half") << "HEAD:config/app" << false;
}

void TestBuiltinStore::objectCutShortIsWrittenAgain() {
    QFETCH(QString, object);
    QFETCH(bool, empty);
    BuiltinStore store(options());
    QVERIFY(!store.createRestorePoint("first", 12, 100));
    QVERIFY(writeFile(config() + "/app/settings.ini", "[General]\nkey=second\n"));
    QVERIFY(!store.createRestorePoint("second", 12, 100));
    // As if the power went before the second point's branch moved and its new objects, not yet
    // synced, reached the disk: the object is there, cut short.
    const QString id = QString::fromLatin1(git({"rev-parse", object}).trimmed());
    git({"update-ref", "refs/heads/restore-points", "HEAD~1"});
    const QString file = repo() + "/objects/" + id.left(2) + "/" + id.mid(2);
    const QByteArray whole = readFile(file);
    QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(writeFile(file, empty ? QByteArray() : whole.left(whole.size() / 2)));

    const Failure f = store.createRestorePoint("third", 12, 100);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QCOMPARE(git({"rev-parse", object}).trimmed(), id.toLatin1());
    QCOMPARE(git({"show", "HEAD:config/app/settings.ini"}), QByteArray("[General]\nkey=second\n"));
    fsckClean();
    QVERIFY(QFileInfo::exists(repo() + "/damaged/" + id));
}

QTEST_GUILESS_MAIN(TestBuiltinStore)
#include "test_builtinstore.moc"
