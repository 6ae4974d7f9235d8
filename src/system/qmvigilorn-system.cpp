// qmvigilorn-system: makes a system restore point as root, for the package hooks and for the
// program (through pkexec), and prints its number; on failure one line on standard error.
// `restore --point N` puts the machine back to a point, talking RestoreProtocol.h, or in words
// with a y/N question when a person runs it on a terminal; `list` and `show N` are for that
// person too. Exit statuses: 0 done, 1 failed, 2 a wrong command line, 3 a restore that changed
// nothing (stopped, or answered no).
#include "Builder.h"
#include "Console.h"
#include "Pins.h"
#include "RootFiles.h"
#include "Run.h"
#include "SnapperPoint.h"
#include "SystemRestore.h"
#include "SystemStore.h"
#include "platform/PointRequest.h"
#include "platform/RestoreProtocol.h"
#include "platform/posix/Files.h"
#include "platform/posix/Text.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Far more than any store's list.
constexpr std::size_t kMaxListFile = 16 * 1024 * 1024;

int fail(const std::string& message, int status) {
    std::string line = message;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    std::fprintf(stderr, "qmvigilorn-system: %s\n", line.c_str());
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // Standard streams a caller closed must not become files opened later.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            return 1;
    ::umask(022);
    // Pins are the administrator's, from a root shell: not for whoever pkexec lets in.
    const bool viaPkexec = std::getenv("PKEXEC_UID") != nullptr;
    // Nothing of the caller's environment is used, libgit2's included.
    ::clearenv();
    std::signal(SIGPIPE, SIG_IGN);

    using namespace vigilorn::sys;
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (args.size() == 1 && args[0] == "list") {
        // points.list and the pins are every user's to read; root's to write.
        vigilorn::posix::Fd folder;
        if (auto f = openRootPath(vigilorn::kSystemPointFolder, 0755, folder, false)) {
            // Never made: no point yet, or snapper keeps them.
            if (f->number == ENOENT && std::fputs(formatPointList({}, {}).c_str(), stdout) >= 0)
                return 0;
            return fail(f->description, 1);
        }
        namespace posix = vigilorn::posix;
        const auto list = posix::readFile(folder.get(), vigilorn::kSystemPointListName,
                                          kMaxListFile, posix::kNoFollow | posix::kRootOwned);
        if (!list.ok() && list.failure != posix::ReadFailure::Missing)
            return fail(std::string(vigilorn::kSystemPointListName) + " is " +
                            posix::failureName(list.failure),
                        1);
        const std::string shown =
            formatPointList(vigilorn::parseSystemPointList(list.text), readPins(folder.get()));
        if (std::fputs(shown.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
            return fail("could not write the list", 1);
        return 0;
    }
    if (args.size() == 2 && args[0] == "show") {
        unsigned long long number = 0;
        if (!vigilorn::posix::parseDecimal(args[1], number, kMaxPointNumber) || number == 0)
            return fail("usage: qmvigilorn-system show N", 2);
        if (::geteuid() != 0)
            return fail("must run as root", 1);
        std::string shown;
        if (auto f = showPoint(number, RestoreOptions{}, shown))
            return fail(f->description, 1);
        if (std::fputs(shown.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
            return fail("could not write what the restore would change", 1);
        return 0;
    }
    if (!args.empty() && args[0] == "restore") {
        const auto number = parseRestoreArguments(args);
        if (!number)
            return fail("usage: qmvigilorn-system restore --point N", 2);
        if (::geteuid() != 0)
            return fail("must run as root", 1);
        RestoreOptions options;
        // The program talks through pipes; a person types at a terminal.
        options.terminal = ::isatty(STDIN_FILENO) == 1;
        try {
            const int status = restorePoint(*number, options);
            startBuilder();
            return status;
        } catch (const std::exception& e) {
            // The program, or the person, waits for a last line whatever happened.
            std::string end = vigilorn::restoreproto::endLine(
                vigilorn::restoreproto::Outcome::Failed, std::string("stopped: ") + e.what());
            if (options.terminal)
                end = consoleText(end);
            [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, end.data(), end.size());
            return 1;
        }
    }
    // The staged packages' .debs, after the package runs; `--now` builds without waiting.
    if (!args.empty() && args[0] == "build" &&
        (args.size() == 1 || (args.size() == 2 && args[1] == "--now"))) {
        if (::geteuid() != 0)
            return fail("must run as root", 1);
        BuilderOptions options;
        options.folder = vigilorn::kSystemPointFolder;
        options.wait = args.size() == 1;
        if (!options.wait)
            options.report = [](const std::string& line) { std::printf("%s\n", line.c_str()); };
        return runBuilder(options) == 0 ? 0 : 1;
    }
    if (args.size() == 2 && (args[0] == "pin" || args[0] == "unpin")) {
        unsigned long long number = 0;
        if (!vigilorn::posix::parseDecimal(args[1], number, kMaxPointNumber) || number == 0)
            return fail("usage: qmvigilorn-system pin|unpin N", 2);
        if (::geteuid() != 0 || viaPkexec)
            return fail("must run as root, from a root shell", 1);
        if (auto f = setPinned(vigilorn::kSystemPointFolder, number, args[0] == "pin"))
            return fail(f->description, 1);
        return 0;
    }
    Request request;
    if (auto f = parseArguments(args, request))
        return fail(f->description, 2);
    if (::geteuid() != 0)
        return fail("must run as root", 1);
    // Whoever ends us (the hook at its bound) ends the package rebuilds we started too.
    endProgramsWithUs();
    // The program's own request brings no package actions.
    if (request.reason != Reason::Window)
        request.actions = parseActions(readInput(0, kMaxInput, kInputMilliseconds));
    FolderLock windowTurn;
    if (request.paced)
        if (auto f = takeWindowTurn(vigilorn::kSystemPointFolder, std::time(nullptr), windowTurn))
            return fail(f->description, 1);

    unsigned long long number = 0;
    // Where snapper keeps the system, the program lists snapper's snapshots: the point is one.
    if (const SnapperSetup snapper; snapperKeepsRoot(snapper)) {
        if (auto f = createSnapperPoint(snapper, request, number))
            return fail(f->description, 1);
        if (std::printf("%llu\n", number) < 0 || std::fflush(stdout) != 0)
            return fail("could not write the point's number", 1);
        return 0;
    }

    std::vector<std::string> warnings;
    SystemStore::Options options;
    options.warn = [&](const std::string& text) { warnings.push_back(text); };
    options.keepPackages = true;
    SystemStore::fitWithin(request.within, options);
    SystemStore store(options);
    if (auto f = store.create(request, number))
        return fail(f->description, 1);
    for (const auto& w : warnings)
        fail(w, 0);
    // Said where the change runs, so that whoever runs it knows what a restore may lack.
    std::size_t notKept = 0;
    for (const auto& k : store.kept())
        notKept += k.kept ? 0 : 1;
    // The staged packages' .debs, and what each point holds, once the change is done.
    startBuilder();
    if (notKept > 0)
        fail(std::to_string(notKept) + " of " + std::to_string(store.kept().size()) +
                 " replaced packages could not be kept; the point " + std::to_string(number) +
                 " names them",
             0);
    const std::string out = vigilorn::pointreq::replyText({number, notKept});
    if (std::fputs(out.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
        return fail("could not write the point's number", 1);
    return 0;
}
