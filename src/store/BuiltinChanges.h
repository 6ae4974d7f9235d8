#pragma once
// Changes since a point of the built-in store, read straight from its repository.
#include "platform/RestoreChanges.h"
#include "platform/linux/GitStoreApi.h"

#include <string>
#include <vector>

namespace vigilorn {

class BuiltinChanges final : public RestoreChanges {
public:
    using Options = BuiltinChangesOptions;

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
