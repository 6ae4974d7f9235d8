#pragma once
#include "platform/RestoreEngine.h"

struct IWbemClassObject;

namespace vigilorn {

// Restore points through WMI's SystemRestore class in root\default.
class SystemRestoreEngine final : public RestoreEngine {
public:
    std::string displayName() const override { return "System Restore"; }
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override;
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override;
};

// What CreateRestorePoint's out-parameters say: its ReturnValue, 0 for success. No out-parameters,
// or none with a ReturnValue, is a failure too.
Failure restorePointResult(IWbemClassObject* out);

} // namespace vigilorn
