#pragma once
// The root side's restore, followed from its standard output: `pkexec <maker> restore --point
// N`, or the maker itself when the program is root.
#include "platform/SystemRestore.h"

#include <memory>
#include <string>

#include <unistd.h>

class QProcess;

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
    bool running() const override { return m_process != nullptr; }
    std::optional<std::string> childPid() const override;

private:
    void readOutput();
    void readErrors();
    void handleLine(const std::string& line);
    void abandon(const std::string& why);
    void ended(int exitCode, bool crashed);

    Options m_options;
    std::unique_ptr<QProcess> m_process;
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
