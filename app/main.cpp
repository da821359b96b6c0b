#include "app/build_stamp.h"
#include "app/mainwindow.h"
#include "common/build_variant.h"
#include "common/config_file.h"
#include "common/logwriter.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// SIGTERM and SIGINT end the event loop through a socket pair: the handler
// only writes one byte, the main thread reads it and quits.
int g_signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char byte = 1;
    const ssize_t written = ::write(g_signalPipe[0], &byte, 1);
    (void)written;
}

void installTerminationHandlers(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char byte;
        const ssize_t got = ::read(g_signalPipe[1], &byte, 1);
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

// Waits up to ms for SIGTERM or SIGINT; true when one arrived.
bool terminationRequestedWithin(int ms)
{
    pollfd fd = {g_signalPipe[1], POLLIN, 0};
    if (g_signalPipe[1] < 0) {
        QThread::msleep(ms);
        return false;
    }
    int ready = ::poll(&fd, 1, ms);
    if (ready < 0 && errno == EINTR) // the signal itself interrupts the wait
        ready = ::poll(&fd, 1, 0);
    return ready > 0;
}

constexpr int kConfigWaitMs = 2000;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    LogWriter *log = LogWriter::getLogCenter();

    log->debugOutput(" ******************************* ");
    log->debugOutput("*                               *");
    log->debugOutput("*                               *");
    log->debugOutput("*     this is debug mode        *");
    log->debugOutput("*                               *");
    log->debugOutput("*                               *");
    log->debugOutput(" ******************************* ");
    log->debugOutput("%s", "");

    log->infoOutput("UWB TDOA positioning engine %s", variant::kHrBuild ? "solver_unit_hr" : "solver_unit");
    log->infoOutput("%s", buildTimeLine(__DATE__, __TIME__).toUtf8().constData());
    log->infoOutput("version:%s", variant::kVersion);
    log->writeForMatlabLogLostPacket("version:%s", variant::kVersion);
    log->infoOutput("%s", "");

    installTerminationHandlers(app);
    const QFileInfo configFile(ConfigFile::path());
    if (!configFile.isFile()) {
        // Checked once: the program has to be restarted when the file appears.
        // A termination signal ends the wait (no worker runs yet).
        do {
            log->infoOutput("config file lost!");
        } while (!terminationRequestedWithin(kConfigWaitMs));
        return 0;
    }

    log->infoOutput("STARTUP SUCESS!");
    log->infoOutput("---------------------------------");
    log->infoOutput("%s", "");
    log->infoOutput("%s", "");

    auto *window = new MainWindow;
    QObject::connect(&window->algorithmThread,
                     SIGNAL(algoThreadSendTagMsgToRemoteSignal(TAG_IMEI_t, double, double, double, QByteArray)),
                     &window->apiUdpSocketThread,
                     SLOT(apiSendTagMsgToRemoteSlot(TAG_IMEI_t, double, double, double, QByteArray)),
                     Qt::DirectConnection);
    window->timerThread.start(QThread::InheritPriority);
    window->anchorUdpSocketThread.start(QThread::InheritPriority);
    window->apiUdpSocketThread.start(QThread::InheritPriority);
    window->algorithmThread.start(QThread::InheritPriority);

    const int exitCode = app.exec();
    window->mainWindowStop();
    delete window;
    return exitCode;
}
