#include "app/mainwindow.h"

MainWindow::MainWindow()
{
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
}
