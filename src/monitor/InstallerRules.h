#pragma once
// What counts as an installer: a list of rules, each answering for one process.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn {

// Yields a process's arguments (argv[0] first), or nothing when they cannot be read. Asked
// only for names that need them, so that a pass reads no more than each process's name.
using ArgumentReader = std::function<std::optional<std::vector<std::string>>()>;

class InstallerRules {
public:
    // packageManagers false: the name rule alone.
    explicit InstallerRules(bool packageManagers = true) : m_packageManagers(packageManagers) {}

    bool packageManagers() const { return m_packageManagers; }
    bool isInstaller(const std::string& name, const ArgumentReader& arguments) const;

private:
    bool m_packageManagers;
};

// Whether a name is one that the package-manager rules look at more closely (its arguments
// are then needed), or that changes the system by its name alone.
bool isPackageManagerName(std::string_view name);

// The package-manager rules alone, for a process name and its arguments (argv[0] first; an
// empty list when they could not be read).
bool isPackageManagerRun(std::string_view name, const std::vector<std::string>& argv);

} // namespace vigilorn
