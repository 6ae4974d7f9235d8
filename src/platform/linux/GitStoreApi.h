#pragma once
// What the program and the built-in store's module agree on: the options of the store and of
// its comparison, and the module's entry points. The store itself lives above the platform
// layer, so the platform names it only through this header.
#include "platform/Platform.h"
#include "platform/RestoreChanges.h"
#include "platform/RestoreEngine.h"

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// C++ objects cross the module boundary, so program and module must come from the same build.
#define VIGILORN_GITSTORE_BUILD VIGILORN_GITSTORE_VERSION " " __VERSION__

namespace vigilorn {

struct BuiltinStoreOptions {
    std::string repository; // the bare repository, created on first use
    std::string source;     // the configuration folder, stored under config/
    // Folders (absolute) never captured, e.g. the repository itself.
    std::vector<std::string> excluded;
    std::string displayName;
    std::string committerName = "Vigilorn";
    // The other parts of a point; an empty path leaves that part out.
    std::string dpkgStatus = "/var/lib/dpkg/status";
    std::string flatpakSystem = "/var/lib/flatpak";
    std::string flatpakUser; // $XDG_DATA_HOME/flatpak in builtinStoreOptions()
    std::string etc = "/etc";
    // The newest points kept; 0 keeps all.
    unsigned keep = 50;
    // Points that go when the next one is made, whatever `keep` says.
    std::set<std::uint64_t> drop;
    // How long a creation waits for another one to finish.
    int lockWaitSeconds = 600;
    // Where a damaged object is reported; standard error when empty.
    std::function<void(const std::string&)> warn;
    // For the root side's points: etc-owners.txt (owner, group and mode of every /etc
    // entry), and (name, content) files added at the top of the point.
    bool etcOwners = false;
    std::vector<std::pair<std::string, std::string>> extraFiles;
};

struct BuiltinChangesOptions {
    std::string repository;   // the store's bare repository
    std::string configFolder; // the configuration folder now
    // Empty: the store holds configuration parts alone, and these are not compared.
    std::string etcFolder = "/etc";
    std::string dpkgStatus = "/var/lib/dpkg/status";
    // Folders (absolute) never compared, e.g. the store itself.
    std::vector<std::string> excluded;
};

// The store under $XDG_DATA_HOME/<appName>/restore-points.git of $XDG_CONFIG_HOME.
BuiltinStoreOptions builtinStoreOptions(const PlatformConfig& config);
// The configuration parts of the root side's system points, numbered as those are: a store of
// its own beside the one above, whose numbers are the program's own.
BuiltinStoreOptions configurationPartOptions(const PlatformConfig& config);

} // namespace vigilorn

extern "C" {
const char* vigilorn_gitstore_build();
vigilorn::RestoreEngine* vigilorn_gitstore_new_store(const vigilorn::BuiltinStoreOptions* o);
vigilorn::RestoreChanges* vigilorn_gitstore_new_changes(const vigilorn::BuiltinChangesOptions* o);
}
