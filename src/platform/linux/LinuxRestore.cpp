#include "LinuxRestore.h"

#include "BuiltinChanges.h"
#include "BuiltinStore.h"
#include "SnapperChanges.h"
#include "SnapperEngine.h"

#include <QStandardPaths>

namespace vigilorn {

std::unique_ptr<RestoreEngine> createLinuxRestoreEngine(const PlatformConfig& config) {
    // Without a system bus the connection fails at once, so this costs nothing then.
    auto snapper = std::make_unique<SnapperEngine>(config.snapperConfig);
    if (!snapper->probe())
        return snapper;
    return std::make_unique<BuiltinStore>(BuiltinStore::optionsFor(config));
}

std::unique_ptr<RestoreChanges> createLinuxRestoreChanges(const PlatformConfig& config,
                                                          const RestoreEngine& engine) {
    if (dynamic_cast<const SnapperEngine*>(&engine))
        return std::make_unique<SnapperChanges>(config.snapperConfig);
    const BuiltinStore::Options store = BuiltinStore::optionsFor(config);
    BuiltinChanges::Options o;
    o.repository = store.repository;
    o.configFolder = store.source;
    o.excluded = store.excluded;
    o.etcFolder = store.etc;
    o.dpkgStatus = store.dpkgStatus;
    o.stagingFolder =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation).toStdString() + "/" +
        config.appName + "/restore";
    return std::make_unique<BuiltinChanges>(std::move(o));
}

} // namespace vigilorn
