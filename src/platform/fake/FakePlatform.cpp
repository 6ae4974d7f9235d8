#include "FakePlatform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace vigilorn {

std::optional<EnumerationFailure>
FakeProcessSource::EnumerateProcesses(const ProcessVisitor& visitor) {
    ++enumerations;
    lastVisited = 0;
    if (queryFailure)
        return EnumerationFailure{*queryFailure, false};
    for (const auto& p : processes) {
        if (failAfter && lastVisited == *failAfter)
            return EnumerationFailure{{-2147217406, "Not found"}, true};
        ++lastVisited;
        if (!visitor(p))
            return std::nullopt;
    }
    if (failAfter && lastVisited == *failAfter)
        return EnumerationFailure{{-2147217406, "Not found"}, true};
    return std::nullopt;
}

bool FakeProcessSource::readArguments(const std::string& processid,
                                      std::vector<std::string>& args) {
    argumentReads.push_back(processid);
    args.clear();
    auto it = arguments.find(processid);
    if (it == arguments.end())
        return false;
    args = it->second;
    return true;
}

PidEnd FakeProcessEnder::endByPid(const std::string& pid, std::uint64_t startTime) {
    pids.push_back({pid, startTime});
    if (onEnd)
        onEnd();
    if (failure)
        return {PidEnd::Failed, *failure};
    return {pidOutcome, {}};
}

Failure FakeProcessEnder::endByName(const std::string& name) {
    names.push_back(name);
    if (onEnd)
        onEnd();
    return failure;
}

Failure FakeRestoreEngine::createRestorePoint(const std::string& description, int restorePointType,
                                              int eventType) {
    requests.push_back({description, restorePointType, eventType});
    if (duringCreate)
        duringCreate();
    if (createFailure)
        return createFailure;
    points.push_back({std::to_string(nextNumber++), description, "20261208101112.000000+000"});
    return std::nullopt;
}

Failure FakeRestoreEngine::listRestorePoints(std::vector<RestorePointRecord>& out) {
    if (listFailure)
        return listFailure;
    out = points;
    return std::nullopt;
}

Failure FakeRestoreChanges::compare(const std::string& point, const CompareCallbacks& callbacks) {
    compared.push_back(point);
    ++comparing;
    struct Done {
        std::atomic<int>& n;
        ~Done() { --n; }
    } done{comparing};
    while (untilCancelled && callbacks.cancel && !callbacks.cancel->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::size_t index = 0;
    for (std::size_t at = 0; at < changes.size(); at += batchSize, ++index) {
        if (beforeBatch)
            beforeBatch(index);
        if (callbacks.cancel && callbacks.cancel->load())
            return PlatformError{kCancelled, "The comparison was cancelled."};
        const std::size_t end = std::min(changes.size(), at + batchSize);
        if (callbacks.batch)
            callbacks.batch(
                std::vector<Change>(changes.begin() + static_cast<std::ptrdiff_t>(at),
                                    changes.begin() + static_cast<std::ptrdiff_t>(end)));
        if (callbacks.progress)
            callbacks.progress(end, changes.size());
    }
    return compareFailure;
}

Failure FakeRestoreChanges::plan(const std::string&, RestorePlan& out) {
    if (planFailure)
        return planFailure;
    out = restorePlan;
    return std::nullopt;
}

Failure FakeRestoreChanges::restoreConfig(const std::string& point, RestoreEngine& engine) {
    if (auto f = engine.createRestorePoint("Before restoring P" + point, 12, 100))
        return f;
    restored.push_back(point);
    if (duringRestore)
        duringRestore();
    return restoreFailure;
}

Failure FakeRestoreChanges::runAsRoot(const Command& command, std::string& output) {
    ran.push_back(command);
    output = runOutput;
    return runFailure;
}

Failure FakeAutorun::write(const std::string& commandPath) {
    if (writeFailure)
        return writeFailure;
    writes.push_back(commandPath);
    return std::nullopt;
}

bool FakeSysInfoLauncher::lookupToolPath(std::string& path) {
    calls.push_back("path");
    if (!toolPath)
        return false;
    path = *toolPath;
    return true;
}

bool FakeSysInfoLauncher::lookupToolFolder(std::string& folder) {
    calls.push_back("folder");
    if (!toolFolder)
        return false;
    folder = *toolFolder;
    return true;
}

std::string FakeSysInfoLauncher::toolInFolder(const std::string& folder) const {
    return folder + "/hardinfo";
}

bool FakeSysInfoLauncher::isRegularFile(const std::string& path) const {
    calls.push_back("exists:" + path);
    return std::find(existingFiles.begin(), existingFiles.end(), path) != existingFiles.end();
}

bool FakeSysInfoLauncher::start(const std::string& path) {
    calls.push_back("start:" + path);
    return startSucceeds;
}

} // namespace vigilorn
