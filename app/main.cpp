#include "app/build_stamp.h"
#include "app/mainwindow.h"
#include "common/build_variant.h"
#include "common/config_file.h"
#include "common/logwriter.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>

#include <csignal>
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
    // Also in the lost-packet file, so each run is marked there.
    const QByteArray versionLine = QByteArrayLiteral("version:") + variant::kVersion;
    log->infoOutput("%s", versionLine.constData());
    log->writeForMatlabLogLostPacket("%s", versionLine.constData());
    log->infoOutput("%s", "");

    const QFileInfo configFile(ConfigFile::path());
    if (!configFile.isFile()) {
        // Checked once: the program has to be restarted when the file appears.
        // Nothing runs yet, so a termination signal may end it the default way.
        forever {
            log->infoOutput("config file lost!");
            QThread::sleep(2);
        }
    }

    log->infoOutput("STARTUP SUCESS!");
    log->infoOutput("---------------------------------");
    log->infoOutput("%s", "");
    log->infoOutput("%s", "");

    installTerminationHandlers(app);
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
