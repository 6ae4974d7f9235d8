#include "InstallerRule.h"

#include <string>
#include <string_view>

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
    // of the raw bytes gives the same answer without a decoding step per process. Every process
    // is asked on every pass, so nothing is copied.
    bool setup = false, instal = false, msi = false;
    const std::size_t n = utf8Name.size();
    const auto at = [&](std::size_t i) {
        const char c = utf8Name[i];
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    const auto matches = [&](std::size_t i, std::string_view key) {
        if (n - i < key.size())
            return false;
        for (std::size_t k = 0; k < key.size(); ++k)
            if (at(i + k) != key[k])
                return false;
        return true;
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(utf8Name[i]) >= 0x80)
            return isInstallerName(QString::fromUtf8(utf8Name));
        setup = setup || matches(i, "setup");
        instal = instal || matches(i, "instal");
        msi = msi || matches(i, "msi");
    }
    return setup || instal || msi;
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
