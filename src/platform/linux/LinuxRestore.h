#pragma once
#include "platform/Platform.h"

namespace vigilorn {

// The built-in store's module could not be loaded, or belongs to another build.
inline constexpr int kGitStoreUnusable = 9290;

// snapper when its D-Bus service answers for the config, else the built-in store.
std::unique_ptr<RestoreEngine> createLinuxRestoreEngine(const PlatformConfig& config);

// The comparison that reads the points `engine` makes.
std::unique_ptr<RestoreChanges> createLinuxRestoreChanges(const PlatformConfig& config,
                                                          const RestoreEngine& engine);

} // namespace vigilorn
