#pragma once
// Changes since a point of the built-in store, read straight from its repository.
#include "platform/RestoreChanges.h"

#include <string>
#include <vector>

namespace vigilorn {

class BuiltinChanges final : public RestoreChanges {
public:
    struct Options {
        std::string repository;   // the store's bare repository
        std::string configFolder; // the configuration folder now
        std::string etcFolder = "/etc";
        std::string dpkgStatus = "/var/lib/dpkg/status";
        // Folders (absolute) never compared, e.g. the store itself.
        std::vector<std::string> excluded;
        // Where the /etc files to copy back are written out, one folder per point.
        std::string stagingFolder;
    };

    explicit BuiltinChanges(Options options);
    ~BuiltinChanges() override;
    BuiltinChanges(const BuiltinChanges&) = delete;
    BuiltinChanges& operator=(const BuiltinChanges&) = delete;

    Failure compare(const std::string& point, const CompareCallbacks& callbacks) override;
    Failure plan(const std::string& point, RestorePlan& out) override;
    Failure restoreConfig(const std::string& point, RestoreEngine& engine) override;
    bool canRunAsRoot() const override;
    Failure runAsRoot(const Command& command, std::string& output) override;

    const Options& options() const { return m_options; }

private:
    Options m_options;
};

} // namespace vigilorn
