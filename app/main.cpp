#include "app/build_stamp.h"
#include "app/mainwindow.h"
#include "common/build_variant.h"
#include "common/config_file.h"
#include "common/logwriter.h"
#include "common/termination_signals.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <csignal>

namespace {
// How often the wait for a missing config.ini says so.
constexpr int kConfigLostRepeatMs = 2000;
// How often the date is looked at for the removal of old lost-packet files:
// a new day is noticed within a minute.
constexpr int kLostPacketDayCheckMs = 60000;
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

    quitOnTerminationSignals(app);
    // Under a file-size limit a write past it then fails with an error that
    // the writers check, instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    const QFileInfo configFile(ConfigFile::path());
    if (!configFile.isFile()) {
        // Checked once: the program has to be restarted when the file appears.
        // A termination signal ends the wait (no worker runs yet).
        do {
            log->infoOutput("config file lost!");
        } while (!terminationRequestedWithin(kConfigLostRepeatMs));
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
    // With report_accuracy the positions come with their estimated error.
    QObject::connect(&window->algorithmThread,
                     SIGNAL(algoThreadSendTagFixToRemoteSignal(TAG_IMEI_t, double, double, double, double, QByteArray)),
                     &window->apiUdpSocketThread,
                     SLOT(apiSendTagFixToRemoteSlot(TAG_IMEI_t, double, double, double, double, QByteArray)),
                     Qt::DirectConnection);
    // The reports of the records taken together leave together.
    window->apiUdpSocketThread.setReportBatching(true);
    QObject::connect(&window->algorithmThread, SIGNAL(algoThreadRecordsDoneSignal()), &window->apiUdpSocketThread,
                     SLOT(apiFlushReportsSlot()), Qt::DirectConnection);
    // New anchor coordinates reach the running engine without a restart.
    QObject::connect(&window->apiUdpSocketThread, SIGNAL(apiAnchorsChangedSignal()), &window->algorithmThread,
                     SLOT(algoThreadAnchorsChangedSlot()), Qt::DirectConnection);
    window->timerThread.start(QThread::InheritPriority);
    window->anchorUdpSocketThread.start(QThread::InheritPriority);
    window->apiUdpSocketThread.start(QThread::InheritPriority);
    window->algorithmThread.start(QThread::InheritPriority);
    // Old lost-packet files also go on days without a malformed datagram
    // (at start, the version line above removed them).
    QTimer lostPacketDays;
    QObject::connect(&lostPacketDays, &QTimer::timeout, [log] { log->lostPacketDayCheck(); });
    lostPacketDays.start(kLostPacketDayCheckMs);

    const int exitCode = app.exec();
    window->mainWindowStop();
    delete window;
    return exitCode;
}
