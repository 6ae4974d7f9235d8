// Snapper as the system points' engine: when 80snapper is on, which of snapper's snapshots is
// this APT run's, and what the point's own snapshot carries.
#include "system/SnapperPoint.h"

#include <QTest>

using namespace vigilorn;
using namespace vigilorn::sys;

Q_DECLARE_METATYPE(std::optional<std::uint32_t>)

namespace {

constexpr std::int64_t kNow = 1'765'300'000; // 2025-12-09 17:06:40 UTC

std::string date(std::int64_t t) {
    char text[32];
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    ::gmtime_r(&tt, &tm);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

const std::string kHeader = std::string(kSnapperColumns) + "\n";

} // namespace

class TestSnapperPoint : public QObject {
    Q_OBJECT
private slots:
    void aptSnapshotsOff_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("disabled");
        QTest::newRow("Debian's file") << QByteArray("## Type: string\nSNAPPER_CONFIGS=\"root\"\n"
                                                     "DISABLE_APT_SNAPSHOT=\"no\"\n")
                                       << false;
        QTest::newRow("yes, quoted") << QByteArray("DISABLE_APT_SNAPSHOT=\"yes\"\n") << true;
        QTest::newRow("yes, bare, a comment after")
            << QByteArray("  DISABLE_APT_SNAPSHOT=yes # off\n") << true;
        QTest::newRow("exported, single quotes")
            << QByteArray("export DISABLE_APT_SNAPSHOT='yes'") << true;
        QTest::newRow("commented out") << QByteArray("#DISABLE_APT_SNAPSHOT=\"yes\"\n") << false;
        QTest::newRow("the last one counts")
            << QByteArray("DISABLE_APT_SNAPSHOT=yes\nDISABLE_APT_SNAPSHOT=no\n") << false;
        QTest::newRow("another word")
            << QByteArray("DISABLE_APT_SNAPSHOT=\"yes please\"\n") << false;
        QTest::newRow("empty") << QByteArray() << false;
    }
    void aptSnapshotsOff() {
        QFETCH(QByteArray, text);
        QFETCH(bool, disabled);
        QCOMPARE(aptSnapshotsDisabled(text.toStdString()), disabled);
    }

    void listParsing() {
        // As snapper 0.10.4 writes it: quoted fields with commas, doubled quotes, a line break.
        const std::string csv = kHeader + "0,single,,,root,,current\n"
                                          "1,pre,,2025-12-09 17:06:00,root,,apt\n"
                                          "2,post,1,2025-12-09 17:06:05,root,\"a=1, b=2\","
                                          "\"x, \"\"y\"\"\nz\"\n";
        const auto rows = parseSnapperList(csv);
        QVERIFY(rows);
        QCOMPARE(rows->size(), std::size_t(2)); // "current" is no snapshot
        QCOMPARE(rows->at(0).number, 1u);
        QCOMPARE(rows->at(0).type, std::string("pre"));
        QCOMPARE(rows->at(0).date, kNow - 40);
        QCOMPARE(rows->at(1).preNumber, 1u);
        QCOMPARE(rows->at(1).userdata,
                 (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
        QCOMPARE(rows->at(1).description, std::string("x, \"y\"\nz"));

        for (const std::string& bad :
             {std::string("number,type\n1,pre\n"), kHeader + "1,pre,,,root,,\"apt\n",
              kHeader + "x,pre,,,root,,apt\n", kHeader + "1,pre,,yesterday,root,,apt\n",
              kHeader + "1,pre,,,root,apt\n", std::string()})
            QVERIFY2(!parseSnapperList(bad), bad.c_str());
    }

    void thisRunsPreSnapshot_data() {
        QTest::addColumn<QByteArray>("rows");
        QTest::addColumn<std::optional<std::uint32_t>>("found");
        const std::optional<std::uint32_t> none;
        auto row = [](int n, const char* type, int pre, std::int64_t t, const char* user,
                      const char* description) {
            return QByteArray::number(n) + ',' + type + ',' +
                   (pre ? QByteArray::number(pre) : QByteArray()) + ',' +
                   QByteArray::fromStdString(date(t)) + ',' + user + ",," + description + '\n';
        };
        QTest::newRow("its pre, just made")
            << row(4, "pre", 0, kNow - 2, "root", "apt") << std::optional<std::uint32_t>(4);
        QTest::newRow("the newest open one") << row(3, "pre", 0, kNow - 300, "root", "apt") +
                                                    row(5, "pre", 0, kNow - 2, "root", "apt")
                                             << std::optional<std::uint32_t>(5);
        QTest::newRow("a timeline snapshot after it")
            << row(4, "pre", 0, kNow - 30, "root", "apt") +
                   row(5, "single", 0, kNow - 10, "root", "timeline")
            << std::optional<std::uint32_t>(4);
        QTest::newRow("closed by its post") << row(4, "pre", 0, kNow - 9, "root", "apt") +
                                                   row(5, "post", 4, kNow - 2, "root", "apt")
                                            << none;
        QTest::newRow("from an earlier run left open")
            << row(4, "pre", 0, kNow - kAptPreSnapshotSeconds - 1, "root", "apt") << none;
        QTest::newRow("another description") << row(4, "pre", 0, kNow - 2, "root", "zypp") << none;
        QTest::newRow("another user's") << row(4, "pre", 0, kNow - 2, "alice", "apt") << none;
        QTest::newRow("a single snapshot") << row(4, "single", 0, kNow - 2, "root", "apt") << none;
        QTest::newRow("no snapshots") << QByteArray() << none;
    }
    void thisRunsPreSnapshot() {
        QFETCH(QByteArray, rows);
        QFETCH(std::optional<std::uint32_t>, found);
        const auto parsed = parseSnapperList(kHeader + rows.toStdString());
        QVERIFY(parsed);
        QCOMPARE(aptPreSnapshot(*parsed, kNow), found);
    }

    void unattendedOncePerTwentyMinutes() {
        auto row = [](int n, std::int64_t t, const char* reason) {
            return std::to_string(n) + ",single,," + date(t) + ",root,\"vigilorn-type=12, " +
                   "vigilorn-reason=" + reason + "\",x\n";
        };
        const auto within = parseSnapperList(kHeader + row(6, kNow - 600, "unattended") +
                                             row(7, kNow - 60, "auto"));
        const auto after =
            parseSnapperList(kHeader + row(6, kNow - kUnattendedSeconds, "unattended"));
        QVERIFY(within && after);
        QCOMPARE(recentUnattended(*within, kNow), std::optional<std::uint32_t>(6));
        QCOMPARE(recentUnattended(*after, kNow), std::optional<std::uint32_t>());
    }

    void createArguments() {
        Request asked;
        asked.reason = Reason::Asked;
        asked.frontend = "apt-get";
        asked.description = "ignored";
        asked.change = "apt-get install a=1,b";
        const auto args = snapperCreateArguments(asked);
        QVERIFY(std::find(args.begin(), args.end(), "--description=QMAutoResPnt") != args.end());
        // snapper turns away userdata holding its separators inside a value.
        QCOMPARE(args.back(), std::string("--userdata=vigilorn-type=12,vigilorn-event=100,"
                                          "vigilorn-reason=asked,vigilorn-frontend=apt-get,"
                                          "vigilorn-change=apt-get install a 1 b"));
    }
};

QTEST_GUILESS_MAIN(TestSnapperPoint)
#include "test_snapper_point.moc"
