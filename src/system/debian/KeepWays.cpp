#include "KeepWay.h"

#include "system/Run.h"

#include "platform/posix/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace vigilorn::sys {

namespace {

// Removes a folder of the pool and what is in it; nothing in it is followed.
void removeFolder(int parent, const char* name) {
    const posix::Fd dir(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.valid())
        for (const auto& n : posix::namesIn(dir.get()))
            if (::unlinkat(dir.get(), n.c_str(), 0) != 0 && errno == EISDIR)
                removeFolder(dir.get(), n.c_str());
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

class AptCachedCopy final : public KeepWay {
public:
    explicit AptCachedCopy(std::string archives) : m_archives(std::move(archives)) {}
    const char* name() const override { return "cached"; }
    bool quick() const override { return true; }

    // A second name for APT's file. linkat() without AT_SYMLINK_FOLLOW never follows a link,
    // and what was linked is checked in the pool, where nobody else can change it.
    KeepResult keep(const KeepTarget& target, const std::string& file, const PoolPlace& pool,
                    std::chrono::milliseconds, unsigned) const override {
        const std::string temp = ".new-" + file;
        ::unlinkat(pool.folder, temp.c_str(), 0);
        const std::string cached = m_archives + '/' + file;
        struct stat st {};
        if (::lstat(cached.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != pool.owner ||
            ::linkat(AT_FDCWD, cached.c_str(), pool.folder, temp.c_str(), 0) != 0)
            return KeepResult::Failed;
        if (pool.holdsFile(temp) && pool.verify(pool.path + '/' + temp, target) &&
            ::renameat(pool.folder, temp.c_str(), pool.folder, file.c_str()) == 0)
            return KeepResult::Kept;
        ::unlinkat(pool.folder, temp.c_str(), 0);
        return KeepResult::Failed;
    }

private:
    std::string m_archives;
};

class StagedByLinks final : public KeepWay {
public:
    explicit StagedByLinks(StageSources sources) : m_sources(std::move(sources)) {}
    const char* name() const override { return "staged"; }
    bool quick() const override { return true; }

    KeepResult keep(const KeepTarget& target, const std::string& file, const PoolPlace& pool,
                    std::chrono::milliseconds, unsigned) const override {
        const StageResult r = stagePackage(
            pool.folder, file,
            {target.name, target.version, target.arch, std::string(target.stanza)}, m_sources);
        return r.staged ? KeepResult::Kept : KeepResult::Failed;
    }

private:
    StageSources m_sources;
};

class DpkgRepack final : public KeepWay {
public:
    DpkgRepack(std::string repack, std::int64_t maxKiB)
        : m_repack(std::move(repack)), m_maxKiB(maxKiB) {}
    const char* name() const override { return "rebuilt"; }
    bool quick() const override { return false; }
    // Rebuilding reads every installed file: larger packages are left to the archive.
    std::optional<KeepResult> refuses(const KeepTarget& target) const override {
        if (target.kib > m_maxKiB)
            return KeepResult::TooBig;
        return std::nullopt;
    }

    KeepResult keep(const KeepTarget& target, const std::string& file, const PoolPlace& pool,
                    std::chrono::milliseconds cap, unsigned worker) const override {
        const std::string folder = ".rebuild-" + std::to_string(worker);
        removeFolder(pool.folder, folder.c_str());
        if (::mkdirat(pool.folder, folder.c_str(), 0700) != 0)
            return KeepResult::Failed;
        const KeepResult result = rebuild(target, file, pool, folder, cap);
        removeFolder(pool.folder, folder.c_str());
        return result;
    }

private:
    KeepResult rebuild(const KeepTarget& target, const std::string& file, const PoolPlace& pool,
                       const std::string& folder, std::chrono::milliseconds cap) const {
        RunOptions o;
        o.cap = cap;
        o.keep = 4096;
        o.folder = pool.path + '/' + folder;
        const std::string name =
            target.arch == "all" ? target.name : target.name + ':' + target.arch;
        const RunResult r = run({m_repack, "--deb-option=-Zgzip", "--deb-option=-z1", name}, o);
        if (r.timedOut)
            return KeepResult::TooSlow;
        std::string built;
        const posix::Fd dir(
            ::openat(pool.folder, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.valid())
            for (const auto& n : posix::namesIn(dir.get()))
                if (n.size() > 4 && n.compare(n.size() - 4, 4, ".deb") == 0 && built.empty())
                    built = n;
        const std::string builtPath = folder + '/' + built;
        if (r.status != 0 || built.empty() || !pool.holdsFile(builtPath) ||
            !pool.verify(pool.path + '/' + builtPath, target) ||
            ::renameat(pool.folder, builtPath.c_str(), pool.folder, file.c_str()) != 0)
            return KeepResult::Failed;
        return KeepResult::Kept;
    }

    std::string m_repack;
    std::int64_t m_maxKiB;
};

} // namespace

bool PoolPlace::holdsFile(const std::string& name) const {
    struct stat st {};
    return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           st.st_uid == owner;
}

std::unique_ptr<KeepWay> aptCachedCopy(std::string archives) {
    return std::make_unique<AptCachedCopy>(std::move(archives));
}

std::unique_ptr<KeepWay> stagedByLinks(StageSources sources) {
    return std::make_unique<StagedByLinks>(std::move(sources));
}

std::unique_ptr<KeepWay> dpkgRepack(std::string repack, std::int64_t maxKiB) {
    return std::make_unique<DpkgRepack>(std::move(repack), maxKiB);
}

} // namespace vigilorn::sys
