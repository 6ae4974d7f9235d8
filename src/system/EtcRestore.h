#pragma once
// Puts /etc back as a point holds it: contents, owners, modes, links as links; what was added
// since is removed. Every name is opened below the folder it is in, never through a link, so
// nothing outside the folder given can be written.
#include "StoredPoint.h"

#include <functional>
#include <string>
#include <vector>

namespace vigilorn::sys {

struct EtcResult {
    std::size_t written = 0, removed = 0, failed = 0;
};

// One entry of /etc a restore would change.
struct EtcChange {
    enum class Kind {
        Back,    // put back as the point has it
        Made,    // missing now, made again
        Removed, // added since
        Owner,   // only its owner or mode differ
    };
    std::string path; // as in the point: "etc/..."
    Kind kind = Kind::Back;
    bool operator==(const EtcChange&) const = default;
};

// `etc` is the absolute folder that stands for the point's "etc".
EtcResult restoreEtc(const std::string& etc, const StoredPoint& point,
                     const std::function<void(const std::string&)>& warn);

// What restoreEtc would change, by the same rules, changing nothing.
std::vector<EtcChange> planEtc(const std::string& etc, const StoredPoint& point);

// The security-relevant files (SecurityFiles.h) that putting the point's /etc back
// would change, bring back or remove, by their path in the point ("etc/shadow"), sorted: old
// passwords and keys come back with them, so they are named before the restore goes ahead.
std::vector<std::string> credentialChanges(const std::string& etc, const StoredPoint& point);

} // namespace vigilorn::sys
