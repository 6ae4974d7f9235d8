// Notifications of the points the user was not asked about: their words, when they come, and
// [Detect] Notify=0.
#include "TestSupport.h"
#include "app/PointNotices.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

using namespace vigilorn;

namespace {

SystemPoint point(unsigned long long n, const char* description,
                  std::vector<PackageAction> actions = {}, std::size_t more = 0) {
    return {n, "20260101120000.000000+000", description, std::move(actions), more};
}

} // namespace

class TestPointNotices : public QObject {
    Q_OBJECT

    std::unique_ptr<test::FakeServices> env;
    FakeNotifier notifier;
    QStringList tray;

    QString folder() const { return env->dir.filePath(QStringLiteral("points")); }

    void writeList(const std::vector<SystemPoint>& points) {
        QDir().mkpath(folder());
        const QString path = QDir(folder()).filePath(QStringLiteral("points.list"));
        QFile f(path + QStringLiteral(".new"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray::fromStdString(formatSystemPointList(points)));
        f.close();
        QFile::remove(path);
        QVERIFY(QFile::rename(path + QStringLiteral(".new"), path));
    }

    std::unique_ptr<PointNotices> started() {
        auto n = std::make_unique<PointNotices>(folder());
        n->trayMessage = [this](const QString& s, const QString& b) { tray << s + u'|' + b; };
        n->start();
        return n;
    }

    QStringList shown() const {
        QStringList out;
        for (const auto& s : notifier.shown)
            out << QString::fromStdString(s.summary + "|" + s.body);
        return out;
    }

private slots:
    void init() {
        env = std::make_unique<test::FakeServices>();
        notifier = {};
        tray.clear();
        Module1::services.notifier = &notifier;
    }
    void cleanup() { env.reset(); }

    void words_data() {
        QTest::addColumn<QString>("made");
        QTest::addColumn<QString>("wanted");
        const std::vector<PackageAction> four{{"hello", "-", "2.10-3", ActionKind::Install},
                                              {"libfoo:amd64", "1.0", "1.1", ActionKind::Upgrade},
                                              {"old", "3", "-", ActionKind::Remove},
                                              {"x", "1", "1", ActionKind::Reinstall}};
        const SystemPoint p = point(12, "apt-get install hello", four, 2);
        QTest::newRow("made, listed")
            <<
            [&] {
                const NoticeText t = madeNotice(12, &p, QStringLiteral("apt-get"), 0);
                return t.summary + u'|' + t.body;
            }()
            << "Restore point P12 made|Vigilorn made it without asking, before: apt-get install "
               "hello.\nIt can undo: install hello 2.10-3, upgrade libfoo:amd64 1.0 to 1.1, "
               "remove old 3 and 3 more.";
        QTest::newRow("made, not listed, one not kept")
            <<
            [&] {
                const NoticeText t = madeNotice(4, nullptr, QStringLiteral("dpkg"), 1);
                return t.summary + u'|' + t.body;
            }()
            << "Restore point P4 made|Vigilorn made it without asking, before dpkg changed "
               "packages.\n1 replaced package could not be kept: restoring P4 may not bring its "
               "old version back.";
        QTest::newRow("unkept")
            <<
            [&] {
                const NoticeText t = unkeptNotice(7, 2);
                return t.summary + u'|' + t.body;
            }()
            << "Restore point P7 is incomplete|2 replaced packages could not be kept: restoring "
               "P7 may not bring their old versions back.";
        QTest::newRow("no point")
            <<
            [&] {
                const NoticeText t = noPointNotice(QStringLiteral("packagekitd"));
                return t.summary + u'|' + t.body;
            }()
            << "No restore point made|No restore point could be made before packagekitd "
               "changed packages. The change went on.";
        QTest::newRow("away, one")
            <<
            [&] {
                const NoticeText t = awayNotice({point(3, "unattended-upgr", {four[1]})});
                return t.summary + u'|' + t.body;
            }()
            << "Restore point P3 made while Vigilorn was not running|Before: unattended-upgr.\n"
               "It can undo: upgrade libfoo:amd64 1.0 to 1.1.";
        QTest::newRow("away, seven")
            <<
            [&] {
                std::vector<SystemPoint> seven;
                for (unsigned n = 1; n <= 7; ++n)
                    seven.push_back(point(n, "apt"));
                const NoticeText t = awayNotice(seven);
                return t.summary + u'|' + t.body;
            }()
            << "7 restore points made while Vigilorn was not running|P1 before: apt\nP2 before: "
               "apt\nP3 before: apt\nP4 before: apt\nP5 before: apt\nand 2 more.";
    }
    void words() {
        QFETCH(QString, made);
        QFETCH(QString, wanted);
        QCOMPARE(made, wanted);
    }

    // Points made since the last run come in one notification; the first run tells of none, and
    // the points that come while the program runs are not told of at the next start.
    void sinceTheLastRun() {
        writeList({point(1, "a"), point(2, "b")});
        started();
        QVERIFY(notifier.shown.empty());
        QCOMPARE(env->settings->readText("Detect", "SeenPoint", {}), QStringLiteral("2"));

        writeList({point(1, "a"), point(2, "b"), point(3, "c"), point(4, "d")});
        started();
        QCOMPARE(shown(), QStringList{"2 restore points made while Vigilorn was not running|"
                                      "P3 before: c\nP4 before: d"});

        auto running = started();
        QCOMPARE(notifier.shown.size(), std::size_t(1));
        writeList({point(3, "c"), point(4, "d"), point(5, "made while running")});
        QTRY_COMPARE(env->settings->readText("Detect", "SeenPoint", {}), QStringLiteral("5"));
        running.reset();
        started();
        QCOMPARE(notifier.shown.size(), std::size_t(1));

        // A point the hook told of before the list was first read is not told of again; one
        // made before it while the program was not running still is.
        writeList({point(5, "e"), point(6, "f"), point(7, "g")});
        PointNotices early(folder());
        early.hookNote(*hold::parseNoteLine("auto 7 0 apt\n"));
        early.start();
        QCOMPARE(notifier.shown.size(), std::size_t(3));
        QCOMPARE(QString::fromStdString(notifier.shown[1].summary),
                 QStringLiteral("Restore point P7 made"));
        QCOMPARE(QString::fromStdString(notifier.shown[2].summary),
                 QStringLiteral("Restore point P6 made while Vigilorn was not running"));
    }

    // One notification per note, with what the list says of the point; the tray's balloon where
    // no service is there; nothing at all with Notify=0.
    void hookNotes_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("service");
        QTest::addColumn<QStringList>("notified");
        QTest::addColumn<QStringList>("balloons");
        const QStringList both{
            "Restore point P9 made|Vigilorn made it without asking, before: apt-get install "
            "hello.\nIt can undo: install hello 1.0.",
            "No restore point made|No restore point could be made before dpkg changed "
            "packages. The change went on."};
        QTest::newRow("on") << QByteArray() << true << both << QStringList();
        QTest::newRow("no service") << QByteArray() << false << QStringList() << both;
        QTest::newRow("Notify=0") << QByteArray("[Detect]\nNotify=0\n") << true << QStringList()
                                  << QStringList();
        QTest::newRow("Notify=1") << QByteArray("[Detect]\nNotify=1\n") << true << both
                                  << QStringList();
    }
    void hookNotes() {
        QFETCH(QByteArray, ini);
        QFETCH(bool, service);
        QFETCH(QStringList, notified);
        QFETCH(QStringList, balloons);
        if (!ini.isEmpty())
            env->writeSettings(ini);
        Module1::services.notifier = &notifier;
        notifier.serviceThere = service;
        writeList(
            {point(9, "apt-get install hello", {{"hello", "-", "1.0", ActionKind::Install}})});
        auto n = started();
        n->hookNote(*hold::parseNoteLine("auto 9 0 apt-get\n"));
        n->hookNote(*hold::parseNoteLine("nopoint dpkg\n"));
        QCOMPARE(shown(), notified);
        QCOMPARE(tray, balloons);
    }
};

QTEST_MAIN(TestPointNotices)
#include "test_point_notices.moc"
