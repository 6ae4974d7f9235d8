#pragma once
// Restore points without snapper: each one a commit, in a bare git repository, of the
// package lists, /etc and the user's configuration folder.
#include "platform/RestoreEngine.h"
#include "platform/linux/GitStoreApi.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vigilorn {

class BuiltinStore final : public RestoreEngine {
public:
    // Files larger than this are left out of a restore point.
    static constexpr std::int64_t kMaxFileSize = 16 * 1024 * 1024;
    // Folders deeper than this below /etc or the configuration folder are left out.
    static constexpr int kMaxDepth = 64;

    // A failed system call reports its errno; any other libgit2 failure reports
    // kGitErrorBase plus libgit2's error class (GIT_ERROR_*), e.g. 9209 (GIT_ERROR_ODB) for a
    // damaged object.
    static constexpr int kGitErrorBase = 9200;

    using Options = BuiltinStoreOptions;

    explicit BuiltinStore(Options options);
    ~BuiltinStore() override;

    std::string displayName() const override { return m_options.displayName; }
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override;
    Failure createRestorePointKeeping(const std::string& description, int restorePointType,
                                      int eventType, const std::string& keep) override;
    Failure createNumberedRestorePoint(const std::string& description, int restorePointType,
                                       int eventType, std::uint64_t number,
                                       const std::string& keep) override;
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override;
    std::size_t leftOutOfNewest() const override;

    // Adds text at the end of files at the top of the newest point (made when absent), which
    // must still be point `number`: it keeps its number, time and message.
    Failure appendToNewest(std::uint64_t number,
                           const std::vector<std::pair<std::string, std::string>>& additions);

    // Objects found damaged or missing by this process, each reported once.
    static std::vector<std::string> damagedObjects();

private:
    // `number` 0: the next one.
    Failure create(const std::string& description, int restorePointType, int eventType,
                   const std::string& keep, std::uint64_t number);
    Failure createLocked(const std::string& description, int restorePointType, int eventType,
                         const std::string& keep, std::uint64_t number);

    Options m_options;
};

} // namespace vigilorn
