// Position reports published to a local MQTT broker while the same reports go
// out over UDP. The main thread stands in for the algorithm thread and calls
// the report slot at a paced rate; a sink thread counts the UDP reports; a
// subscriber counts what the broker delivers.
//
// 1. For each offered rate, once without and once with MQTT: UDP reports
//    received and lost, MQTT reports published per second, dropped, delivered,
//    and CPU time per report: of this process (less the sink and the
//    subscriber), of the feeding thread alone (the algorithm thread's share)
//    and of the broker. The difference of the with and without figures is the
//    cost of publishing one report.
// 2. The broker killed for 10 s under load: UDP reports lost, reports dropped,
//    resident memory before, during and after.
//
// Usage: bench_mqtt [rate ...]   (reports per second, default 25000 50000 75000 100000)

#include "api/api_udp_socket_thread.h"
#include "api/mqtt_publisher.h"
#include "common/config_file.h"
#include "tools/common/local_broker.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <netinet/in.h>
#include <pthread.h>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kPhaseSeconds = 3.0;
constexpr double kOutageSeconds = 10.0;
const QByteArray kTelemetry = QByteArray::fromHex("4B002300D200B80BC800E110DC05200325032A032F032C030C00");

double cpuSeconds(clockid_t clock)
{
    timespec t = {};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + t.tv_nsec / 1e9;
}

clockid_t threadClock(pthread_t thread)
{
    clockid_t clock = CLOCK_THREAD_CPUTIME_ID;
    pthread_getcpuclockid(thread, &clock);
    return clock;
}

double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).split(' ');
    return (fields.value(12).toDouble() + fields.value(13).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Counts UDP datagrams on a loopback port, in its own thread.
struct UdpCounter {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    quint16 port = 0;
    std::atomic<long> received{0};
    std::atomic<bool> stop{false};
    std::thread reader;
    UdpCounter()
    {
        const int buffer = 64 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
        const timeval wait = {0, 100000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr *>(&address), length);
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
        reader = std::thread([this] {
            static char buffers[64][2048];
            mmsghdr messages[64] = {};
            iovec vectors[64];
            for (int i = 0; i < 64; ++i) {
                vectors[i] = {buffers[i], sizeof buffers[i]};
                messages[i].msg_hdr.msg_iov = &vectors[i];
                messages[i].msg_hdr.msg_iovlen = 1;
            }
            while (!stop) {
                const int n = recvmmsg(fd, messages, 64, 0, nullptr);
                if (n > 0)
                    received += n;
            }
        });
    }
    ~UdpCounter()
    {
        stop = true;
        reader.join();
        close(fd);
    }
};

// Calls the report slot `count` times at `rate` per second; `each` runs every
// 10 ms of the schedule.
template <typename Each>
void feed(ApiUdpSocketThread &api, long count, double rate, Each each)
{
    TAG_IMEI_t tag = {{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x00}};
    const Clock::time_point start = Clock::now();
    for (long i = 0; i < count; ++i) {
        if (i % 64 == 0) {
            const auto due = start + std::chrono::nanoseconds(qint64(i / rate * 1e9));
            std::this_thread::sleep_until(due);
        }
        if (i % qMax(1L, long(rate / 100)) == 0)
            each(double(i) / rate);
        tag.imei[5] = quint8(i % 100);
        api.apiSendTagMsgToRemoteSlot(tag, 12.25 + (i % 1000) * 1e-3, 5.5, 0, kTelemetry);
    }
}

// Waits until the publisher has settled every report fed so far (at most 10 s).
void drain(MqttPublisher &mqtt, quint64 settled)
{
    for (int i = 0; i < 1000; ++i) {
        const MqttPublisher::Counters c = mqtt.mqttCounters();
        if (c.published + c.dropped >= settled)
            return;
        QThread::msleep(10);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QList<double> rates;
    for (int i = 1; i < argc; ++i)
        rates << QByteArray(argv[i]).toDouble();
    if (rates.isEmpty())
        rates = {25000, 50000, 75000, 100000};

    mosquitto_lib_init();
    LocalBroker broker;
    if (!broker.start()) {
        std::printf("cannot start mosquitto\n");
        return 1;
    }
    UdpCounter sink;
    QTemporaryDir dir;
    QFile ini(dir.filePath(QStringLiteral("config.ini")));
    if (!ini.open(QIODevice::WriteOnly))
        return 1;
    ini.write(QStringLiteral("[network_setting]\nremote_udp_server_location_ip=127.0.0.1\n"
                             "remote_udp_server_location_port=%1\n[mqtt]\nmqtt_enable=true\nmqtt_host=127.0.0.1\n"
                             "mqtt_port=%2\nmqtt_topic_prefix=bench\n")
                  .arg(sink.port)
                  .arg(broker.port)
                  .toUtf8());
    ini.close();
    ConfigFile::setExecutableDirForTesting(dir.path());

    ApiUdpSocketThread udpOnly;
    ApiUdpSocketThread api;
    MqttPublisher mqtt;
    api.setReportPublisher(&mqtt);
    mqtt.start();
    LocalSubscriber subscriber(broker.port, "bench/+/position", false);
    QThread::msleep(500);
    const clockid_t sinkClock = threadClock(sink.reader.native_handle());

    std::printf("%9s %8s %5s %9s %8s %12s %9s %8s %10s %10s %10s\n", "offered/s", "fed/s", "mqtt", "udp lost",
                "dropped", "published/s", "delivered", "rss kB", "us/report", "feeder us", "broker us");
    for (double rate : rates) {
        for (bool withMqtt : {false, true}) {
            const long count = long(rate * kPhaseSeconds);
            const long udpBefore = sink.received;
            const long deliveredBefore = subscriber.count();
            const MqttPublisher::Counters before = mqtt.mqttCounters();
            const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(sinkClock) - subscriber.cpuSeconds();
            const double broker0 = processCpuSeconds(broker.pid());
            const double feeder0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            const Clock::time_point start = Clock::now();
            feed(withMqtt ? api : udpOnly, count, rate, [](double) {});
            const double fed = std::chrono::duration<double>(Clock::now() - start).count();
            const double feederCpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - feeder0;
            if (withMqtt)
                drain(mqtt, before.published + before.dropped + quint64(count));
            const double wall = std::chrono::duration<double>(Clock::now() - start).count();
            QThread::msleep(300); // the last datagrams and deliveries
            const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuSeconds(sinkClock) - subscriber.cpuSeconds() - cpu0;
            const double brokerCpu = processCpuSeconds(broker.pid()) - broker0;
            const MqttPublisher::Counters after = mqtt.mqttCounters();
            std::printf("%9.0f %8.0f %5s %9ld %8llu %12.0f %9ld %8ld %10.2f %10.2f %10.2f\n", rate, count / fed,
                        withMqtt ? "on" : "off",
                        count - (sink.received - udpBefore), after.dropped - before.dropped,
                        (after.published - before.published) / wall, subscriber.count() - deliveredBefore,
                        residentKb(), cpu * 1e6 / count, feederCpu * 1e6 / count, brokerCpu * 1e6 / count);
        }
    }

    // The broker away for 10 s in the middle of 20 s of traffic: stopped
    // (SIGSTOP: a hung broker, its connection open), then killed and started
    // again (the restart runs in the feeding thread and takes some 50 ms).
    const double rate = rates.value(1, rates.first());
    for (bool kill : {false, true}) {
        const long count = long(rate * (kOutageSeconds + 10));
        const long udpBefore = sink.received;
        const MqttPublisher::Counters before = mqtt.mqttCounters();
        long rssBefore = 0, rssDuring = 0, rssAfter = 0;
        bool away = false, back = false;
        const auto pid = pid_t(broker.pid());
        feed(api, count, rate, [&](double t) {
            const long rss = residentKb();
            if (t < 5) {
                rssBefore = qMax(rssBefore, rss);
            } else if (t < 5 + kOutageSeconds) {
                if (!away)
                    kill ? broker.kill() : void(::kill(pid, SIGSTOP));
                away = true;
                rssDuring = qMax(rssDuring, rss);
            } else {
                if (!back)
                    kill ? void(broker.start()) : void(::kill(pid, SIGCONT));
                back = true;
                rssAfter = qMax(rssAfter, rss);
            }
        });
        QThread::msleep(1000);
        const MqttPublisher::Counters after = mqtt.mqttCounters();
        std::printf("\nbroker %s for %.0f s at %.0f reports/s, %ld reports: udp lost %ld, mqtt published %llu, "
                    "dropped %llu\nmax resident kB: before %ld, broker away %ld, after %ld\n",
                    kill ? "killed" : "stopped", kOutageSeconds, rate, count, count - (sink.received - udpBefore),
                    after.published - before.published, after.dropped - before.dropped, rssBefore, rssDuring,
                    rssAfter);
    }
    mqtt.mqttPublisherStop();
    mqtt.wait();
    broker.kill();
    return 0;
}
