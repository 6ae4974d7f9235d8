#pragma once
// Asking an engine for restore points and turning its records into the lines the user sees.
#include "platform/RestoreEngine.h"

#include <string>
#include <vector>

namespace vigilorn {

// Throws RuntimeError when the engine reports a failure.
void RequestRestorePoint(RestoreEngine& engine, const std::string& description);

// In the engine's order. Throws RuntimeError when the engine reports a failure.
std::vector<RestorePointRecord> ReadRestorePoints(RestoreEngine& engine);

// "YYYYMMDDHHMMSS..." -> "DD/MM/YYYY-HH:MM:SS", cut by position; a short text gives short
// pieces, never an error.
std::string FormatRestorePointTime(const std::string& creationtime);

// "P<number> : <description> : <time>", line breaks in the description shown as spaces.
std::string FormatRestorePointLine(const RestorePointRecord& r);

} // namespace vigilorn
