// The snapper engine against a real snapperd, on the throw-away btrfs and private system bus
// that snapper-env.sh sets up. Run outside it, the test reports a skip.
#include "platform/linux/LinuxRestore.h"
#include "platform/linux/SnapperEngine.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <unistd.h>

using namespace vigilorn;

namespace {

constexpr const char* kChildVariable = "VIGILORN_SNAPPER_OTHER_USER";

std::string configName() {
    return qEnvironmentVariable("VIGILORN_SNAPPER_CONFIG").toStdString();
}

} // namespace

class TestSnapperReal : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void createAndListVerbatim();
    void unknownConfigIsReadable();
    void engineChoiceFollowsSnapper();
    void otherUserHasNoPermissions();

private:
    QTemporaryDir m_xdg;
};

void TestSnapperReal::initTestCase() {
    QVERIFY(m_xdg.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_xdg.path() + "/data"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_xdg.path() + "/config"));
}

void TestSnapperReal::createAndListVerbatim() {
    if (qEnvironmentVariableIsSet(kChildVariable))
        QSKIP("only the other user's check runs in the child");
    const std::vector<std::string> descriptions = {
        "Installing \"Setup.exe\" for 'me' $HOME `id` $(true)",
        "two\nlines\tand a tab",
        "Grüße ✓ 日本語",
        "   ",
        std::string(256, 'd'),
        "C:\\Program Files\\x41 \\",
        "not UTF-8: \xff\xfe",
    };
    SnapperEngine engine(configName());
    for (const auto& description : descriptions) {
        const QDateTime before = QDateTime::currentDateTimeUtc();
        const Failure f = engine.createRestorePoint(description, 12, 100);
        QVERIFY2(!f, f ? f->description.c_str() : "");
        const std::uint32_t number = engine.lastCreatedNumber();
        QVERIFY(number > 0);

        std::vector<RestorePointRecord> points;
        QVERIFY(!engine.listRestorePoints(points));
        const auto it = std::find_if(points.begin(), points.end(), [&](const auto& p) {
            return p.SequenceNumber == std::to_string(number);
        });
        QVERIFY(it != points.end());
        QCOMPARE(QString::fromStdString(it->Description), QString::fromStdString(description));
        QVERIFY(std::none_of(points.begin(), points.end(),
                             [](const auto& p) { return p.SequenceNumber == "0"; }));
        const QString time = QString::fromStdString(it->creationtime);
        QVERIFY2(QRegularExpression("^\\d{14}\\.000000\\+000$").match(time).hasMatch(),
                 qPrintable(time));
        QDateTime made = QDateTime::fromString(time.left(14), "yyyyMMddHHmmss");
        made.setTimeSpec(Qt::UTC);
        QVERIFY2(qAbs(before.secsTo(made)) <= 60, qPrintable(time));

        std::vector<SnapperEngine::Snapshot> all;
        QVERIFY(!engine.listSnapshots(all));
        const auto s =
            std::find_if(all.begin(), all.end(), [&](const auto& x) { return x.number == number; });
        QVERIFY(s != all.end());
        QCOMPARE(s->cleanup, std::string("number"));
        QCOMPARE(s->userdata.value("vigilorn-type"), QString("12"));
        QCOMPARE(s->userdata.value("vigilorn-event"), QString("100"));
        QCOMPARE(s->type, std::uint16_t(0)); // single
    }

    // snapper's own command-line program sees the same.
    QProcess cli;
    cli.start("snapper", {"--jsonout", "-c", QString::fromStdString(configName()), "list"});
    QVERIFY(cli.waitForFinished(30000));
    QCOMPARE(cli.exitCode(), 0);
    // The raw bytes of the last description would make the JSON unreadable: replace them.
    const QByteArray json = QString::fromUtf8(cli.readAllStandardOutput()).toUtf8();
    const QJsonArray listed = QJsonDocument::fromJson(json)
                                  .object()
                                  .value(QString::fromStdString(configName()))
                                  .toArray();
    QStringList cliDescriptions;
    for (const auto& v : listed)
        if (v.toObject().value("number").toInt() != 0)
            cliDescriptions << v.toObject().value("description").toString();
    for (std::size_t i = 0; i + 1 < descriptions.size(); ++i) // JSON can't show the last
        QVERIFY2(cliDescriptions.contains(QString::fromStdString(descriptions[i])),
                 descriptions[i].c_str());
}

void TestSnapperReal::unknownConfigIsReadable() {
    if (qEnvironmentVariableIsSet(kChildVariable))
        QSKIP("only the other user's check runs in the child");
    SnapperEngine engine("vigilorn-no-such-config");
    const Failure created = engine.createRestorePoint("x", 12, 100);
    QVERIFY(created);
    QCOMPARE(created->number, SnapperEngine::kUnknownConfig);
    QCOMPARE(created->description, std::string("Unknown config."));
    std::vector<RestorePointRecord> points;
    const Failure listed = engine.listRestorePoints(points);
    QVERIFY(listed);
    QCOMPARE(listed->number, SnapperEngine::kUnknownConfig);
}

void TestSnapperReal::engineChoiceFollowsSnapper() {
    if (qEnvironmentVariableIsSet(kChildVariable))
        QSKIP("only the other user's check runs in the child");
    const auto snapper = createLinuxRestoreEngine({"QMVigilornApp", configName()});
    QVERIFY(snapper);
    QCOMPARE(snapper->displayName(), "snapper (config " + configName() + ")");
    // snapper answers, but not for this config: the built-in store it is.
    const auto builtin = createLinuxRestoreEngine({"QMVigilornApp", "vigilorn-no-such-config"});
    QVERIFY(builtin);
    QVERIFY2(builtin->displayName().rfind("built-in store in ", 0) == 0,
             builtin->displayName().c_str());
}

void TestSnapperReal::otherUserHasNoPermissions() {
    if (qEnvironmentVariableIsSet(kChildVariable)) {
        // Here as nobody: the config's ALLOW_USERS is empty.
        SnapperEngine engine(configName());
        const Failure f = engine.createRestorePoint("not allowed", 12, 100);
        QVERIFY(f);
        QCOMPARE(f->number, SnapperEngine::kNoPermissions);
        QCOMPARE(f->description, std::string("No permissions."));
        return;
    }
    if (::geteuid() != 0)
        QSKIP("needs root to run a check as another user");
    SnapperEngine engine(configName());
    std::vector<RestorePointRecord> before;
    QVERIFY(!engine.listRestorePoints(before));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildVariable, "1");
    env.insert("HOME", "/tmp");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--",
                            QCoreApplication::applicationFilePath(), "otherUserHasNoPermissions"});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray output = child.readAll();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
             output.constData());
    QVERIFY2(output.contains("PASS   : TestSnapperReal::otherUserHasNoPermissions()"),
             output.constData());

    std::vector<RestorePointRecord> after;
    QVERIFY(!engine.listRestorePoints(after));
    QCOMPARE(after.size(), before.size());
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("VIGILORN_SNAPPER_CONFIG")) {
        std::puts("SKIP: no snapper to test against; run through tests/restore/snapper-env.sh");
        return 77;
    }
    QCoreApplication app(argc, argv);
    TestSnapperReal test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_snapper_real.moc"
