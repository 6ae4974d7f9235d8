// The snapper engine against a stand-in snapper on a peer-to-peer D-Bus connection: what it
// sends, and how it copes with every kind of answer, wrong ones included.
#include "platform/linux/SnapperEngine.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServer>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QTest>
#include <QThread>

#include <functional>

using namespace vigilorn;

namespace {

using Answer = std::function<QDBusMessage(const QDBusMessage&)>;

// Answers whatever the test scripted; lives in its own thread because the engine blocks.
class StandIn : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override {
        Answer scripted;
        {
            QMutexLocker lock(&mutex);
            calls.push_back(m);
            scripted = answer;
        }
        if (!scripted)
            return true; // never answers
        c.send(scripted(m));
        return true;
    }
    QMutex mutex;
    QList<QDBusMessage> calls;
    Answer answer;
};

// One snapshot in the a(uquxussa{ss}) wire form.
struct Wire {
    uint number;
    ushort type;
    uint pre;
    qlonglong date;
    uint uid;
    QString description, cleanup;
    QMap<QString, QString> userdata;
};

QDBusArgument& operator<<(QDBusArgument& a, const Wire& w) {
    a.beginStructure();
    a << w.number << w.type << w.pre << w.date << w.uid << w.description << w.cleanup << w.userdata;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Wire& w) {
    a.beginStructure();
    a >> w.number >> w.type >> w.pre >> w.date >> w.uid >> w.description >> w.cleanup >> w.userdata;
    a.endStructure();
    return a;
}

// A reply of exactly these D-Bus types, built from a signature-checked argument.
QDBusMessage replyWith(const QDBusMessage& call, const QVariantList& args) {
    return call.createReply(args);
}

} // namespace

Q_DECLARE_METATYPE(Wire)

class TestSnapperEngine : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void createSendsConfigDescriptionCleanupAndUserdata();
    void createAcceptsOnlyANumber_data();
    void createAcceptsOnlyANumber();
    void refusesTextDBusCannotCarry();
    void listSkipsCurrentAndKeepsOrder();
    void listRejectsUnexpectedShapes_data();
    void listRejectsUnexpectedShapes();
    void errorsBecomeNumberedFailures_data();
    void errorsBecomeNumberedFailures();
    void noAnswerTimesOut();
    void noBusFailsAtOnce();
    void creationTimeIsUtc_data();
    void creationTimeIsUtc();
    void displayNameNamesTheConfig();

private:
    void answerAll(Answer a) {
        QMutexLocker lock(&m_standIn->mutex);
        m_standIn->answer = std::move(a);
    }
    QList<QDBusMessage> calls() {
        QMutexLocker lock(&m_standIn->mutex);
        return m_standIn->calls;
    }
    SnapperEngine engine(const std::string& config = "root") {
        return SnapperEngine(config, m_client, "org.opensuse.Snapper");
    }

    QThread m_thread;
    QObject* m_context = nullptr; // lives in m_thread
    QDBusServer* m_server = nullptr;
    StandIn* m_standIn = nullptr;
    QDBusConnection m_client{QString()};
};

void TestSnapperEngine::initTestCase() {
    qDBusRegisterMetaType<Wire>();
    qDBusRegisterMetaType<QList<Wire>>();
    qDBusRegisterMetaType<QMap<QString, QString>>();
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    m_thread.start();
    QSemaphore registered;
    QMetaObject::invokeMethod(
        m_context,
        [this, &registered] {
            m_server = new QDBusServer;
            m_standIn = new StandIn;
            QObject::connect(m_server, &QDBusServer::newConnection, m_server,
                             [this, &registered](const QDBusConnection& c) {
                                 QDBusConnection(c).registerVirtualObject("/org/opensuse/Snapper",
                                                                          m_standIn);
                                 registered.release();
                             });
        },
        Qt::BlockingQueuedConnection);
    QVERIFY(m_server->isConnected());
    m_client = QDBusConnection::connectToPeer(m_server->address(), "snapper-stand-in");
    QVERIFY2(m_client.isConnected(), qPrintable(m_client.lastError().message()));
    QVERIFY(registered.tryAcquire(1, 10000));
}

void TestSnapperEngine::cleanupTestCase() {
    QDBusConnection::disconnectFromPeer("snapper-stand-in");
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            delete m_server;
            delete m_standIn;
        },
        Qt::BlockingQueuedConnection);
    m_context->deleteLater(); // run as the thread ends
    m_thread.quit();
    m_thread.wait();
}

void TestSnapperEngine::init() {
    QMutexLocker lock(&m_standIn->mutex);
    m_standIn->calls.clear();
    m_standIn->answer = {};
}

void TestSnapperEngine::createSendsConfigDescriptionCleanupAndUserdata() {
    answerAll([](const QDBusMessage& m) { return replyWith(m, {QVariant::fromValue(uint(42))}); });
    SnapperEngine e = engine("home");
    const std::string description = "say \"hi\" $HOME `id`\nline\ttab C:\\x41 Grüße";
    QVERIFY(!e.createRestorePoint(description, 12, 100));
    QCOMPARE(e.lastCreatedNumber(), 42u);

    const auto sent = calls();
    QCOMPARE(sent.size(), 1);
    const QDBusMessage& m = sent[0];
    QCOMPARE(m.interface(), QString("org.opensuse.Snapper"));
    QCOMPARE(m.member(), QString("CreateSingleSnapshot"));
    QCOMPARE(m.signature(), QString("sssa{ss}"));
    const QVariantList args = m.arguments();
    QCOMPARE(args[0].toString(), QString("home"));
    // snapper's escaping: backslashes doubled, bytes above 127 as \xNN.
    QCOMPARE(args[1].toString(),
             QString("say \"hi\" $HOME `id`\nline\ttab C:\\\\x41 Gr\\xc3\\xbc\\xc3\\x9fe"));
    QCOMPARE(args[2].toString(), QString("number"));
    const auto userdata = qdbus_cast<QMap<QString, QString>>(args[3]);
    QCOMPARE(userdata.value("vigilorn-type"), QString("12"));
    QCOMPARE(userdata.value("vigilorn-event"), QString("100"));
    for (auto it = userdata.cbegin(); it != userdata.cend(); ++it) {
        QVERIFY(!it.key().contains(',') && !it.key().contains('='));
        QVERIFY(!it.value().contains(',') && !it.value().contains('='));
    }
}

void TestSnapperEngine::createAcceptsOnlyANumber_data() {
    QTest::addColumn<QVariantList>("reply");
    QTest::newRow("nothing") << QVariantList{};
    QTest::newRow("a string") << QVariantList{QString("42")};
    QTest::newRow("a signed number") << QVariantList{QVariant::fromValue(int(42))};
    QTest::newRow("two numbers") << QVariantList{QVariant::fromValue(uint(1)),
                                                 QVariant::fromValue(uint(2))};
    QTest::newRow("an array") << QVariantList{QVariant::fromValue(QList<uint>{1u})};
}

void TestSnapperEngine::createAcceptsOnlyANumber() {
    QFETCH(QVariantList, reply);
    answerAll([reply](const QDBusMessage& m) { return replyWith(m, reply); });
    SnapperEngine e = engine();
    const Failure f = e.createRestorePoint("x", 12, 100);
    QVERIFY(f);
    QCOMPARE(f->number, SnapperEngine::kBadReply);
    QVERIFY(!f->description.empty());
}

void TestSnapperEngine::refusesTextDBusCannotCarry() {
    answerAll([](const QDBusMessage& m) { return replyWith(m, {QVariant::fromValue(uint(1))}); });
    SnapperEngine e = engine();
    const Failure f = e.createRestorePoint(std::string("nul\0inside", 10), 12, 100);
    QVERIFY(f);
    QCOMPARE(f->number, SnapperEngine::kBadArgument);
    QVERIFY(calls().isEmpty());
    // Bytes that are not UTF-8 travel escaped.
    QVERIFY(!e.createRestorePoint("\xff\xfe raw", 12, 100));
    QCOMPARE(calls().value(0).arguments().value(1).toString(), QString("\\xff\\xfe raw"));
}

void TestSnapperEngine::listSkipsCurrentAndKeepsOrder() {
    const QList<Wire> snapshots = {
        {0, 0, 0, -1, 0, "current", "", {}},
        {7, 0, 0, 1295701139, 0, "seven : with separator", "number", {{"vigilorn-type", "12"}}},
        {3, 1, 0, 0, 1000, "three\nlines", "", {}},
        {4, 0, 0, 0, 0, "caf\\xc3\\xa9 C:\\\\x41 \\xFF", "", {{"k\\xc3\\xa9", "v\\\\"}}},
    };
    answerAll([snapshots](const QDBusMessage& m) {
        QDBusArgument a;
        a << snapshots;
        return replyWith(m, {QVariant::fromValue(a)});
    });
    SnapperEngine e = engine("root");
    std::vector<RestorePointRecord> points;
    QVERIFY(!e.listRestorePoints(points));
    QCOMPARE(points.size(), std::size_t(3));
    QCOMPARE(points[0].SequenceNumber, std::string("7"));
    QCOMPARE(points[0].Description, std::string("seven : with separator"));
    QCOMPARE(points[0].creationtime, std::string("20110122125859.000000+000"));
    QCOMPARE(points[1].SequenceNumber, std::string("3"));
    QCOMPARE(points[1].Description, std::string("three\nlines"));
    QCOMPARE(points[1].creationtime, std::string("19700101000000.000000+000"));
    QCOMPARE(points[2].Description, std::string("café C:\\x41 \xff"));

    std::vector<SnapperEngine::Snapshot> all;
    QVERIFY(!e.listSnapshots(all));
    QCOMPARE(all.size(), std::size_t(4));
    QCOMPARE(all[3].userdata.value("ké"), QString("v\\"));
    QCOMPARE(all[1].cleanup, std::string("number"));
    QCOMPARE(all[1].userdata.value("vigilorn-type"), QString("12"));
    QCOMPARE(all[2].type, std::uint16_t(1));
    QCOMPARE(all[2].uid, 1000u);

    const auto sent = calls();
    QCOMPARE(sent.back().member(), QString("ListSnapshots"));
    QCOMPARE(sent.back().arguments().value(0).toString(), QString("root"));
}

void TestSnapperEngine::listRejectsUnexpectedShapes_data() {
    QTest::addColumn<QString>("shape");
    QTest::newRow("nothing") << "nothing";
    QTest::newRow("a number") << "number";
    QTest::newRow("strings") << "strings";
    QTest::newRow("structs one field short") << "short";
    QTest::newRow("map of a{sv}") << "variant map";
    QTest::newRow("list and an extra") << "extra";
    QTest::newRow("lone backslash") << "escape";
    QTest::newRow("short hex escape") << "hex";
}

void TestSnapperEngine::listRejectsUnexpectedShapes() {
    QFETCH(QString, shape);
    answerAll([shape](const QDBusMessage& m) -> QDBusMessage {
        if (shape == "nothing")
            return replyWith(m, {});
        if (shape == "number")
            return replyWith(m, {QVariant::fromValue(uint(3))});
        if (shape == "strings")
            return replyWith(m, {QStringList{"1", "2"}});
        if (shape == "short") {
            // (uquxuss) without the userdata.
            QDBusArgument a;
            a.beginArray(QMetaType::fromType<QDBusVariant>());
            a.endArray();
            QDBusArgument b;
            b.beginStructure();
            b << uint(1) << ushort(0) << uint(0) << qlonglong(5) << uint(0) << QString("d")
              << QString("number");
            b.endStructure();
            return replyWith(m, {QVariant::fromValue(b)});
        }
        if (shape == "variant map")
            return replyWith(m, {QVariantMap{{"number", 1}}});
        QDBusArgument a;
        if (shape == "escape" || shape == "hex") {
            a << QList<Wire>{{1, 0, 0, 5, 0, shape == "hex" ? "end \\x4" : "C:\\temp", "", {}}};
            return replyWith(m, {QVariant::fromValue(a)});
        }
        a << QList<Wire>{{1, 0, 0, 5, 0, "d", "", {}}};
        return replyWith(m, {QVariant::fromValue(a), QString("extra")});
    });
    SnapperEngine e = engine();
    std::vector<RestorePointRecord> points{{"9", "untouched", ""}};
    const Failure f = e.listRestorePoints(points);
    QVERIFY(f);
    QCOMPARE(f->number, SnapperEngine::kBadReply);
    QCOMPARE(points.size(), std::size_t(1));
    QCOMPARE(points[0].Description, std::string("untouched"));
}

void TestSnapperEngine::errorsBecomeNumberedFailures_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("text");
    QTest::newRow("unknown config")
        << "error.unknown_config" << SnapperEngine::kUnknownConfig << "Unknown config.";
    QTest::newRow("no permissions")
        << "error.no_permissions" << SnapperEngine::kNoPermissions << "No permissions.";
    QTest::newRow("create failed") << "error.create_snapshot_failed" << SnapperEngine::kCreateFailed
                                   << "Creating snapshot failed.";
    QTest::newRow("locked") << "error.config_locked" << SnapperEngine::kConfigLocked
                            << "Config is locked.";
    QTest::newRow("io") << "error.io_error" << SnapperEngine::kIoError << "Input/output error.";
    QTest::newRow("quota") << "error.quota" << SnapperEngine::kQuota << "Quota error.";
    QTest::newRow("free space") << "error.free_space" << SnapperEngine::kFreeSpace
                                << "Not enough free space.";
    QTest::newRow("userdata") << "error.invalid_userdata" << SnapperEngine::kInvalidUserdata
                              << "Invalid userdata.";
    QTest::newRow("unsupported") << "error.unsupported" << SnapperEngine::kUnsupported
                                 << "Not supported.";
    QTest::newRow("bus says no") << "org.freedesktop.DBus.Error.AccessDenied"
                                 << SnapperEngine::kNoPermissions << "No permissions.";
    QTest::newRow("no snapper") << "org.freedesktop.DBus.Error.ServiceUnknown"
                                << SnapperEngine::kServiceUnknown
                                << "snapper's D-Bus service is not available.";
    QTest::newRow("other") << "error.something_new" << SnapperEngine::kOtherError
                           << "snapper reported error.something_new: disk on fire.";
}

void TestSnapperEngine::errorsBecomeNumberedFailures() {
    QFETCH(QString, name);
    QFETCH(int, number);
    QFETCH(QString, text);
    answerAll([name](const QDBusMessage& m) {
        // snapperd sends a generic D-Bus name as its message; a new error may carry text.
        return m.createErrorReply(name, name.startsWith("error.something")
                                            ? QString("disk on fire")
                                            : QString("org.freedesktop.DBus.Error.Failed"));
    });
    SnapperEngine e = engine();
    const Failure created = e.createRestorePoint("x", 12, 100);
    QVERIFY(created);
    QCOMPARE(created->number, number);
    QCOMPARE(QString::fromStdString(created->description), text);
    std::vector<RestorePointRecord> points;
    const Failure listed = e.listRestorePoints(points);
    QVERIFY(listed);
    QCOMPARE(listed->number, number);
    QVERIFY(e.probe(1000)); // an error answer is no sign of a working snapper
}

void TestSnapperEngine::noAnswerTimesOut() {
    // The stand-in never answers.
    SnapperEngine e = engine();
    std::vector<SnapperEngine::Snapshot> out;
    QElapsedTimer t;
    t.start();
    const Failure f = e.listSnapshots(out, 300);
    QVERIFY(f);
    QCOMPARE(f->number, SnapperEngine::kTimeout);
    QCOMPARE(f->description, std::string("snapper did not answer in time."));
    QVERIFY(t.elapsed() < 5000);
}

void TestSnapperEngine::noBusFailsAtOnce() {
    const QDBusConnection none =
        QDBusConnection::connectToBus("unix:path=/nonexistent/vigilorn-bus", "no-bus");
    QVERIFY(!none.isConnected());
    SnapperEngine e("root", none);
    QElapsedTimer t;
    t.start();
    const Failure f = e.probe();
    QVERIFY(f);
    QCOMPARE(f->number, SnapperEngine::kNoBus);
    QVERIFY(e.createRestorePoint("x", 12, 100));
    QVERIFY(t.elapsed() < 1000);
    QDBusConnection::disconnectFromBus("no-bus");
}

void TestSnapperEngine::creationTimeIsUtc_data() {
    QTest::addColumn<qlonglong>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("epoch") << qlonglong(0) << "19700101000000.000000+000";
    QTest::newRow("example") << qlonglong(1295701139) << "20110122125859.000000+000";
    QTest::newRow("leap day") << qlonglong(1709251199) << "20240229235959.000000+000";
    QTest::newRow("after 2038") << qlonglong(4102444800) << "21000101000000.000000+000";
}

void TestSnapperEngine::creationTimeIsUtc() {
    QFETCH(qlonglong, seconds);
    QFETCH(QString, text);
    qputenv("TZ", "Pacific/Kiritimati"); // +14: a local-time slip shows at once
    tzset();
    QCOMPARE(QString::fromStdString(SnapperEngine::creationTime(seconds)), text);
    qunsetenv("TZ");
    tzset();
}

void TestSnapperEngine::displayNameNamesTheConfig() {
    QCOMPARE(engine("home").displayName(), std::string("snapper (config home)"));
    QCOMPARE(engine("").displayName(), std::string("snapper (config root)"));
}

QTEST_GUILESS_MAIN(TestSnapperEngine)
#include "test_snapperengine.moc"
