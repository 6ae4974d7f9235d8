// The room system points take, as an ordinary user: which points go for a new one (by count of
// each kind, then oldest first by space; never the newest, a pinned one or the one being
// restored; a window point never makes a hook's point go), what a point alone holds, the
// budget's settings file, and the checksum staged files are checked with.
#include "system/Space.h"
#include "system/debian/Md5.h"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vigilorn::sys;

Q_DECLARE_METATYPE(std::vector<PointHolding>)
Q_DECLARE_METATYPE(SpaceNeed)

namespace {

using Drops = std::set<unsigned long long>;

PointHolding hook(unsigned long long n, std::vector<std::string> holds = {}) {
    return {n, false, false, std::move(holds)};
}
PointHolding window(unsigned long long n, std::vector<std::string> holds = {}) {
    return {n, true, false, std::move(holds)};
}
PointHolding pinned(unsigned long long n, std::vector<std::string> holds = {}) {
    return {n, false, true, std::move(holds)};
}

SpaceNeed room(std::uint64_t used, std::uint64_t budget, std::uint64_t newBytes,
               bool newIsWindow = false, std::vector<std::string> newHolds = {}) {
    SpaceNeed n;
    n.used = used;
    n.budget = budget;
    n.newBytes = newBytes;
    n.newIsWindow = newIsWindow;
    n.newHolds = std::move(newHolds);
    n.freeBytes = 1'000'000;
    n.floor = 0;
    return n;
}

} // namespace

class TestSpace : public QObject {
    Q_OBJECT
private slots:
    void plan_data() {
        QTest::addColumn<std::vector<PointHolding>>("points");
        QTest::addColumn<SpaceNeed>("need");
        QTest::addColumn<Drops>("drop");
        QTest::addColumn<bool>("fits");
        // Every key is 100 bytes; 3 hook points and 2 window points by count.
        QTest::newRow("past the count, the oldest hook point goes")
            << std::vector{hook(1), hook(2), hook(3)} << room(0, 1000, 0) << Drops{1} << true;
        QTest::newRow("window points have their own count, and never take a hook point")
            << std::vector{hook(1), window(2), window(3), hook(4)} << room(0, 1000, 0, true)
            << Drops{2} << true;
        QTest::newRow("the third point makes the first go")
            << std::vector{hook(1, {"a"}), hook(2, {"b"})} << room(200, 250, 100) << Drops{1}
            << true;
        QTest::newRow("what another point still needs frees nothing")
            << std::vector{hook(1, {"a"}), hook(2, {"a"}), hook(3, {"b"})} << room(200, 250, 100)
            << Drops{1, 2} << true;
        QTest::newRow("what the new point needs frees nothing")
            << std::vector{hook(1, {"a"}), hook(2, {"b"})} << room(200, 250, 100, false, {"a"})
            << Drops{1} << false;
        QTest::newRow("pinned points and the newest stay; nothing else fits")
            << std::vector{pinned(1, {"a"}), hook(2, {"b"})} << room(200, 250, 100) << Drops{}
            << false;
        QTest::newRow("a window point makes no hook point go for space")
            << std::vector{hook(1, {"a"}), window(2, {"b"}), window(3, {"c"})}
            << room(300, 350, 100, true) << Drops{2} << true;
        SpaceNeed floor = room(0, 1'000'000, 20);
        floor.freeBytes = 50;
        floor.floor = 40;
        QTest::newRow("the free space's floor counts like the budget")
            << std::vector{hook(1, {"a"}), hook(2, {"b"})} << floor << Drops{1} << true;
    }
    void plan() {
        QFETCH(std::vector<PointHolding>, points);
        QFETCH(SpaceNeed, need);
        QFETCH(Drops, drop);
        QFETCH(bool, fits);
        SpaceSettings settings;
        settings.points = 3;
        settings.windowPoints = 2;
        const std::map<std::string, std::uint64_t> bytes{{"a", 100}, {"b", 100}, {"c", 100}};
        const SpacePlan plan = planSpace(points, bytes, settings, need);
        QCOMPARE(plan.drop, drop);
        QCOMPARE(plan.fits, fits);
    }

    void sizes() {
        const auto s = pointSizes({hook(1, {"a", "b"}), hook(2, {"b", "c"}), hook(3, {"c"})},
                                  {{"a", 100}, {"b", 20}, {"c", 3}});
        QCOMPARE(s.alone, (std::map<unsigned long long, std::uint64_t>{{1, 100}, {2, 0}, {3, 0}}));
        QCOMPARE(s.total, std::uint64_t{123});
        const auto text = vigilorn::formatSystemPointSizes(s);
        QCOMPARE(vigilorn::parseSystemPointSizes(text).alone, s.alone);
    }

    void settings_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<quint64>("fileSystem");
        QTest::addColumn<quint64>("budget");
        QTest::addColumn<quint64>("floor");
        QTest::addColumn<int>("problems");
        constexpr quint64 G = 1ull << 30;
        QTest::newRow("defaults: 10% up to 8 GiB, 5% free")
            << QByteArray() << 200 * G << 8 * G << 10 * G << 0;
        QTest::newRow("defaults on a small disk") << QByteArray() << 20 * G << 2 * G << G << 0;
        QTest::newRow("sizes") << QByteArray("budget = 2G\nfloor = 512M # comment\n") << 200 * G
                               << 2 * G << G / 2 << 0;
        QTest::newRow("a share has no cap")
            << QByteArray("budget=50%\nfloor=1%\n") << 200 * G << 100 * G << 2 * G << 0;
        QTest::newRow("what is not understood keeps the default")
            << QByteArray("budget = lots\nfloor = 120%\npoints = 0\ncolour = blue\n") << 200 * G
            << 8 * G << 10 * G << 4;
    }
    void settings() {
        QFETCH(QByteArray, text);
        QFETCH(quint64, fileSystem);
        QFETCH(quint64, budget);
        QFETCH(quint64, floor);
        QFETCH(int, problems);
        std::vector<std::string> said;
        const SpaceSettings s = parseSpaceSettings(text.toStdString(), said);
        QCOMPARE(s.budget(fileSystem), budget);
        QCOMPARE(s.floor(fileSystem), floor);
        QCOMPARE(int(said.size()), problems);
        QVERIFY(s.points > 0);
    }

    // A file others may write is not the administrator's word.
    void settingsFileOthersMayWrite() {
        QTemporaryDir dir;
        QVERIFY(::chmod(dir.path().toLocal8Bit().constData(), 0755) == 0);
        const std::string path = dir.path().toStdString() + "/system.conf";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0);
        QVERIFY(::write(fd, "budget = 1K\n", 12) == 12);
        ::close(fd);
        QVERIFY(::chmod(path.c_str(), 0666) == 0);
        std::vector<std::string> said;
        QCOMPARE(readSpaceSettings(path, said).budget(100ull << 30), 8ull << 30);
        QCOMPARE(said.size(), std::size_t{1});
        std::vector<std::string> none;
        readSpaceSettings(path + ".absent", none);
        QVERIFY(none.empty());
    }

    void md5_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("sum");
        QTest::newRow("empty") << QByteArray() << "d41d8cd98f00b204e9800998ecf8427e";
        QTest::newRow("one block") << QByteArray("The quick brown fox jumps over the lazy dog")
                                   << "9e107d9d372bb6826bd81d3542a419d6";
        QTest::newRow("many blocks")
            << QByteArray(1'000'000, 'a') << "7707d6ae4e027c70eea2a935c2296f21";
    }
    void md5() {
        QFETCH(QByteArray, text);
        QFETCH(QString, sum);
        QTemporaryDir dir;
        const std::string path = dir.path().toStdString() + "/f";
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0600);
        QVERIFY(fd >= 0);
        QVERIFY(::write(fd, text.constData(), std::size_t(text.size())) == text.size());
        QCOMPARE(QString::fromStdString(md5OfFile(fd)), sum);
        ::close(fd);
    }
};

QTEST_GUILESS_MAIN(TestSpace)
#include "test_space.moc"
