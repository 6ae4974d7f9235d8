#pragma once
// What the stores and the root side's restore read of a folder, the same way everywhere.
#include <cctype>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace vigilorn::store {

// git can't hold a .git folder, in any letter case; a point never has one.
inline bool isDotGit(std::string_view name) {
    return name.size() == 4 && name[0] == '.' &&
           std::tolower(static_cast<unsigned char>(name[1])) == 'g' &&
           std::tolower(static_cast<unsigned char>(name[2])) == 'i' &&
           std::tolower(static_cast<unsigned char>(name[3])) == 't';
}

// The names in an open folder, "." and ".." left out; nothing when it can't be read. Read
// through a descriptor of its own, so the caller's is left as it was.
inline std::vector<std::string> namesIn(int dirfd) {
    std::vector<std::string> names;
    const int copy = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        return names;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return names;
    }
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view n(e->d_name);
        if (n != "." && n != "..")
            names.emplace_back(n);
    }
    ::closedir(dir);
    return names;
}

} // namespace vigilorn::store
