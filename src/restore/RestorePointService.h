#pragma once
#include "platform/RestoreEngine.h"

#include <string>
#include <vector>

namespace vigilorn {

void RequestRestorePoint(RestoreEngine& engine, const std::string& description);
std::vector<RestorePointRecord> ReadRestorePoints(RestoreEngine& engine);
std::string FormatRestorePointTime(const std::string& creationtime);
std::string FormatRestorePointLine(const RestorePointRecord& r);

} // namespace vigilorn
