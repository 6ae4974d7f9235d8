// System points against a temporary /etc and root folder. Runs as root: entries are given to
// other users. What a point holds is read back with libgit2, not through the store.
#include "store/OwnerManifest.h"
#include "system/SystemStore.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <git2.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

using namespace vigilorn;
using namespace vigilorn::sys;
using store::OwnerEntry;

namespace {

struct Entry {
    const char* path; // below etc/
    mode_t mode;      // with its type
    uid_t uid;
    gid_t gid;
};

// Written in this order, so a folder comes before what is in it.
const std::string kOddName = std::string("we\nird\\\t\xff name");
const std::vector<Entry> kTree = {
    {"hosts", S_IFREG | 0644, 0, 0},
    {"shadow", S_IFREG | 0640, 0, 42},
    {"tool", S_IFREG | 04755, 1000, 1000},
    {"secret", S_IFDIR | 0700, 0, 0},
    {"secret/key", S_IFREG | 0600, 65534, 65534},
    {"sub", S_IFDIR | 02775, 0, 50},
    {"sub/ro", S_IFREG | 0444, 7, 8},
    {"link", S_IFLNK | 0777, 65534, 65534},
};

bool make(const std::string& etc, const std::string& rel, mode_t mode, uid_t uid, gid_t gid) {
    const std::string p = etc + "/" + rel;
    if (S_ISDIR(mode)) {
        if (::mkdir(p.c_str(), 0700) != 0)
            return false;
    } else if (S_ISLNK(mode)) {
        if (::symlink("hosts", p.c_str()) != 0)
            return false;
    } else {
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        const bool ok = fd >= 0 && ::write(fd, rel.data(), rel.size()) > 0;
        if (fd >= 0)
            ::close(fd);
        if (!ok)
            return false;
    }
    if (::lchown(p.c_str(), uid, gid) != 0)
        return false;
    return S_ISLNK(mode) || ::chmod(p.c_str(), mode & 07777) == 0;
}

// Every entry below `dir` by lstat, independently of the store's walk.
void walk(const std::string& dir, const std::string& rel, std::vector<OwnerEntry>& out) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return;
    out.push_back({st.st_mode, st.st_uid, st.st_gid, rel});
    if (!S_ISDIR(st.st_mode))
        return;
    DIR* d = ::opendir(dir.c_str());
    while (const dirent* e = d ? ::readdir(d) : nullptr) {
        const std::string n = e->d_name;
        if (n != "." && n != "..")
            walk(dir + "/" + n, rel + "/" + n, out);
    }
    if (d)
        ::closedir(d);
}

struct Machine {
    QTemporaryDir tmp;
    std::string etc, root;
    std::int64_t clock = 1'700'000'000;

    Machine() {
        etc = tmp.filePath("etc").toStdString();
        root = tmp.filePath("qmvigilorn").toStdString();
        ::mkdir(etc.c_str(), 0755);
        const std::string status = tmp.filePath("status").toStdString();
        const std::string text = "Package: hello\nStatus: install ok installed\nArchitecture: "
                                 "amd64\nVersion: 2.10-3\n\n";
        const int fd = ::open(status.c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd >= 0) {
            (void)!::write(fd, text.data(), text.size());
            ::close(fd);
        }
    }
    // QTemporaryDir can't name a file that is not UTF-8.
    ~Machine() { ::unlink((etc + "/" + kOddName).c_str()); }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;
    bool populate() {
        for (const auto& e : kTree)
            if (!make(etc, e.path, e.mode, e.uid, e.gid))
                return false;
        return make(etc, kOddName, S_IFREG | 0644, 0, 0);
    }
    SystemStore::Options options() {
        SystemStore::Options o;
        o.folder = root;
        o.etc = etc;
        o.dpkgStatus = tmp.filePath("status").toStdString();
        o.flatpakSystem.clear();
        o.now = [this] { return clock; };
        o.warn = [](const std::string& w) { qWarning("%s", w.c_str()); };
        return o;
    }
    Failure create(const Request& r, unsigned long long& number) {
        SystemStore s(options());
        return s.create(r, number);
    }
    // A file of a point by git's revision syntax, e.g. "HEAD~1:change.txt".
    std::string object(const std::string& revision, git_oid* id = nullptr) {
        git_libgit2_init();
        git_repository* repo = nullptr;
        git_object* obj = nullptr;
        std::string text;
        if (git_repository_open_bare(&repo, (root + "/points.git").c_str()) == 0 &&
            git_revparse_single(&obj, repo, revision.c_str()) == 0) {
            if (id)
                *id = *git_object_id(obj);
            if (git_object_type(obj) == GIT_OBJECT_BLOB) {
                const auto* b = reinterpret_cast<const git_blob*>(obj);
                text.assign(static_cast<const char*>(git_blob_rawcontent(b)),
                            static_cast<std::size_t>(git_blob_rawsize(b)));
            }
        }
        git_object_free(obj);
        git_repository_free(repo);
        git_libgit2_shutdown();
        return text;
    }
    std::string list() const {
        std::string text;
        if (FILE* f = std::fopen((root + "/points.list").c_str(), "rb")) {
            char b[4096];
            std::size_t n;
            while ((n = std::fread(b, 1, sizeof b, f)) > 0)
                text.append(b, n);
            std::fclose(f);
        }
        return text;
    }
};

Request request(Reason reason, std::vector<PackageAction> actions = {}) {
    Request r;
    r.reason = reason;
    r.frontend = "apt";
    r.description = "apt-get install hello";
    r.change = "Commandline: apt-get install hello";
    r.actions = std::move(actions);
    return r;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

} // namespace

class TestSystemStore : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void manifestHoldsEveryEntry();
    void changeReachesPointAndList();
    void unchangedSecondPoint();
    void unattendedRate_data();
    void unattendedRate();
    void reusedPointNamesTheChange_data();
    void reusedPointNamesTheChange();
    void refusesUnsafeFolders_data();
    void refusesUnsafeFolders();
    void descriptionBounds_data();
    void descriptionBounds();
    void actionLines_data();
    void actionLines();
    void inputIsBounded();
};

// The parsing tests run as anyone; the store's own only as root, which owns it.
void TestSystemStore::initTestCase() {}

#define REQUIRE_ROOT()                                                                             \
    do {                                                                                           \
        if (::geteuid() != 0)                                                                      \
            QSKIP("system points are made as root");                                               \
    } while (false)

void TestSystemStore::manifestHoldsEveryEntry() {
    REQUIRE_ROOT();
    Machine m;
    QVERIFY(m.populate());
    unsigned long long n = 0;
    const auto f = m.create(request(Reason::Auto), n);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QCOMPARE(n, 1ULL);

    const std::string text = m.object("HEAD:etc-owners.txt");
    std::vector<OwnerEntry> parsed;
    QVERIFY(parseOwnerManifest(text, parsed));
    QCOMPARE(store::ownerManifest(parsed), text);

    std::vector<OwnerEntry> seen;
    walk(m.etc, "etc", seen);
    std::sort(seen.begin(), seen.end(),
              [](const OwnerEntry& a, const OwnerEntry& b) { return a.path < b.path; });
    QCOMPARE(parsed.size(), seen.size());
    QVERIFY(parsed == seen);

    std::map<std::string, OwnerEntry> byPath;
    for (const auto& e : parsed)
        byPath[e.path] = e;
    for (const auto& e : kTree) {
        const auto it = byPath.find(std::string("etc/") + e.path);
        QVERIFY2(it != byPath.end(), e.path);
        QCOMPARE(it->second, (OwnerEntry{e.mode, e.uid, e.gid, it->first}));
    }
    QVERIFY(byPath.count("etc/" + kOddName));
    QCOMPARE(m.object("HEAD:etc/secret/key"), std::string("secret/key"));
    QCOMPARE(m.object("HEAD:etc/link"), std::string("hosts"));
}

void TestSystemStore::changeReachesPointAndList() {
    REQUIRE_ROOT();
    Machine m;
    const std::vector<PackageAction> actions = {
        {"hello", "-", "2.10-3", ActionKind::Install},
        {"libc6:amd64", "2.36-9", "1:2.36-9+deb12u4", ActionKind::Upgrade},
        {"old-thing", "0.1", "-", ActionKind::Purge},
    };
    unsigned long long n = 0;
    QVERIFY(!m.create(request(Reason::Asked, actions), n));

    ChangeRecord change;
    QVERIFY(parseChangeFile(m.object("HEAD:change.txt"), change));
    QCOMPARE(change.reason, std::string("asked"));
    QCOMPARE(change.frontend, std::string("apt"));
    QCOMPARE(change.description, std::string("apt-get install hello"));
    QCOMPARE(change.change, std::string("Commandline: apt-get install hello"));
    QVERIFY(change.actions == actions);

    QCOMPARE(modeOf(m.root), mode_t(0755));
    QCOMPARE(modeOf(m.root + "/points.git"), mode_t(0700));
    QCOMPARE(modeOf(m.root + "/points.list"), mode_t(0644));
    const auto points = parseSystemPointList(m.list());
    QCOMPARE(points.size(), std::size_t(1));
    QCOMPARE(points[0].number, n);
    QCOMPARE(points[0].description, std::string(kAskedDescription));
    QVERIFY(points[0].actions == actions);
    QCOMPARE(points[0].creationTime.size(), std::size_t(25));
    QCOMPARE(formatSystemPointList(points), m.list());
}

void TestSystemStore::unchangedSecondPoint() {
    REQUIRE_ROOT();
    Machine m;
    QVERIFY(m.populate());
    std::vector<PackageAction> many;
    for (int i = 0; i < 60; ++i)
        many.push_back({"pkg" + std::to_string(i), "1.0", "1.1", ActionKind::Upgrade});
    unsigned long long first = 0, second = 0;
    QVERIFY(!m.create(request(Reason::Auto, many), first));
    QVERIFY(!m.create(request(Reason::Window), second));
    QCOMPARE(second, first + 1);

    git_oid a{}, b{};
    m.object("HEAD~1:etc", &a);
    m.object("HEAD:etc", &b);
    QVERIFY(git_oid_equal(&a, &b));
    QCOMPARE(m.object("HEAD:etc-owners.txt"), m.object("HEAD~1:etc-owners.txt"));

    const auto points = parseSystemPointList(m.list());
    QCOMPARE(points.size(), std::size_t(2));
    // The first point's actions are carried over, bounded; the second has none.
    QCOMPARE(points[0].actions.size(), kSystemPointListActions);
    QCOMPARE(points[0].moreActions, std::size_t(10));
    QVERIFY(points[1].actions.empty());
}

void TestSystemStore::unattendedRate_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<qint64>("later");
    QTest::addColumn<bool>("newPoint");
    const int u = static_cast<int>(Reason::Unattended);
    QTest::newRow("within 20 minutes") << u << qint64(20 * 60 - 1) << false;
    QTest::newRow("after 20 minutes") << u << qint64(20 * 60) << true;
    QTest::newRow("clock went back") << u << qint64(-3600) << true;
    QTest::newRow("auto is never held") << static_cast<int>(Reason::Auto) << qint64(1) << true;
}

void TestSystemStore::unattendedRate() {
    REQUIRE_ROOT();
    QFETCH(int, reason);
    QFETCH(qint64, later);
    QFETCH(bool, newPoint);
    Machine m;
    unsigned long long first = 0, second = 0;
    QVERIFY(!m.create(request(Reason::Unattended), first));
    m.clock += later;
    QVERIFY(!m.create(request(static_cast<Reason>(reason)), second));
    QCOMPARE(second, newPoint ? first + 1 : first);
    QCOMPARE(parseSystemPointList(m.list()).size(), std::size_t(newPoint ? 2 : 1));
}

// An unattended change that gets the last unattended point adds its actions, and what it kept,
// to it; the point otherwise stays what it was.
void TestSystemStore::reusedPointNamesTheChange_data() {
    QTest::addColumn<qint64>("later");
    QTest::addColumn<QString>("second"); // the second change, as the maker reads it
    QTest::addColumn<bool>("newPoint");
    QTest::addColumn<QString>("change");   // the actions the newest point's change.txt holds
    QTest::addColumn<QString>("kept");     // its kept-packages.txt
    QTest::addColumn<QStringList>("pool"); // the pool afterwards
    const QString first = "hello 2.10-3 2.10-4 upgrade\nfresh - 1.0 install\n";
    const QString other = "other 1.0 1.1 upgrade\n";
    const QString helloAgain = "hello 2.10-4 2.10-5 upgrade\n";
    const QString keptHello = "kept hello 2.10-3 amd64 cached\n";
    const QString keptOther = "kept other 1.0 amd64 cached\n";
    QTest::newRow("a version the point has")
        << qint64(60) << other << false << first + other << keptHello + keptOther
        << QStringList{"hello_2.10-3_amd64.deb", "other_1.0_amd64.deb"};
    QTest::newRow("a version the earlier change installed")
        << qint64(60) << helloAgain << false << first + helloAgain
        << keptHello + "kept hello 2.10-4 amd64 cached\n"
        << QStringList{"hello_2.10-3_amd64.deb", "hello_2.10-4_amd64.deb"};
    QTest::newRow("a removal, the last second of the 20 minutes")
        << qint64(20 * 60 - 1) << QString("fresh 1.0 - remove\n") << false
        << first + "fresh 1.0 - remove\n"
        << keptHello + "kept fresh 1.0 amd64 cached\n"
        << QStringList{"fresh_1.0_amd64.deb", "hello_2.10-3_amd64.deb"};
    QTest::newRow("after 20 minutes, a point of its own")
        << qint64(20 * 60) << helloAgain << true << helloAgain
        << QString("kept hello 2.10-4 amd64 cached\n")
        << QStringList{"hello_2.10-3_amd64.deb", "hello_2.10-4_amd64.deb"};
}

void TestSystemStore::reusedPointNamesTheChange() {
    REQUIRE_ROOT();
    QFETCH(qint64, later);
    QFETCH(QString, second);
    QFETCH(bool, newPoint);
    QFETCH(QString, change);
    QFETCH(QString, kept);
    QFETCH(QStringList, pool);
    Machine m;
    auto write = [&](const QString& name, const QByteArray& text, bool run = false) {
        QFile f(m.tmp.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(text), text.size());
        if (run)
            QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    };
    // The first change upgrades hello and installs fresh.
    auto status = [](bool changed) {
        return QByteArray("Package: hello\nStatus: install ok installed\nArchitecture: amd64\n"
                          "Version: ") +
               (changed ? "2.10-4" : "2.10-3") +
               "\n\nPackage: other\nStatus: install ok installed\nArchitecture: amd64\n"
               "Version: 1.0\n" +
               (changed ? "\nPackage: fresh\nStatus: install ok installed\n"
                          "Architecture: amd64\nVersion: 1.0\n"
                        : "");
    };
    // APT's copies; what the stand-in dpkg-deb says of a file is its content.
    QVERIFY(QDir().mkpath(m.tmp.filePath("archives")));
    for (const char* deb :
         {"hello_2.10-3_amd64", "hello_2.10-4_amd64", "other_1.0_amd64", "fresh_1.0_amd64"}) {
        QByteArray fields(deb);
        fields.replace('_', '\t');
        write(QString("archives/") + deb + ".deb", fields + "\n");
    }
    write("dpkg-deb", "#!/bin/sh\ncat \"$3\"\n", true);
    write("status", status(false));
    SystemStore::Options o = m.options();
    o.keepPackages = true;
    o.config = m.tmp.filePath("no-system.conf").toStdString();
    o.pool.archives = m.tmp.filePath("archives").toStdString();
    o.pool.dpkgDeb = m.tmp.filePath("dpkg-deb").toStdString();
    o.pool.stage = false;
    o.pool.owner = 0;
    auto make = [&](const QString& actions, unsigned long long& n) {
        SystemStore store(o);
        Request r = request(Reason::Unattended, parseActions(actions.toStdString()));
        return store.create(r, n);
    };

    unsigned long long first = 0, next = 0;
    QVERIFY(!make("hello 2.10-3 2.10-4 upgrade\nfresh - 1.0 install\n", first));
    const std::string packages = m.object("HEAD:packages/dpkg");
    const std::string etc = m.object("HEAD:etc-owners.txt");
    const auto listed = parseSystemPointList(m.list());
    QCOMPARE(listed.size(), std::size_t(1));
    write("status", status(true));
    m.clock += later;
    o.now = [&m] { return m.clock; };
    const Failure f = make(second, next);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    QCOMPARE(next, newPoint ? first + 1 : first);

    ChangeRecord record;
    QVERIFY(parseChangeFile(m.object("HEAD:change.txt"), record));
    QVERIFY(record.actions == parseActions(change.toStdString()));
    QCOMPARE(QString::fromStdString(m.object("HEAD:kept-packages.txt")), kept);
    QCOMPARE(QDir(m.tmp.filePath("qmvigilorn/pool")).entryList(QDir::Files), pool);
    const auto points = parseSystemPointList(m.list());
    QCOMPARE(points.size(), std::size_t(newPoint ? 2 : 1));
    QCOMPARE(points.back().number, next);
    QVERIFY(points.back().actions == record.actions);
    if (!newPoint) {
        // The same point: its number, time, description, and the machine it restores.
        QCOMPARE(points.back().creationTime, listed.back().creationTime);
        QCOMPARE(points.back().description, listed.back().description);
        QCOMPARE(m.object("HEAD:packages/dpkg"), packages);
        QCOMPARE(m.object("HEAD:etc-owners.txt"), etc);
        QCOMPARE(record.description, std::string("apt-get install hello"));
        // A third change finds the point whole again.
        QVERIFY(!make("fresh 1.0 - remove\n", next));
        QCOMPARE(next, first);
        QVERIFY(parseChangeFile(m.object("HEAD:change.txt"), record));
        QCOMPARE(record.actions.back(), (PackageAction{"fresh", "1.0", "-", ActionKind::Remove}));
    } else {
        // A point that is no longer the newest is never added to.
        BuiltinStore::Options so;
        so.repository = m.root + "/points.git";
        const std::string older = m.object("HEAD~1:change.txt");
        const std::string newest = m.object("HEAD:change.txt");
        QVERIFY(BuiltinStore(so).appendToNewest(first, {{"change.txt", "x\n"}}).has_value());
        QCOMPARE(m.object("HEAD~1:change.txt"), older);
        QCOMPARE(m.object("HEAD:change.txt"), newest);
    }
}

void TestSystemStore::refusesUnsafeFolders_data() {
    QTest::addColumn<QString>("unsafe");
    QTest::newRow("root folder is a link") << "root-link";
    QTest::newRow("root folder not root's") << "root-owner";
    QTest::newRow("root folder writable by all") << "root-writable";
    QTest::newRow("repository is a link") << "repo-link";
    QTest::newRow("repository not root's") << "repo-owner";
}

void TestSystemStore::refusesUnsafeFolders() {
    REQUIRE_ROOT();
    QFETCH(QString, unsafe);
    Machine m;
    const std::string elsewhere = m.tmp.filePath("elsewhere").toStdString();
    QCOMPARE(::mkdir(elsewhere.c_str(), 0700), 0);
    if (unsafe == "root-link") {
        QCOMPARE(::symlink(elsewhere.c_str(), m.root.c_str()), 0);
    } else {
        QCOMPARE(::mkdir(m.root.c_str(), 0755), 0);
        const std::string repo = m.root + "/points.git";
        if (unsafe == "root-owner")
            QCOMPARE(::chown(m.root.c_str(), 65534, 65534), 0);
        else if (unsafe == "root-writable")
            QCOMPARE(::chmod(m.root.c_str(), 0777), 0);
        else if (unsafe == "repo-link")
            QCOMPARE(::symlink(elsewhere.c_str(), repo.c_str()), 0);
        else if (unsafe == "repo-owner")
            QCOMPARE(::mkdir(repo.c_str(), 0700) + ::chown(repo.c_str(), 65534, 65534), 0);
    }
    unsigned long long n = 0;
    const auto f = m.create(request(Reason::Auto), n);
    QVERIFY(f.has_value());
    QVERIFY2(f->description.find("refusing") != std::string::npos, f->description.c_str());
    QVERIFY(m.list().empty());
    QVERIFY(::access((elsewhere + "/points.list").c_str(), F_OK) != 0);
    QVERIFY(::access((elsewhere + "/HEAD").c_str(), F_OK) != 0);
}

void TestSystemStore::descriptionBounds_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QByteArray>("out");
    const QByteArray a255(255, 'a');
    QTest::newRow("plain") << QByteArray("apt-get install hello") << true
                           << QByteArray("apt-get install hello");
    QTest::newRow("controls become spaces") << QByteArray("a\nb\tc\rd\x7f"
                                                          "e\xc2\x85"
                                                          "f")
                                            << true << QByteArray("a b c d e f");
    QTest::newRow("256 bytes kept") << QByteArray(256, 'x') << true << QByteArray(256, 'x');
    QTest::newRow("257 bytes cut") << QByteArray(257, 'x') << true << QByteArray(256, 'x');
    QTest::newRow("cut between characters") << a255 + "\xc3\xa9" << true << a255;
    QTest::newRow("UTF-8 kept") << QByteArray("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80") << true
                                << QByteArray("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
    QTest::newRow("NUL") << QByteArray("a\0b", 3) << false << QByteArray();
    QTest::newRow("not UTF-8") << QByteArray("caf\xe9") << false << QByteArray();
    QTest::newRow("overlong") << QByteArray("\xc0\xaf") << false << QByteArray();
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << false << QByteArray();
    QTest::newRow("cut short") << QByteArray("\xe2\x82") << false << QByteArray();
    QTest::newRow("bad byte past the bound")
        << QByteArray(300, 'x') + "\xff" << false << QByteArray();
}

void TestSystemStore::descriptionBounds() {
    QFETCH(QByteArray, in);
    QFETCH(bool, taken);
    QFETCH(QByteArray, out);
    const auto cleaned = cleanText(std::string_view(in.constData(), std::size_t(in.size())));
    QCOMPARE(cleaned.has_value(), taken);
    if (cleaned)
        QCOMPARE(QByteArray::fromStdString(*cleaned), out);
    // The command line bounds it the same way.
    Request r;
    const auto f =
        parseArguments({"create", "--reason", "window", "--description", in.toStdString()}, r);
    QCOMPARE(!f, taken);
    if (!f)
        QCOMPARE(QByteArray::fromStdString(r.description), out);
}

void TestSystemStore::actionLines_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("taken");
    QTest::newRow("install") << QByteArray("hello - 2.10-3 install") << true;
    QTest::newRow("epoch and arch") << QByteArray("libc6:amd64 2.36-9 1:2.36-9 upgrade") << true;
    QTest::newRow("remove") << QByteArray("hello 2.10-3 - remove") << true;
    QTest::newRow("carriage return") << QByteArray("hello 1.0 1.0 reinstall\r") << true;
    QTest::newRow("unknown kind") << QByteArray("hello - 1.0 frobnicate") << false;
    QTest::newRow("three fields") << QByteArray("hello - 1.0") << false;
    QTest::newRow("bad name") << QByteArray("Hello - 1.0 install") << false;
    QTest::newRow("bad version") << QByteArray("hello - x>1 install") << false;
    QTest::newRow("digit arch") << QByteArray("hello:1 - 1.0 install") << false;
    QTest::newRow("two spaces") << QByteArray("hello  - 1.0 install") << false;
}

void TestSystemStore::actionLines() {
    QFETCH(QByteArray, line);
    QFETCH(bool, taken);
    const auto actions = parseActions("junk\n" + line.toStdString() + "\n\n");
    QCOMPARE(actions.size(), std::size_t(taken ? 1 : 0));
    if (!taken)
        return;
    // Whatever is taken survives the public list.
    SystemPoint p{1, "20240101000000.000000+000", "d", actions, 0};
    const auto back = parseSystemPointList(formatSystemPointList({p}));
    QCOMPARE(back.size(), std::size_t(1));
    QVERIFY(back[0] == p);
}

void TestSystemStore::inputIsBounded() {
    // (what is written, whether the writer closes, size bound) -> what is read
    auto read = [](const std::string& text, bool close, std::size_t limit) {
        int fds[2];
        if (::pipe(fds) != 0 || ::write(fds[1], text.data(), text.size()) != ssize_t(text.size()))
            return std::string("pipe failed");
        if (close)
            ::close(fds[1]);
        const std::string got = readInput(fds[0], limit, 300);
        ::close(fds[0]);
        if (!close)
            ::close(fds[1]);
        return got;
    };
    QCOMPARE(read("a\nb", true, 100), std::string("a\nb"));
    QCOMPARE(read("first line\nsecond line\n", true, 15), std::string("first line\n"));
    QElapsedTimer t;
    t.start();
    QCOMPARE(read("a\nb", false, 100), std::string("a\n"));
    QVERIFY(t.elapsed() < 3000);
    int fds[2];
    QCOMPARE(::pipe(fds), 0);
    ::close(fds[0]);
    ::close(fds[1]);
    QCOMPARE(readInput(fds[0], 100, 300), std::string());
}

QTEST_GUILESS_MAIN(TestSystemStore)
#include "test_systemstore.moc"
