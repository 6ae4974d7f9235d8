#pragma once
// Restore points without snapper: each one a commit, in a bare git repository, of the
// package lists, /etc and the user's configuration folder.
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
    // Folders deeper than this below /etc or the configuration folder are left out.
    static constexpr int kMaxDepth = 64;

    // A failed system call reports its errno; any other libgit2 failure reports
    // kGitErrorBase plus libgit2's error class (GIT_ERROR_*), e.g. 9209 (GIT_ERROR_ODB) for a
    // damaged object.
    static constexpr int kGitErrorBase = 9200;

    struct Options {
        std::string repository; // the bare repository, created on first use
        std::string source;     // the configuration folder, stored under config/
        // Folders (absolute) never captured, e.g. the repository itself.
        std::vector<std::string> excluded;
        std::string displayName;
        std::string committerName = "Vigilorn";
        // The other parts of a point; an empty path leaves that part out.
        std::string dpkgStatus = "/var/lib/dpkg/status";
        std::string flatpakSystem = "/var/lib/flatpak";
        std::string flatpakUser; // $XDG_DATA_HOME/flatpak in optionsFor()
        std::string etc = "/etc";
        // The newest points kept; 0 keeps all.
        unsigned keep = 50;
        // How long a creation waits for another one to finish.
        int lockWaitSeconds = 600;
    };

    explicit BuiltinStore(Options options);
    ~BuiltinStore() override;

    // The store under $XDG_DATA_HOME/<appName>/restore-points.git of $XDG_CONFIG_HOME.
    static Options optionsFor(const PlatformConfig& config);

    std::string displayName() const override { return m_options.displayName; }
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override;
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override;
    std::size_t leftOutOfNewest() const override;

    // Objects found damaged or missing by this process, each reported once.
    static std::vector<std::string> damagedObjects();

private:
    Failure createLocked(const std::string& description, int restorePointType, int eventType);

    Options m_options;
};

} // namespace vigilorn
