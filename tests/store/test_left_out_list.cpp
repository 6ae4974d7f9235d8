// left-out.txt: every path that can be written is read back as it was.
#include "store/LeftOutList.h"

#include <QTest>

using namespace vigilorn::store;

class TestLeftOutList : public QObject {
    Q_OBJECT
private slots:
    void roundTrip_data() {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("plain") << QByteArray("etc/shadow") << QByteArray("too-large\tetc/shadow\n");
        QTest::newRow("tab") << QByteArray("config/a\tb")
                             << QByteArray("too-large\tconfig/a\\tb\n");
        QTest::newRow("line feed")
            << QByteArray("config/a\nb") << QByteArray("too-large\tconfig/a\\nb\n");
        QTest::newRow("backslash before t")
            << QByteArray("config/a\\tb") << QByteArray("too-large\tconfig/a\\\\tb\n");
        QTest::newRow("backslash last")
            << QByteArray("config/a\\") << QByteArray("too-large\tconfig/a\\\\\n");
        QTest::newRow("UTF-8 and spaces") << QByteArray("config/caf\xc3\xa9 x")
                                          << QByteArray("too-large\tconfig/caf\xc3\xa9 x\n");
    }
    void roundTrip() {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, line);
        const std::string written = leftOutLine({"too-large", path.toStdString()});
        QCOMPARE(QByteArray::fromStdString(written), line);
        const auto read = parseLeftOutList(written + "unreadable\tetc/x\n");
        QCOMPARE(read.size(), std::size_t(2));
        QCOMPARE(read[0].reason, std::string("too-large"));
        QCOMPARE(QByteArray::fromStdString(read[0].path), path);
        QCOMPARE(read[1].path, std::string("etc/x"));
    }

    void linesWithoutAPathArePassedOver() {
        const auto read = parseLeftOutList("garbage\n\nspecial\tetc/fifo");
        QCOMPARE(read.size(), std::size_t(1));
        QCOMPARE(read[0].reason, std::string("special"));
        QCOMPARE(read[0].path, std::string("etc/fifo"));
    }
};

QTEST_GUILESS_MAIN(TestLeftOutList)
#include "test_left_out_list.moc"
