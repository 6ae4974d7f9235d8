#pragma once
// Restore points without snapper: each one a commit, in a bare git repository, of the
// user's configuration folder.
#include "platform/Platform.h"
#include "platform/RestoreEngine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vigilorn {

class BuiltinStore final : public RestoreEngine {
public:
    // Files larger than this are left out of a restore point.
    static constexpr std::int64_t kMaxFileSize = 16 * 1024 * 1024;

    // A failed system call reports its errno; any other libgit2 failure reports
    // kGitErrorBase plus libgit2's error class (GIT_ERROR_*), e.g. 9209 (GIT_ERROR_ODB) for a
    // damaged object.
    static constexpr int kGitErrorBase = 9200;

    struct Options {
        std::string repository; // the bare repository, created on first use
        std::string source;     // the folder each restore point captures
        // Folders (absolute) never captured, e.g. the repository itself.
        std::vector<std::string> excluded;
        std::string displayName;
        std::string committerName = "Vigilorn";
    };

    explicit BuiltinStore(Options options);
    ~BuiltinStore() override;

    // The store under $XDG_DATA_HOME/<appName>/restore-points.git of $XDG_CONFIG_HOME.
    static Options optionsFor(const PlatformConfig& config);

    std::string displayName() const override { return m_options.displayName; }
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override;
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override;

private:
    Options m_options;
};

} // namespace vigilorn
