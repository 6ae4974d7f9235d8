#include "RestorePointService.h"

#include "platform/RuntimeError.h"

namespace vigilorn {

void RequestRestorePoint(RestoreEngine& engine, const std::string& description) {
    throwIfFailed(
        engine.createRestorePoint(description, kRestorePointType, kRestorePointEventType));
}

std::vector<RestorePointRecord> ReadRestorePoints(RestoreEngine& engine) {
    std::vector<RestorePointRecord> points;
    throwIfFailed(engine.listRestorePoints(points));
    return points;
}

namespace {

// Characters first..first+count-1 (1-based), as many of them as the text has.
std::string piece(const std::string& text, std::size_t first, std::size_t count) {
    const std::size_t start = first - 1;
    if (start >= text.size())
        return {};
    return text.substr(start, count);
}

} // namespace

std::string FormatRestorePointTime(const std::string& t) {
    return piece(t, 7, 2) + "/" + piece(t, 5, 2) + "/" + piece(t, 1, 4) + "-" + piece(t, 9, 2) +
           ":" + piece(t, 11, 2) + ":" + piece(t, 13, 2);
}

std::string FormatRestorePointLine(const RestorePointRecord& r) {
    std::string description = r.Description;
    for (char& c : description)
        if (c == '\n' || c == '\r')
            c = ' ';
    return "P" + r.SequenceNumber + " : " + description + " : " +
           FormatRestorePointTime(r.creationtime);
}

} // namespace vigilorn
