#pragma once
// Run as root with another user's environment (sudo -E), the program would take that user's
// folders for its own: reading there trusts files they wrote, writing there follows links they
// planted. Plain C++.
#include "PlatformError.h"

#include <string>

namespace vigilorn {

inline constexpr int kForeignFolder = 9280;

// Why a program running as root must not use the folder `path` (`what` names it in the
// message, "The configuration folder"): the folder, a folder on the way to it or a link there
// belongs to another user, or other users may change it. Nothing for any other user, and
// nothing when root may use it. Only the entries on the way are looked at, never a file's
// contents.
Failure foreignFolder(const std::string& what, const std::string& path);

} // namespace vigilorn
