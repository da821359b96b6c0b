#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "api/api_udp_socket_thread.h"
#include "api/mqtt_publisher.h"
#include "engine/algorithm_thread.h"
#include "ingest/anchor_udp_socket_thread.h"
#include "supervision/metrics_server.h"
#include "supervision/timer_thread.h"

#include <QList>
#include <QThread>

// Holds the four worker threads and the optional MQTT publisher. Members are
// constructed in declaration order, which is the start-up order, and destroyed
// in reverse.
class MainWindow : public QThread
{
    Q_OBJECT
public:
    MainWindow();
    ~MainWindow() override;
    Q_DISABLE_COPY(MainWindow)

    // Raises every worker's stop flag and waits for every thread to end.
    void mainWindowStop();

    TimerThread timerThread;
    AnchorUdpSocketThread anchorUdpSocketThread;
    ApiUdpSocketThread apiUdpSocketThread;
    AlgorithmThread algorithmThread;
    MqttPublisher mqttPublisher; // idle unless [mqtt] turns it on
    MetricsServer metricsServer; // off unless [metrics] turns it on

private:
    QList<QThread *> workers();
};

#endif // MAINWINDOW_H
