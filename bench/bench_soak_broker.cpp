// The MQTT side of bench/soak.sh, beside the program under soak: a mosquitto
// broker of its own on a free loopback port (LocalBroker), a subscriber that
// counts the position reports and the supervision heartbeats published under
// PREFIX, and a listener on UDP 127.0.0.1:8888 (the program's outside
// heartbeat server) that prints each heartbeat with its sender's port, for the
// script to keep those of the program it started.
//
// Prints "broker PORT PID" once the broker accepts connections, then "counts
// POSITIONS HEARTBEATS" (totals) every second and "udp-heartbeat PORT TEXT"
// per UDP heartbeat, until SIGTERM or SIGINT; the broker ends with it.
//
// Usage: bench_soak_broker PREFIX

#include "common/termination_signals.h"
#include "tools/common/local_broker.h"

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_soak_broker PREFIX\n");
        return 2;
    }
    const QByteArray prefix = argv[1];
    quitOnTerminationSignals(app);
    LocalBroker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "bench_soak_broker: mosquitto did not start\n");
        return 1;
    }
    std::printf("broker %u %lld\n", unsigned(broker.port), static_cast<long long>(broker.pid()));
    std::fflush(stdout);

    LocalSubscriber positions(broker.port, prefix + "/+/position", false);
    LocalSubscriber status(broker.port, prefix + "/status");
    QTimer counts;
    QObject::connect(&counts, &QTimer::timeout, [&] {
        std::printf("counts %ld %d\n", positions.count(), int(status.messages("fifo_size=").size()));
        std::fflush(stdout);
    });
    counts.start(1000);

    QUdpSocket heartbeats;
    if (!heartbeats.bind(QHostAddress::LocalHost, 8888))
        std::printf("udp-heartbeat unavailable: 127.0.0.1:8888 is taken\n");
    QObject::connect(&heartbeats, &QUdpSocket::readyRead, [&] {
        while (heartbeats.hasPendingDatagrams()) {
            const QNetworkDatagram d = heartbeats.receiveDatagram();
            std::printf("udp-heartbeat %d %s\n", d.senderPort(), d.data().constData());
        }
        std::fflush(stdout);
    });
    return app.exec();
}
