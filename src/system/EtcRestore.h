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

// `etc` is the absolute folder that stands for the point's "etc".
EtcResult restoreEtc(const std::string& etc, const StoredPoint& point,
                     const std::function<void(const std::string&)>& warn);

// The files of accounts, sudo, PAM, ssh and APT's keys that putting the point's /etc back
// would change, bring back or remove, by their path in the point ("etc/shadow"), sorted: old
// passwords and keys come back with them, so they are named before the restore goes ahead.
std::vector<std::string> credentialChanges(const std::string& etc, const StoredPoint& point);

} // namespace vigilorn::sys
