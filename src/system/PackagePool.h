#pragma once
// The pool of replaced packages: before a change upgrades, downgrades or removes a package,
// the installed version's .deb is kept, so that a restore can put it back when the archive no
// longer has it. One file per name, version and architecture, shared by every point.
#include "Fd.h"
#include "debian/Staging.h"
#include "platform/SystemPointList.h"

#include <chrono>
#include <cstdint>
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
    // Kept by hard links first, the .deb built later by build().
    bool stage = true;
    StageSources sources;
    std::string dpkgStatus = "/var/lib/dpkg/status";
};

// NAME_VERSION_ARCH.deb with an epoch's ':' written %3a, as APT names its cached files.
std::string poolFileName(std::string_view name, std::string_view version, std::string_view arch);

struct KeepNote {
    std::string name, version, arch;
    bool kept = false;
    std::string how; // "staged", "cached", "rebuilt", "already-kept", or why it was not kept
    std::uint64_t bytes = 0; // what keeping it holds once the change is done
};

// "kept NAME VERSION ARCH HOW" or "not-kept NAME VERSION ARCH WHY" lines.
std::string keepNoteText(const std::vector<KeepNote>& notes);

class PackagePool {
public:
    // `folder` is the pool, opened by the caller from the root-owned folder.
    PackagePool(Fd folder, std::string path, PoolOptions options = {});

    // Keeps the installed version of every package the actions replace. `status` is the text
    // of dpkg's status file.
    std::vector<KeepNote> keep(const std::vector<PackageAction>& actions, std::string_view status);

    // The kept file of that version, when there is one; a staged one is built first.
    std::optional<std::string> find(std::string_view name, std::string_view version,
                                    std::string_view arch);

    // Builds the .deb of every staged package, each checked against its md5sums; a staged
    // version that is still installed was not replaced and goes. `storeFolder` is locked for
    // each package's last step, so that a point being made sees the pool whole.
    struct Built {
        std::string file;
        bool kept = false;
        std::string how;
    };
    std::vector<Built> buildStaged(int storeFolder = -1);
    Built build(const std::string& stagedFolder, int storeFolder = -1);

    // Removes every kept file and staging folder whose .deb name is not in `wanted`; the
    // number removed.
    std::size_t retain(const std::set<std::string>& wanted);
    // Removes one kept file or staging folder; what it held.
    std::uint64_t remove(const std::string& poolFile);

    // The .deb names kept or staged, with the bytes each holds.
    std::vector<std::pair<std::string, std::uint64_t>> contents() const;
    // Forgets what a change staged, for a point that must do without kept packages.
    void unstage(std::vector<KeepNote>& notes, const std::string& why);

    const std::string& path() const { return m_path; }

private:
    // Rebuilds the note's version with dpkg-repack in the pool's `folder`, within `cap`.
    void rebuild(KeepNote& note, const std::string& folder, std::chrono::milliseconds cap) const;
    bool verify(const std::string& file, std::string_view name, std::string_view version,
                std::string_view arch) const;
    // APT's cached copy linked in as `file`.
    bool fromArchive(const std::string& file, std::string_view name, std::string_view version,
                     std::string_view arch) const;

    Fd m_folder;
    std::string m_path;
    PoolOptions m_options;
};

// The pool file names a stored package list ("name\tarch\tversion\tstatus" lines) names.
void poolNamesOfList(std::string_view list, std::set<std::string>& out);

} // namespace vigilorn::sys
