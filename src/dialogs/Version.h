#pragma once
#include <QString>

namespace vigilorn {

// "Version 3.0.4": major, minor and the revision, which is the fourth field of the
// program's version number.
QString versionText();

} // namespace vigilorn
