// Run as root (sudo -E), the program keeps out of folders that are not root's.
#include "platform/ForeignFolder.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vigilorn;

namespace {

constexpr uid_t kOther = 4242;

// "dir P", "own P" (chown to kOther, the link itself when P is one), "mode P 0777",
// "link P TARGET"; paths relative to the test's folder, a target's "@" is that folder.
void apply(const QString& root, const QStringList& steps) {
    for (const QString& step : steps) {
        const QStringList w = step.split(' ');
        const QByteArray p = QFile::encodeName(root + "/" + w[1]);
        if (w[0] == "dir")
            QVERIFY(QDir().mkpath(root + "/" + w[1]));
        else if (w[0] == "own")
            QCOMPARE(::lchown(p.constData(), kOther, kOther), 0);
        else if (w[0] == "mode")
            QCOMPARE(::chmod(p.constData(), w[2].toUInt(nullptr, 8)), 0);
        else if (w[0] == "link")
            QCOMPARE(::symlink(QFile::encodeName(QString(w[2]).replace('@', root)).constData(),
                               p.constData()),
                     0);
        else
            QFAIL(qPrintable("unknown step " + step));
    }
}

} // namespace

class TestForeignFolder : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (::geteuid() != 0)
            QSKIP("only a program run as root keeps out of other users' folders");
    }

    // `refused` is the entry the message must name, relative to the test's folder; empty when
    // the folder may be used.
    void rootUsesOnlyItsOwn_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("refused");
        QTest::newRow("root's own") << QStringList{"dir data/app"} << "data/app"
                                    << "";
        QTest::newRow("not made yet") << QStringList{"dir data"} << "data/app/store.git"
                                      << "";
        QTest::newRow("another user's") << QStringList{"dir data/app", "own data/app"} << "data/app"
                                        << "data/app";
        QTest::newRow("another user's on the way")
            << QStringList{"dir home/alice/.local/share", "own home/alice"}
            << "home/alice/.local/share"
            << "home/alice";
        QTest::newRow("another user's link on the way")
            << QStringList{"dir real/share", "link data real", "own data"} << "data/share"
            << "data";
        QTest::newRow("root's link into another user's")
            << QStringList{"dir alice/share", "own alice", "link data alice"} << "data/share"
            << "alice";
        QTest::newRow("root's link, absolute, into another user's")
            << QStringList{"dir alice/share", "own alice", "dir r", "link r/data @/alice"}
            << "r/data/share"
            << "alice";
        QTest::newRow("root's link to root's")
            << QStringList{"dir real/share", "link data ../top/real"} << "data/share"
            << "";
        QTest::newRow("others may write on the way")
            << QStringList{"dir open/app", "mode open 0777"} << "open/app"
            << "open";
        QTest::newRow("a shared folder like /tmp")
            << QStringList{"dir tmp/app", "mode tmp 1777"} << "tmp/app"
            << "";
        QTest::newRow("a loop of links") << QStringList{"link a b", "link b a"} << "a/app"
                                         << "a";
    }
    void rootUsesOnlyItsOwn() {
        QFETCH(QStringList, steps);
        QFETCH(QString, path);
        QFETCH(QString, refused);
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        const QString root = tmp.path() + "/top";
        QVERIFY(QDir().mkpath(root));
        apply(root, steps);
        if (QTest::currentTestFailed())
            return;
        const Failure f =
            foreignFolder("The restore point store", (root + "/" + path).toStdString());
        if (refused.isEmpty()) {
            QVERIFY2(!f, f ? f->description.c_str() : "");
            return;
        }
        QVERIFY(f);
        QCOMPARE(f->number, kForeignFolder);
        const QString text = QString::fromStdString(f->description);
        QVERIFY2(text.startsWith("The restore point store " + root + "/" + path + " is not used"),
                 qPrintable(text));
        const QRegularExpression names(QRegularExpression::escape(root + "/" + refused) + "[ .]");
        QVERIFY2(text.contains(names), qPrintable(text));
        QVERIFY2(text.contains("or as root without sudo -E"), qPrintable(text));
    }
};

QTEST_MAIN(TestForeignFolder)
#include "test_foreign_folder.moc"
