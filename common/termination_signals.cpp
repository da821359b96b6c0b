#include "common/termination_signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <QThread>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPair[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(g_signalPair[0], &byte, 1);
    (void)written;
}

} // namespace

void quitOnTerminationSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPair) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPair[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        const ssize_t got = ::read(g_signalPair[1], &byte, 1);
        (void)got;
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

bool terminationRequestedWithin(int ms)
{
    if (g_signalPair[1] < 0) {
        QThread::msleep(ms);
        return false;
    }
    pollfd fd = {g_signalPair[1], POLLIN, 0};
    int ready = ::poll(&fd, 1, ms);
    if (ready < 0 && errno == EINTR) // the signal itself interrupts the wait
        ready = ::poll(&fd, 1, 0);
    return ready > 0;
}
