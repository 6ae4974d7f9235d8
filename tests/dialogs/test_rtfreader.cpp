// The help document reader: formatting it must keep, and hostile input it must survive.
#include "dialogs/RtfReader.h"

#include <QFontDatabase>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <memory>

using vigilorn::readRtf;

namespace {

std::unique_ptr<QTextDocument> read(const QByteArray& rtf,
                                    vigilorn::RtfReadResult* result = nullptr) {
    auto doc = std::make_unique<QTextDocument>();
    const auto r = readRtf(rtf, *doc);
    if (result)
        *result = r;
    return doc;
}

// The format of every character of the first occurrence of text; empty when it is not there.
QList<QTextCharFormat> formatsOf(const QTextDocument& doc, const QString& text) {
    const QTextCursor found = doc.find(text, 0, QTextDocument::FindCaseSensitively);
    QList<QTextCharFormat> out;
    if (found.isNull())
        return out;
    QTextCursor c(const_cast<QTextDocument*>(&doc));
    for (int pos = found.selectionStart() + 1; pos <= found.selectionEnd(); ++pos) {
        c.setPosition(pos);
        out.append(c.charFormat());
    }
    return out;
}

template <class Pred> bool allOf(const QTextDocument& doc, const QString& text, Pred pred) {
    const auto formats = formatsOf(doc, text);
    if (formats.isEmpty())
        return false;
    return std::all_of(formats.begin(), formats.end(), pred);
}

bool isBold(const QTextCharFormat& f) {
    return f.fontWeight() >= QFont::Bold;
}

QStringList blockTexts(const QTextDocument& doc) {
    QStringList out;
    for (QTextBlock b = doc.begin(); b.isValid(); b = b.next())
        out << b.text();
    return out;
}

} // namespace

class TestRtfReader : public QObject {
    Q_OBJECT

private slots:
    void recognisesRtf_data();
    void recognisesRtf();
    void characterFormatting();
    void pointSizes();
    void colours();
    void paragraphsLinesAndTabs();
    void alignment();
    void indentsAndSpacing();
    void unicodeEscapes_data();
    void unicodeEscapes();
    void codePageEscapes_data();
    void codePageEscapes();
    void destinationsAndUnknownWordsSkipped_data();
    void destinationsAndUnknownWordsSkipped();
    void controlSymbols();
    void fontTableMapsToInstalledFamilies();
    void plainAndPardReset();
    void hostileInput_data();
    void hostileInput();
    void deepNestingKeepsTextAndMatchesBraces();
    void hugeParametersAreCapped();
    void truncatedDocumentKeepsWhatWasRead();
    void readingAgainReplacesContent();
};

void TestRtfReader::recognisesRtf_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("isRtf");
    QTest::newRow("minimal") << QByteArray("{\\rtf1 x}") << true;
    QTest::newRow("leading blank lines") << QByteArray("\r\n  {\\rtf1 x}") << true;
    QTest::newRow("utf-8 mark") << QByteArray("\xEF\xBB\xBF{\\rtf1 x}") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("plain text") << QByteArray("hello world") << false;
    QTest::newRow("html") << QByteArray("<html><body>x</body></html>") << false;
    QTest::newRow("brace only") << QByteArray("{") << false;
    QTest::newRow("other group") << QByteArray("{\\rtx1 x}") << false;
}

void TestRtfReader::recognisesRtf() {
    QFETCH(QByteArray, data);
    QFETCH(bool, isRtf);
    vigilorn::RtfReadResult r;
    auto doc = read(data, &r);
    QCOMPARE(r.isRtf, isRtf);
    if (!isRtf)
        QVERIFY(doc->isEmpty());
    else
        QCOMPARE(doc->toPlainText(), QStringLiteral("x"));
}

void TestRtfReader::characterFormatting() {
    auto doc = read("{\\rtf1\\ansi plain {\\b bold} after \\b on\\b0  off "
                    "{\\i italic} {\\ul under}{\\ul0  noline} \\ul u2\\ulnone  u3 "
                    "{\\strike struck} {\\b\\i both}}");
    QCOMPARE(doc->toPlainText(),
             QStringLiteral("plain bold after on off italic under noline u2 u3 struck both"));
    QVERIFY(allOf(*doc, "bold", isBold));
    QVERIFY(allOf(*doc, "on", isBold));
    for (const char* w : {"plain", "after", "off", "italic"})
        QVERIFY2(allOf(*doc, w, [](const QTextCharFormat& f) { return !isBold(f); }), w);
    QVERIFY(allOf(*doc, "italic", [](const QTextCharFormat& f) { return f.fontItalic(); }));
    QVERIFY(allOf(*doc, "under", [](const QTextCharFormat& f) { return f.fontUnderline(); }));
    QVERIFY(allOf(*doc, "u2", [](const QTextCharFormat& f) { return f.fontUnderline(); }));
    for (const char* w : {"noline", "u3", "plain"})
        QVERIFY2(allOf(*doc, w, [](const QTextCharFormat& f) { return !f.fontUnderline(); }), w);
    QVERIFY(allOf(*doc, "struck", [](const QTextCharFormat& f) { return f.fontStrikeOut(); }));
    QVERIFY(
        allOf(*doc, "both", [](const QTextCharFormat& f) { return isBold(f) && f.fontItalic(); }));
}

void TestRtfReader::pointSizes() {
    auto doc = read("{\\rtf1 dflt {\\fs17 small} {\\fs48 big} \\fs20 ten\\fs  twelve}");
    // Without \fs the document's own default font size applies.
    QVERIFY(allOf(*doc, "dflt", [](const QTextCharFormat& f) {
        return !f.hasProperty(QTextFormat::FontPointSize);
    }));
    QVERIFY(
        allOf(*doc, "small", [](const QTextCharFormat& f) { return f.fontPointSize() == 8.5; }));
    QVERIFY(allOf(*doc, "big", [](const QTextCharFormat& f) { return f.fontPointSize() == 24; }));
    QVERIFY(allOf(*doc, "ten", [](const QTextCharFormat& f) { return f.fontPointSize() == 10; }));
    QVERIFY(
        allOf(*doc, "twelve", [](const QTextCharFormat& f) { return f.fontPointSize() == 12; }));
}

void TestRtfReader::colours() {
    auto doc = read("{\\rtf1{\\colortbl;\\red255\\green0\\blue0;\\red0\\green128\\blue0;}"
                    "auto \\cf1 red \\cf2 green\\cf0  back \\cb2 shaded\\cb0  clear "
                    "\\cf9 outside}");
    QCOMPARE(doc->toPlainText(), QStringLiteral("auto red green back shaded clear outside"));
    auto fg = [](const QColor& c) {
        return [c](const QTextCharFormat& f) {
            return f.hasProperty(QTextFormat::ForegroundBrush) && f.foreground().color() == c;
        };
    };
    auto noFg = [](const QTextCharFormat& f) {
        return !f.hasProperty(QTextFormat::ForegroundBrush);
    };
    QVERIFY(allOf(*doc, "red", fg(QColor(255, 0, 0))));
    QVERIFY(allOf(*doc, "green", fg(QColor(0, 128, 0))));
    QVERIFY(allOf(*doc, "auto", noFg));
    QVERIFY(allOf(*doc, "back", noFg));
    // An index beyond the table is "automatic", not a crash or a stale colour.
    QVERIFY(allOf(*doc, "outside", noFg));
    QVERIFY(allOf(*doc, "shaded", [](const QTextCharFormat& f) {
        return f.hasProperty(QTextFormat::BackgroundBrush) &&
               f.background().color() == QColor(0, 128, 0);
    }));
    QVERIFY(allOf(*doc, "clear", [](const QTextCharFormat& f) {
        return !f.hasProperty(QTextFormat::BackgroundBrush);
    }));
}

void TestRtfReader::paragraphsLinesAndTabs() {
    auto doc = read("{\\rtf1 one\\par two\\line half\\par\r\n\\tab three\\par}");
    QCOMPARE(blockTexts(*doc),
             QStringList({QStringLiteral("one"),
                          QStringLiteral("two") + QChar::LineSeparator + QStringLiteral("half"),
                          QStringLiteral("\tthree"), QString()}));
    // Source line breaks are not text.
    auto joined = read("{\\rtf1 ab\r\ncd\nef}");
    QCOMPARE(blockTexts(*joined), QStringList{QStringLiteral("abcdef")});
}

void TestRtfReader::alignment() {
    auto doc = read("{\\rtf1\\pard left\\par\\pard\\qc centre\\par\\pard\\qr right\\par"
                    "\\pard\\qj justified\\par\\pard after}");
    const QList<Qt::Alignment> expected = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignRight,
                                           Qt::AlignJustify, Qt::AlignLeft};
    QTextBlock b = doc->begin();
    for (Qt::Alignment a : expected) {
        QVERIFY(b.isValid());
        QCOMPARE(b.blockFormat().alignment() & Qt::AlignHorizontal_Mask, a);
        b = b.next();
    }
}

void TestRtfReader::indentsAndSpacing() {
    // Twips to pixels at 96 per inch: 15 twips a pixel.
    auto doc = read("{\\rtf1\\pard\\li300\\fi-150\\ri600\\sb150\\sa75 hanging\\par "
                    "still\\par\\pard\\li99999999\\fi-99999999 capped\\par\\pard plain}");
    const QTextBlockFormat first = doc->begin().blockFormat();
    QCOMPARE(first.leftMargin(), 20.0);
    QCOMPARE(first.textIndent(), -10.0);
    QCOMPARE(first.rightMargin(), 40.0);
    QCOMPARE(first.topMargin(), 10.0);
    QCOMPARE(first.bottomMargin(), 5.0);
    // Paragraph properties last until \\pard.
    QCOMPARE(doc->begin().next().blockFormat().leftMargin(), 20.0);
    const QTextBlockFormat capped = doc->begin().next().next().blockFormat();
    QVERIFY(capped.leftMargin() > 0 && capped.leftMargin() <= 480);
    QVERIFY(capped.textIndent() < 0 && capped.textIndent() >= -480);
    QCOMPARE(doc->lastBlock().blockFormat().leftMargin(), 0.0);
    QCOMPARE(doc->lastBlock().blockFormat().textIndent(), 0.0);
}

void TestRtfReader::unicodeEscapes_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("text");
    QTest::newRow("default skip of one") << QByteArray("\\u8364?x") << QStringLiteral("\u20ACx");
    QTest::newRow("uc2 skips two") << QByteArray("\\uc2\\u8364ab c") << QStringLiteral("\u20AC c");
    QTest::newRow("uc0 skips nothing") << QByteArray("\\uc0\\u233 e") << QStringLiteral("\u00E9e");
    QTest::newRow("hex fallback counts as one")
        << QByteArray("\\u233\\'e9z") << QStringLiteral("\u00E9z");
    QTest::newRow("negative is 16-bit") << QByteArray("\\u-4064?") << QStringLiteral("\uF020");
    QTest::newRow("surrogate pair")
        << QByteArray("\\u-10179?\\u-8704?") << QString::fromUcs4(U"\U0001F600");
    QTest::newRow("lone surrogate replaced")
        << QByteArray("a\\u-10179?b") << QStringLiteral("a\uFFFDb");
    QTest::newRow("uc is per group")
        << QByteArray("{\\uc2\\u8364ab}\\u8364?c") << QStringLiteral("\u20AC\u20ACc");
    QTest::newRow("brace ends the skip")
        << QByteArray("\\uc3\\u8364{x}y") << QStringLiteral("\u20ACxy");
    QTest::newRow("no parameter is ignored") << QByteArray("\\u x") << QStringLiteral("x");
}

void TestRtfReader::unicodeEscapes() {
    QFETCH(QByteArray, body);
    QFETCH(QString, text);
    auto doc = read("{\\rtf1 " + body + "}");
    QCOMPARE(doc->toPlainText(), text);
}

void TestRtfReader::codePageEscapes_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("text");
    QTest::newRow("default 1252") << QByteArray("{\\rtf1 caf\\'e9 \\'80 \\'93q\\'94}")
                                  << QStringLiteral("caf\u00E9 \u20AC \u201Cq\u201D");
    QTest::newRow("explicit 1252")
        << QByteArray("{\\rtf1\\ansi\\ansicpg1252 \\'e9\\'9f}") << QStringLiteral("\u00E9\u0178");
    QTest::newRow("upper-case hex") << QByteArray("{\\rtf1 \\'E9}") << QStringLiteral("\u00E9");
    QTest::newRow("raw high byte")
        << QByteArray("{\\rtf1 \xE9t\xE9}") << QStringLiteral("\u00E9t\u00E9");
    QTest::newRow("utf-8 code page")
        << QByteArray("{\\rtf1\\ansicpg65001 \\'c3\\'a9}") << QStringLiteral("\u00E9");
    QTest::newRow("invalid utf-8 replaced")
        << QByteArray("{\\rtf1\\ansicpg65001 a\\'c3b\xFF}") << QStringLiteral("a\uFFFDb\uFFFD");
    QTest::newRow("unknown code page falls back")
        << QByteArray("{\\rtf1\\ansicpg99999 \\'e9}") << QStringLiteral("\u00E9");
    QTest::newRow("invalid hex dropped")
        << QByteArray("{\\rtf1 a\\'zzb}") << QStringLiteral("azzb");
}

void TestRtfReader::codePageEscapes() {
    QFETCH(QByteArray, data);
    QFETCH(QString, text);
    QCOMPARE(read(data)->toPlainText(), text);
}

void TestRtfReader::destinationsAndUnknownWordsSkipped_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("text");
    QTest::newRow("ignorable") << QByteArray("{\\*\\unknowndest secret {nested}}shown")
                               << QStringLiteral("shown");
    QTest::newRow("info") << QByteArray("{\\info{\\title T}{\\author A}}shown")
                          << QStringLiteral("shown");
    QTest::newRow("stylesheet") << QByteArray("{\\stylesheet{\\s0 Normal;}}shown")
                                << QStringLiteral("shown");
    QTest::newRow("header and footer")
        << QByteArray("{\\header head}{\\footer foot}shown") << QStringLiteral("shown");
    QTest::newRow("picture with binary braces")
        << QByteArray("{\\pict\\pngblip\\bin6 }}{{\\ 89abcdef}shown") << QStringLiteral("shown");
    QTest::newRow("field keeps its result")
        << QByteArray("{\\field{\\*\\fldinst HYPERLINK \"x\"}{\\fldrslt link}}")
        << QStringLiteral("link");
    QTest::newRow("unknown words")
        << QByteArray("\\foo \\bar12 \\baz-3 shown\\qux") << QStringLiteral("shown");
    QTest::newRow("overlong word")
        << QByteArray("\\" + QByteArray(200, 'x') + " shown") << QStringLiteral("shown");
}

void TestRtfReader::destinationsAndUnknownWordsSkipped() {
    QFETCH(QByteArray, body);
    QFETCH(QString, text);
    QCOMPARE(read("{\\rtf1 " + body + "}")->toPlainText(), text);
}

void TestRtfReader::controlSymbols() {
    auto doc = read("{\\rtf1 \\{a\\} \\\\ b\\~c\\_d \\emdash\\endash\\bullet"
                    "\\lquote\\rquote\\ldblquote\\rdblquote}");
    QCOMPARE(blockTexts(*doc).value(0),
             QStringLiteral("{a} \\ b\u00A0c\u2011d \u2014\u2013\u2022\u2018\u2019\u201C\u201D"));
}

void TestRtfReader::fontTableMapsToInstalledFamilies() {
    auto doc = read("{\\rtf1\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Tahoma;}"
                    "{\\f1\\froman Times New Roman;}{\\f2\\fmodern Courier New;}"
                    "{\\f3\\fnil DejaVu Sans Mono;}}"
                    "dflt \\f1 serif \\f2 mono \\f3 exact \\f7 missing}");
    QCOMPARE(doc->toPlainText(), QStringLiteral("dflt serif mono exact missing"));
    const QStringList installed = QFontDatabase::families();
    auto familyOf = [&](const char* word) {
        const auto formats = formatsOf(*doc, QString::fromLatin1(word));
        return formats.isEmpty() ? QStringList() : formats.first().fontFamilies().toStringList();
    };
    for (const char* w : {"dflt", "serif", "mono", "exact"}) {
        const QStringList fam = familyOf(w);
        QVERIFY2(fam.size() == 1 && installed.contains(fam.first()), w);
    }
    if (installed.contains(QStringLiteral("DejaVu Sans Mono")))
        QCOMPARE(familyOf("exact"), QStringList{QStringLiteral("DejaVu Sans Mono")});
    // A Roman face maps to a serif family, a modern one to a fixed-pitch one.
    QVERIFY(QFontDatabase::isFixedPitch(familyOf("mono").first()));
    QVERIFY(familyOf("serif") != familyOf("dflt"));
    // A font number not in the table falls back to the \deff font.
    QCOMPARE(familyOf("missing"), familyOf("dflt"));
}

void TestRtfReader::plainAndPardReset() {
    auto doc = read("{\\rtf1{\\colortbl;\\red255\\green0\\blue0;}\\qc\\b\\i\\ul\\fs40\\cf1 "
                    "styled\\plain  plain\\par\\pard left}");
    QVERIFY(allOf(*doc, "styled", [](const QTextCharFormat& f) {
        return isBold(f) && f.fontItalic() && f.fontUnderline() && f.fontPointSize() == 20 &&
               f.hasProperty(QTextFormat::ForegroundBrush);
    }));
    QVERIFY(allOf(*doc, "plain", [](const QTextCharFormat& f) {
        return !isBold(f) && !f.fontItalic() && !f.fontUnderline() &&
               !f.hasProperty(QTextFormat::FontPointSize) &&
               !f.hasProperty(QTextFormat::ForegroundBrush);
    }));
    QCOMPARE(doc->begin().blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    QCOMPARE(doc->begin().next().blockFormat().alignment() & Qt::AlignHorizontal_Mask,
             Qt::AlignLeft);
}

void TestRtfReader::hostileInput_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("text"); // what must survive, or empty to check nothing

    QTest::newRow("lone backslash at end") << QByteArray("{\\rtf1 ab\\") << QStringLiteral("ab");
    QTest::newRow("hex cut short") << QByteArray("{\\rtf1 ab\\'") << QStringLiteral("ab");
    QTest::newRow("hex one digit") << QByteArray("{\\rtf1 ab\\'4") << QStringLiteral("ab");
    QTest::newRow("word cut short") << QByteArray("{\\rtf1 ab\\u") << QStringLiteral("ab");
    // A minus sign without digits is text again.
    QTest::newRow("parameter cut short") << QByteArray("{\\rtf1 ab\\fs-") << QStringLiteral("ab-");
    QTest::newRow("bin beyond the end")
        << QByteArray("{\\rtf1 ab\\bin99999999 cd") << QStringLiteral("ab");
    QTest::newRow("bin negative") << QByteArray("{\\rtf1 ab\\bin-5 cd}") << QStringLiteral("abcd");
    QTest::newRow("NUL bytes") << QByteArray("{\\rtf1 a\0b\0\0c}", 14) << QStringLiteral("abc");
    QTest::newRow("NUL after backslash")
        << QByteArray("{\\rtf1 a\\\0b}", 11) << QStringLiteral("ab");
    QTest::newRow("escaped frame marks dropped")
        << QByteArray("{\\rtf1 a\\u-560?\\u-559?\\u-4?b}") << QStringLiteral("ab");
    QTest::newRow("unbalanced close") << QByteArray("{\\rtf1 a}}}}b") << QStringLiteral("a");
    QTest::newRow("font table never closed")
        << QByteArray("{\\rtf1{\\fonttbl{\\f0 Arial") << QString();
    QTest::newRow("colour table garbage")
        << QByteArray("{\\rtf1{\\colortbl\\red999\\green-5;;;\\blue;}\\cf3 x\\cf2147483647 y}")
        << QStringLiteral("xy");
    QTest::newRow("binary noise") << QByteArray("{\\rtf1 \x01\x02\x7F\xFF\xFE\x80\\\xFF}")
                                  << QString();
}

void TestRtfReader::hostileInput() {
    QFETCH(QByteArray, data);
    QFETCH(QString, text);
    vigilorn::RtfReadResult r;
    auto doc = read(data, &r);
    QVERIFY(r.isRtf);
    if (!text.isEmpty())
        QCOMPARE(doc->toPlainText(), text);
}

void TestRtfReader::deepNestingKeepsTextAndMatchesBraces() {
    constexpr int depth = 100000;
    QByteArray data("{\\rtf1 start");
    data += QByteArray(depth, '{');
    data += "\\b deep";
    data += QByteArray(depth, '}');
    data += " end}tail";
    vigilorn::RtfReadResult r;
    auto doc = read(data, &r);
    QVERIFY(r.complete);
    // Braces beyond the cap are still matched: the outermost group ends where it should.
    QCOMPARE(doc->toPlainText(), QStringLiteral("startdeep end"));
    QVERIFY(allOf(*doc, "deep", isBold));
    QVERIFY(allOf(*doc, "end", [](const QTextCharFormat& f) { return !isBold(f); }));

    // Opened and never closed.
    QByteArray open("{\\rtf1 x");
    open += QByteArray(depth, '{');
    open += "y";
    auto doc2 = read(open, &r);
    QVERIFY(!r.complete);
    QCOMPARE(doc2->toPlainText(), QStringLiteral("xy"));
}

void TestRtfReader::hugeParametersAreCapped() {
    auto doc = read("{\\rtf1 {\\fs99999999999999999999999 big}{\\fs-7 neg}"
                    "\\u99999999999999? \\uc99999999999\\u65 skipped {\\b999999999999999 bold}}");
    QVERIFY(allOf(*doc, "big", [](const QTextCharFormat& f) {
        return f.fontPointSize() > 0 && f.fontPointSize() <= 400;
    }));
    QVERIFY(allOf(*doc, "neg", [](const QTextCharFormat& f) { return f.fontPointSize() == 12; }));
    QVERIFY(doc->toPlainText().startsWith(QStringLiteral("bigneg\uFFFD A")));
    QVERIFY(allOf(*doc, "bold", isBold));
}

void TestRtfReader::truncatedDocumentKeepsWhatWasRead() {
    vigilorn::RtfReadResult r;
    auto doc = read("{\\rtf1 {\\b heading}\\par body text", &r);
    QVERIFY(r.isRtf);
    QVERIFY(!r.complete);
    QCOMPARE(blockTexts(*doc),
             QStringList({QStringLiteral("heading"), QStringLiteral("body text")}));
    QVERIFY(allOf(*doc, "heading", isBold));
}

void TestRtfReader::readingAgainReplacesContent() {
    QTextDocument doc;
    readRtf("{\\rtf1 first\\par second}", doc);
    readRtf("{\\rtf1 third}", doc);
    QCOMPARE(doc.toPlainText(), QStringLiteral("third"));
    QVERIFY(!readRtf("not rtf", doc).isRtf);
    QVERIFY(doc.isEmpty());
}

QTEST_MAIN(TestRtfReader)
#include "test_rtfreader.moc"
