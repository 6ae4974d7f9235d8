#pragma once
#include "platform/Platform.h"

namespace vigilorn {

// snapper when its D-Bus service answers for the config, else the built-in store.
std::unique_ptr<RestoreEngine> createLinuxRestoreEngine(const PlatformConfig& config);

} // namespace vigilorn
