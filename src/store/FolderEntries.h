#pragma once
// What the stores and the root side's restore read of a folder, the same way everywhere.
#include "platform/posix/Files.h"

#include <cctype>
#include <string_view>

namespace vigilorn::store {

// git can't hold a .git folder, in any letter case; a point never has one.
inline bool isDotGit(std::string_view name) {
    return name.size() == 4 && name[0] == '.' &&
           std::tolower(static_cast<unsigned char>(name[1])) == 'g' &&
           std::tolower(static_cast<unsigned char>(name[2])) == 'i' &&
           std::tolower(static_cast<unsigned char>(name[3])) == 't';
}

using posix::namesIn;

} // namespace vigilorn::store
