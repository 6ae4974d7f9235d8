#pragma once
// Keeping an installed package by reference: before dpkg replaces it, each of its files gets a
// second name (a hard link) in a staging folder of the pool, with the package's control data.
// dpkg never writes over an installed file, it renames the new one over the name, so the
// staged names keep the old contents at the cost of one link() a file. The .deb is built from
// the folder later, each file checked against the package's md5sums first.
#include <cstdint>
#include <string>
#include <string_view>

namespace vigilorn::sys {

struct StageSources {
    std::string root = "/";
    std::string dpkgInfo = "/var/lib/dpkg/info";
    std::string diversions = "/var/lib/dpkg/diversions";
};

struct StagedPackage {
    std::string name, version, arch;
    std::string stanza; // its stanza of dpkg's status file
};

struct StageResult {
    bool staged = false;
    std::string why;          // when not staged
    std::uint64_t copied = 0; // bytes copied rather than linked (another file system)
    std::uint64_t bytes = 0;  // the files' size: what the staging holds once dpkg replaced them
};

// "NAME_VERSION_ARCH.staged" for the pool file "NAME_VERSION_ARCH.deb".
std::string stagedName(std::string_view poolFile);
// The pool file a staging folder's name stands for; empty when it is none.
std::string poolFileOfStaged(std::string_view stagedFolder);

// Stages the package in the pool folder `pool` under stagedName(poolFile); a folder that was
// left half made is replaced. Nothing is followed into a place a user can write.
StageResult stagePackage(int pool, const std::string& poolFile, const StagedPackage& package,
                         const StageSources& sources = {});

struct StagedCheck {
    bool ok = false;
    std::string why;
    StagedPackage package; // name, version and arch as staged
};

// Whether the staging folder is whole and each file still what the package installed: every
// entry the package listed is there, and every file matches its md5sum.
StagedCheck checkStaged(int pool, const std::string& stagedFolder);

// The build root inside a staging folder, for dpkg-deb --build.
inline constexpr const char* kStagedTree = "tree";
// Written last into a staging folder: its name, version and architecture.
inline constexpr const char* kStagedMarker = "staged";

// Removes a folder of the pool and everything in it; nothing in it is followed.
void removePoolFolder(int parent, const char* name);

} // namespace vigilorn::sys
