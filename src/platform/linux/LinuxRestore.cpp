#include "LinuxRestore.h"

#include "GitStoreApi.h"
#include "SnapperChanges.h"
#include "SnapperEngine.h"
#include "SystemPointsEngine.h"
#include "platform/ForeignFolder.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

namespace vigilorn {
namespace {

constexpr char kModuleFile[] = "vigilorn-gitstore.so";

struct GitStoreEntries {
    const char* (*build)() = nullptr;
    RestoreEngine* (*newStore)(const BuiltinStoreOptions*) = nullptr;
    RestoreChanges* (*newChanges)(const BuiltinChangesOptions*) = nullptr;
};

std::string exeFolder() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf)
        return {};
    const std::string exe(buf, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

// A build tree keeps the module beside the executable; an installed program in its library
// folder.
std::string findModule(const std::string& configured) {
    if (!configured.empty())
        return configured;
    const std::string beside = exeFolder() + "/" + kModuleFile;
    if (::access(beside.c_str(), R_OK) == 0)
        return beside;
    return std::string(VIGILORN_GITSTORE_DIR) + "/" + kModuleFile;
}

PlatformError unusable(const std::string& path, const std::string& why) {
    return {kGitStoreUnusable, "The restore point module " + path + " can't be used: " + why};
}

// Loaded once per path and never unloaded: the objects it makes live as long as the program.
Failure loadGitStore(const std::string& path, GitStoreEntries& out) {
    static std::mutex mutex;
    static std::map<std::string, GitStoreEntries> loaded;
    const std::lock_guard lock(mutex);
    if (const auto it = loaded.find(path); it != loaded.end()) {
        out = it->second;
        return std::nullopt;
    }
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* e = ::dlerror();
        return unusable(path, e ? e : "it could not be loaded");
    }
    GitStoreEntries entries;
    entries.build = reinterpret_cast<const char* (*)()>(::dlsym(handle, "vigilorn_gitstore_build"));
    entries.newStore = reinterpret_cast<RestoreEngine* (*)(const BuiltinStoreOptions*)>(
        ::dlsym(handle, "vigilorn_gitstore_new_store"));
    entries.newChanges = reinterpret_cast<RestoreChanges* (*)(const BuiltinChangesOptions*)>(
        ::dlsym(handle, "vigilorn_gitstore_new_changes"));
    if (!entries.build || !entries.newStore || !entries.newChanges) {
        ::dlclose(handle);
        return unusable(path, "it is not this program's module");
    }
    if (std::strcmp(entries.build(), VIGILORN_GITSTORE_BUILD) != 0) {
        const std::string theirs = entries.build();
        ::dlclose(handle);
        return unusable(path, "it belongs to another build (" + theirs + ")");
    }
    loaded.emplace(path, entries);
    out = entries;
    return std::nullopt;
}

// The folders an object reads and writes, as (what, path): checked before every use, since a
// folder can change hands while the program runs.
using Folders = std::vector<std::pair<std::string, std::string>>;

// One of the module's objects, made the first time it is wanted.
template <class Interface, class Options> class FromModule {
public:
    using Make = Interface* (*)(const GitStoreEntries&, const Options&);
    FromModule(Options options, std::string module, Make make, Folders folders)
        : m_options(std::move(options)), m_module(std::move(module)), m_make(make),
          m_folders(std::move(folders)) {}

    const Options& options() const { return m_options; }
    Failure get(Interface*& out) const {
        for (const auto& [what, path] : m_folders)
            if (Failure f = foreignFolder(what, path))
                return f;
        const std::lock_guard lock(m_mutex);
        if (!m_object) {
            GitStoreEntries e;
            if (Failure f = loadGitStore(m_module, e))
                return f;
            m_object.reset(m_make(e, m_options));
        }
        out = m_object.get();
        return std::nullopt;
    }
    // f's result, or why the module can't be used.
    template <class F> Failure with(F&& f) const {
        Interface* object = nullptr;
        if (Failure failure = get(object))
            return failure;
        return f(*object);
    }

private:
    const Options m_options;
    const std::string m_module;
    const Make m_make;
    const Folders m_folders;
    mutable std::mutex m_mutex;
    mutable std::unique_ptr<Interface> m_object;
};

class LazyBuiltinStore final : public RestoreEngine {
public:
    LazyBuiltinStore(BuiltinStoreOptions options, std::string module)
        : m_store(
              options, std::move(module),
              [](const GitStoreEntries& e, const BuiltinStoreOptions& o) { return e.newStore(&o); },
              {{"The restore point store", options.repository},
               {"The configuration folder", options.source}}) {}

    std::string displayName() const override { return m_store.options().displayName; }
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override {
        return m_store.with([&](RestoreEngine& s) {
            return s.createRestorePoint(description, restorePointType, eventType);
        });
    }
    Failure createRestorePointKeeping(const std::string& description, int restorePointType,
                                      int eventType, const std::string& keep) override {
        return m_store.with([&](RestoreEngine& s) {
            return s.createRestorePointKeeping(description, restorePointType, eventType, keep);
        });
    }
    Failure createNumberedRestorePoint(const std::string& description, int restorePointType,
                                       int eventType, std::uint64_t number,
                                       const std::string& keep) override {
        return m_store.with([&](RestoreEngine& s) {
            return s.createNumberedRestorePoint(description, restorePointType, eventType, number,
                                                keep);
        });
    }
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override {
        return m_store.with([&](RestoreEngine& s) { return s.listRestorePoints(out); });
    }
    std::size_t leftOutOfNewest() const override {
        RestoreEngine* s = nullptr;
        return m_store.get(s) ? 0 : s->leftOutOfNewest();
    }

private:
    FromModule<RestoreEngine, BuiltinStoreOptions> m_store;
};

class LazyBuiltinChanges final : public RestoreChanges {
public:
    LazyBuiltinChanges(BuiltinChangesOptions options, std::string module)
        : m_changes(options, std::move(module),
                    [](const GitStoreEntries& e, const BuiltinChangesOptions& o) {
                        return e.newChanges(&o);
                    },
                    {{"The restore point store", options.repository},
                     {"The configuration folder", options.configFolder}}) {}

    Failure compare(const std::string& point, const CompareCallbacks& callbacks) override {
        return m_changes.with([&](RestoreChanges& c) { return c.compare(point, callbacks); });
    }
    Failure plan(const std::string& point, RestorePlan& out) override {
        return m_changes.with([&](RestoreChanges& c) { return c.plan(point, out); });
    }
    Failure restoreConfig(const std::string& point, RestoreEngine& engine) override {
        return m_changes.with([&](RestoreChanges& c) { return c.restoreConfig(point, engine); });
    }
    // Nothing of the user's store is ever run as root.
    bool canRunAsRoot() const override { return false; }
    Failure runAsRoot(const Command& command, std::string& output) override {
        return m_changes.with([&](RestoreChanges& c) { return c.runAsRoot(command, output); });
    }

private:
    FromModule<RestoreChanges, BuiltinChangesOptions> m_changes;
};

} // namespace

std::unique_ptr<RestoreEngine> createLinuxRestoreEngine(const PlatformConfig& config) {
    // Without a system bus the connection fails at once, so this costs nothing then.
    auto snapper = std::make_unique<SnapperEngine>(config.snapperConfig);
    if (!snapper->probe())
        return snapper;
    if (const auto system = SystemPointsEngine::installedOptions();
        SystemPointsEngine::installed(system))
        return std::make_unique<SystemPointsEngine>(
            system, std::make_unique<LazyBuiltinStore>(configurationPartOptions(config),
                                                       findModule(config.gitStoreModule)));
    return std::make_unique<LazyBuiltinStore>(builtinStoreOptions(config),
                                              findModule(config.gitStoreModule));
}

std::unique_ptr<RestoreChanges> createLinuxRestoreChanges(const PlatformConfig& config,
                                                          const RestoreEngine& engine) {
    if (dynamic_cast<const SnapperEngine*>(&engine))
        return std::make_unique<SnapperChanges>(config.snapperConfig);
    // A system point's own part is the root side's to compare and restore; the program
    // compares and puts back the configuration part.
    const BuiltinStoreOptions store = dynamic_cast<const SystemPointsEngine*>(&engine)
                                          ? configurationPartOptions(config)
                                          : builtinStoreOptions(config);
    BuiltinChangesOptions o;
    o.repository = store.repository;
    o.configFolder = store.source;
    o.excluded = store.excluded;
    o.etcFolder = store.etc;
    o.dpkgStatus = store.dpkgStatus;
    return std::make_unique<LazyBuiltinChanges>(std::move(o), findModule(config.gitStoreModule));
}

} // namespace vigilorn
