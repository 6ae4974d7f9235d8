#pragma once
// The root side's restore, followed from its standard output: `pkexec <maker> restore --point
// N`, or the maker itself when the program is root.
#include "RootSideRunner.h"
#include "platform/SystemRestore.h"

#include <string>
#include <string_view>

#include <unistd.h>

namespace vigilorn {

class RootSideRestore final : public SystemRestore {
public:
    struct Options {
        std::string maker; // the root side, a fixed path
        std::string pkexec = "/usr/bin/pkexec";
        bool asRoot = ::geteuid() == 0;
    };

    explicit RootSideRestore(Options options);
    ~RootSideRestore() override;
    RootSideRestore(const RootSideRestore&) = delete;
    RootSideRestore& operator=(const RootSideRestore&) = delete;

    bool start(std::uint64_t point, Events events) override;
    void answer(bool go) override;
    bool running() const override { return m_runner.running(); }

private:
    void readOutput(std::string_view bytes);
    void readErrors(std::string_view bytes);
    void handleLine(const std::string& line);
    void abandon(const std::string& why);
    void ended(const RootSideRunner::Ending& ending);

    Options m_options;
    RootSideRunner m_runner;
    Events m_events;
    Result m_result;
    std::string m_buffer;
    std::string m_errors;
    std::vector<Missing> m_missing;
    bool m_asking = false;
    bool m_haveEnd = false;
    std::string m_abandoned; // why the run's output is no longer believed
};

} // namespace vigilorn
