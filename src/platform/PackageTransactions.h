#pragma once
#include <optional>
#include <string>

namespace vigilorn {

// A daemon that installs software for other programs (a software centre asks it), so that no
// process of the installer's own name is there to be seen.
class PackageTransactions {
public:
    virtual ~PackageTransactions() = default;
    // The daemon's name while it installs, updates, removes or repairs packages; nothing when
    // it does not, is absent, or has not answered within timeoutMs.
    virtual std::optional<std::string> changingPackages(int timeoutMs) = 0;
};

} // namespace vigilorn
