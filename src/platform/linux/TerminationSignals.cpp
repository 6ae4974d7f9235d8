// SIGTERM, SIGINT and SIGHUP reach the event loop through a socket pair: a signal handler may
// only write a byte, the rest happens on the user-interface thread.
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace vigilorn {
namespace {

int g_fds[2] = {-1, -1};

void onSignal(int) {
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(g_fds[0], &b, 1);
}

} // namespace

void watchTerminationRequests(std::function<void()> onRequest) {
    if (g_fds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_fds) != 0)
        return;
    auto* notifier =
        new QSocketNotifier(g_fds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [onRequest = std::move(onRequest)] {
                         char b;
                         [[maybe_unused]] ssize_t n = ::read(g_fds[1], &b, 1);
                         onRequest();
                     });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

} // namespace vigilorn
