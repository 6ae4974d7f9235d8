// The restore's progress lines count in plain English.
#include "system/ProgressWords.h"

#include <QTest>

using namespace vigilorn::sys;

class TestProgressWords : public QObject {
    Q_OBJECT
private slots:
    void packagesStep_data() {
        QTest::addColumn<int>("versions");
        QTest::addColumn<int>("removals");
        QTest::addColumn<QString>("text");
        QTest::newRow("one each") << 1 << 1
                                  << "putting back 1 package version and removing 1 package "
                                     "installed since";
        QTest::newRow("none and two")
            << 0 << 2 << "putting back 0 package versions and removing 2 packages installed since";
        QTest::newRow("eleven and one")
            << 11 << 1 << "putting back 11 package versions and removing 1 package installed since";
    }
    void packagesStep() {
        QFETCH(int, versions);
        QFETCH(int, removals);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(vigilorn::sys::packagesStep(
                     static_cast<std::uint64_t>(versions), static_cast<std::uint64_t>(removals))),
                 text);
    }
};

QTEST_GUILESS_MAIN(TestProgressWords)
#include "test_progress_words.moc"
