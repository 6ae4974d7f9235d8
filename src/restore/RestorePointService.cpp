#include "RestorePointService.h"
#include "app/RuntimeError.h"

namespace vigilorn {

void RequestRestorePoint(RestoreEngine& engine, const std::string& description) {
    throwIfFailed(engine.createRestorePoint(description, 12, 100));
}

std::vector<RestorePointRecord> ReadRestorePoints(RestoreEngine& engine) {
    std::vector<RestorePointRecord> out;
    throwIfFailed(engine.listRestorePoints(out));
    return out;
}

std::string FormatRestorePointTime(const std::string& t) {
    auto piece = [&](std::size_t from, std::size_t len) {
        return from < t.size() ? t.substr(from, len) : std::string();
    };
    return piece(6, 2) + "/" + piece(4, 2) + "/" + piece(0, 4) + "-" + piece(8, 2) + ":" +
           piece(10, 2) + ":" + piece(12, 2);
}

std::string FormatRestorePointLine(const RestorePointRecord& r) {
    return "P" + r.SequenceNumber + " : " + r.Description + " : " +
           FormatRestorePointTime(r.creationtime);
}

} // namespace vigilorn
