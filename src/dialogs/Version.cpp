#include "Version.h"

namespace vigilorn {

QString versionText() {
    return QStringLiteral("Version %1.%2.%3")
        .arg(VIGILORN_VERSION_MAJOR)
        .arg(VIGILORN_VERSION_MINOR)
        .arg(VIGILORN_VERSION_REVISION);
}

} // namespace vigilorn
