// The create request both sides speak: what one side writes the other reads, and nothing else.
#include "platform/PackageAction.h"
#include "platform/PointRequest.h"

#include <QStringList>
#include <QTest>

using namespace vigilorn;
using namespace vigilorn::pointreq;

namespace {

std::vector<std::string> toStd(const QStringList& list) {
    std::vector<std::string> out;
    for (const auto& s : list)
        out.push_back(s.toStdString());
    return out;
}

} // namespace

class TestPointRequest : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data() {
        QTest::addColumn<int>("reason");
        QTest::addColumn<QString>("frontend");
        QTest::addColumn<bool>("hasChange");
        QTest::newRow("window") << int(Reason::Window) << "" << false;
        QTest::newRow("asked, with its change") << int(Reason::Asked) << "apt-get" << true;
        QTest::newRow("unattended") << int(Reason::Unattended) << "unattended-upgr" << false;
    }
    void roundTrip() {
        QFETCH(int, reason);
        QFETCH(QString, frontend);
        QFETCH(bool, hasChange);
        const CreateRequest sent{Reason(reason), frontend.toStdString(), "a b\tc",
                                 hasChange ? std::optional<std::string>("apt install x")
                                           : std::nullopt};
        const auto got = parseCreateArguments(createArguments(sent));
        QVERIFY(got);
        QCOMPARE(int(got->reason), reason);
        QCOMPARE(got->frontend, sent.frontend);
        QCOMPARE(got->description, sent.description);
        QCOMPARE(got->change, sent.change);
    }

    void refused_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("nothing") << QStringList{};
        QTest::newRow("another verb") << QStringList{"restore", "--reason", "auto"};
        QTest::newRow("no description") << QStringList{"create", "--reason", "auto"};
        QTest::newRow("no reason") << QStringList{"create", "--description", "x"};
        QTest::newRow("the root side's own reason")
            << QStringList{"create", "--reason", "restore", "--description", "x"};
        QTest::newRow("an option twice")
            << QStringList{"create", "--reason", "auto", "--description", "x", "--reason", "asked"};
        QTest::newRow("an unknown option")
            << QStringList{"create", "--reason", "auto", "--description", "x", "--keep", "1"};
        QTest::newRow("an option without its value")
            << QStringList{"create", "--reason", "auto", "--description", "x", "--change"};
        // What needs no password takes nothing but its description.
        QTest::newRow("a window point with a reason")
            << QStringList{"window-point", "--description", "x", "--reason", "auto"};
        QTest::newRow("a window point with a front end")
            << QStringList{"window-point", "--frontend", "apt", "--description", "x"};
        QTest::newRow("a window point without its description") << QStringList{"window-point"};
        QTest::newRow("a wait of no time")
            << QStringList{"create", "--reason", "auto", "--description", "x", "--within", "0"};
        QTest::newRow("a wait past an hour")
            << QStringList{"create", "--reason", "auto", "--description", "x", "--within", "3601"};
        QTest::newRow("a wait that is no number")
            << QStringList{"create", "--reason", "auto", "--description", "x", "--within", "+5"};
    }

    void windowPointAndWait() {
        CreateRequest window{Reason::Window, {}, "from the window", std::nullopt};
        window.paced = true;
        QCOMPARE(createArguments(window),
                 (std::vector<std::string>{"window-point", "--description", "from the window"}));
        const auto paced = parseCreateArguments(createArguments(window));
        QVERIFY(paced && paced->paced && paced->reason == Reason::Window);
        QCOMPARE(paced->description, window.description);
        CreateRequest hook{Reason::Auto, "apt", "x", std::nullopt};
        hook.within = 114;
        const auto bounded = parseCreateArguments(createArguments(hook));
        QVERIFY(bounded && !bounded->paced);
        QCOMPARE(bounded->within, 114);
    }
    void refused() {
        QFETCH(QStringList, args);
        QVERIFY(!parseCreateArguments(toStd(args)));
    }

    void frontends_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << "apt-get" << true;
        QTest::newRow("at the bound") << QString(int(kMaxFrontend), u'a') << true;
        QTest::newRow("past the bound") << QString(int(kMaxFrontend) + 1, u'a') << false;
        QTest::newRow("a space") << "apt get" << false;
        QTest::newRow("a slash") << "../apt" << false;
    }
    void frontends() {
        QFETCH(QString, name);
        QFETCH(bool, valid);
        QCOMPARE(validFrontend(name.toStdString()), valid);
    }

    void replies_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qulonglong>("number"); // 0: refused
        QTest::newRow("a number") << QByteArray("42\n") << 42ull;
        QTest::newRow("no newline") << QByteArray("7") << 7ull;
        QTest::newRow("largest") << QByteArray("18446744073709551615\n") << 18446744073709551615ull;
        QTest::newRow("too large") << QByteArray("18446744073709551616\n") << 0ull;
        QTest::newRow("zero") << QByteArray("0\n") << 0ull;
        QTest::newRow("signed") << QByteArray("+4\n") << 0ull;
        QTest::newRow("two lines") << QByteArray("4\n5\n") << 0ull;
        QTest::newRow("empty") << QByteArray() << 0ull;
    }
    void replies() {
        QFETCH(QByteArray, text);
        QFETCH(qulonglong, number);
        const auto got = parseReply(text.toStdString());
        QCOMPARE(got.value_or(0), std::uint64_t(number));
        if (number)
            QCOMPARE(parseReply(replyLine(number)).value_or(0), std::uint64_t(number));
    }

    void actionLines_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("parses");
        QTest::newRow("four fields") << QByteArray("libc6:amd64 2.36-9 2.36-10 upgrade") << true;
        QTest::newRow("carriage return") << QByteArray("a - 1 install\r") << true;
        QTest::newRow("unknown kind") << QByteArray("a - 1 replace") << false;
        QTest::newRow("three fields") << QByteArray("a - install") << false;
        QTest::newRow("five fields") << QByteArray("a - 1 install x") << false;
    }
    void actionLines() {
        QFETCH(QByteArray, line);
        QFETCH(bool, parses);
        const auto a = parseActionLine(line.toStdString());
        QCOMPARE(a.has_value(), parses);
        if (a)
            QCOMPARE(QByteArray::fromStdString(actionLine(*a)), line.trimmed() + '\n');
    }
};

QTEST_GUILESS_MAIN(TestPointRequest)
#include "test_point_request.moc"
