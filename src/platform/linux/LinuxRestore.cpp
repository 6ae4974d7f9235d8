#include "LinuxRestore.h"

#include "BuiltinStore.h"
#include "SnapperEngine.h"

namespace vigilorn {

std::unique_ptr<RestoreEngine> createLinuxRestoreEngine(const PlatformConfig& config) {
    // Without a system bus the connection fails at once, so this costs nothing then.
    auto snapper = std::make_unique<SnapperEngine>(config.snapperConfig);
    if (!snapper->probe())
        return snapper;
    return std::make_unique<BuiltinStore>(BuiltinStore::optionsFor(config));
}

} // namespace vigilorn
