#pragma once
// Fakes of the platform interfaces: scripted answers, and a record of every request.
#include "platform/Platform.h"

#include <atomic>
#include <functional>
#include <map>
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
    int fullPassRequests = 0;
    std::size_t lastVisited = 0;
    // Arguments by PID; a PID that is not here cannot be read.
    std::map<std::string, std::vector<std::string>> arguments;
    std::vector<std::string> argumentReads;

    void requireFullPass() override { ++fullPassRequests; }

    // Parents by PID; a PID that is not here has none that can be read.
    std::map<std::string, std::string> parents;

    std::optional<EnumerationFailure> EnumerateProcesses(const ProcessVisitor& visitor) override;
    bool readArguments(const std::string& processid, std::vector<std::string>& args) override;
    std::optional<std::string> parentOf(const std::string& processid) override {
        const auto it = parents.find(processid);
        return it == parents.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
};

class FakePackageTransactions final : public PackageTransactions {
public:
    std::optional<std::string> answer;
    std::vector<int> timeouts; // one per question

    std::optional<std::string> changingPackages(int timeoutMs) override {
        timeouts.push_back(timeoutMs);
        return answer;
    }
};

class FakeNotifier final : public Notifier {
public:
    struct Shown {
        std::string summary, body;
        std::uint32_t replaces;
    };
    std::vector<Shown> shown;
    bool serviceThere = true;

    std::optional<std::uint32_t> notify(const std::string& summary, const std::string& body,
                                        std::uint32_t replaces) override {
        if (!serviceThere)
            return std::nullopt;
        shown.push_back({summary, body, replaces});
        return replaces ? replaces : static_cast<std::uint32_t>(shown.size());
    }
};

class FakeProcessEnder final : public ProcessEnder {
public:
    struct PidRequest {
        std::string pid;
        std::uint64_t startTime;
    };
    std::vector<std::string> names;
    std::vector<PidRequest> pids;
    std::optional<PlatformError> failure;
    // What endByPid answers when no failure is scripted.
    PidEnd::Outcome pidOutcome = PidEnd::Signalled;
    std::function<void()> onEnd;

    PidEnd endByPid(const std::string& pid, std::uint64_t startTime) override;
    Failure endByName(const std::string& name) override;
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
    // adoptRestorePoint's calls: number, description, the point kept.
    struct Adopted {
        std::uint64_t number;
        std::string description, keep;
    };
    std::vector<Adopted> adopted;
    Failure adoptFailure;

    std::string displayName() const override { return "test engine"; }
    std::size_t leftOutOfNewest() const override { return leftOut; }
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override;
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override;
    Failure adoptRestorePoint(std::uint64_t number, const std::string& description,
                              const std::string& keep) override {
        adopted.push_back({number, description, keep});
        return adoptFailure;
    }
};

class FakeRestoreChanges final : public RestoreChanges {
public:
    // Handed over in batches of batchSize.
    std::vector<Change> changes;
    std::size_t batchSize = 2;
    Failure compareFailure;
    // Runs before each batch (on the comparing thread), e.g. to hold the comparison back.
    std::function<void(std::size_t batchIndex)> beforeBatch;
    // While set, a comparison goes on until it is cancelled, as a long one would.
    std::atomic<bool> untilCancelled{false};
    std::atomic<int> comparing{0}; // comparisons under way
    RestorePlan restorePlan;
    Failure planFailure;
    Failure restoreFailure;
    // Runs inside restoreConfig after the engine made its point.
    std::function<void()> duringRestore;
    bool rootAvailable = true;
    Failure runFailure;
    std::string runOutput;

    std::vector<std::string> compared;
    std::vector<std::string> restored;
    std::vector<Command> ran;

    Failure compare(const std::string& point, const CompareCallbacks& callbacks) override;
    Failure plan(const std::string& point, RestorePlan& out) override;
    Failure restoreConfig(const std::string& point, RestoreEngine& engine) override;
    bool canRunAsRoot() const override { return rootAvailable; }
    Failure runAsRoot(const Command& command, std::string& output) override;
};

// The root side's restore as a test plays it: start records the run, the test sends the events
// through `events` and ends it with finish().
class FakeSystemRestore final : public SystemRestore {
public:
    std::vector<std::uint64_t> started;
    std::vector<bool> answers;
    Events events;

    bool start(std::uint64_t point, Events e) override {
        if (m_running)
            return false;
        started.push_back(point);
        events = std::move(e);
        m_running = true;
        return true;
    }
    void answer(bool go) override { answers.push_back(go); }
    bool running() const override { return m_running; }
    std::optional<std::string> pid; // the child's, while running
    std::optional<std::string> childPid() const override { return m_running ? pid : std::nullopt; }
    void finish(const Result& result) {
        m_running = false;
        Events e = std::move(events);
        events = {};
        if (e.finished)
            e.finished(result);
    }

private:
    bool m_running = false;
};

class FakeAutorun final : public Autorun {
public:
    std::vector<std::string> writes;
    int removals = 0;
    std::optional<PlatformError> writeFailure;
    std::optional<PlatformError> commandProblem;
    std::optional<PlatformError> removeFailure;

    Failure write(const std::string& commandPath) override;
    Failure remove() override {
        ++removals;
        return removeFailure;
    }
    Failure checkCommand(const std::string&) const override { return commandProblem; }
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
