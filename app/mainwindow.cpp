#include "app/mainwindow.h"

#include "common/tsan_handoff.h"

MainWindow::MainWindow()
{
    // finished() is emitted in the ending thread itself, after run(): the
    // hand-off to mainWindowStop, which destroys nothing before every wait.
    for (QThread *worker : workers())
        connect(worker, &QThread::finished, [worker] { tsan::handOff(worker); });
    // Reports and the supervision text also go to the broker; the text
    // arrives queued, in the main thread, like the heartbeat datagram's.
    if (mqttPublisher.mqttEnabled()) {
        apiUdpSocketThread.setReportPublisher(&mqttPublisher);
        connect(&timerThread, SIGNAL(timerSendHeartBeatSignal(QString)), &mqttPublisher,
                SLOT(mqttPublishStatusSlot(QString)));
        mqttPublisher.start();
    }
}

MainWindow::~MainWindow() { mainWindowStop(); }

void MainWindow::mainWindowStop()
{
    metricsServer.metricsServerStop();
    timerThread.timerThreadStop();
    anchorUdpSocketThread.anchorUdpSocketThreadStop();
    apiUdpSocketThread.apiUdpSocketThreadStop();
    algorithmThread.algoThreadStop();
    mqttPublisher.mqttPublisherStop();
    timerThread.wait();
    anchorUdpSocketThread.wait();
    apiUdpSocketThread.wait();
    algorithmThread.wait();
    mqttPublisher.wait();
    for (QThread *worker : workers())
        tsan::takeOver(worker);
}

QList<QThread *> MainWindow::workers()
{
    return {&timerThread, &anchorUdpSocketThread, &apiUdpSocketThread, &algorithmThread, &mqttPublisher};
}
