// What APT and dpkg tell the hook, and the one-line protocol with the user's program.
#include "platform/HoldProtocol.h"
#include "platform/PointRequest.h"
#include "system/HookInput.h"

#include <QStringList>
#include <QTest>

using namespace vigilorn;
using namespace vigilorn::sys;

namespace {

QString render(const std::vector<PackageAction>& actions) {
    QStringList out;
    for (const auto& a : actions)
        out << QString::fromStdString(a.name + ' ' + a.oldVersion + ' ' + a.newVersion + ' ' +
                                      kindName(a.kind));
    return out.join(u';');
}

std::vector<std::string> toStd(const QStringList& list) {
    std::vector<std::string> out;
    for (const auto& s : list)
        out.push_back(s.toStdString());
    return out;
}

const QByteArray kHeader = "VERSION 3\n"
                           "APT::Architecture=amd64\n"
                           "DPkg::Pre-Install-Pkgs::=/usr/libexec/qmvigilorn/qmvigilorn-hook apt\n"
                           "CommandLine::AsString=apt-get%20install%20-y%20rcprobe\n"
                           "\n";

} // namespace

class TestHookInput : public QObject {
    Q_OBJECT

private slots:
    void aptInput_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("understood");
        QTest::addColumn<QString>("actions");
        QTest::addColumn<int>("skipped");
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<int>("quiet");
        const QString cmd = QStringLiteral("apt-get install -y rcprobe");

        QTest::newRow("new package, unpack and configure as one")
            << kHeader +
                   "rcprobe - - none < 1.0 all none /var/cache/apt/archives/rcprobe_1.0_all.deb\n"
                   "rcprobe - - none < 1.0 all none **CONFIGURE**\n"
            << true << "rcprobe - 1.0 install" << 0 << cmd << 0;
        QTest::newRow("upgrade")
            << kHeader + "libc6 2.36-9 amd64 same < 2.36-9+deb12u1 amd64 same "
                         "/var/cache/apt/archives/libc6_2.36-9+deb12u1_amd64.deb\n"
                         "libc6 2.36-9 amd64 same < 2.36-9+deb12u1 amd64 same **CONFIGURE**\n"
            << true << "libc6 2.36-9 2.36-9+deb12u1 upgrade" << 0 << cmd << 0;
        QTest::newRow("downgrade and reinstall")
            << kHeader + "a 2.0 all none > 1.0 all none /var/cache/apt/archives/a_1.0_all.deb\n"
                         "b 1.0 all none = 1.0 all none /var/cache/apt/archives/b_1.0_all.deb\n"
            << true << "a 2.0 1.0 downgrade;b 1.0 1.0 reinstall" << 0 << cmd << 0;
        QTest::newRow("removal") << kHeader + "rcprobe 1.0 all none > - - none **REMOVE**\n"
                                 << true << "rcprobe 1.0 - remove" << 0 << cmd << 0;
        QTest::newRow("purge, told by the configuration")
            << QByteArray("VERSION 3\nAPT::Get::Purge=true\n\n"
                          "rcprobe 1.0 all none > - - none **REMOVE**\n")
            << true << "rcprobe 1.0 - purge" << 0 << QString() << 0;
        QTest::newRow("configure on its own")
            << kHeader + "half 1.0 amd64 none = 1.0 amd64 none **CONFIGURE**\n"
            << true << "half 1.0 1.0 configure" << 0 << cmd << 0;
        QTest::newRow("two architectures of one package")
            << kHeader + "libq1 1.0 amd64 same < 1.1 amd64 same /a/libq1_1.1_amd64.deb\n"
                         "libq1 1.0 i386 same < 1.1 i386 same /a/libq1_1.1_i386.deb\n"
                         "libq1 1.0 amd64 same < 1.1 amd64 same **CONFIGURE**\n"
                         "libq1 1.0 i386 same < 1.1 i386 same **CONFIGURE**\n"
                         "libq1 1.0 i386 same > - - none **REMOVE**\n"
            << true << "libq1 1.0 1.1 upgrade;libq1:i386 1.0 1.1 upgrade;libq1:i386 1.0 - remove"
            << 0 << cmd << 0;
        QTest::newRow("a file name with a space")
            << kHeader + "x - - none < 1.0 all none /home/u/my debs/x_1.0_all.deb\n"
            << true << "x - 1.0 install" << 0 << cmd << 0;
        QTest::newRow("no package line") << kHeader << true << "" << 0 << cmd << 0;
        QTest::newRow("lines that do not parse are skipped")
            << kHeader + "garbage\n"
                         "x - - none ? 1.0 all none /a/x.deb\n"
                         "y - - none < 1.0 all none relative/y.deb\n"
                         "z - - none < 1.0 all none /a/z_1.0_all.deb\n"
            << true << "z - 1.0 install" << 3 << cmd << 0;
        QTest::newRow("command line decoding")
            << QByteArray("VERSION 3\nCommandLine::AsString=apt%20install%20%2E/caf%C3%A9.deb"
                          "%20100%25%20%zz%4\n\n")
            << true << "" << 0 << QString::fromUtf8("apt install ./café.deb 100% %zz%4") << 0;
        QTest::newRow("quiet") << QByteArray("VERSION 3\nquiet=2\n\n") << true << "" << 0
                               << QString() << 2;
        QTest::newRow("another version")
            << QByteArray("VERSION 2\n\nrcprobe - < 1.0 /a/rcprobe_1.0_all.deb\n") << false << ""
            << 0 << QString() << 0;
        QTest::newRow("configuration without its end")
            << QByteArray("VERSION 3\nquiet=1\n") << false << "" << 0 << QString() << 1;
        QTest::newRow("empty") << QByteArray() << false << "" << 0 << QString() << 0;
    }
    void aptInput() {
        QFETCH(QByteArray, input);
        QFETCH(bool, understood);
        QFETCH(QString, actions);
        QFETCH(int, skipped);
        QFETCH(QString, commandLine);
        QFETCH(int, quiet);
        const AptInput in = parseAptInput(std::string_view(input.constData(), input.size()));
        QCOMPARE(in.understood, understood);
        QCOMPARE(render(in.actions), actions);
        QCOMPARE(static_cast<int>(in.skippedLines), skipped);
        QCOMPARE(QString::fromStdString(in.commandLine), commandLine);
        QCOMPARE(in.quiet, quiet);
    }

    void dpkgArguments_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("hookAction");
        QTest::addColumn<bool>("changes");
        QTest::addColumn<bool>("dryRun");
        QTest::addColumn<QString>("actions");
        QTest::addColumn<QString>("description");
        QTest::newRow("install a file")
            << QStringList{"/usr/bin/dpkg", "-i", "/tmp/x/probe_1.0_all.deb"} << "install" << true
            << false << "probe - - install"
            << "dpkg -i /tmp/x/probe_1.0_all.deb";
        QTest::newRow("unpack") << QStringList{"dpkg", "--unpack", "probe.deb"} << "unpack" << true
                                << false << "probe - - install"
                                << "dpkg --unpack probe.deb";
        QTest::newRow("remove two") << QStringList{"dpkg", "-r", "a", "b:amd64"} << "remove" << true
                                    << false << "a - - remove;b:amd64 - - remove"
                                    << "dpkg -r a b:amd64";
        QTest::newRow("purge") << QStringList{"dpkg", "--force-all", "-P", "a"} << "purge" << true
                               << false << "a - - purge"
                               << "dpkg --force-all -P a";
        QTest::newRow("configure pending")
            << QStringList{"dpkg", "--configure", "-a"} << "configure" << true << false << ""
            << "dpkg --configure -a";
        QTest::newRow("no-act") << QStringList{"dpkg", "--no-act", "-i", "p.deb"} << "install"
                                << true << true << "p - - install"
                                << "dpkg --no-act -i p.deb";
        QTest::newRow("dry-run") << QStringList{"dpkg", "-r", "--dry-run", "a"} << "remove" << true
                                 << true << "a - - remove"
                                 << "dpkg -r --dry-run a";
        QTest::newRow("simulate") << QStringList{"dpkg", "--simulate", "-P", "a"} << "purge" << true
                                  << true << "a - - purge"
                                  << "dpkg --simulate -P a";
        QTest::newRow("after -- a file, not an option")
            << QStringList{"dpkg", "-i", "--", "--no-act"} << "install" << true << false
            << "--no-act - - install"
            << "dpkg -i -- --no-act";
        QTest::newRow("a name with a newline is no action")
            << QStringList{"dpkg", "-r", "a\nb"} << "remove" << true << false << ""
            << "dpkg -r a b";
        QTest::newRow("arguments unknown") << QStringList{} << "install" << true << false << ""
                                           << "dpkg install";
        QTest::newRow("triggers only") << QStringList{"dpkg", "--triggers-only", "-a"}
                                       << "triggers-only" << false << false << ""
                                       << "dpkg --triggers-only -a";
        QTest::newRow("add an architecture") << QStringList{"dpkg", "--add-architecture", "i386"}
                                             << "add-architecture" << false << false << ""
                                             << "dpkg --add-architecture i386";
    }
    void dpkgArguments() {
        QFETCH(QStringList, args);
        QFETCH(QString, hookAction);
        QFETCH(bool, changes);
        QFETCH(bool, dryRun);
        QFETCH(QString, actions);
        QFETCH(QString, description);
        const std::string action = hookAction.toStdString();
        QCOMPARE(dpkgActionChanges(action), changes);
        const DpkgRun run = parseDpkgArguments(toStd(args), action);
        QCOMPARE(run.dryRun, dryRun);
        QCOMPARE(render(run.actions), actions);
        QCOMPARE(QString::fromStdString(run.description), description);
    }

    void descriptions_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("bounded");
        const QString e = QString::fromUtf8("\xc3\xa9"); // two bytes
        QTest::newRow("short") << "apt-get install x"
                               << "apt-get install x";
        QTest::newRow("controls become spaces") << "a\tb\x1b[31m"
                                                << "a b [31m";
        // The root side's one bound on a description: 256 bytes.
        const int max = int(kMaxDescription);
        QCOMPARE(max, 256);
        QTest::newRow("cut at the bound") << QString(max + 50, u'x') << QString(max, u'x');
        QTest::newRow("never inside a character")
            << QString(max - 1, u'x') + e + "yz" << QString(max - 1, u'x');
        QTest::newRow("a character ending at the bound is kept")
            << QString(max - 2, u'x') + e + "yz" << QString(max - 2, u'x') + e;
    }
    void descriptions() {
        QFETCH(QString, text);
        QFETCH(QString, bounded);
        QCOMPARE(QString::fromStdString(boundedDescription(text.toStdString())), bounded);
    }

    void summaryAndLines() {
        const std::vector<PackageAction> one{{"a", "-", "1", ActionKind::Install},
                                             {"b", "-", "2", ActionKind::Install}};
        QCOMPARE(summarise("apt-get", one), std::string("apt-get install a b"));
        const std::vector<PackageAction> mixed{{"a", "1", "2", ActionKind::Upgrade},
                                               {"b", "1", "-", ActionKind::Remove}};
        QCOMPARE(summarise("aptitude", mixed), std::string("aptitude change a b"));
        QCOMPARE(actionLines(mixed), std::string("a 1 2 upgrade\nb 1 - remove\n"));
        std::vector<PackageAction> many(100, {"package-name", "-", "1", ActionKind::Install});
        QCOMPARE(summarise("apt", many).size(), kMaxDescription);
    }

    void answers_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("answer");
        QTest::newRow("go") << QByteArray("go\n") << int(hold::Answer::Go);
        QTest::newRow("point") << QByteArray("point\n") << int(hold::Answer::Point);
        QTest::newRow("auto") << QByteArray("auto\n") << int(hold::Answer::Auto);
        QTest::newRow("off") << QByteArray("off\n") << int(hold::Answer::Off);
        QTest::newRow("no newline") << QByteArray("go") << int(hold::Answer::None);
        QTest::newRow("capitals") << QByteArray("GO\n") << int(hold::Answer::None);
        QTest::newRow("carriage return") << QByteArray("go\r\n") << int(hold::Answer::None);
        QTest::newRow("with a path") << QByteArray("point /tmp/x\n") << int(hold::Answer::None);
        QTest::newRow("empty") << QByteArray() << int(hold::Answer::None);
    }
    void answers() {
        QFETCH(QByteArray, line);
        QFETCH(int, answer);
        QCOMPARE(int(hold::parseAnswer(std::string_view(line.constData(), line.size()))), answer);
    }

    void holdLines_data() {
        QTest::addColumn<QByteArray>("frontend");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("plain") << QByteArray("apt-get") << QByteArray("hold apt-get\n");
        QTest::newRow("only plain characters") << QByteArray("unattended-upgr;rm -rf /\n")
                                               << QByteArray("hold unattended-upgrrm-rf\n");
        QTest::newRow("at most 32") << QByteArray(40, 'a') << "hold " + QByteArray(32, 'a') + "\n";
        QTest::newRow("nothing left") << QByteArray("\xc3\xa9 ") << QByteArray("hold unknown\n");
    }
    void holdLines() {
        QFETCH(QByteArray, frontend);
        QFETCH(QByteArray, line);
        const std::string sent = hold::holdLine(frontend.toStdString());
        QCOMPARE(QByteArray::fromStdString(sent), line);
        // What the program side reads back is the sanitised name itself.
        QCOMPARE(QByteArray::fromStdString(hold::parseHoldLine(sent).value_or("?")),
                 line.mid(5).chopped(1));
    }

    void programSideLines() {
        QVERIFY(!hold::parseHoldLine("hold \n"));
        QVERIFY(!hold::parseHoldLine("hold a b\n"));
        QVERIFY(!hold::parseHoldLine("hold x"));
        QCOMPARE(hold::parseMadeLine(hold::madeLine(42)).value_or(0), 42u);
        QVERIFY(!hold::parseMadeLine(hold::kFailedLine));
        QVERIFY(!hold::parseMadeLine("made \n"));
        QVERIFY(!hold::parseMadeLine("made 1x\n"));
        QVERIFY(!hold::parseMadeLine("made 12345678901234567890\n"));
    }

    // A note the hook writes is read back as it was; a line out of its grammar is no note.
    void noteLines_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("note");
        QTest::newRow("auto") << QByteArray("auto 12 0 apt-get\n") << true;
        QTest::newRow("unkept") << QByteArray("unkept 1 3 dpkg\n") << true;
        QTest::newRow("nopoint") << QByteArray("nopoint packagekitd\n") << true;
        QTest::newRow("longest") << "auto 1234567890123456789 999999 " + QByteArray(32, 'a') + "\n"
                                 << true;
        QTest::newRow("point 0") << QByteArray("auto 0 0 apt-get\n") << false;
        QTest::newRow("unkept none") << QByteArray("unkept 4 0 apt-get\n") << false;
        QTest::newRow("count too long") << QByteArray("auto 4 1000000 apt-get\n") << false;
        QTest::newRow("no front end") << QByteArray("nopoint \n") << false;
        QTest::newRow("front end too long") << "nopoint " + QByteArray(33, 'a') + "\n" << false;
        QTest::newRow("not plain") << QByteArray("nopoint a;b\n") << false;
        QTest::newRow("no newline") << QByteArray("nopoint apt") << false;
        QTest::newRow("a hold line") << QByteArray("hold apt-get\n") << false;
    }
    void noteLines() {
        QFETCH(QByteArray, line);
        QFETCH(bool, note);
        const auto parsed = hold::parseNoteLine(line.toStdString());
        QCOMPARE(parsed.has_value(), note);
        if (parsed)
            QCOMPARE(QByteArray::fromStdString(hold::noteLine(*parsed)), line);
        QVERIFY(std::size_t(line.size()) <= hold::kMaxLine);
    }

    void makerOutput_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qulonglong>("number"); // 0: refused
        QTest::addColumn<qulonglong>("notKept");
        QTest::newRow("number") << QByteArray("7\n") << 7ull << 0ull;
        QTest::newRow("without newline") << QByteArray("7") << 7ull << 0ull;
        QTest::newRow("not kept") << QByteArray("7\nnot kept 2\n") << 7ull << 2ull;
        QTest::newRow("not kept 0") << QByteArray("7\nnot kept 0\n") << 0ull << 0ull;
        QTest::newRow("something else") << QByteArray("7\nkept 2\n") << 0ull << 0ull;
        QTest::newRow("cut short") << QByteArray("7\nnot kept 2") << 0ull << 0ull;
        QTest::newRow("no number") << QByteArray("x\n") << 0ull << 0ull;
    }
    void makerOutput() {
        QFETCH(QByteArray, text);
        QFETCH(qulonglong, number);
        QFETCH(qulonglong, notKept);
        const auto out = vigilorn::pointreq::parseReplyText(text.toStdString());
        QCOMPARE(out.has_value(), number != 0);
        if (!out)
            return;
        QCOMPARE(out->number, number);
        QCOMPARE(out->notKept, notKept);
        if (text.endsWith('\n'))
            QCOMPARE(QByteArray::fromStdString(vigilorn::pointreq::replyText(*out)), text);
    }
};

QTEST_GUILESS_MAIN(TestHookInput)
#include "test_hook_input.moc"
