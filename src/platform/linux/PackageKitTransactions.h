#pragma once
#include "platform/PackageTransactions.h"

#include <cstdint>

namespace vigilorn {

// PackageKit on the system bus: its transaction list, then each transaction's role.
class PackageKitTransactions final : public PackageTransactions {
public:
    std::optional<std::string> changingPackages(int timeoutMs) override;
};

// Whether a transaction of this role and these flags changes the installed packages.
bool packageKitTransactionChanges(std::uint32_t role, std::uint64_t transactionFlags);

} // namespace vigilorn
