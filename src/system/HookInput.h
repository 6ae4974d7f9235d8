#pragma once
// What APT and dpkg tell the hook about the change they are about to make.
#include "platform/PackageAction.h"
#include "platform/PointRequest.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

using vigilorn::ActionKind;
using vigilorn::PackageAction;

struct AptInput {
    bool understood = false; // a VERSION 3 header and a complete configuration section
    std::vector<PackageAction> actions;
    std::size_t skippedLines = 0;
    std::string commandLine; // CommandLine::AsString, decoded
    int quiet = 0;
    // The run is a restore of our own (restoreproto::kRestoringOption set): no hold, no point of
    // its own.
    bool ownRestore = false;
};

// The Pre-Install-Pkgs hook's input, protocol version 3. A package's configure step that
// follows its unpack in the same run is part of that action, not one of its own.
AptInput parseAptInput(std::string_view text);

// APT's %XX quoting of configuration values undone; anything else is kept as it is.
std::string percentDecode(std::string_view text);

struct DpkgRun {
    bool dryRun = false;
    std::vector<PackageAction> actions;
    std::string description; // the command line
};

// DPKG_HOOK_ACTION values that change packages; triggers-only and the architecture
// actions do not.
bool dpkgActionChanges(std::string_view hookAction);

// What a package file says of itself.
struct DebFields {
    std::string package, version, arch;
};

// dpkg-deb's answer to `-f FILE Package Version Architecture`; nothing unless all three are
// there and plain.
std::optional<DebFields> parseDebFields(std::string_view text);

// Reads a package file that dpkg was given, by the name dpkg was given.
using DebReader = std::function<std::optional<DebFields>(const std::string& file)>;

// A dpkg process's arguments (argv[0] first) for the hook action it runs. A package file is
// named by what `readDeb` reads from it; without that, by its file name.
DpkgRun parseDpkgArguments(const std::vector<std::string>& args, std::string_view hookAction,
                           const DebReader& readDeb = {});

using pointreq::kMaxDescription;

// Printable UTF-8 cut to kMaxDescription bytes on a character boundary: whatever is not UTF-8
// becomes U+FFFD and control characters spaces, so that no name refuses the change its point.
std::string boundedDescription(std::string_view text);

// A front end's name as the point maker takes it: letters, digits and ._+- only.
std::string frontendWord(std::string_view name);

// "<frontend> <kind> <pkg1> <pkg2>…", for a change without a command line.
std::string summarise(std::string_view frontend, const std::vector<PackageAction>& actions);

enum class ReadResult { Complete, TooLarge, TimedOut, Failed };

// Everything up to end of file, at most maxBytes, within the time given.
ReadResult readBounded(int fd, std::string& out, std::size_t maxBytes,
                       std::chrono::milliseconds within);

} // namespace vigilorn::sys
