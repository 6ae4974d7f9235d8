#include "LinuxRestore.h"

namespace vigilorn {

std::unique_ptr<RestoreEngine> createLinuxRestoreEngine(const PlatformConfig&) {
    return nullptr;
}

} // namespace vigilorn
