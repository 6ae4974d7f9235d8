#pragma once
// Puts /etc back as a point holds it: contents, owners, modes, links as links; what was added
// since is removed. Every name is opened below the folder it is in, never through a link, so
// nothing outside the folder given can be written.
#include "StoredPoint.h"

#include <functional>
#include <string>

namespace vigilorn::sys {

struct EtcResult {
    std::size_t written = 0, removed = 0, failed = 0;
};

// `etc` is the absolute folder that stands for the point's "etc".
EtcResult restoreEtc(const std::string& etc, const StoredPoint& point,
                     const std::function<void(const std::string&)>& warn);

} // namespace vigilorn::sys
