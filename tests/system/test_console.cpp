// What qmvigilorn-system says at a console: the list, what a restore would change (with the
// same rules the restore itself follows), its progress in words, and the answer it takes.
#include "system/Console.h"
#include "system/EtcRestore.h"
#include "system/debian/Apt.h"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using namespace vigilorn;
using namespace vigilorn::sys;

namespace {

PackageAction action(const std::string& name, const std::string& from, const std::string& to,
                     ActionKind kind) {
    return {name, from, to, kind};
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
}

} // namespace

class TestConsole : public QObject {
    Q_OBJECT

private slots:
    void list() {
        SystemPoint plain{3, "20261209205107.000000+000", "before the upgrade", {}, 0};
        for (int i = 0; i < 6; ++i)
            plain.actions.push_back(
                action("p" + std::to_string(i), "1.0", "2.0", ActionKind::Upgrade));
        plain.moreActions = 1;
        const SystemPoint odd{
            12, "not a time", "window", {action("x", "-", "1", ActionKind::Install)}, 0};
        const std::string out = formatPointList({plain, odd}, {12});
        QVERIFY2(out.find("    3  2026-12-09 20:51:07  before the upgrade\n") != std::string::npos,
                 out.c_str());
        // Four named, two left of the list and one the list itself left out.
        QVERIFY2(out.find("upgrade p0 1.0 -> 2.0, ") != std::string::npos, out.c_str());
        QVERIFY2(out.find("upgrade p3 1.0 -> 2.0, +3 more\n") != std::string::npos, out.c_str());
        QVERIFY2(out.find("p4") == std::string::npos, out.c_str());
        QVERIFY2(out.find("   12  not a time  window  [pinned]\n       before: install x 1\n") !=
                     std::string::npos,
                 out.c_str());
        QCOMPARE(count(out, "[pinned]"), std::size_t(1));
        QCOMPARE(formatPointList({}, {}), std::string("No system points.\n"));
    }

    void plan() {
        const auto named = [](const PackageTarget& t) { return aptName(t, "amd64"); };
        PackagePlan packages;
        packages.install = {{"libx", "i386", "1.0", ""}, {"tool", "amd64", "2.0", "/pool/t.deb"}};
        packages.remove = {{"added", "all", "3.0", ""}};
        packages.missing = {{"lost", "amd64", "0.9", ""}};
        packages.leftAlone = {{"qmvigilorn", "amd64", "3.0.4", ""}};
        const std::vector<EtcChange> etc{{"etc/shadow", EtcChange::Kind::Back},
                                         {"etc/hostname", EtcChange::Kind::Back},
                                         {"etc/sudoers.d/x", EtcChange::Kind::Removed}};
        const std::string out = formatRestorePlan(packages, etc, named);
        QVERIFY2(out.find("put back    libx:i386 1.0 (from APT's archive)\n") != std::string::npos,
                 out.c_str());
        QVERIFY2(out.find("put back    tool 2.0 (kept)\n") != std::string::npos, out.c_str());
        QVERIFY2(out.find("removed     added 3.0 (installed since)\n") != std::string::npos,
                 out.c_str());
        QVERIFY2(out.find("lost 0.9 (neither kept") != std::string::npos, out.c_str());
        QVERIFY2(out.find("left alone  qmvigilorn 3.0.4 (a restore never") != std::string::npos,
                 out.c_str());
        QVERIFY2(out.find("  ! put back    /etc/shadow\n") != std::string::npos, out.c_str());
        QVERIFY2(out.find("    put back    /etc/hostname\n") != std::string::npos, out.c_str());
        QVERIFY2(out.find("  ! removed     /etc/sudoers.d/x\n") != std::string::npos, out.c_str());
        QCOMPARE(count(out, "\n! "), std::size_t(1));

        const std::string plain =
            formatRestorePlan({}, {{"etc/hostname", EtcChange::Kind::Made}}, named);
        QCOMPARE(count(plain, "!"), std::size_t(0));
        QCOMPARE(formatRestorePlan({}, {}, named),
                 std::string("Nothing differs from the point.\n"));
    }

    // The plan names what the restore then changes, and nothing is left to change after it.
    void etcPlanMatchesTheRestore() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const std::string etc = dir.filePath("etc").toStdString();
        QVERIFY(::mkdir(etc.c_str(), 0755) == 0);
        QVERIFY(::mkdir((etc + "/d").c_str(), 0755) == 0);
        writeFile(etc + "/changed", "now", 0644);
        writeFile(etc + "/added", "since", 0644);
        writeFile(etc + "/mode", "same", 0600);
        writeFile(etc + "/d/same", "same", 0644);
        QVERIFY(::symlink("changed", (etc + "/link").c_str()) == 0);

        StoredPoint point;
        const std::uint32_t uid = ::getuid(), gid = ::getgid();
        auto add = [&](const std::string& path, StoredEntry::Type type, const std::string& data,
                       std::uint32_t mode) {
            point.etc[path] = {type, false, data};
            point.owners[path] = {mode, uid, gid, path};
        };
        add("etc", StoredEntry::Type::Folder, {}, S_IFDIR | 0755);
        add("etc/changed", StoredEntry::Type::File, "then", S_IFREG | 0644);
        add("etc/gone", StoredEntry::Type::File, "was here", S_IFREG | 0644);
        add("etc/mode", StoredEntry::Type::File, "same", S_IFREG | 0644);
        add("etc/d", StoredEntry::Type::Folder, {}, S_IFDIR | 0755);
        add("etc/d/same", StoredEntry::Type::File, "same", S_IFREG | 0644);
        add("etc/link", StoredEntry::Type::Link, "elsewhere", S_IFLNK | 0777);
        add("etc/newdir", StoredEntry::Type::Folder, {}, S_IFDIR | 0755);
        add("etc/newdir/f", StoredEntry::Type::File, "f", S_IFREG | 0644);

        auto plan = planEtc(etc, point);
        std::sort(plan.begin(), plan.end(),
                  [](const EtcChange& a, const EtcChange& b) { return a.path < b.path; });
        const std::vector<EtcChange> want{
            {"etc/added", EtcChange::Kind::Removed}, {"etc/changed", EtcChange::Kind::Back},
            {"etc/gone", EtcChange::Kind::Made},     {"etc/link", EtcChange::Kind::Back},
            {"etc/mode", EtcChange::Kind::Owner},    {"etc/newdir", EtcChange::Kind::Made},
            {"etc/newdir/f", EtcChange::Kind::Made},
        };
        QCOMPARE(plan.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
            QCOMPARE(plan[i].path, want[i].path);
            QCOMPARE(int(plan[i].kind), int(want[i].kind));
        }
        // The plan changed nothing.
        struct stat st {};
        QVERIFY(::stat((etc + "/added").c_str(), &st) == 0);
        QVERIFY(::stat((etc + "/gone").c_str(), &st) != 0);

        const EtcResult done = restoreEtc(etc, point, {});
        QCOMPARE(done.failed, std::size_t(0));
        QVERIFY(planEtc(etc, point).empty());
    }

    void protocolInWords_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("text");
        QTest::newRow("step") << "step 2 5 making the point before restoring\n"
                              << "[2/5] making the point before restoring\n";
        QTest::newRow("warn") << "warn could not write /etc/x"
                              << "warning: could not write /etc/x\n";
        QTest::newRow("before") << "before 8\n"
                                << "Point 8 holds how things were before this restore; "
                                   "`qmvigilorn-system restore --point 8` undoes it.\n";
        QTest::newRow("ok") << "end ok P3 restored\n"
                            << "Done: P3 restored.\n";
        QTest::newRow("stopped") << "end stopped nothing was changed\n"
                                 << "Stopped: nothing was changed.\n";
        QTest::newRow("failed") << "end failed\n"
                                << "Failed.\n";
        // Asked apart; named in the plan shown before the question.
        QTest::newRow("ask") << "ask\n"
                             << "";
        QTest::newRow("missing") << "missing a 1 all\n"
                                 << "";
    }
    void protocolInWords() {
        QFETCH(QString, line);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(consoleText(line.toStdString())), text);
    }

    void answer_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("yes");
        QTest::newRow("y") << "y\n" << true;
        QTest::newRow("YES around spaces") << "  YES \n" << true;
        QTest::newRow("empty: the default") << "\n" << false;
        QTest::newRow("n") << "n\n" << false;
        QTest::newRow("yesterday") << "yesterday\n" << false;
        QTest::newRow("nothing: the terminal closed") << "" << false;
    }
    void answer() {
        QFETCH(QString, line);
        QFETCH(bool, yes);
        QCOMPARE(answeredYes(line.toStdString()), yes);
    }
};

QTEST_GUILESS_MAIN(TestConsole)
#include "test_console.moc"
