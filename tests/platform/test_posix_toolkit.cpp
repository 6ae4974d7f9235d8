// The plain toolkit below the store and the root side: strict numbers, bounded reads of files
// and streams, whole replacement of a file, a folder's names.
#include "platform/posix/Fd.h"
#include "platform/posix/Files.h"
#include "platform/posix/Stream.h"
#include "platform/posix/Text.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vigilorn::posix;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ReadFailure)
Q_DECLARE_METATYPE(StreamEnd)
Q_DECLARE_METATYPE(Until)

class TestPosixToolkit : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;
    Fd dir;

    void write(const char* name, const QByteArray& data) {
        const Fd f(::openat(dir.get(), name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        QVERIFY(f.valid());
        QCOMPARE(writeAll(f.get(), std::string_view(data.constData(), data.size())), 0);
    }

private slots:
    void initTestCase() {
        QVERIFY(tmp.isValid());
        dir.reset(::open(QFile::encodeName(tmp.path()).constData(), O_RDONLY | O_DIRECTORY));
        QVERIFY(dir.valid());
        write("small", "hello\n");
        write("exact", QByteArray(100, 'x'));
        write("large", QByteArray(101, 'x'));
        write("empty", "");
        QCOMPARE(::symlinkat("small", dir.get(), "link"), 0);
        QCOMPARE(::mkdirat(dir.get(), "folder", 0755), 0);
        QCOMPARE(::mkfifoat(dir.get(), "fifo", 0644), 0);
        write("others", "x");
        // Not root's, whoever runs the test.
        if (::geteuid() == 0)
            QCOMPARE(::fchownat(dir.get(), "others", 4242, 4242, 0), 0);
    }

    void decimals_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<quint64>("max");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<quint64>("value");
        const quint64 all = UINT64_MAX;
        QTest::newRow("zero") << QByteArray("0") << all << true << quint64(0);
        QTest::newRow("leading zeros") << QByteArray("007") << all << true << quint64(7);
        QTest::newRow("largest") << QByteArray("18446744073709551615") << all << true << all;
        QTest::newRow("one over the largest")
            << QByteArray("18446744073709551616") << all << false << quint64(0);
        QTest::newRow("far over") << QByteArray("99999999999999999999999") << all << false
                                  << quint64(0);
        QTest::newRow("at the bound") << QByteArray("256") << quint64(256) << true << quint64(256);
        QTest::newRow("over the bound") << QByteArray("257") << quint64(256) << false << quint64(0);
        QTest::newRow("empty") << QByteArray("") << all << false << quint64(0);
        QTest::newRow("sign") << QByteArray("+1") << all << false << quint64(0);
        QTest::newRow("minus") << QByteArray("-1") << all << false << quint64(0);
        QTest::newRow("space") << QByteArray(" 1") << all << false << quint64(0);
        QTest::newRow("trailing text") << QByteArray("12a") << all << false << quint64(0);
        QTest::newRow("hex") << QByteArray("0x10") << all << false << quint64(0);
    }
    void decimals() {
        QFETCH(QByteArray, text);
        QFETCH(quint64, max);
        QFETCH(bool, ok);
        QFETCH(quint64, value);
        std::uint64_t got = 12345;
        QCOMPARE(parseDecimal<std::uint64_t>(text.toStdString(), got, max), ok);
        QCOMPARE(got, ok ? value : quint64(12345)); // a refused text leaves the value alone
    }

    void narrowAndSignedDecimals() {
        std::uint8_t small = 0;
        QVERIFY(parseDecimal(std::string_view("255"), small));
        QCOMPARE(small, 255);
        QVERIFY(!parseDecimal(std::string_view("256"), small));
        int pid = 0;
        QVERIFY(parseDecimal(std::string_view("2147483647"), pid));
        QCOMPARE(pid, 2147483647);
        QVERIFY(!parseDecimal(std::string_view("2147483648"), pid));
        QVERIFY(!parseDecimal(std::string_view("-5"), pid));
    }

    void text_data() {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<QByteArray>("trimmed");
        QTest::addColumn<QByteArray>("digits");
        QTest::newRow("blank around")
            << QByteArray(" \t12 ab\r\n") << QByteArray("12 ab") << QByteArray("");
        QTest::newRow("only blank") << QByteArray(" \n\t") << QByteArray("") << QByteArray("");
        QTest::newRow("digits first")
            << QByteArray("42/7 x") << QByteArray("42/7 x") << QByteArray("42");
        QTest::newRow("empty") << QByteArray("") << QByteArray("") << QByteArray("");
    }
    void text() {
        QFETCH(QByteArray, in);
        QFETCH(QByteArray, trimmed);
        QFETCH(QByteArray, digits);
        const std::string s = in.toStdString();
        QCOMPARE(QByteArray::fromStdString(std::string(trim(s))), trimmed);
        QCOMPARE(QByteArray::fromStdString(std::string(leadingDigits(s))), digits);
    }

    void hexDigits() {
        const std::string_view all = "0123456789abcdefABCDEF";
        for (std::size_t i = 0; i < all.size(); ++i)
            QCOMPARE(hexDigit(all[i]), int(i < 16 ? i : i - 6));
        for (const char c : std::string_view("gG/:@`\0 ", 8))
            QCOMPARE(hexDigit(c), -1);
    }

    void unescaping_data() {
        QTest::addColumn<QByteArray>("in");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("out");
        QTest::newRow("plain") << QByteArray("etc/motd") << true << QByteArray("etc/motd");
        QTest::newRow("backslash") << QByteArray("a\\\\b") << true << QByteArray("a\\b");
        QTest::newRow("byte") << QByteArray("a\\x0ab\\xFF") << true << QByteArray("a\nb\xff");
        QTest::newRow("at the very end") << QByteArray("\\x41") << true << QByteArray("A");
        QTest::newRow("cut byte") << QByteArray("a\\x4") << false << QByteArray();
        QTest::newRow("not hex") << QByteArray("a\\xg0") << false << QByteArray();
        QTest::newRow("lone backslash") << QByteArray("a\\") << false << QByteArray();
        QTest::newRow("other escape") << QByteArray("a\\n") << false << QByteArray();
    }
    void unescaping() {
        QFETCH(QByteArray, in);
        QFETCH(bool, ok);
        QFETCH(QByteArray, out);
        std::string got;
        QCOMPARE(unescapeBackslashHex(in.toStdString(), got), ok);
        if (ok)
            QCOMPARE(QByteArray::fromStdString(got), out);
    }

    void files_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<uint>("flags");
        QTest::addColumn<ReadFailure>("failure");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("small") << QByteArray("small") << uint(kNoFollow) << ReadFailure::None
                               << QByteArray("hello\n");
        QTest::newRow("exactly the limit")
            << QByteArray("exact") << uint(kNoFollow) << ReadFailure::None << QByteArray(100, 'x');
        QTest::newRow("a byte over the limit")
            << QByteArray("large") << uint(kNoFollow) << ReadFailure::TooLarge << QByteArray();
        QTest::newRow("empty") << QByteArray("empty") << uint(kNoFollow) << ReadFailure::None
                               << QByteArray();
        QTest::newRow("missing") << QByteArray("nothing") << uint(kNoFollow) << ReadFailure::Missing
                                 << QByteArray();
        QTest::newRow("a link refused")
            << QByteArray("link") << uint(kNoFollow) << ReadFailure::Link << QByteArray();
        QTest::newRow("a link followed when allowed") << QByteArray("link") << uint(kFollowLinks)
                                                      << ReadFailure::None << QByteArray("hello\n");
        QTest::newRow("a folder") << QByteArray("folder") << uint(kNoFollow)
                                  << ReadFailure::NotAFile << QByteArray();
        QTest::newRow("a pipe, not waited on")
            << QByteArray("fifo") << uint(kNoFollow) << ReadFailure::NotAFile << QByteArray();
        QTest::newRow("another user's, root's asked")
            << QByteArray("others") << uint(kNoFollow | kRootOwned) << ReadFailure::NotRootOwned
            << QByteArray();
        QTest::newRow("another user's, anyone's asked")
            << QByteArray("others") << uint(kNoFollow) << ReadFailure::None << QByteArray("x");
    }
    void files() {
        QFETCH(QByteArray, name);
        QFETCH(uint, flags);
        QFETCH(ReadFailure, failure);
        QFETCH(QByteArray, text);
        const FileRead r = readFile(dir.get(), name.toStdString(), 100, flags);
        QCOMPARE(r.failure, failure);
        QCOMPARE(r.ok(), failure == ReadFailure::None);
        QCOMPARE(QByteArray::fromStdString(r.text), text);
    }

    // /proc states no size: the reader goes by what comes, both ways.
    void filesWithoutStatedSize() {
        const FileRead whole = readFile(AT_FDCWD, "/proc/self/status", 1 << 20);
        QVERIFY(whole.ok());
        QVERIFY(whole.text.size() > 100);
        QVERIFY(whole.text.starts_with("Name:"));
        QCOMPARE(readFile(AT_FDCWD, "/proc/self/status", whole.text.size() - 1).failure,
                 ReadFailure::TooLarge);
        const Fd etc(::open("/etc", O_RDONLY | O_DIRECTORY));
        QVERIFY(readFile(etc.get(), "passwd", 1 << 20, kNoFollow | kRootOwned).ok());
    }

    void streams_data() {
        QTest::addColumn<QByteArray>("written");
        QTest::addColumn<bool>("closed");
        QTest::addColumn<Until>("until");
        QTest::addColumn<StreamEnd>("end");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("left");
        QTest::newRow("whole") << QByteArray("a\nb\n") << true << Until::End << StreamEnd::Complete
                               << QByteArray("a\nb\n") << QByteArray();
        QTest::newRow("exactly the limit")
            << QByteArray(16, 'x') << true << Until::End << StreamEnd::Complete
            << QByteArray(16, 'x') << QByteArray();
        QTest::newRow("over the limit, the start kept")
            << QByteArray(17, 'x') << true << Until::End << StreamEnd::TooLarge
            << QByteArray(16, 'x') << QByteArray();
        QTest::newRow("writer still there")
            << QByteArray("part") << false << Until::End << StreamEnd::TimedOut
            << QByteArray("part") << QByteArray();
        QTest::newRow("one line, the rest left")
            << QByteArray("made 7\nmore\n") << true << Until::Line << StreamEnd::Complete
            << QByteArray("made 7") << QByteArray("more\n");
        QTest::newRow("a line cut by the end")
            << QByteArray("made") << true << Until::Line << StreamEnd::Closed << QByteArray("made")
            << QByteArray();
        QTest::newRow("a line longer than the limit")
            << QByteArray(20, 'x') + "\n"
            << true << Until::Line << StreamEnd::TooLarge << QByteArray(16, 'x')
            << QByteArray(3, 'x') + "\n";
        QTest::newRow("a line, writer still there")
            << QByteArray("ma") << false << Until::Line << StreamEnd::TimedOut << QByteArray("ma")
            << QByteArray();
    }
    void streams() {
        QFETCH(QByteArray, written);
        QFETCH(bool, closed);
        QFETCH(Until, until);
        QFETCH(StreamEnd, end);
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, left);
        int p[2];
        QCOMPARE(::pipe2(p, O_CLOEXEC), 0);
        Fd in(p[0]), out(p[1]);
        QCOMPARE(writeAll(out.get(), std::string_view(written.constData(), written.size())), 0);
        if (closed)
            out.reset();
        const StreamRead r = readStream(in.get(), 16, 100ms, until);
        QCOMPARE(r.end, end);
        QCOMPARE(QByteArray::fromStdString(r.text), text);
        out.reset();
        QCOMPARE(QByteArray::fromStdString(readStream(in.get(), 1024, 5s).text), left);
    }

    void streamOfAClosedDescriptor() { QCOMPARE(readStream(-1, 16, 1s).end, StreamEnd::Failed); }

    void replace() {
        write("kept", "old");
        QCOMPARE(replaceFile(dir.get(), "kept", "new text", 0600), 0);
        QCOMPARE(readFile(dir.get(), "kept", 100).text, std::string("new text"));
        struct stat st {};
        QCOMPARE(::fstatat(dir.get(), "kept", &st, 0), 0);
        QCOMPARE(st.st_mode & 07777, 0600u);
        // A link in the name's place is replaced, its target left alone.
        QCOMPARE(::symlinkat("small", dir.get(), "pointing"), 0);
        QCOMPARE(replaceFile(dir.get(), "pointing", "mine", 0644), 0);
        QCOMPARE(readFile(dir.get(), "small", 100).text, std::string("hello\n"));
        QCOMPARE(readFile(dir.get(), "pointing", 100).text, std::string("mine"));
        // A temporary left by a crash does not stop the next write; a failed write leaves none.
        write(".again.new", "stale");
        QCOMPARE(replaceFile(dir.get(), "again", "fresh", 0644), 0);
        QCOMPARE(readFile(dir.get(), ".again.new", 100).failure, ReadFailure::Missing);
        QCOMPARE(replaceFile(dir.get(), "folder", "x", 0644), EISDIR);
        QCOMPARE(readFile(dir.get(), ".folder.new", 100).failure, ReadFailure::Missing);
        QCOMPARE(replaceFile(dir.get(), "nothing/below", "x", 0644), ENOENT);
    }

    void names() {
        QCOMPARE(::mkdirat(dir.get(), "listed", 0755), 0);
        const Fd listed(::openat(dir.get(), "listed", O_RDONLY | O_DIRECTORY));
        for (const char* n : {"b", ".hidden", "a"})
            QVERIFY(Fd(::openat(listed.get(), n, O_WRONLY | O_CREAT, 0644)).valid());
        const std::vector<std::string> want{".hidden", "a", "b"};
        for (int round = 0; round < 2; ++round) { // the caller's descriptor is not used up
            auto got = namesIn(listed.get());
            std::sort(got.begin(), got.end());
            QCOMPARE(got, want);
        }
        QVERIFY(namesIn(-1).empty());
    }
};

QTEST_GUILESS_MAIN(TestPosixToolkit)
#include "test_posix_toolkit.moc"
