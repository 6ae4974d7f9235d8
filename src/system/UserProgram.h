#pragma once
// Root reaching the user's program: only a socket the user owns, in the user's own private
// runtime folder, served by a process of that user.
#include "platform/HoldProtocol.h"
#include "platform/posix/Fd.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

namespace vigilorn::sys {

class UserPrograms {
public:
    explicit UserPrograms(std::string runUserRoot = "/run/user");

    // A connection to one of uid's programs that passed every check; none when there is no
    // such program or the folder is not the user's private one.
    posix::Fd connect(uid_t uid, std::chrono::milliseconds within) const;

private:
    std::string m_root;
};

// Sends the hold line and waits for the one answer line.
hold::Answer askToHold(int fd, std::string_view frontend, std::chrono::milliseconds within);

// One whole line to the program; false when it could not be sent in time.
bool sendLine(int fd, std::string_view line, std::chrono::milliseconds within);

} // namespace vigilorn::sys
