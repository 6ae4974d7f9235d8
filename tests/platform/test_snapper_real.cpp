// The snapper engine against a real snapperd, on the throw-away btrfs and private system bus
// that snapper-env.sh sets up. Run outside it, the test reports a skip.
#include "FileSupport.h"
#include "platform/linux/LinuxRestore.h"
#include "platform/linux/SnapperChanges.h"
#include "platform/linux/SnapperEngine.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
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
    void compareThenUndochange();
    void undochangeFailureCarriesSnapperMessage();

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
    const auto snapper = createLinuxRestoreEngine({"QMVigilornApp", configName(), 50, {}});
    QVERIFY(snapper);
    QCOMPARE(snapper->displayName(), "snapper (config " + configName() + ")");
    // snapper answers, but not for this config: the built-in store it is.
    const auto builtin =
        createLinuxRestoreEngine({"QMVigilornApp", "vigilorn-no-such-config", 50, {}});
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

namespace {} // namespace

void TestSnapperReal::compareThenUndochange() {
    if (qEnvironmentVariableIsSet(kChildVariable))
        QSKIP("only the other user's check runs in the child");
    if (::geteuid() != 0)
        QSKIP("undochange needs root");
    const QString mount = qEnvironmentVariable("VIGILORN_SNAPPER_MOUNT");
    QVERIFY(!mount.isEmpty());
    QVERIFY(writeFile(mount + "/work/kept.conf", "version 1\n"));
    QVERIFY(writeFile(mount + "/work/deleted later.txt", "still here"));
    QVERIFY(writeFile(mount + "/same.txt", "unchanged"));
    SnapperEngine engine(configName());
    QVERIFY(!engine.createRestorePoint("before the change", 12, 100));
    const std::string point = std::to_string(engine.lastCreatedNumber());

    QVERIFY(writeFile(mount + "/work/kept.conf", "version 2\n"));
    QVERIFY(QFile::remove(mount + "/work/deleted later.txt"));
    QVERIFY(writeFile(mount + "/added.txt", "new"));

    SnapperChanges changes(configName());
    std::map<std::string, Change::Kind> found;
    std::atomic<bool> cancel{false};
    CompareCallbacks cb;
    cb.cancel = &cancel;
    cb.batch = [&](std::vector<Change>&& b) {
        for (const auto& c : b) {
            QCOMPARE(c.area, Change::Area::System);
            found[c.name] = c.kind;
        }
    };
    Failure f = changes.compare(point, cb);
    QVERIFY2(!f, f ? f->description.c_str() : "");
    const std::map<std::string, Change::Kind> expected{
        {"/added.txt", Change::Kind::Added},
        {"/work/deleted later.txt", Change::Kind::Removed},
        {"/work/kept.conf", Change::Kind::Changed},
    };
    for (const auto& [name, kind] : expected) {
        QVERIFY2(found.count(name), name.c_str());
        QVERIFY2(found[name] == kind, name.c_str());
    }
    QVERIFY(!found.count("/same.txt"));
    // The same comparison again: the first one was deleted, not left behind in snapperd.
    found.clear();
    QVERIFY(!changes.compare(point, cb));
    QCOMPARE(found.size(), expected.size() + found.count("/work"));

    cancel = true;
    f = changes.compare(point, cb);
    QVERIFY(f);
    QCOMPARE(f->number, RestoreChanges::kCancelled);

    RestorePlan plan;
    QVERIFY(!changes.plan(point, plan));
    QVERIFY(plan.rootCommand);
    // By its fixed path: the user's $PATH never chooses what runs as root.
    QCOMPARE(QString::fromStdString(commandLine(*plan.rootCommand)),
             QString::fromStdString("/usr/bin/snapper -c " + configName() + " undochange " + point +
                                    "..0"));
    QVERIFY(changes.canRunAsRoot());
    std::string output;
    f = changes.runAsRoot(*plan.rootCommand, output);
    QVERIFY2(!f, f ? f->description.c_str() : output.c_str());
    QCOMPARE(readFile(mount + "/work/kept.conf"), QByteArray("version 1\n"));
    QCOMPARE(readFile(mount + "/work/deleted later.txt"), QByteArray("still here"));
    QVERIFY(!QFileInfo::exists(mount + "/added.txt"));
    QCOMPARE(readFile(mount + "/same.txt"), QByteArray("unchanged"));
}

void TestSnapperReal::undochangeFailureCarriesSnapperMessage() {
    if (qEnvironmentVariableIsSet(kChildVariable))
        QSKIP("only the other user's check runs in the child");
    if (::geteuid() != 0)
        QSKIP("undochange needs root");
    SnapperChanges changes(configName());
    std::string output;
    const Failure f = changes.runAsRoot(changes.undoCommand("999999"), output);
    QVERIFY(f);
    QCOMPARE(f->number, RestoreChanges::kCommandFailed);
    const std::string lead =
        "/usr/bin/snapper -c " + configName() + " undochange 999999..0 failed with exit code ";
    QVERIFY2(f->description.rfind(lead, 0) == 0, f->description.c_str());
    // snapper's own words follow the exit code.
    QVERIFY2(f->description.find(": ", lead.size()) != std::string::npos, f->description.c_str());
    QVERIFY2(f->description.size() > lead.size() + 6, f->description.c_str());
}

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("VIGILORN_SNAPPER_CONFIG")) {
        std::puts("SKIP: no snapper to test against; run through tests/platform/snapper-env.sh");
        return 77;
    }
    QCoreApplication app(argc, argv);
    TestSnapperReal test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_snapper_real.moc"
