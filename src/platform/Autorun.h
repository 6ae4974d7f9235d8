#pragma once
#include "PlatformError.h"

#include <string>

namespace vigilorn {

// The machine-wide entry that starts the program at log-on.
class Autorun {
public:
    virtual ~Autorun() = default;
    // commandPath is exePath; the implementation quotes it as its platform requires.
    virtual Failure write(const std::string& commandPath) = 0;
    // No entry to remove is no failure.
    virtual Failure remove() = 0;
    // Why an entry for commandPath would not start the program at log-on, if it would not.
    virtual Failure checkCommand(const std::string& commandPath) const {
        (void)commandPath;
        return std::nullopt;
    }
};

} // namespace vigilorn
