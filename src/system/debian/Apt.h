#pragma once
// Debian's package system for a restore: dpkg's status, APT's archive and apt-get.
#include "system/PackageSystem.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

// "name", or "name:arch" when the architecture is neither dpkg's own nor "all".
std::string aptName(const PackageTarget& target, const std::string& nativeArch);

// apt-get's arguments for the plan, its path first.
std::vector<std::string> aptArguments(const std::string& aptGet, const PackagePlan& plan,
                                      const std::string& nativeArch, unsigned long long number);

// From `apt-cache policy` output: for each package it names ("name" or "name:arch"), the
// versions a -security suite offers, each with that suite.
std::map<std::string, std::vector<std::pair<std::string, std::string>>>
securityVersions(std::string_view policy);

} // namespace vigilorn::sys
