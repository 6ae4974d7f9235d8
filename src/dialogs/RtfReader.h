#pragma once
// The program's own reader for the RTF subset its help document uses. The document may come
// from anywhere, so the reader never recurses, caps what it keeps, and skips what it does not
// understand.
#include <QByteArray>

class QTextDocument;

namespace vigilorn {

struct RtfReadResult {
    // The data starts as an RTF document ("{\rtf"); when false the document is left empty.
    bool isRtf = false;
    // The outermost group was closed; false for a truncated document, which keeps what was read.
    bool complete = false;
};

// Groups nested deeper than this share the formatting of the deepest one.
inline constexpr int kRtfMaxDepth = 1000;

// Replaces doc's content with the document in data.
RtfReadResult readRtf(const QByteArray& data, QTextDocument& doc);

} // namespace vigilorn
