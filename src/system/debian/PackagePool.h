#pragma once
// The pool of replaced packages: before a change upgrades, downgrades or removes a package,
// the installed version's .deb is kept, so that a restore can put it back when the archive no
// longer has it. One file per name, version and architecture, shared by every point.
#include "KeepWay.h"
#include "platform/PackageAction.h"
#include "platform/posix/Fd.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

inline constexpr const char* kPoolFolderName = "pool";

struct PoolOptions {
    std::string archives = "/var/cache/apt/archives";
    std::string dpkgDeb = "/usr/bin/dpkg-deb";
    std::string repack = "/usr/bin/dpkg-repack";
    // Rebuilding reads every installed file: larger packages are left to the archive.
    std::int64_t maxRebuildKiB = 256 * 1024;
    // All rebuilds of one change together, well inside the hook's wait for the point.
    std::chrono::milliseconds budget{60'000};
    std::chrono::milliseconds perPackage{30'000};
    uid_t owner = 0; // whose files in the pool and in APT's cache are trusted
    // Kept by hard links after APT's copy, the .deb built later by build().
    bool stage = true;
    StageSources sources;
    std::string dpkgStatus = "/var/lib/dpkg/status";
};

// NAME_VERSION_ARCH.deb with an epoch's ':' written %3a, as APT names its cached files.
std::string poolFileName(std::string_view name, std::string_view version, std::string_view arch);

struct KeepNote {
    std::string name, version, arch;
    bool kept = false;
    // The way that kept it ("cached", "rebuilt"), "already-kept", or why it was not kept:
    // "not-installed", "too-large", "too-slow", "no-time-left", "rebuild-failed".
    std::string how;
    KeepResult result = KeepResult::Failed;
    std::uint64_t bytes = 0; // what keeping it holds once the change is done
};

// "kept NAME VERSION ARCH HOW" or "not-kept NAME VERSION ARCH WHY" lines.
std::string keepNoteText(const std::vector<KeepNote>& notes);

class PackagePool {
public:
    // `folder` is the pool, opened by the caller from the root-owned folder. It keeps by APT's
    // cached copy, else by dpkg-repack.
    PackagePool(posix::Fd folder, std::string path, PoolOptions options = {});

    // Keeps the installed version of every package the actions replace. `status` is the text
    // of dpkg's status file.
    std::vector<KeepNote> keep(const std::vector<PackageAction>& actions, std::string_view status);

    // The kept file of that version, when there is one; a staged one is built first.
    std::optional<std::string> find(std::string_view name, std::string_view version,
                                    std::string_view arch);

    // Builds the .deb of every staged package, each checked against its md5sums; a staged
    // version that is still installed once dpkg ran was not replaced and goes ("waiting"
    // until dpkg ran). `storeFolder` is locked for each package's last step, so that a point
    // being made sees the pool whole.
    struct Built {
        std::string file;
        bool kept = false;
        std::string how;
    };
    std::vector<Built> buildStaged(int storeFolder = -1);
    Built build(const std::string& stagedFolder, int storeFolder = -1);

    // Removes every kept file and staging folder whose .deb name is not in `wanted`, and
    // stagings a crash left half made; the number removed.
    std::size_t retain(const std::set<std::string>& wanted);
    // Removes one kept file and its staging folder; what they held.
    std::uint64_t remove(const std::string& poolFile);

    // The .deb names kept or staged, with the bytes each holds.
    std::vector<std::pair<std::string, std::uint64_t>> contents() const;
    // Lets go of what the notes' change newly kept, for a point that must do without it.
    void unstage(std::vector<KeepNote>& notes, const std::string& why);

    const std::string& path() const { return m_path; }

private:
    // The file really is that version, as dpkg-deb reads it.
    bool verify(const std::string& file, const KeepTarget& target) const;

    posix::Fd m_folder;
    std::string m_path;
    PoolOptions m_options;
    PoolPlace m_place;
    std::vector<std::unique_ptr<KeepWay>> m_ways;
};

// The pool file names a stored package list ("name\tarch\tversion\tstatus" lines) names.
void poolNamesOfList(std::string_view list, std::set<std::string>& out);

} // namespace vigilorn::sys
