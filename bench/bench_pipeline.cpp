// Throughput and latency of the whole in-process pipeline: FIFO -> tag store
// -> solver -> (smoothing) -> position signal, on the real AlgorithmThread.
//
// 1000 tags, each transmission heard by 8 anchors, delay window 1, noise-free
// timestamps. Two measurements:
//  - throughput: the FIFO is filled in advance and the thread drains it; plain,
//    with smoothing, and with nlos_rejection, track_filter and report_accuracy
//    (plain and those twice, in turn). Prints records/s and solves/s.
//  - latency: a producer offers records at a fixed rate (default 80,000/s) in
//    the order a site sends them; for every report, the time from queuing the
//    record that completed its transmission to the emitted signal. The
//    completing record's number travels inside the telemetry block of the set.
//
// With "metrics" as the fifth argument the metrics endpoint serves on a free
// loopback port throughout and a scraper reads it ten times a second (a
// Prometheus scrapes every 15 s or so); the counting itself always runs.
//
// Usage: bench_pipeline [tags] [transmissions] [offered records/s] [latency seconds] [metrics]
#include "common/config_file.h"
#include "common/global_data.h"
#include "common/metrics.h"
#include "engine/algorithm_thread.h"
#include "ingest/anchor_record.h"
#include "store/tags.h"
#include "supervision/metrics_server.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QVector>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kAnchors = 8;
constexpr double kTick = 0.00468;
const double kHall[kAnchors][3] = {{0, 0, 3},   {15, 0, 3},  {30, 0, 3},  {30, 20, 3},
                                   {15, 20, 3}, {0, 20, 3},  {0, 10, 3},  {30, 10, 3}};

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double cpuSeconds()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QByteArray idBytes(quint8 kind, int n)
{
    QByteArray id(6, '\0');
    id[0] = char(kind);
    id[3] = char(n >> 16);
    id[4] = char(n >> 8);
    id[5] = char(n);
    return id;
}

const char kSmoothing[] = "s_enable=true\ns_length=5\ns_start_half_length=3\ns_redundant=2\nactive_time=10\n";
const char kAccuracy[] = "nlos_rejection=true\ntrack_filter=true\nreport_accuracy=true\nrange_noise=0.036\n";

QString writeConfig(const QTemporaryDir &dir, const char *algorithmLines = "")
{
    QString ini = QStringLiteral("[algorithm_config]\n") + QLatin1String(algorithmLines);
    ini += QStringLiteral("[anchor_coordinate]\n");
    for (int a = 0; a < kAnchors; ++a)
        ini += QStringLiteral("%1=\"%2,%3,%4\"\n")
                   .arg(QString::fromLatin1(idBytes(0xA0, a + 1).toHex().toUpper()))
                   .arg(kHall[a][0])
                   .arg(kHall[a][1])
                   .arg(kHall[a][2]);
    ini += QStringLiteral("[tag_high]\ntag1=1.2\n");
    QFile file(dir.path() + QStringLiteral("/config.ini"));
    file.open(QIODevice::WriteOnly);
    file.write(ini.toUtf8());
    return dir.path();
}

// Records of `transmissions` transmissions of `tags` tags, in sending order:
// transmission j of every tag, then j + 1. With a delay window of 1 the set of
// transmission j is completed by the first record of transmission j + 1 of the
// same tag; that record's index is written into the telemetry of set j.
QVector<QByteArray> makeTraffic(int tagBase, int tags, int transmissions)
{
    std::mt19937 random(tagBase);
    std::uniform_real_distribution<double> x(3, 27), y(3, 17);
    QVector<double> px(tags), py(tags);
    for (int t = 0; t < tags; ++t) {
        px[t] = x(random);
        py[t] = y(random);
    }
    QVector<QByteArray> records;
    records.reserve(tags * transmissions * kAnchors);
    for (int j = 0; j < transmissions; ++j) {
        for (int t = 0; t < tags; ++t) {
            // A slow walk so successive solutions start close to the last one.
            const double tx = px[t] + 0.01 * j, ty = py[t];
            const qint64 completing = qint64(j + 1) * tags * kAnchors + qint64(t) * kAnchors;
            QByteArray telemetry(record::kTelemetrySize, '\0');
            std::memcpy(telemetry.data(), &completing, sizeof completing);
            const quint64 base = 1000000 + quint64(j) * 21367521; // 0.1 s per transmission
            for (int a = 0; a < kAnchors; ++a) {
                const double d = std::sqrt((kHall[a][0] - tx) * (kHall[a][0] - tx)
                                           + (kHall[a][1] - ty) * (kHall[a][1] - ty) + 1.8 * 1.8);
                const quint64 ticks = (base + quint64(std::llround(d / kTick))) & ((quint64(1) << 40) - 1);
                records.append(record::make(quint8(j), idBytes(0xA0, a + 1), ticks, idBytes(0xE0, tagBase + t),
                                            telemetry));
            }
        }
    }
    return records;
}

struct Counter {
    std::atomic<qint64> reports{0};
};

void throughput(int tagBase, int tags, int transmissions, const char *label, const char *algorithmLines)
{
    QTemporaryDir dir;
    ConfigFile::setExecutableDirForTesting(writeConfig(dir, algorithmLines));
    const QVector<QByteArray> records = makeTraffic(tagBase, tags, transmissions);
    AlgorithmThread thread;
    Counter counter;
    QObject::connect(&thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal, &thread,
                     [&counter](TAG_IMEI_t, double, double, double, QByteArray) { ++counter.reports; },
                     Qt::DirectConnection);
    QObject::connect(&thread, &AlgorithmThread::algoThreadSendTagFixToRemoteSignal, &thread,
                     [&counter](TAG_IMEI_t, double, double, double, double, QByteArray) { ++counter.reports; },
                     Qt::DirectConnection);
    // All of it queued: under the default limit the FIFO would keep only the
    // newest 100,000 records and the rate would count the dropped ones.
    fifoSetLimit(records.size());
    fifoAppend(records.constData(), records.size());
    fifoSetLimit(0);
    const double cpu0 = cpuSeconds();
    const qint64 t0 = nowNs();
    thread.start();
    while (fifoSize() > 0)
        QThread::usleep(200);
    thread.algoThreadStop();
    thread.wait();
    const double seconds = double(nowNs() - t0) / 1e9;
    const double cpu = cpuSeconds() - cpu0;
    std::printf("throughput, %-14s %9d records in %.3f s: %.0f records/s, %.0f solves/s reported "
                "(%lld reports), CPU %.2f s\n",
                label, records.size(), seconds, records.size() / seconds,
                double(counter.reports) / seconds, static_cast<long long>(counter.reports.load()), cpu);
}

void latency(int tagBase, int tags, double offeredPerSecond, double seconds)
{
    QTemporaryDir dir;
    ConfigFile::setExecutableDirForTesting(writeConfig(dir));
    const int transmissions = std::max(3, int(offeredPerSecond * seconds / (tags * kAnchors)));
    const QVector<QByteArray> records = makeTraffic(tagBase, tags, transmissions);
    QVector<qint64> queuedAt(records.size(), 0);
    QVector<qint64> latencies;
    latencies.reserve(records.size() / kAnchors);

    AlgorithmThread thread;
    QObject::connect(&thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal, &thread,
                     [&](TAG_IMEI_t, double, double, double, QByteArray health) {
                         qint64 completing;
                         std::memcpy(&completing, health.constData(), sizeof completing);
                         latencies.append(nowNs() - queuedAt[int(completing)]);
                     },
                     Qt::DirectConnection);
    thread.start();
    QThread::msleep(50);

    // One transmission (8 records) at a time, paced on absolute deadlines.
    const qint64 periodNs = qint64(1e9 * kAnchors / offeredPerSecond);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (int i = 0; i < records.size(); i += kAnchors) {
        next.tv_nsec += periodNs;
        while (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        for (int k = 0; k < kAnchors; ++k) {
            queuedAt[i + k] = nowNs();
            fifoAppend(&records[i + k], 1); // as the receiver queues each datagram
        }
    }
    while (fifoSize() > 0)
        QThread::usleep(200);
    QThread::msleep(20);
    thread.algoThreadStop();
    thread.wait();

    std::sort(latencies.begin(), latencies.end());
    auto pct = [&latencies](double p) {
        return latencies.isEmpty() ? 0.0 : double(latencies[int(p * (latencies.size() - 1))]) / 1000.0;
    };
    std::printf("latency at %.0f records/s offered, %d reports: p50 %.1f us, p99 %.1f us, max %.1f us\n",
                offeredPerSecond, latencies.size(), pct(0.5), pct(0.99), pct(1.0));
}

// What counting adds to each record, against the throughput runs' CPU per
// record: the add to its anchor's slot (the 8 anchors in turn), and a
// counter's add, which the pipeline makes per batch or per report.
// CPU time of this thread: on a loaded machine the wall clock also counts
// the time other processes ran.
qint64 threadCpuNs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void countingCost()
{
    constexpr int kRounds = 10000000;
    QByteArray anchors;
    for (int a = 0; a < kAnchors; ++a)
        anchors += idBytes(0xA0, a + 1);
    const auto *ids = reinterpret_cast<const quint8 *>(anchors.constData());
    qint64 t0 = threadCpuNs();
    for (int i = 0; i < kRounds; ++i)
        metrics::addAnchor(metrics::AnchorCounter::Records, ids + 6 * (i & (kAnchors - 1)));
    const double perAnchor = double(threadCpuNs() - t0) / kRounds;
    t0 = threadCpuNs();
    for (int i = 0; i < kRounds; ++i)
        metrics::add(metrics::Counter::TransmissionsSolved);
    std::printf("counting: %.1f ns CPU per record (its anchor's slot), %.1f ns per counter add\n", perAnchor,
                double(threadCpuNs() - t0) / kRounds);
}

// One GET /metrics on 127.0.0.1:port: the size of the body of a 200 answer, 0 otherwise.
size_t scrapeOnce(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0
        && ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) > 0) {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, size_t(n));
    }
    if (fd >= 0)
        ::close(fd);
    const size_t end = answer.find("\r\n\r\n");
    return answer.compare(0, 12, "HTTP/1.1 200") == 0 && end != std::string::npos ? answer.size() - end - 4 : 0;
}

// Scrapes the endpoint every 100 ms until destroyed.
class Scraper
{
public:
    explicit Scraper(quint16 port)
        : worker([this, port] {
              while (!stop) {
                  if (const size_t got = scrapeOnce(port); got > 0) {
                      ++scrapes;
                      bytes = got;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
              }
          })
    {
    }
    ~Scraper()
    {
        stop = true;
        worker.join();
        std::printf("metrics endpoint: %d scrapes of %zu bytes\n", scrapes.load(), bytes.load());
    }

private:
    std::atomic<bool> stop{false};
    std::atomic<int> scrapes{0};
    std::atomic<size_t> bytes{0};
    std::thread worker;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int tags = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int transmissions = argc > 2 ? std::atoi(argv[2]) : 60;
    const double offered = argc > 3 ? std::atof(argv[3]) : 80000;
    const double seconds = argc > 4 ? std::atof(argv[4]) : 5;
    g_tags_object.delayWindow = 1;
    std::unique_ptr<MetricsServer> endpoint;
    std::unique_ptr<Scraper> scraper;
    if (argc > 5 && std::strcmp(argv[5], "metrics") == 0) {
        QTemporaryDir dir;
        QFile file(dir.path() + QStringLiteral("/config.ini"));
        file.open(QIODevice::WriteOnly);
        file.write("[metrics]\nmetrics_listen=127.0.0.1:0\n");
        file.close();
        ConfigFile::setExecutableDirForTesting(dir.path());
        endpoint = std::make_unique<MetricsServer>();
        scraper = std::make_unique<Scraper>(endpoint->metricsPort());
    }
    std::printf("pipeline: %d tags x %d anchors, %d transmissions each, record size %d\n", tags, kAnchors,
                transmissions, record::kSize);
    countingCost();
    // Plain and accuracy (nlos_rejection, track_filter, report_accuracy) twice, in turn.
    throughput(0, tags, transmissions, "plain", "");
    throughput(tags, tags, transmissions, "smoothing", kSmoothing);
    throughput(2 * tags, tags, transmissions, "accuracy keys", kAccuracy);
    throughput(3 * tags, tags, transmissions, "plain", "");
    throughput(4 * tags, tags, transmissions, "accuracy keys", kAccuracy);
    latency(5 * tags, tags, offered, seconds);
    return 0;
}
