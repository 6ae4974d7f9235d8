#pragma once
// Fakes of the platform interfaces: scripted answers, and a record of every request.
#include "platform/Platform.h"

#include <functional>
#include <vector>

namespace vigilorn {

class FakeProcessSource final : public ProcessSource {
public:
    std::vector<ProcessEntry> processes;
    // Fail before anything is visited.
    std::optional<PlatformError> queryFailure;
    // Fail after this many entries have been visited.
    std::optional<std::size_t> failAfter;
    int enumerations = 0;
    std::size_t lastVisited = 0;

    std::optional<EnumerationFailure> EnumerateProcesses(const ProcessVisitor& visitor) override;
};

class FakeProcessEnder final : public ProcessEnder {
public:
    std::vector<std::string> requests;
    std::optional<PlatformError> failure;
    std::function<void(const std::string&)> onEnd;

    Failure endProcesses(const std::string& nameOrPid) override;
};

class FakeRestoreEngine final : public RestoreEngine {
public:
    struct Request {
        std::string description;
        int type;
        int eventType;
    };
    std::vector<RestorePointRecord> points;
    std::vector<Request> requests;
    std::optional<PlatformError> createFailure;
    std::optional<PlatformError> listFailure;
    // Runs inside createRestorePoint, so a test can look at the windows mid-call.
    std::function<void()> duringCreate;
    int nextNumber = 1;
    std::size_t leftOut = 0;

    std::string displayName() const override { return "test engine"; }
    std::size_t leftOutOfNewest() const override { return leftOut; }
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override;
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override;
};

class FakeAutorun final : public Autorun {
public:
    std::vector<std::string> writes;
    int removals = 0;
    std::optional<PlatformError> writeFailure;

    Failure write(const std::string& commandPath) override;
    void remove() override { ++removals; }
};

class FakeSysInfoLauncher final : public SysInfoLauncher {
public:
    std::optional<std::string> toolPath;
    std::optional<std::string> toolFolder;
    std::vector<std::string> existingFiles;
    bool startSucceeds = true;
    mutable std::vector<std::string> calls; // in order: "path", "folder", "exists:<p>", "start:<p>"

    bool lookupToolPath(std::string& path) override;
    bool lookupToolFolder(std::string& folder) override;
    std::string toolInFolder(const std::string& folder) const override;
    bool isRegularFile(const std::string& path) const override;
    bool start(const std::string& path) override;
};

} // namespace vigilorn
