// Changes since a built-in point: fixture commits written with libgit2 in both layouts, and
// the real store for the points that restoring makes.
#include "FileSupport.h"
#include "store/BuiltinChanges.h"
#include "store/BuiltinStore.h"
#include "store/DebianPackages.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <git2.h>

#include <QCoreApplication>
#include <QProcess>

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace vigilorn;

namespace {

struct Blob {
    QByteArray content;
    git_filemode_t mode = GIT_FILEMODE_BLOB;
};
using TreeSpec = std::map<std::string, Blob>;

// Appends a commit holding `files` to the store at `repository`, created if need be.
bool addCommit(const QString& repository, const TreeSpec& files, const std::string& message) {
    git_repository* repo = nullptr;
    if (git_repository_open_bare(&repo, repository.toUtf8().constData()) < 0 &&
        git_repository_init(&repo, repository.toUtf8().constData(), 1) < 0)
        return false;
    git_index* index = nullptr;
    bool ok = git_index_new(&index) == 0;
    for (const auto& [path, blob] : files) {
        git_index_entry e{};
        e.path = path.c_str();
        e.mode = blob.mode;
        ok = ok &&
             git_blob_create_from_buffer(&e.id, repo, blob.content.constData(),
                                         static_cast<size_t>(blob.content.size())) == 0 &&
             git_index_add(index, &e) == 0;
    }
    git_oid treeId, commitId, headId;
    git_tree* tree = nullptr;
    git_signature* sig = nullptr;
    git_commit* parent = nullptr;
    ok = ok && git_index_write_tree_to(&treeId, index, repo) == 0 &&
         git_tree_lookup(&tree, repo, &treeId) == 0 &&
         git_signature_now(&sig, "Vigilorn", "Vigilorn@localhost") == 0;
    if (ok && git_reference_name_to_id(&headId, repo, "HEAD") == 0)
        ok = git_commit_lookup(&parent, repo, &headId) == 0;
    const git_commit* parents[] = {parent};
    ok = ok && git_commit_create(&commitId, repo, "HEAD", sig, sig, nullptr, message.c_str(), tree,
                                 parent ? 1 : 0, parents) == 0;
    git_commit_free(parent);
    git_signature_free(sig);
    git_tree_free(tree);
    git_index_free(index);
    git_repository_free(repo);
    return ok;
}

std::string newMessage(int number) {
    return "point\n\nRestore-Point-Type: 12\nEvent-Type: 100\nSequence-Number: " +
           std::to_string(number) + "\nStore-Layout: 2\n";
}
std::string oldMessage(int number) {
    return "point\n\nRestore-Point-Type: 12\nEvent-Type: 100\nSequence-Number: " +
           std::to_string(number) + "\n";
}

const char* kindName(Change::Kind k) {
    switch (k) {
    case Change::Kind::Added:
        return "added";
    case Change::Kind::Removed:
        return "removed";
    case Change::Kind::Upgraded:
        return "upgraded";
    case Change::Kind::Downgraded:
        return "downgraded";
    case Change::Kind::Changed:
        return "changed";
    }
    return "?";
}
const char* areaName(Change::Area a) {
    switch (a) {
    case Change::Area::Packages:
        return "pkg";
    case Change::Area::Etc:
        return "etc";
    case Change::Area::Config:
        return "config";
    case Change::Area::System:
        return "system";
    }
    return "?";
}

// "area kind name before after", sorted, so that a test compares one list of lines.
QStringList describe(const std::vector<Change>& changes) {
    QStringList out;
    for (const auto& c : changes) {
        QString line = QString("%1 %2 %3")
                           .arg(areaName(c.area), kindName(c.kind), QString::fromStdString(c.name));
        if (c.area == Change::Area::Packages)
            line += QString(" %1 %2").arg(QString::fromStdString(c.before),
                                          QString::fromStdString(c.after));
        out << line;
    }
    out.sort();
    return out;
}

QByteArray stanza(const char* name, const char* arch, const char* version,
                  const char* status = "install ok installed") {
    return QByteArray("Package: ") + name + "\nStatus: " + status +
           "\nPriority: optional\nArchitecture: " + arch + "\nVersion: " + version +
           "\nDescription: something\n long text: with a colon\n .\n more\n\n";
}

// A point whose config/ tree holds `name` as git itself would never write it: a folder holding
// "planted" when `folder`, else the file itself. config/keep is beside it.
bool addRawPoint(const QString& repository, const std::string& name, bool folder) {
    git_repository* repo = nullptr;
    if (git_repository_init(&repo, repository.toUtf8().constData(), 1) < 0)
        return false;
    git_odb* odb = nullptr;
    bool ok = git_repository_odb(&odb, repo) == 0;
    auto write = [&](const std::string& data, git_object_t type, git_oid& id) {
        ok = ok && git_odb_write(&id, odb, data.data(), data.size(), type) == 0;
    };
    auto entry = [](const char* mode, const std::string& n, const git_oid& id) {
        return std::string(mode) + " " + n + '\0' +
               std::string(reinterpret_cast<const char*>(id.id), GIT_OID_RAWSZ);
    };
    git_oid planted, keep, empty, inner, config, root, commitId;
    write("planted", GIT_OBJECT_BLOB, planted);
    write("1", GIT_OBJECT_BLOB, keep);
    write("", GIT_OBJECT_BLOB, empty);
    if (folder)
        write(entry("100644", "planted", planted), GIT_OBJECT_TREE, inner);
    else
        inner = planted;
    write(entry(folder ? "40000" : "100644", name, inner) + entry("100644", "keep", keep),
          GIT_OBJECT_TREE, config);
    write(entry("40000", "config", config) + entry("100644", "left-out.txt", empty),
          GIT_OBJECT_TREE, root);
    git_tree* tree = nullptr;
    git_signature* sig = nullptr;
    ok = ok && git_tree_lookup(&tree, repo, &root) == 0 &&
         git_signature_now(&sig, "Vigilorn", "Vigilorn@localhost") == 0 &&
         git_commit_create(&commitId, repo, "HEAD", sig, sig, nullptr, newMessage(1).c_str(), tree,
                           0, nullptr) == 0;
    git_signature_free(sig);
    git_tree_free(tree);
    git_odb_free(odb);
    git_repository_free(repo);
    return ok;
}

// Makes its points in `store`, then runs `after`: what another program might do meanwhile.
class MeddlingEngine final : public RestoreEngine {
public:
    MeddlingEngine(RestoreEngine& store, std::function<void()> after)
        : m_store(store), m_after(std::move(after)) {}
    std::string displayName() const override { return m_store.displayName(); }
    Failure createRestorePoint(const std::string& description, int type, int event) override {
        Failure f = m_store.createRestorePoint(description, type, event);
        m_after();
        return f;
    }
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override {
        return m_store.listRestorePoints(out);
    }

private:
    RestoreEngine& m_store;
    std::function<void()> m_after;
};

} // namespace

class TestBuiltinChanges : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { git_libgit2_init(); }
    void cleanupTestCase() { git_libgit2_shutdown(); }
    void init();

    void versionOrder_data();
    void versionOrder();
    void debianSyntax_data();
    void debianSyntax();
    void commandLineQuotesForAShell_data();
    void commandLineQuotesForAShell();

    void packagesAgainstStatusFile();
    void filesUnderEtcAndConfig();
    void oldPointIsConfigOnly();
    void emptyFolderAtThePoint();
    void unknownPointFails();
    void batchesArriveAndCancelStops();

    void planLeavesTheSystemToTheRootSide();
    void restoreConfigThenUndoIt();
    void unwritableFileChangesNothing_data();
    void unwritableFileChangesNothing();
    void failedPreRestorePointChangesNothing();
    void namesOutsideTheFolderAreRefused_data();
    void namesOutsideTheFolderAreRefused();
    void linkPlantedAfterTheCheckIsNotFollowed();
    void restoringTheOldestPointKeepsIt();
    void foldersLeftOutAreNotAdded_data();
    void foldersLeftOutAreNotAdded();
    void waitsForACreationToFinish_data();
    void waitsForACreationToFinish();

private:
    BuiltinChanges::Options options() const {
        BuiltinChanges::Options o;
        o.repository = m_dir->filePath("store.git").toStdString();
        o.configFolder = m_dir->filePath("config").toStdString();
        o.etcFolder = m_dir->filePath("etc").toStdString();
        o.dpkgStatus = m_dir->filePath("status").toStdString();
        return o;
    }
    QString path(const QString& rel) const { return m_dir->filePath(rel); }
    QStringList compareAll(const std::string& point, Failure* failure = nullptr) {
        BuiltinChanges changes(options());
        std::vector<Change> found;
        CompareCallbacks cb;
        cb.batch = [&](std::vector<Change>&& b) { found.insert(found.end(), b.begin(), b.end()); };
        const Failure f = changes.compare(point, cb);
        if (failure)
            *failure = f;
        else if (f)
            qWarning("compare failed: %s", f->description.c_str());
        return describe(found);
    }
    BuiltinStore::Options storeOptions() const {
        BuiltinStore::Options o;
        o.repository = path("store.git").toStdString();
        o.source = path("config").toStdString();
        o.displayName = "test store";
        return o;
    }
    // Points of the test's own folders only, so that they compare clean; needs a status file.
    BuiltinStore::Options smallStoreOptions() const {
        BuiltinStore::Options o = storeOptions();
        o.etc = path("etc").toStdString();
        o.dpkgStatus = path("status").toStdString();
        o.flatpakSystem.clear();
        return o;
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestBuiltinChanges::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(path("config")));
    QVERIFY(QDir().mkpath(path("etc")));
}

void TestBuiltinChanges::versionOrder_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");
    QTest::newRow("same") << "1.2-3"
                          << "1.2-3" << 0;
    QTest::newRow("numbers not text") << "2.10"
                                      << "2.9" << 1;
    QTest::newRow("epoch wins") << "1:0.1"
                                << "9.9" << 1;
    QTest::newRow("tilde before release") << "1.0~rc1"
                                          << "1.0" << -1;
    QTest::newRow("tilde before tilde-less suffix") << "1.0~rc1"
                                                    << "1.0~rc1.1" << -1;
    QTest::newRow("letters before symbols") << "1.0a"
                                            << "1.0+" << -1;
    QTest::newRow("revision numbers") << "1.0-2ubuntu1"
                                      << "1.0-10" << -1;
    QTest::newRow("leading zeros") << "1.002"
                                   << "1.2" << 0;
    QTest::newRow("missing revision is lower") << "1.0"
                                               << "1.0-1" << -1;
    QTest::newRow("security update") << "2.36-9+deb12u3"
                                     << "2.36-9+deb12u10" << -1;
}

void TestBuiltinChanges::versionOrder() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    const int r = debian::compareVersions(a.toStdString(), b.toStdString());
    QCOMPARE((r > 0) - (r < 0), order);
    const int back = debian::compareVersions(b.toStdString(), a.toStdString());
    QCOMPARE((back > 0) - (back < 0), -order);
}

void TestBuiltinChanges::debianSyntax_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("nameOk");
    QTest::addColumn<bool>("versionOk");
    QTest::newRow("ordinary") << "libc6"
                              << "2.36-9+deb12u3" << true << true;
    QTest::newRow("epoch and tilde") << "g++-12"
                                     << "1:12.2.0~rc1-14" << true << true;
    QTest::newRow("upper case name") << "Libc6"
                                     << "1.0" << false << true;
    QTest::newRow("one letter name") << "a"
                                     << "1.0" << false << true;
    QTest::newRow("option-like name") << "-o"
                                      << "1.0" << false << true;
    QTest::newRow("shell text") << "x;rm"
                                << "1.0;rm -rf /" << false << false;
    QTest::newRow("space") << "a b"
                           << "1.0 2" << false << false;
    QTest::newRow("version not a digit first") << "pkg"
                                               << "v1.0" << true << false;
    QTest::newRow("empty revision") << "pkg"
                                    << "1.0-" << true << false;
    QTest::newRow("epoch not a number") << "pkg"
                                        << "x:1.0" << true << false;
    QTest::newRow("equals in version") << "pkg"
                                       << "1.0=2" << true << false;
    QTest::newRow("empty") << ""
                           << "" << false << false;
}

void TestBuiltinChanges::debianSyntax() {
    QFETCH(QString, name);
    QFETCH(QString, version);
    QFETCH(bool, nameOk);
    QFETCH(bool, versionOk);
    QCOMPARE(debian::isValidName(name.toStdString()), nameOk);
    QCOMPARE(debian::isValidVersion(version.toStdString()), versionOk);
}

void TestBuiltinChanges::commandLineQuotesForAShell_data() {
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<QString>("line");
    QTest::newRow("plain") << QStringList{"apt-get", "install", "-y", "vim=2:9.0.1378-2"}
                           << "apt-get install -y vim=2:9.0.1378-2";
    QTest::newRow("space and quote")
        << QStringList{"rm", "-f", "--", "/etc/it's here"} << "rm -f -- '/etc/it'\\''s here'";
    QTest::newRow("shell characters") << QStringList{"ln", "-sfn", "--", "$(id)`x`;|&", "/etc/a"}
                                      << "ln -sfn -- '$(id)`x`;|&' /etc/a";
    QTest::newRow("empty word") << QStringList{"echo", ""} << "echo ''";
}

void TestBuiltinChanges::commandLineQuotesForAShell() {
    QFETCH(QStringList, words);
    QFETCH(QString, line);
    Command c{words.first().toStdString(), {}};
    for (int i = 1; i < words.size(); ++i)
        c.arguments.push_back(words[i].toStdString());
    QCOMPARE(QString::fromStdString(commandLine(c)), line);
}

void TestBuiltinChanges::packagesAgainstStatusFile() {
    const QByteArray stored = "base-files\tamd64\t12.4+deb12u5\tinstall ok installed\n"
                              "curl\tamd64\t7.88.1-10\tinstall ok installed\n"
                              "gone\tall\t1.0-1\tinstall ok installed\n"
                              "leftover\tamd64\t3.0\tdeinstall ok config-files\n"
                              "libfoo\ti386\t2.0\tinstall ok installed\n"
                              "newer\tamd64\t1:2.0\tinstall ok installed\n"
                              "same\tamd64\t5.0\tinstall ok installed\n";
    QVERIFY(addCommit(path("store.git"), {{"packages/dpkg", {stored}}, {"left-out.txt", {""}}},
                      newMessage(1)));
    const QByteArray now = stanza("base-files", "amd64", "12.4+deb12u5") +
                           stanza("curl", "amd64", "7.88.1-10+deb12u5") +
                           stanza("leftover", "amd64", "3.0") + stanza("libfoo", "i386", "2.1") +
                           stanza("newer", "amd64", "2.5") + stanza("same", "amd64", "5.0") +
                           stanza("fresh", "amd64", "0.9-1") +
                           stanza("halfway", "amd64", "1.0", "install reinstreq half-installed") +
                           stanza("wasgone", "amd64", "1.0", "deinstall ok config-files");
    QVERIFY(writeFile(path("status"), now));
    QCOMPARE(compareAll("1"), (QStringList{
                                  "pkg added fresh  0.9-1",
                                  "pkg added leftover  3.0",
                                  "pkg downgraded newer 1:2.0 2.5",
                                  "pkg removed gone 1.0-1 ",
                                  "pkg upgraded curl 7.88.1-10 7.88.1-10+deb12u5",
                                  "pkg upgraded libfoo:i386 2.0 2.1",
                              }));
}

void TestBuiltinChanges::filesUnderEtcAndConfig() {
    const TreeSpec point = {
        {"packages/dpkg", {""}},
        {"etc/hostname", {"box\n"}},
        {"etc/ssh/sshd_config", {"Port 22\n"}},
        {"etc/cron.daily/job", {"#!/bin/sh\n", GIT_FILEMODE_BLOB_EXECUTABLE}},
        {"etc/localtime", {"/usr/share/zoneinfo/UTC", GIT_FILEMODE_LINK}},
        {"etc/removed.conf", {"x"}},
        {"etc/samesize", {"abc"}},
        {"config/app/settings.ini", {"[a]\nb=1\n"}},
        {"config/gone/file", {"y"}},
        {"left-out.txt", {"unreadable\tetc/shadow\ntoo-large\tconfig/big\\tname.bin\n"}},
    };
    QVERIFY(addCommit(path("store.git"), point, newMessage(4)));
    QVERIFY(writeFile(path("status"), ""));
    QVERIFY(writeFile(path("etc/hostname"), "box\n"));
    QVERIFY(writeFile(path("etc/ssh/sshd_config"), "Port 22\n"));
    QVERIFY(writeFile(path("etc/cron.daily/job"), "#!/bin/sh\n"));
    QVERIFY(::chmod(path("etc/cron.daily/job").toUtf8().constData(), 0644) == 0); // lost its x
    QVERIFY(QFile::link("/usr/share/zoneinfo/Europe/Paris", path("etc/localtime")));
    QVERIFY(writeFile(path("etc/samesize"), "abd"));
    QVERIFY(writeFile(path("etc/shadow"), "secret")); // left out of the point
    QVERIFY(writeFile(path("etc/apt/sources.list.d/new.list"), "deb x"));
    QVERIFY(writeFile(path("etc/.git/HEAD"), "ref")); // never compared
    QVERIFY(writeFile(path("config/app/settings.ini"), "[a]\nb=2\n"));
    QVERIFY(writeFile(path("config/big\tname.bin"), "large"));
    QVERIFY(writeFile(path("config/new/one"), "z"));
    QVERIFY(::mkfifo(path("config/fifo").toUtf8().constData(), 0600) == 0);
    QCOMPARE(compareAll("4"), (QStringList{
                                  "config added new/one",
                                  "config changed app/settings.ini",
                                  "config removed gone/file",
                                  "etc added apt/sources.list.d/new.list",
                                  "etc changed cron.daily/job",
                                  "etc changed localtime",
                                  "etc changed samesize",
                                  "etc removed removed.conf",
                              }));
}

void TestBuiltinChanges::oldPointIsConfigOnly() {
    // Before /etc and packages were kept, the whole tree was the configuration folder.
    QVERIFY(addCommit(path("store.git"), {{"etc/x", {"1"}}, {"packages/dpkg", {"a\tb\tc\td\n"}}},
                      oldMessage(1)));
    QVERIFY(writeFile(path("config/etc/x"), "2"));
    QVERIFY(writeFile(path("etc/unrelated"), "3"));
    QCOMPARE(compareAll("1"),
             (QStringList{"config changed etc/x", "config removed packages/dpkg"}));
}

void TestBuiltinChanges::emptyFolderAtThePoint() {
    // git keeps no empty folders: the point has no config/ tree at all.
    QVERIFY(
        addCommit(path("store.git"), {{"etc/a", {"1"}}, {"left-out.txt", {""}}}, newMessage(1)));
    QVERIFY(writeFile(path("etc/a"), "1"));
    QVERIFY(writeFile(path("config/since/then.ini"), "x"));
    QCOMPARE(compareAll("1"), QStringList{"config added since/then.ini"});
}

void TestBuiltinChanges::unknownPointFails() {
    // No store at all: a system point whose configuration part was never recorded.
    Failure f;
    compareAll("2", &f);
    QVERIFY(f);
    QCOMPARE(f->number, RestoreChanges::kUnknownPoint);
    QVERIFY(addCommit(path("store.git"), {{"a", {"1"}}}, oldMessage(1)));
    compareAll("2", &f);
    QVERIFY(f);
    QCOMPARE(f->number, RestoreChanges::kUnknownPoint);
    QCOMPARE(f->description, std::string("There is no restore point P2."));
}

void TestBuiltinChanges::batchesArriveAndCancelStops() {
    TreeSpec point{{"left-out.txt", {""}}};
    for (int i = 0; i < 3000; ++i)
        point["etc/d" + std::to_string(i % 30) + "/f" + std::to_string(i)] = {"x"};
    QVERIFY(addCommit(path("store.git"), point, newMessage(1)));
    for (int i = 0; i < 3000; ++i)
        QVERIFY(writeFile(path(QString("etc/d%1/f%2").arg(i % 30).arg(i)), i % 2 ? "x" : "y"));

    BuiltinChanges changes(options());
    std::atomic<bool> cancel{false};
    std::size_t batches = 0, found = 0, lastDone = 0, lastTotal = 0;
    CompareCallbacks cb;
    cb.cancel = &cancel;
    cb.batch = [&](std::vector<Change>&& b) {
        ++batches;
        found += b.size();
    };
    cb.progress = [&](std::size_t done, std::size_t total) {
        QVERIFY(done >= lastDone);
        lastDone = done;
        lastTotal = total;
    };
    QVERIFY(!changes.compare("1", cb));
    QCOMPARE(found, std::size_t(1500));
    QVERIFY2(batches > 1, "the changes came in one piece");
    QCOMPARE(lastDone, std::size_t(3000));
    QCOMPARE(lastTotal, std::size_t(3000));

    found = 0;
    lastDone = 0;
    cb.batch = [&](std::vector<Change>&& b) {
        found += b.size();
        cancel = true;
    };
    const Failure f = changes.compare("1", cb);
    QVERIFY(f);
    QCOMPARE(f->number, RestoreChanges::kCancelled);
    QVERIFY2(found < 1500, qPrintable(QString::number(found)));
}

void TestBuiltinChanges::planLeavesTheSystemToTheRootSide() {
    const QByteArray stored = "curl\tamd64\t7.88.1-10\tinstall ok installed\n"
                              "gone\tamd64\t1.0-1\tinstall ok installed\n"
                              "evil\tamd64\t1.0;reboot\tinstall ok installed\n"
                              "same\tamd64\t1\tinstall ok installed\n";
    QVERIFY(addCommit(path("store.git"),
                      {{"packages/dpkg", {stored}},
                       {"etc/app.conf", {"old\n"}},
                       {"etc/run.sh", {"#!/bin/sh\n", GIT_FILEMODE_BLOB_EXECUTABLE}},
                       {"etc/alternatives/editor", {"/usr/bin/vim", GIT_FILEMODE_LINK}},
                       {"config/c", {"1"}},
                       {"left-out.txt", {""}}},
                      newMessage(7)));
    QVERIFY(writeFile(path("status"), stanza("curl", "amd64", "7.88.1-10+deb12u5") +
                                          stanza("same", "amd64", "1") +
                                          stanza("fresh", "amd64", "2.0")));
    QVERIFY(writeFile(path("etc/app.conf"), "new\n"));
    QVERIFY(::chmod(path("etc/app.conf").toUtf8().constData(), 0640) == 0);
    QVERIFY(writeFile(path("etc/added.conf"), "x"));
    QVERIFY(writeFile(path("config/c"), "2"));

    BuiltinChanges changes(options());
    RestorePlan plan;
    const Failure f = changes.plan("7", plan);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    // The system's differences are shown, but nothing from the user's store runs as root, and
    // nothing of /etc is copied out for it.
    QVERIFY(!plan.rootCommand);
    QVERIFY(!changes.canRunAsRoot());
    QVERIFY(!QFileInfo::exists(path("staging")));
    QCOMPARE(describe(plan.configFiles), QStringList{"config changed c"});
    const QStringList shown = compareAll("7");
    for (const char* system :
         {"fresh", "curl", "gone", "evil", "added.conf", "app.conf", "run.sh", "editor"})
        QVERIFY2(shown.join('\n').contains(system), qPrintable(shown.join('\n')));
    QCOMPARE(shown.size(), 9);
    QCOMPARE(plan.notes.size(), std::size_t(1));
    QVERIFY2(plan.notes[0].find("8 changes of packages and /etc since P7 stay") == 0,
             plan.notes[0].c_str());
}

void TestBuiltinChanges::restoreConfigThenUndoIt() {
    QVERIFY(writeFile(path("config/keep.ini"), "same"));
    QVERIFY(writeFile(path("config/app/settings.ini"), "v=1"));
    QVERIFY(writeFile(path("config/secret"), "pw=1"));
    QVERIFY(::chmod(path("config/secret").toUtf8().constData(), 0600) == 0);
    QVERIFY(writeFile(path("config/deleted/later.txt"), "here at first"));
    QVERIFY(writeFile(path("config/tool"), "#!/bin/sh"));
    QVERIFY(::chmod(path("config/tool").toUtf8().constData(), 0755) == 0);
    BuiltinStore store(storeOptions());
    QVERIFY(!store.createRestorePoint("first", 12, 100));

    // What an install might do afterwards.
    QVERIFY(writeFile(path("config/app/settings.ini"), "v=2 longer"));
    QVERIFY(writeFile(path("config/secret"), "pw=2"));
    QVERIFY(QFile::remove(path("config/deleted/later.txt")));
    QVERIFY(QDir(path("config/deleted")).removeRecursively());
    QVERIFY(writeFile(path("config/installer/new/state"), "new"));
    QVERIFY(::chmod(path("config/tool").toUtf8().constData(), 0644) == 0);
    // A program holding the old file open keeps reading the old content: it is replaced, not
    // rewritten in place.
    QFile open(path("config/app/settings.ini"));
    QVERIFY(open.open(QIODevice::ReadOnly));

    BuiltinChanges changes(options());
    Failure f = changes.restoreConfig("1", store);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QCOMPARE(readFile(path("config/app/settings.ini")), QByteArray("v=1"));
    QCOMPARE(open.readAll(), QByteArray("v=2 longer"));
    QCOMPARE(readFile(path("config/secret")), QByteArray("pw=1"));
    QCOMPARE(readFile(path("config/deleted/later.txt")), QByteArray("here at first"));
    QCOMPARE(readFile(path("config/keep.ini")), QByteArray("same"));
    QVERIFY(!QFileInfo::exists(path("config/installer/new/state")));
    QVERIFY(!QFileInfo::exists(path("config/installer"))); // emptied folders go too
    QVERIFY(QFileInfo(path("config/tool")).isExecutable());
    struct stat st {};
    QVERIFY(::stat(path("config/secret").toUtf8().constData(), &st) == 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
    QCOMPARE(QDir(path("config/app")).entryList(QDir::Files | QDir::Hidden),
             QStringList{"settings.ini"}); // no temporary file left behind
    QCOMPARE(compareAll("1"), QStringList{});

    std::vector<RestorePointRecord> points;
    QVERIFY(!store.listRestorePoints(points));
    QCOMPARE(points.size(), std::size_t(2));
    QCOMPARE(points[1].Description, std::string("Before restoring P1"));

    // The point made first takes the restore back.
    f = changes.restoreConfig("2", store);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QCOMPARE(readFile(path("config/app/settings.ini")), QByteArray("v=2 longer"));
    QCOMPARE(readFile(path("config/installer/new/state")), QByteArray("new"));
    QVERIFY(!QFileInfo::exists(path("config/deleted/later.txt")));
    QVERIFY(!QFileInfo(path("config/tool")).isExecutable());
    QVERIFY(!store.listRestorePoints(points));
    QCOMPARE(points.size(), std::size_t(3));
    QCOMPARE(points[2].Description, std::string("Before restoring P2"));

    // Nothing to do: no point made.
    QVERIFY(!changes.restoreConfig("2", store));
    QVERIFY(!store.listRestorePoints(points));
    QCOMPARE(points.size(), std::size_t(3));
}

void TestBuiltinChanges::unwritableFileChangesNothing_data() {
    QTest::addColumn<QString>("blocker");
    QTest::newRow("a file where its folder was") << "file";
    QTest::newRow("a link where its folder was") << "link";
    QTest::newRow("a folder where the file was") << "folder";
    if (::geteuid() != 0)
        QTest::newRow("a read-only folder") << "readonly";
}

void TestBuiltinChanges::unwritableFileChangesNothing() {
    QFETCH(QString, blocker);
    QVERIFY(writeFile(path("config/a/first"), "1"));
    QVERIFY(writeFile(path("config/b/inner/file"), "2"));
    QVERIFY(writeFile(path("config/c"), "3"));
    BuiltinStore store(storeOptions());
    QVERIFY(!store.createRestorePoint("first", 12, 100));

    QVERIFY(writeFile(path("config/a/first"), "changed"));
    QVERIFY(writeFile(path("config/added"), "new"));
    QVERIFY(QDir(path("config/b")).removeRecursively());
    QVERIFY(QDir().mkpath(path("outside")));
    if (blocker == "file")
        QVERIFY(writeFile(path("config/b"), "not a folder"));
    else if (blocker == "link")
        QVERIFY(QFile::link(path("outside"), path("config/b")));
    else if (blocker == "folder")
        QVERIFY(QFile::remove(path("config/c")) && QDir().mkpath(path("config/c/x")));
    else
        QVERIFY(QDir().mkpath(path("config/b")) &&
                ::chmod(path("config/b").toUtf8().constData(), 0500) == 0);

    BuiltinChanges changes(options());
    const Failure f = changes.restoreConfig("1", store);
    ::chmod(path("config/b").toUtf8().constData(), 0700);
    QVERIFY(f);
    const std::string blocked = blocker == "folder" ? "/config/c" : "/config/b";
    QVERIFY2(f->description.find(blocked) != std::string::npos, f->description.c_str());
    QCOMPARE(readFile(path("config/a/first")), QByteArray("changed"));
    QCOMPARE(readFile(path("config/added")), QByteArray("new"));
    QVERIFY(QDir(path("outside")).isEmpty());
    std::vector<RestorePointRecord> points;
    QVERIFY(!store.listRestorePoints(points));
    QCOMPARE(points.size(), std::size_t(1));
}

void TestBuiltinChanges::failedPreRestorePointChangesNothing() {
    QVERIFY(writeFile(path("config/a"), "1"));
    BuiltinStore store(storeOptions());
    QVERIFY(!store.createRestorePoint("first", 12, 100));
    QVERIFY(writeFile(path("config/a"), "2"));
    // An engine whose store is unusable refuses the point: the folder stays as it is.
    BuiltinStore::Options broken = storeOptions();
    broken.repository = path("config/a").toStdString();
    BuiltinStore brokenStore(broken);
    BuiltinChanges changes(options());
    const Failure f = changes.restoreConfig("1", brokenStore);
    QVERIFY(f);
    QCOMPARE(readFile(path("config/a")), QByteArray("2"));
}

void TestBuiltinChanges::namesOutsideTheFolderAreRefused_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("folder");
    QTest::newRow("..") << QByteArray("..") << true;
    QTest::newRow(".") << QByteArray(".") << true;
    QTest::newRow("slash inside") << QByteArray("sub/../../planted") << false;
    QTest::newRow("absolute") << QByteArray("/planted") << false;
}

void TestBuiltinChanges::namesOutsideTheFolderAreRefused() {
    QFETCH(QByteArray, name);
    QFETCH(bool, folder);
    QVERIFY(addRawPoint(path("store.git"), name.toStdString(), folder));
    QVERIFY(writeFile(path("config/keep"), "2"));
    BuiltinStore store(storeOptions());
    BuiltinChanges changes(options());
    Failure f;
    compareAll("1", &f);
    QVERIFY(f);
    f = changes.restoreConfig("1", store);
    QVERIFY(f);
    QVERIFY2(f->description.find("P1") != std::string::npos &&
                 f->description.find(name.toStdString()) != std::string::npos,
             f->description.c_str());
    QCOMPARE(readFile(path("planted")), QByteArray("<missing>"));
    QCOMPARE(readFile(path("config/planted")), QByteArray("<missing>"));
    QCOMPARE(readFile(path("config/keep")), QByteArray("2"));
    std::vector<RestorePointRecord> points;
    QVERIFY(!store.listRestorePoints(points));
    QCOMPARE(points.size(), std::size_t(1));
}

void TestBuiltinChanges::linkPlantedAfterTheCheckIsNotFollowed() {
    QVERIFY(writeFile(path("config/a"), "1"));
    QVERIFY(writeFile(path("config/b/inner/file"), "2"));
    BuiltinStore store(storeOptions());
    QVERIFY(!store.createRestorePoint("first", 12, 100));
    QVERIFY(writeFile(path("config/a"), "changed"));
    QVERIFY(QDir(path("config/b")).removeRecursively());
    QVERIFY(QDir().mkpath(path("outside")));
    // Once the folder is checked and the undo point made, b turns into a link out of it.
    MeddlingEngine engine(store, [&] { QFile::link(path("outside"), path("config/b")); });
    BuiltinChanges changes(options());
    const Failure f = changes.restoreConfig("1", engine);
    QVERIFY(f);
    QVERIFY2(f->description.find("/config/b") != std::string::npos, f->description.c_str());
    QVERIFY(QDir(path("outside")).isEmpty());
}

void TestBuiltinChanges::restoringTheOldestPointKeepsIt() {
    QVERIFY(writeFile(path("config/a"), "only at P1"));
    QVERIFY(writeFile(path("status"), ""));
    BuiltinStore::Options o = smallStoreOptions();
    o.keep = 2;
    BuiltinStore store(o);
    QVERIFY(!store.createRestorePoint("first", 12, 100));
    QVERIFY(writeFile(path("config/a"), "at P2"));
    QVERIFY(!store.createRestorePoint("second", 12, 100));
    QVERIFY(writeFile(path("config/a"), "now"));

    BuiltinChanges changes(options());
    const Failure f = changes.restoreConfig("1", store);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QCOMPARE(readFile(path("config/a")), QByteArray("only at P1"));
    std::vector<RestorePointRecord> points;
    QVERIFY(!store.listRestorePoints(points));
    QStringList numbers;
    for (const auto& p : points)
        numbers << QString::fromStdString(p.SequenceNumber);
    QCOMPARE(numbers, (QStringList{"1", "2", "3"}));
    Failure compared;
    QCOMPARE(compareAll("1", &compared), QStringList{});
    QVERIFY(!compared);
}

void TestBuiltinChanges::foldersLeftOutAreNotAdded_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("unprivileged");
    QTest::newRow(".GIT folder") << ".GIT" << false;
    QTest::newRow(".Git folder") << ".Git" << false;
    QTest::newRow("unreadable at the point") << "unreadable" << false;
    QTest::newRow("too deep at the point") << "deep" << false;
    QTest::newRow("unsearchable now") << "unsearchable" << true;
}

void TestBuiltinChanges::foldersLeftOutAreNotAdded() {
    QFETCH(QString, kind);
    QFETCH(bool, unprivileged);
    if (unprivileged && ::geteuid() == 0) {
        // Root searches every folder: run this row again as nobody.
        QVERIFY(!qEnvironmentVariableIsSet("VIGILORN_TEST_UNPRIVILEGED"));
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VIGILORN_TEST_UNPRIVILEGED", "1");
        env.insert("HOME", QDir::tempPath());
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(QDir::tempPath());
        const QString tag = QString::fromUtf8(QTest::currentDataTag());
        p.start("setpriv",
                {"--reuid=65534", "--regid=65534", "--clear-groups",
                 QCoreApplication::applicationFilePath(), "foldersLeftOutAreNotAdded:" + tag});
        QVERIFY(p.waitForFinished(120000));
        const QByteArray out = p.readAllStandardOutput() + p.readAllStandardError();
        QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0, out.constData());
        QVERIFY2(out.contains("PASS   : TestBuiltinChanges::foldersLeftOutAreNotAdded(" +
                              tag.toUtf8() + ")"),
                 out.constData());
        return;
    }
    TreeSpec point{{"config/keep", {"1"}}, {"left-out.txt", {""}}};
    if (kind == "unreadable")
        point["left-out.txt"] = {"unreadable\tconfig/private\n"};
    else if (kind == "deep")
        point["left-out.txt"] = {"too-deep\tconfig/deep/d\n"};
    else if (kind == "unsearchable")
        point["config/locked/file"] = {"x"};
    QVERIFY(addCommit(path("store.git"), point, newMessage(1)));
    QVERIFY(writeFile(path("config/keep"), "2"));
    if (kind.startsWith('.'))
        QVERIFY(writeFile(path("config/repo/" + kind + "/HEAD"), "ref: refs/heads/main\n"));
    else if (kind == "unreadable")
        QVERIFY(writeFile(path("config/private/inside"), "x"));
    else if (kind == "deep")
        QVERIFY(writeFile(path("config/deep/d/d/bottom"), "x"));
    else if (kind == "unsearchable")
        QVERIFY(writeFile(path("config/locked/file"), "x") &&
                ::chmod(path("config/locked").toUtf8().constData(), 0) == 0);

    Failure f;
    const QStringList found = compareAll("1", &f);
    ::chmod(path("config/locked").toUtf8().constData(), 0700);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QCOMPARE(found, QStringList{"config changed keep"});
}

void TestBuiltinChanges::waitsForACreationToFinish_data() {
    QTest::addColumn<QString>("call");
    QTest::newRow("compare") << "compare";
    QTest::newRow("plan") << "plan";
    QTest::newRow("restoreConfig") << "restoreConfig";
}

void TestBuiltinChanges::waitsForACreationToFinish() {
    QFETCH(QString, call);
    QVERIFY(writeFile(path("config/a"), "1"));
    QVERIFY(writeFile(path("status"), ""));
    // Its own creation must not be what waits; a small point keeps each call short.
    BuiltinStore::Options o = smallStoreOptions();
    o.lockWaitSeconds = 0;
    BuiltinStore store(o);
    QVERIFY(!store.createRestorePoint("first", 12, 100));
    QVERIFY(writeFile(path("config/a"), "2"));

    // A creation that holds the store, as one does while it prunes.
    const QByteArray lock = path("store.git/vigilorn.lock").toUtf8();
    const int fd = ::open(lock.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    std::atomic<bool> released{false};
    std::thread holder([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        released = true;
        ::close(fd);
    });
    BuiltinChanges changes(options());
    Failure f;
    if (call == "compare") {
        f = changes.compare("1", CompareCallbacks{});
    } else if (call == "plan") {
        RestorePlan plan;
        f = changes.plan("1", plan);
    } else {
        f = changes.restoreConfig("1", store);
    }
    const bool waited = released;
    holder.join();
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QVERIFY(waited);
}

QTEST_GUILESS_MAIN(TestBuiltinChanges)
#include "test_builtinchanges.moc"
