// Feeds arbitrary bytes to the help document reader.
#include "dialogs/RtfReader.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QTextDocument>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Fonts need a GUI application; no display is needed.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QTextDocument doc;
    const vigilorn::RtfReadResult r = vigilorn::readRtf(bytes, doc);
    // The document must be usable afterwards, whatever came in.
    if (r.isRtf)
        (void)doc.toPlainText().size();
    else if (!doc.isEmpty())
        std::abort();
    return 0;
}
