// qmvigilorn-hook apt|dpkg: run as root by APT's Pre-Install-Pkgs and dpkg's pre-invoke.
// Whatever happens here, the installation goes on: the status is always 0.
#include "Hook.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <iterator>
#include <string>

namespace {

void crashed(int) {
    static const char line[] =
        "Vigilorn: the restore point hook crashed; the installation goes on without it\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line, sizeof line - 1);
    ::_exit(0);
}

void catchCrashes() {
    struct sigaction sa {};
    sa.sa_handler = crashed;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (const int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL})
        ::sigaction(sig, &sa, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    catchCrashes();
    // A closed standard error must not end the hook, and with it the installation.
    ::signal(SIGPIPE, SIG_IGN);
    vigilorn::sys::HookSettings settings;
    settings.makerPath = VIGILORN_POINT_MAKER;
    settings.terminal = ::isatty(STDERR_FILENO) == 1;
    try {
        const vigilorn::sys::Hook hook(settings);
        const char* mode = argc > 1 ? argv[1] : "";
        std::string usage = "usage: qmvigilorn-hook ";
        for (const auto& way : vigilorn::sys::kHookWaysIn) {
            if (std::strcmp(mode, way.name) == 0)
                return (hook.*way.run)(vigilorn::sys::HookEnvironment::fromProcess());
            usage += std::string(way.name) +
                     (&way == std::end(vigilorn::sys::kHookWaysIn) - 1 ? "" : "|");
        }
        hook.say(usage);
    } catch (const std::exception& e) {
        static const char prefix[] = "Vigilorn: the restore point hook stopped: ";
        [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, prefix, sizeof prefix - 1);
        n = ::write(STDERR_FILENO, e.what(), std::strlen(e.what()));
        n = ::write(STDERR_FILENO, "\n", 1);
    } catch (...) {
        static const char line[] = "Vigilorn: the restore point hook stopped\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line, sizeof line - 1);
    }
    return 0;
}
