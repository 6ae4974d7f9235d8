#pragma once
// What qmvigilorn-system says to a person at a root console: the points, what a restore would
// change, and a restore's progress in words rather than the program's line protocol.
#include "EtcRestore.h"
#include "SystemRestore.h"
#include "platform/SystemPointList.h"

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

// `list`: a header, then one line per point, oldest first, and the change it came before.
std::string formatPointList(const std::vector<SystemPoint>& points,
                            const std::set<unsigned long long>& pinned);

// `show N`, and what a restore on a terminal says before it asks. Security-relevant files are
// marked with '!'.
std::string formatRestorePlan(const PackagePlan& plan, const std::vector<EtcChange>& etc,
                              const std::function<std::string(const PackageTarget&)>& shownName);

// One line of the restore's protocol, its newline included or not, as a person reads it; empty
// when there is nothing to say (the question is asked apart, and the versions not to be had are
// in the plan shown before it).
std::string consoleText(std::string_view protocolLine);

// "y" or "yes" in any case, around spaces; anything else, an empty line included, is no.
bool answeredYes(std::string_view line);

} // namespace vigilorn::sys
