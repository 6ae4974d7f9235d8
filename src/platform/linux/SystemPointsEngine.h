#pragma once
// Restore points of the whole machine, made and kept by the package's root side: listed from
// the list every user may read, made through pkexec (or directly when the program is root).
#include "platform/RestoreEngine.h"

#include <memory>
#include <string>

#include <unistd.h>

namespace vigilorn {

class SystemPointsEngine final : public RestoreEngine {
public:
    struct Options {
        std::string maker; // the root side's point maker, a fixed path
        std::string list;  // points.list
        std::string pkexec = "/usr/bin/pkexec";
        bool asRoot = ::geteuid() == 0;
        int timeoutMs = 5 * 60 * 1000; // a first point of a large /etc takes a while
    };

    // The installed root side, or nothing: a program run from a build tree keeps its own store.
    static bool installed(const Options& o);
    static Options installedOptions();

    // `configParts`: where the user's configuration folder goes under each point's number;
    // may be null.
    explicit SystemPointsEngine(Options options,
                                std::unique_ptr<RestoreEngine> configParts = nullptr)
        : m_options(std::move(options)), m_configParts(std::move(configParts)) {}

    const Options& options() const { return m_options; }

    std::string displayName() const override;
    Failure createRestorePoint(const std::string& description, int restorePointType,
                               int eventType) override;
    Failure listRestorePoints(std::vector<RestorePointRecord>& out) override;
    Failure adoptRestorePoint(std::uint64_t number, const std::string& description,
                              const std::string& keep) override;

private:
    Options m_options;
    std::unique_ptr<RestoreEngine> m_configParts;
};

} // namespace vigilorn
