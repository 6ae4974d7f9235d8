#include "FakePlatform.h"

#include <algorithm>
#include <cstdio>

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

Failure FakeProcessEnder::endProcesses(const std::string& nameOrPid) {
    requests.push_back(nameOrPid);
    if (onEnd)
        onEnd(nameOrPid);
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
