#include "RtfReader.h"

#include "platform/posix/Text.h"

#include <QColor>
#include <QFontDatabase>
#include <QHash>
#include <QStringDecoder>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vigilorn {
namespace {

// Parameters are 16-bit in theory; writers emit larger ones, and hostile ones can be any length.
constexpr long long kParamCap = 1'000'000'000;
// Control word names are at most 32 letters; longer ones are read whole and match nothing.
constexpr std::size_t kMaxWordLength = 32;
constexpr int kMaxUcSkip = 64;
// Points; keeps a hostile size from making every layout enormous.
constexpr double kMinPointSize = 1.0;
constexpr double kMaxPointSize = 400.0;
// Twips; about 13 cm, wider than any window the document is shown in.
constexpr int kMaxIndent = 7200;

enum class Dest : std::uint8_t { Text, Skip, FontTable, ColorTable };

enum class FontClass : std::uint8_t { Nil, Roman, Swiss, Modern, Script, Decor, Tech };

struct CharProps {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    std::int8_t vpos = 0; // -1 subscript, 1 superscript
    int halfPoints = 0;   // 0: the document's default size
    int font = -1;        // -1: the \deff font
    int fg = 0;           // colour table index; 0 is "automatic"
    int bg = 0;
    bool operator==(const CharProps&) const = default;
};

// Paragraph indents and spacing, in twips.
struct ParaProps {
    Qt::Alignment align = Qt::AlignLeft;
    int left = 0;
    int right = 0;
    int firstLine = 0;
    int before = 0;
    int after = 0;
    bool operator==(const ParaProps&) const = default;
};

struct Group {
    CharProps chars;
    ParaProps para;
    int ucSkip = 1;
    Dest dest = Dest::Text;
};

enum class Kw : std::uint8_t {
    Rtf,
    FontTbl,
    ColorTbl,
    SkipDest,
    Deff,
    AnsiCpg,
    Ansi,
    Mac,
    Pc,
    Pca,
    Par,
    Line,
    Tab,
    Char,
    Plain,
    Pard,
    Ql,
    Qc,
    Qr,
    Qj,
    Li,
    Ri,
    Fi,
    Sb,
    Sa,
    B,
    I,
    Ul,
    UlNone,
    Strike,
    Super,
    Sub,
    NoSuperSub,
    Fs,
    F,
    Cf,
    Cb,
    U,
    Uc,
    Bin,
    Red,
    Green,
    Blue,
    Family,
};

struct KwInfo {
    Kw kw;
    char16_t ch = 0; // the character of Kw::Char
    FontClass family = FontClass::Nil;
};

const std::unordered_map<std::string_view, KwInfo>& keywords() {
    static const std::unordered_map<std::string_view, KwInfo> table = {
        {"rtf", {Kw::Rtf}},
        {"fonttbl", {Kw::FontTbl}},
        {"colortbl", {Kw::ColorTbl}},
        // Destinations whose content is not body text.
        {"info", {Kw::SkipDest}},
        {"stylesheet", {Kw::SkipDest}},
        {"pict", {Kw::SkipDest}},
        {"shppict", {Kw::SkipDest}},
        {"nonshppict", {Kw::SkipDest}},
        {"object", {Kw::SkipDest}},
        {"objdata", {Kw::SkipDest}},
        {"header", {Kw::SkipDest}},
        {"headerl", {Kw::SkipDest}},
        {"headerr", {Kw::SkipDest}},
        {"headerf", {Kw::SkipDest}},
        {"footer", {Kw::SkipDest}},
        {"footerl", {Kw::SkipDest}},
        {"footerr", {Kw::SkipDest}},
        {"footerf", {Kw::SkipDest}},
        {"footnote", {Kw::SkipDest}},
        {"annotation", {Kw::SkipDest}},
        {"atnid", {Kw::SkipDest}},
        {"atnauthor", {Kw::SkipDest}},
        {"fldinst", {Kw::SkipDest}},
        {"xe", {Kw::SkipDest}},
        {"tc", {Kw::SkipDest}},
        {"txe", {Kw::SkipDest}},
        {"rxe", {Kw::SkipDest}},
        {"bkmkstart", {Kw::SkipDest}},
        {"bkmkend", {Kw::SkipDest}},
        {"listtable", {Kw::SkipDest}},
        {"listoverridetable", {Kw::SkipDest}},
        {"listtext", {Kw::SkipDest}},
        {"pntext", {Kw::SkipDest}},
        {"pntxta", {Kw::SkipDest}},
        {"pntxtb", {Kw::SkipDest}},
        {"revtbl", {Kw::SkipDest}},
        {"rsidtbl", {Kw::SkipDest}},
        {"filetbl", {Kw::SkipDest}},
        {"themedata", {Kw::SkipDest}},
        {"colorschememapping", {Kw::SkipDest}},
        {"latentstyles", {Kw::SkipDest}},
        {"datastore", {Kw::SkipDest}},
        {"generator", {Kw::SkipDest}},
        {"private", {Kw::SkipDest}},
        {"falt", {Kw::SkipDest}},
        {"panose", {Kw::SkipDest}},
        {"template", {Kw::SkipDest}},
        {"title", {Kw::SkipDest}},
        {"author", {Kw::SkipDest}},
        {"operator", {Kw::SkipDest}},
        {"subject", {Kw::SkipDest}},
        {"keywords", {Kw::SkipDest}},
        {"comment", {Kw::SkipDest}},
        {"doccomm", {Kw::SkipDest}},
        {"deff", {Kw::Deff}},
        {"ansicpg", {Kw::AnsiCpg}},
        {"ansi", {Kw::Ansi}},
        {"mac", {Kw::Mac}},
        {"pc", {Kw::Pc}},
        {"pca", {Kw::Pca}},
        {"par", {Kw::Par}},
        {"sect", {Kw::Par}},
        {"page", {Kw::Par}},
        {"row", {Kw::Par}},
        {"line", {Kw::Line}},
        {"tab", {Kw::Tab}},
        {"cell", {Kw::Tab}},
        {"emdash", {Kw::Char, u'\u2014'}},
        {"endash", {Kw::Char, u'\u2013'}},
        {"bullet", {Kw::Char, u'\u2022'}},
        {"lquote", {Kw::Char, u'\u2018'}},
        {"rquote", {Kw::Char, u'\u2019'}},
        {"ldblquote", {Kw::Char, u'\u201C'}},
        {"rdblquote", {Kw::Char, u'\u201D'}},
        {"emspace", {Kw::Char, u'\u2003'}},
        {"enspace", {Kw::Char, u'\u2002'}},
        {"qmspace", {Kw::Char, u'\u2005'}},
        {"zwj", {Kw::Char, u'\u200D'}},
        {"zwnj", {Kw::Char, u'\u200C'}},
        {"plain", {Kw::Plain}},
        {"pard", {Kw::Pard}},
        {"ql", {Kw::Ql}},
        {"qc", {Kw::Qc}},
        {"qr", {Kw::Qr}},
        {"qj", {Kw::Qj}},
        {"li", {Kw::Li}},
        {"ri", {Kw::Ri}},
        {"fi", {Kw::Fi}},
        {"sb", {Kw::Sb}},
        {"sa", {Kw::Sa}},
        {"b", {Kw::B}},
        {"i", {Kw::I}},
        {"ul", {Kw::Ul}},
        {"uld", {Kw::Ul}},
        {"uldb", {Kw::Ul}},
        {"uldash", {Kw::Ul}},
        {"ulth", {Kw::Ul}},
        {"ulw", {Kw::Ul}},
        {"ulwave", {Kw::Ul}},
        {"ulnone", {Kw::UlNone}},
        {"strike", {Kw::Strike}},
        {"super", {Kw::Super}},
        {"sub", {Kw::Sub}},
        {"nosupersub", {Kw::NoSuperSub}},
        {"fs", {Kw::Fs}},
        {"f", {Kw::F}},
        {"cf", {Kw::Cf}},
        {"cb", {Kw::Cb}},
        {"highlight", {Kw::Cb}},
        {"chcbpat", {Kw::Cb}},
        {"u", {Kw::U}},
        {"uc", {Kw::Uc}},
        {"bin", {Kw::Bin}},
        {"red", {Kw::Red}},
        {"green", {Kw::Green}},
        {"blue", {Kw::Blue}},
        {"fnil", {Kw::Family, 0, FontClass::Nil}},
        {"froman", {Kw::Family, 0, FontClass::Roman}},
        {"fswiss", {Kw::Family, 0, FontClass::Swiss}},
        {"fmodern", {Kw::Family, 0, FontClass::Modern}},
        {"fscript", {Kw::Family, 0, FontClass::Script}},
        {"fdecor", {Kw::Family, 0, FontClass::Decor}},
        {"ftech", {Kw::Family, 0, FontClass::Tech}},
    };
    return table;
}

// Windows-1252 differs from Latin-1 only in 0x80-0x9F. Its five unassigned bytes pass through
// as the C1 controls, as Windows itself maps them.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

class CodePage {
public:
    void set(int cp) {
        m_decoder.reset();
        if (cp == 1252)
            return;
        QStringDecoder::Flags flags = QStringDecoder::Flag::Stateless;
        if (cp == 65001) {
            m_decoder.emplace(QStringDecoder::Utf8, flags);
            return;
        }
        if (cp == 28591) {
            m_decoder.emplace(QStringDecoder::Latin1, flags);
            return;
        }
        // Other code pages only where this Qt has a converter for them; 1252 otherwise.
        for (const char* prefix : {"windows-", "cp", "ibm"}) {
            const QByteArray name = QByteArray(prefix) + QByteArray::number(cp);
            QStringDecoder d(name.constData(), flags);
            if (d.isValid()) {
                m_decoder.emplace(std::move(d));
                return;
            }
        }
    }

    void decode(const QByteArray& bytes, QString& out) {
        if (m_decoder) {
            out += QString(m_decoder->decode(bytes));
            return;
        }
        out.reserve(out.size() + bytes.size());
        for (char b : bytes) {
            const auto u = static_cast<unsigned char>(b);
            out += QChar(u >= 0x80 && u < 0xA0 ? kCp1252High[u - 0x80] : char16_t(u));
        }
    }

private:
    std::optional<QStringDecoder> m_decoder;
};

QString closestFamily(const QString& name, FontClass cls) {
    static const QHash<QString, QString> installed = [] {
        QHash<QString, QString> h;
        for (const QString& f : QFontDatabase::families())
            h.insert(f.toLower(), f);
        return h;
    }();
    if (auto it = installed.find(name.trimmed().toLower()); it != installed.end())
        return *it;

    const QString lower = name.toLower();
    static const QStringList serifNames = {
        QStringLiteral("times"),    QStringLiteral("georgia"),      QStringLiteral("cambria"),
        QStringLiteral("garamond"), QStringLiteral("book antiqua"), QStringLiteral("ms serif")};
    static const QStringList monoNames = {QStringLiteral("courier"), QStringLiteral("consolas"),
                                          QStringLiteral("lucida console"),
                                          QStringLiteral("fixedsys"), QStringLiteral("mono")};
    auto mentions = [&](const QStringList& names) {
        return std::any_of(names.begin(), names.end(),
                           [&](const QString& s) { return lower.contains(s); });
    };
    if (mentions(serifNames))
        cls = FontClass::Roman;
    else if (mentions(monoNames))
        cls = FontClass::Modern;

    QStringList candidates;
    QFontDatabase::SystemFont fallback = QFontDatabase::GeneralFont;
    switch (cls) {
    case FontClass::Roman:
        candidates = {QStringLiteral("DejaVu Serif"), QStringLiteral("Liberation Serif"),
                      QStringLiteral("Nimbus Roman"), QStringLiteral("Noto Serif")};
        break;
    case FontClass::Modern:
        candidates = {QStringLiteral("DejaVu Sans Mono"), QStringLiteral("Liberation Mono"),
                      QStringLiteral("Nimbus Mono PS"), QStringLiteral("Noto Sans Mono")};
        fallback = QFontDatabase::FixedFont;
        break;
    default:
        // Tahoma, Arial, Verdana, MS Sans Serif and unknown names: the help is written in a
        // sans-serif face.
        candidates = {QStringLiteral("Tahoma"),      QStringLiteral("Verdana"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Nimbus Sans"), QStringLiteral("Noto Sans")};
        break;
    }
    for (const QString& c : candidates)
        if (auto it = installed.find(c.toLower()); it != installed.end())
            return *it;
    return QFontDatabase::systemFont(fallback).family();
}

class Parser {
public:
    Parser(const char* begin, const char* end, QTextDocument& doc)
        : m_p(begin), m_end(end), m_cursor(&doc) {
        m_codePage.set(1252);
    }

    bool run() {
        // One edit for the whole document: outside an edit block every insertion lays out its
        // paragraph again to place the cursor, which makes long paragraphs quadratic.
        m_cursor.beginEditBlock();
        while (m_p < m_end && !m_finished) {
            const auto c = static_cast<unsigned char>(*m_p);
            switch (c) {
            case '{':
                ++m_p;
                openGroup();
                break;
            case '}':
                ++m_p;
                closeGroup();
                break;
            case '\\':
                ++m_p;
                control();
                break;
            default: {
                const char* s = m_p;
                while (m_p < m_end && isPlain(static_cast<unsigned char>(*m_p)))
                    ++m_p;
                if (m_p == s)
                    ++m_p; // CR, LF, NUL and other control bytes carry no text
                else
                    textBytes(s, m_p);
                break;
            }
            }
        }
        flushBytes();
        flushRun();
        applyParagraph();
        m_cursor.endEditBlock();
        return m_finished;
    }

private:
    static bool isPlain(unsigned char c) {
        return c != '\\' && c != '{' && c != '}' && (c >= 0x20 || c == '\t');
    }
    static bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    void openGroup() {
        flushBytes();
        m_skipChars = 0;
        if (m_stack.size() < static_cast<std::size_t>(kRtfMaxDepth))
            m_stack.push_back(m_cur);
        else
            ++m_overflow;
    }

    void closeGroup() {
        flushBytes();
        m_skipChars = 0;
        if (m_overflow > 0) {
            --m_overflow;
            return;
        }
        if (m_cur.dest == Dest::FontTable)
            commitFont();
        if (m_stack.empty()) {
            m_finished = true;
            return;
        }
        m_cur = m_stack.back();
        m_stack.pop_back();
        // The outermost group's closing brace ends the document; what follows is ignored.
        if (m_stack.empty())
            m_finished = true;
    }

    void control() {
        if (m_p >= m_end)
            return;
        const char c = *m_p;
        if (isLetter(c)) {
            flushBytes();
            const char* s = m_p;
            while (m_p < m_end && isLetter(*m_p))
                ++m_p;
            const std::string_view name(s, static_cast<std::size_t>(m_p - s));
            bool hasParam = false;
            bool negative = false;
            long long value = 0;
            if (m_p + 1 < m_end && *m_p == '-' && isDigit(m_p[1])) {
                negative = true;
                ++m_p;
            }
            while (m_p < m_end && isDigit(*m_p)) {
                hasParam = true;
                if (value < kParamCap)
                    value = value * 10 + (*m_p - '0');
                ++m_p;
            }
            value = std::min(value, kParamCap);
            if (m_p < m_end && *m_p == ' ')
                ++m_p;
            word(name.size() > kMaxWordLength ? std::string_view() : name, hasParam,
                 static_cast<int>(negative ? -value : value));
            return;
        }
        ++m_p;
        if (c == '\'') {
            int v = 0;
            int digits = 0;
            while (digits < 2 && m_p < m_end && posix::hexDigit(*m_p) >= 0) {
                v = v * 16 + posix::hexDigit(*m_p);
                ++m_p;
                ++digits;
            }
            if (digits == 2) {
                const char b = static_cast<char>(v);
                textBytes(&b, &b + 1);
            }
            return;
        }
        flushBytes();
        switch (c) {
        case '\\':
        case '{':
        case '}':
            textBytes(m_p - 1, m_p);
            return;
        case '*':
            m_cur.dest = Dest::Skip;
            return;
        default:
            break;
        }
        if (m_cur.dest == Dest::Skip)
            return;
        if (m_skipChars > 0) {
            --m_skipChars;
            return;
        }
        switch (c) {
        case '~':
            put(u'\u00A0');
            break;
        case '_':
            put(u'\u2011');
            break;
        case '-':
            put(u'\u00AD');
            break;
        case '\n':
        case '\r':
            paragraph();
            break;
        case '\t':
            put(u'\t');
            break;
        default:
            break; // \: \| and unknown symbols
        }
    }

    void word(std::string_view name, bool hasParam, int param) {
        const auto& table = keywords();
        const auto it = table.find(name);
        if (it == table.end()) {
            if (m_skipChars > 0 && m_cur.dest != Dest::Skip)
                --m_skipChars;
            return;
        }
        const KwInfo& k = it->second;
        if (k.kw == Kw::Bin) {
            // Raw bytes follow; they may hold braces and backslashes.
            const long long n = hasParam ? std::max(param, 0) : 0;
            m_p += std::min<long long>(n, m_end - m_p);
            return;
        }
        if (m_cur.dest == Dest::Skip)
            return;
        if (m_skipChars > 0) {
            --m_skipChars;
            return;
        }
        CharProps& cp = m_cur.chars;
        const bool on = !hasParam || param != 0;
        switch (k.kw) {
        case Kw::Rtf:
        case Kw::Bin:
            break;
        case Kw::FontTbl:
            m_cur.dest = Dest::FontTable;
            break;
        case Kw::ColorTbl:
            m_cur.dest = Dest::ColorTable;
            m_red = m_green = m_blue = -1;
            break;
        case Kw::SkipDest:
            m_cur.dest = Dest::Skip;
            break;
        case Kw::Deff:
            m_deff = std::max(param, 0);
            break;
        case Kw::AnsiCpg:
            m_codePage.set(param);
            break;
        case Kw::Ansi:
            m_codePage.set(1252);
            break;
        case Kw::Mac:
            m_codePage.set(10000);
            break;
        case Kw::Pc:
            m_codePage.set(437);
            break;
        case Kw::Pca:
            m_codePage.set(850);
            break;
        case Kw::Par:
            paragraph();
            break;
        case Kw::Line:
            put(QChar::LineSeparator);
            break;
        case Kw::Tab:
            put(u'\t');
            break;
        case Kw::Char:
            put(k.ch);
            break;
        case Kw::Plain:
            cp = CharProps{};
            break;
        case Kw::Pard:
            m_cur.para = ParaProps{};
            break;
        case Kw::Ql:
            m_cur.para.align = Qt::AlignLeft;
            break;
        case Kw::Qc:
            m_cur.para.align = Qt::AlignHCenter;
            break;
        case Kw::Qr:
            m_cur.para.align = Qt::AlignRight;
            break;
        case Kw::Qj:
            m_cur.para.align = Qt::AlignJustify;
            break;
        case Kw::Li:
            m_cur.para.left = std::clamp(param, 0, kMaxIndent);
            break;
        case Kw::Ri:
            m_cur.para.right = std::clamp(param, 0, kMaxIndent);
            break;
        case Kw::Fi:
            m_cur.para.firstLine = std::clamp(param, -kMaxIndent, kMaxIndent);
            break;
        case Kw::Sb:
            m_cur.para.before = std::clamp(param, 0, kMaxIndent);
            break;
        case Kw::Sa:
            m_cur.para.after = std::clamp(param, 0, kMaxIndent);
            break;
        case Kw::B:
            cp.bold = on;
            break;
        case Kw::I:
            cp.italic = on;
            break;
        case Kw::Ul:
            cp.underline = on;
            break;
        case Kw::UlNone:
            cp.underline = false;
            break;
        case Kw::Strike:
            cp.strike = on;
            break;
        case Kw::Super:
            cp.vpos = 1;
            break;
        case Kw::Sub:
            cp.vpos = -1;
            break;
        case Kw::NoSuperSub:
            cp.vpos = 0;
            break;
        case Kw::Fs:
            // \fs alone is the 12-point default.
            cp.halfPoints = hasParam && param > 0 ? param : 24;
            break;
        case Kw::F:
            if (m_cur.dest == Dest::FontTable) {
                commitFont();
                m_fontNumber = std::max(param, 0);
                m_fontClass = FontClass::Nil;
            } else {
                cp.font = std::max(param, 0);
            }
            break;
        case Kw::Family:
            if (m_cur.dest == Dest::FontTable)
                m_fontClass = k.family;
            break;
        case Kw::Cf:
            cp.fg = std::max(param, 0);
            break;
        case Kw::Cb:
            cp.bg = std::max(param, 0);
            break;
        case Kw::U:
            if (hasParam) {
                // A signed 16-bit code unit; astral characters come as two surrogates.
                if (param >= -32768 && param <= 65535)
                    put(static_cast<char16_t>(param < 0 ? param + 65536 : param));
                else
                    put(QChar::ReplacementCharacter);
                m_skipChars = m_cur.ucSkip;
            }
            break;
        case Kw::Uc:
            m_cur.ucSkip = std::clamp(param, 0, kMaxUcSkip);
            break;
        case Kw::Red:
            m_red = std::clamp(param, 0, 255);
            break;
        case Kw::Green:
            m_green = std::clamp(param, 0, 255);
            break;
        case Kw::Blue:
            m_blue = std::clamp(param, 0, 255);
            break;
        }
    }

    void textBytes(const char* s, const char* e) {
        if (m_cur.dest == Dest::Skip)
            return;
        if (m_skipChars > 0) {
            const long long n = std::min<long long>(m_skipChars, e - s);
            s += n;
            m_skipChars -= static_cast<int>(n);
        }
        switch (m_cur.dest) {
        case Dest::Text:
            m_bytes.append(s, e - s);
            break;
        case Dest::FontTable:
            for (; s < e; ++s) {
                if (*s == ';') {
                    flushBytes();
                    commitFont();
                } else {
                    m_bytes.append(*s);
                }
            }
            break;
        case Dest::ColorTable:
            for (; s < e; ++s)
                if (*s == ';')
                    commitColour();
            break;
        case Dest::Skip:
            break;
        }
    }

    // Decodes the pending bytes through the document's code page, so that a multi-byte
    // character written as consecutive \'hh escapes stays whole.
    void flushBytes() {
        if (m_bytes.isEmpty())
            return;
        m_decoded.clear();
        m_codePage.decode(m_bytes, m_decoded);
        m_bytes.clear();
        if (m_cur.dest == Dest::FontTable)
            m_fontName += m_decoded;
        else if (m_cur.dest == Dest::Text)
            appendText(m_decoded);
    }

    void put(QChar ch) {
        if (m_cur.dest == Dest::FontTable)
            m_fontName += ch;
        else if (m_cur.dest == Dest::Text)
            appendText(QStringView(&ch, 1));
    }

    void appendText(QStringView s) {
        if (s.isEmpty())
            return;
        if (!(m_cur.chars == m_runProps)) {
            flushRun();
            m_runProps = m_cur.chars;
        }
        for (QChar ch : s) {
            const char16_t u = ch.unicode();
            // Controls carry no text, and the document's own frame and object marks must not
            // come from outside.
            if ((u < 0x20 && u != u'\t') || u == 0xFDD0 || u == 0xFDD1 || u == 0xFFFC)
                continue;
            m_run += ch;
        }
    }

    void flushRun() {
        if (m_run.isEmpty())
            return;
        // Lone surrogates from \u escapes become replacement characters.
        const qsizetype n = m_run.size();
        QChar* d = m_run.data();
        for (qsizetype i = 0; i < n; ++i) {
            if (d[i].isHighSurrogate() && i + 1 < n && d[i + 1].isLowSurrogate())
                ++i;
            else if (d[i].isSurrogate())
                d[i] = QChar::ReplacementCharacter;
        }
        m_cursor.insertText(m_run, formatFor(m_runProps));
        m_run.clear();
    }

    void paragraph() {
        if (m_cur.dest != Dest::Text)
            return;
        flushRun();
        applyParagraph();
        m_cursor.insertBlock();
    }

    // The paragraph takes the properties in effect where it ends.
    void applyParagraph() {
        const ParaProps& p = m_cur.para;
        if (m_blockProps && *m_blockProps == p)
            return;
        // Twips to the document's pixels (1/96 inch).
        auto px = [](int twips) { return twips / 15.0; };
        QTextBlockFormat bf;
        bf.setAlignment(p.align);
        bf.setLeftMargin(px(p.left));
        bf.setRightMargin(px(p.right));
        bf.setTextIndent(px(p.firstLine));
        bf.setTopMargin(px(p.before));
        bf.setBottomMargin(px(p.after));
        m_cursor.setBlockFormat(bf);
        m_blockProps = p;
    }

    void commitFont() {
        const QString name = m_fontName.trimmed();
        m_fontName.clear();
        if (name.isEmpty() || m_fontNumber < 0)
            return;
        m_fonts.insert(m_fontNumber, Font{name, m_fontClass, {}});
        m_lastProps.reset();
    }

    void commitColour() {
        if (m_red < 0 && m_green < 0 && m_blue < 0)
            m_colours.push_back(QColor()); // "automatic"
        else
            m_colours.push_back(
                QColor(std::max(m_red, 0), std::max(m_green, 0), std::max(m_blue, 0)));
        m_red = m_green = m_blue = -1;
        m_lastProps.reset();
    }

    QColor colour(int index) const {
        if (index <= 0 || static_cast<std::size_t>(index) >= m_colours.size())
            return {};
        return m_colours[static_cast<std::size_t>(index)];
    }

    const QTextCharFormat& formatFor(const CharProps& p) {
        if (m_lastProps && *m_lastProps == p)
            return m_lastFormat;
        QTextCharFormat f;
        f.setFontWeight(p.bold ? QFont::Bold : QFont::Normal);
        f.setFontItalic(p.italic);
        f.setFontUnderline(p.underline);
        f.setFontStrikeOut(p.strike);
        if (p.vpos != 0)
            f.setVerticalAlignment(p.vpos > 0 ? QTextCharFormat::AlignSuperScript
                                              : QTextCharFormat::AlignSubScript);
        if (p.halfPoints > 0)
            f.setFontPointSize(std::clamp(p.halfPoints / 2.0, kMinPointSize, kMaxPointSize));
        // A font number missing from the table falls back to the default font.
        auto it = m_fonts.find(p.font >= 0 ? p.font : m_deff);
        if (it == m_fonts.end())
            it = m_fonts.find(m_deff);
        if (it != m_fonts.end()) {
            if (it->resolved.isEmpty())
                it->resolved = closestFamily(it->name, it->cls);
            f.setFontFamilies(QStringList{it->resolved});
        }
        if (const QColor c = colour(p.fg); c.isValid())
            f.setForeground(c);
        if (const QColor c = colour(p.bg); c.isValid())
            f.setBackground(c);
        m_lastProps = p;
        m_lastFormat = f;
        return m_lastFormat;
    }

    struct Font {
        QString name;
        FontClass cls;
        QString resolved;
    };

    const char* m_p;
    const char* m_end;
    QTextCursor m_cursor;
    Group m_cur;
    std::vector<Group> m_stack;
    int m_overflow = 0;
    bool m_finished = false;
    int m_skipChars = 0;

    CodePage m_codePage;
    QByteArray m_bytes;
    QString m_decoded;
    QString m_run;
    CharProps m_runProps;

    QHash<int, Font> m_fonts;
    int m_fontNumber = -1;
    FontClass m_fontClass = FontClass::Nil;
    QString m_fontName;
    int m_deff = -1;
    std::vector<QColor> m_colours;
    int m_red = -1;
    int m_green = -1;
    int m_blue = -1;

    std::optional<CharProps> m_lastProps;
    std::optional<ParaProps> m_blockProps;
    QTextCharFormat m_lastFormat;
};

} // namespace

RtfReadResult readRtf(const QByteArray& data, QTextDocument& doc) {
    doc.setUndoRedoEnabled(false);
    doc.clear();
    const char* p = data.constData();
    const char* end = p + data.size();
    if (end - p >= 3 && std::string_view(p, 3) == "\xEF\xBB\xBF")
        p += 3;
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
        ++p;
    if (end - p < 5 || std::string_view(p, 5) != "{\\rtf")
        return {};
    Parser parser(p, end, doc);
    const bool complete = parser.run();
    return {true, complete};
}

} // namespace vigilorn
