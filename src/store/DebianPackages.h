#pragma once
// The package lists the built-in store keeps, read and compared, and Debian's rules for the
// names and versions that may go into an apt-get command.
#include <map>
#include <string>
#include <string_view>

namespace vigilorn::debian {

struct Package {
    std::string version;
    std::string status;
};

// Installed packages by "name\tarch".
using PackageList = std::map<std::string, Package>;

// A dpkg status file: stanzas of "Field: value" lines, continuation lines starting with a
// blank. Only installed packages are kept (Deb822.h, isInstalledStatus).
PackageList parseStatusFile(std::string_view text);
// The store's packages/dpkg: "name\tarch\tversion\tstatus" lines.
PackageList parseStoredList(std::string_view text);

// <0, 0, >0 as dpkg --compare-versions orders a and b.
int compareVersions(std::string_view a, std::string_view b);

bool isValidName(std::string_view name);
bool isValidVersion(std::string_view version);
bool isValidArch(std::string_view arch);

} // namespace vigilorn::debian
