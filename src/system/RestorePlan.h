#pragma once
// What a restore changes, whatever the package system: the versions a point names against the
// ones installed now.
#include "PackageSystem.h"
#include "platform/PackageAction.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vigilorn::sys {

// What differs between the point's packages and the installed ones. `inArchive` says which of
// the versions to put back the archive has.
PackagePlan
planPackages(const InstalledVersions& then, const InstalledVersions& now,
             const std::function<std::optional<std::string>(const PackageTarget&)>& kept,
             const std::function<std::vector<bool>(const std::vector<PackageTarget>&)>& inArchive);

// Takes out of the plan every change to these packages: a restore must not take away the tool
// doing it, nor the kernel the machine runs.
void leaveAlone(PackagePlan& plan, const std::vector<std::string>& names,
                const InstalledVersions& now);

// The plan as the actions of a change, for the point made before it.
std::vector<PackageAction> planActions(const PackagePlan& plan, const InstalledVersions& now,
                                       PackageSystem& packages);

} // namespace vigilorn::sys
