#include "InstallerRule.h"

#include <string>

namespace vigilorn {
namespace {
const QString kCrLf = QStringLiteral("\r\n");
}

bool isInstallerName(const QString& name) {
    const QString l = name.toLower();
    // The prefix tests ("setup…", "instal…") are contained in the substring tests.
    return l.contains(u"setup") || l.contains(u"instal") || l.contains(u"msi");
}

bool isInstallerName(const std::string& utf8Name) {
    // Process names need not be UTF-8; the three keys are ASCII, so an ASCII-only lower-casing
    // of the raw bytes gives the same answer without a decoding step per process.
    std::string l(utf8Name);
    bool ascii = true;
    for (char& c : l) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (static_cast<unsigned char>(c) >= 0x80)
            ascii = false;
    }
    if (!ascii)
        return isInstallerName(QString::fromUtf8(utf8Name));
    return l.find("setup") != std::string::npos || l.find("instal") != std::string::npos ||
           l.find("msi") != std::string::npos;
}

QString reminderText(const QString& processName) {
    return QStringLiteral("A new Installation has started.") + kCrLf + kCrLf +
           QStringLiteral("Process Name is: ") + processName + QStringLiteral(".") + kCrLf + kCrLf +
           QStringLiteral("Have you created a Restore Point?");
}

QString secondMessageText() {
    return QStringLiteral(
               "Click Create Restore Point, or STOP the installation and create a Restore Point.") +
           kCrLf + kCrLf + QStringLiteral("Then re-start the installaion.");
}

} // namespace vigilorn
