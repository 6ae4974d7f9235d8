#pragma once
#include "PlatformError.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vigilorn {

// The type and event the program always asks with: an application install that begins.
inline constexpr int kRestorePointType = 12;
inline constexpr int kRestorePointEventType = 100;

struct RestorePointRecord {
    std::string SequenceNumber; // decimal
    std::string Description;
    std::string creationtime; // YYYYMMDDHHMMSS.ffffff+000, UTC
};

// Where restore points go: snapper, the built-in store, System Restore, or a fake.
class RestoreEngine {
public:
    virtual ~RestoreEngine() = default;
    // A short name the user can recognise, e.g. "snapper (config root)".
    virtual std::string displayName() const = 0;
    virtual Failure createRestorePoint(const std::string& description, int restorePointType,
                                       int eventType) = 0;
    // As createRestorePoint, before restoring point `keep`: the new point's retention must not
    // take the point being restored from. Engines whose retention can't spare one ignore it.
    virtual Failure createRestorePointKeeping(const std::string& description, int restorePointType,
                                              int eventType, const std::string& keep) {
        (void)keep;
        return createRestorePoint(description, restorePointType, eventType);
    }
    virtual Failure listRestorePoints(std::vector<RestorePointRecord>& out) = 0;
    // As createRestorePointKeeping, under a number another engine gave: the configuration part
    // of the root side's system point `number`. Points of that number or higher go, as the
    // root side's numbers only grow: such points belong to a store that is no more.
    virtual Failure createNumberedRestorePoint(const std::string& description, int restorePointType,
                                               int eventType, std::uint64_t number,
                                               const std::string& keep) {
        (void)description, (void)restorePointType, (void)eventType, (void)number, (void)keep;
        return PlatformError{ErrorNumber::CantPerformOperation,
                             displayName() + " numbers its own restore points."};
    }
    // A point another process made and the program saw (the package hook's, or the one made
    // before restoring): the engine records beside it what it keeps of its own.
    virtual Failure adoptRestorePoint(std::uint64_t number, const std::string& description,
                                      const std::string& keep) {
        (void)number, (void)description, (void)keep;
        return std::nullopt;
    }
    // How many files the newest restore point had to leave out; an engine that takes whole
    // file systems leaves nothing out.
    virtual std::size_t leftOutOfNewest() const { return 0; }
};

} // namespace vigilorn
