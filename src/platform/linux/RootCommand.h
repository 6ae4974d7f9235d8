#pragma once
// Runs a command as root: directly when the program is root already, else through pkexec.
#include "platform/RestoreChanges.h"

#include <string>

namespace vigilorn {

class RootCommand {
public:
    // pkexec waits for the user to answer its password box: give them time.
    static constexpr int kTimeoutMs = 30 * 60 * 1000;

    // Never looked up in $PATH: the user's own folders come first there.
    static constexpr char kPkexec[] = "/usr/bin/pkexec";

    static bool isRoot();
    static bool available();

    // `command.program` must be an absolute path. Fails with RestoreChanges::kCommandFailed and the
    // command's own message when it ends with an error.
    static Failure run(const Command& command, std::string& output, int timeoutMs = kTimeoutMs);
};

} // namespace vigilorn
