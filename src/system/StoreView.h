#pragma once
// The system points as the space planner sees them: what each one needs of the stored objects
// and the kept packages, and what those take on the disk.
#include "Space.h"
#include "SystemStore.h"
#include "debian/PackagePool.h"

#include <map>
#include <string>

namespace vigilorn::sys {

struct StoreView {
    std::vector<PointHolding> points; // oldest first
    std::map<std::string, std::uint64_t> bytes;
    std::map<unsigned long long, ChangeRecord> changes; // each point's change.txt
    std::uint64_t used = 0;                             // the repository and the pool
};

// Reads every point of `repository`; `pool` may be null.
Failure readStoreView(const std::string& repository, const PackagePool* pool, StoreView& out);

// The key under which a kept package is counted.
std::string poolKey(const std::string& poolFile);

// What a folder's files take on the disk, links not followed.
std::uint64_t diskUsage(int parent, const char* name);

} // namespace vigilorn::sys
