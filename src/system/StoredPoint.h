#pragma once
// A system point read back from the root-owned store, whole, before anything acts on it.
#include "platform/PlatformError.h"
#include "store/OwnerManifest.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

struct StoredEntry {
    enum class Type { Folder, File, Link };
    Type type = Type::File;
    bool executable = false;
    std::string data; // a file's content or a link's target
};

struct StoredPoint {
    unsigned long long number = 0;
    std::string description;
    std::string packages; // packages/dpkg
    // By their path in the point: "etc", "etc/apt", "etc/apt/sources.list", ...
    std::map<std::string, StoredEntry> etc;
    std::map<std::string, store::OwnerEntry> owners;
    std::set<std::string> leftOut;
};

// One name of a path in a point: not empty, not "." or "..", no '/' and no NUL.
bool validName(std::string_view name);
// "etc" or "etc/..." made of valid names.
bool validPointPath(std::string_view path);

// Point `number` of the store at `repository`: fails, rather than giving part of it, when
// anything of it is missing, malformed or larger than `maxBytes` in all.
Failure readStoredPoint(const std::string& repository, unsigned long long number,
                        std::uint64_t maxBytes, StoredPoint& out);

// The point number a commit's message carries, when it is a point.
bool pointNumberOf(const char* message, unsigned long long& out);

// The packages/dpkg of every point of the store.
Failure readPackageLists(const std::string& repository, std::vector<std::string>& out);

} // namespace vigilorn::sys
