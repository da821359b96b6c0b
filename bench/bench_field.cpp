// Memory of the real program under identifier floods, over loopback.
//
//   flood: normal traffic (20 tags at 10 Hz heard by 8 anchors), then one
//          million records from random tag and anchor identifiers mixed into
//          it, then normal traffic for the expiry time and a little more.
//          Prints the resident memory before, at the peak and after expiry,
//          and the reports of the normal tags per second throughout.
//   soak:  `rate` records/s from a population of tags of which 100 a second
//          are replaced by new identifiers, for `seconds`; prints the resident
//          memory every 10 s and its spread after the first expiry period.
//
// Usage: bench_field <solver_unit> [expiry s = 20] [soak s = 120] [soak rate = 80000]

#include "bench/bench_hall.h"
#include "ingest/anchor_record.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kRecordsPerDatagram = 10;
constexpr int kNormalTags = 20;
constexpr int kNormalHz = 10;

struct Bench {
    QProcess program;
    QUdpSocket sender;
    QUdpSocket reports;
    quint16 anchorPort = 0;
    QVector<int> seq;
    QByteArray pending;
    qint64 normalReports = 0;
    QRandomGenerator random{12345};

    qint64 rssKiB(const char *field = "VmRSS:")
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(program.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith(field))
                return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
        return -1;
    }
    void push(const QByteArray &record)
    {
        pending += record;
        if (pending.size() >= kRecordsPerDatagram * record::kSize)
            flush();
    }
    void flush()
    {
        if (!pending.isEmpty())
            sender.writeDatagram(pending, QHostAddress(QHostAddress::LocalHost), anchorPort);
        pending.clear();
    }
    // One transmission of tag `id` standing in the middle of the hall.
    void transmit(const QByteArray &id, int &sequence)
    {
        const quint8 s = quint8(sequence++);
        for (size_t a = 0; a < kHall.size(); ++a) {
            const double d = std::hypot(std::hypot(kHall[a].x - 12, kHall[a].y - 8), kHall[a].z - 1.2);
            const QByteArray anchor(reinterpret_cast<const char *>(anchorId(a).imei), 6);
            push(record::make(s, anchor, 1000000 + quint64(std::llround(d / 0.00468)), id, QByteArray()));
        }
    }
    QByteArray normalId(int i) { return QByteArray::fromHex("AA00000000") + QByteArray(1, char(i)); }
    void drainReports()
    {
        while (reports.hasPendingDatagrams()) {
            const QByteArray d = reports.receiveDatagram().data();
            if (d.contains("AA00000000"))
                ++normalReports;
        }
    }
    // Normal traffic due at elapsed ms, plus up to `extra` flood records.
    void normalTick(QElapsedTimer &clock, qint64 &nextMs)
    {
        while (clock.elapsed() >= nextMs) {
            for (int t = 0; t < kNormalTags; ++t)
                transmit(normalId(t), seq[t]);
            nextMs += 1000 / kNormalHz;
        }
        flush();
        QCoreApplication::processEvents();
        drainReports();
    }
};

QByteArray randomId(QRandomGenerator &r)
{
    QByteArray id(6, '\0');
    for (char &c : id)
        c = char(r.bounded(256));
    return id;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_field <solver_unit> [expiry s] [soak s] [soak rate]\n");
        return 2;
    }
    const int expiry = argc > 2 ? atoi(argv[2]) : 20;
    const int soakSeconds = argc > 3 ? atoi(argv[3]) : 120;
    const int soakRate = argc > 4 ? atoi(argv[4]) : 80000;

    QTemporaryDir dir;
    Bench b;
    b.reports.bind(QHostAddress(QHostAddress::LocalHost), 0);
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    b.anchorPort = probe.localPort();
    probe.close();
    useHallConfig(dir.path(), 1.2);
    QFile ini(dir.path() + QStringLiteral("/config.ini"));
    ini.open(QIODevice::Append);
    ini.write(QStringLiteral("[network_setting]\nlocal_udp_listen_anchor_port=%1\nremote_udp_server_location_ip=127.0.0.1\n"
                             "remote_udp_server_location_port=%2\n[algorithm_config]\ndelay_window_1908=2\n"
                             "tag_expiry_time=%3\n")
                  .arg(b.anchorPort)
                  .arg(b.reports.localPort())
                  .arg(expiry)
                  .toUtf8());
    ini.close();
    QFile::copy(QString::fromLocal8Bit(argv[1]), dir.path() + QStringLiteral("/solver_unit"));
    b.program.setWorkingDirectory(dir.path());
    b.program.setStandardErrorFile(dir.path() + QStringLiteral("/log.txt"));
    b.program.start(dir.path() + QStringLiteral("/solver_unit"), QStringList());
    if (!b.program.waitForStarted())
        return 1;
    QThread::sleep(3);
    b.seq.fill(0, kNormalTags);

    QElapsedTimer clock;
    clock.start();
    qint64 next = 0;
    const auto runNormal = [&](int seconds, const char *phase) {
        for (int s = 0; s < seconds; ++s) {
            const qint64 reportsBefore = b.normalReports;
            const qint64 end = clock.elapsed() + 1000;
            while (clock.elapsed() < end) {
                b.normalTick(clock, next);
                QThread::msleep(5);
            }
            std::printf("%-6s t=%3llds rss=%6lld KiB normal reports/s=%lld\n", phase, clock.elapsed() / 1000,
                        b.rssKiB(), b.normalReports - reportsBefore);
        }
    };

    runNormal(5, "normal");
    const qint64 baseline = b.rssKiB();
    // The flood: 1,000,000 records, random tags, anchors half configured, half random.
    qint64 sent = 0;
    qint64 peak = baseline;
    while (sent < 1000000) {
        const qint64 reportsBefore = b.normalReports;
        const qint64 end = clock.elapsed() + 1000;
        while (clock.elapsed() < end && sent < 1000000) {
            for (int i = 0; i < 2000; ++i, ++sent) {
                const QByteArray anchor = b.random.bounded(2) ? randomId(b.random)
                                                              : QByteArray(reinterpret_cast<const char *>(
                                                                               anchorId(b.random.bounded(8)).imei),
                                                                           6);
                b.push(record::make(quint8(b.random.bounded(256)), anchor, b.random.bounded(1000000), randomId(b.random),
                                    QByteArray()));
            }
            b.normalTick(clock, next);
            peak = qMax(peak, b.rssKiB());
        }
        std::printf("flood  t=%3llds rss=%6lld KiB normal reports/s=%lld sent=%lld\n", clock.elapsed() / 1000,
                    b.rssKiB(), b.normalReports - reportsBefore, sent);
    }
    runNormal(expiry + 35, "after");
    const qint64 after = b.rssKiB();
    std::printf("FLOOD baseline=%lld KiB peak(sampled)=%lld KiB VmHWM=%lld KiB after expiry=%lld KiB (+%lld KiB)\n",
                baseline, peak, b.rssKiB("VmHWM:"), after, after - baseline);

    // The soak: a population of tags at 10 Hz, 100 identifiers a second replaced.
    const int population = qMax(1, soakRate / (8 * kNormalHz));
    QVector<QByteArray> ids;
    QVector<int> seqs(population, 0);
    for (int i = 0; i < population; ++i)
        ids.append(randomId(b.random));
    QVector<qint64> samples;
    const qint64 soakStart = clock.elapsed();
    qint64 nextSoak = soakStart;
    int replaced = 0;
    while (clock.elapsed() - soakStart < qint64(soakSeconds) * 1000) {
        const qint64 reportsBefore = b.normalReports;
        const qint64 end = clock.elapsed() + 1000;
        for (int r = 0; r < 100; ++r, ++replaced)
            ids[replaced % population] = randomId(b.random), seqs[replaced % population] = 0;
        while (clock.elapsed() < end) {
            while (clock.elapsed() >= nextSoak) {
                for (int i = 0; i < population; ++i)
                    b.transmit(ids[i], seqs[i]);
                nextSoak += 1000 / kNormalHz;
            }
            b.normalTick(clock, next);
            QThread::msleep(2);
        }
        const qint64 t = (clock.elapsed() - soakStart) / 1000;
        samples.append(b.rssKiB());
        if (t % 10 == 0)
            std::printf("soak   t=%3llds rss=%6lld KiB normal reports/s=%lld\n", t, samples.last(),
                        b.normalReports - reportsBefore);
        std::fflush(stdout);
    }
    qint64 lo = LLONG_MAX, hi = 0;
    for (int i = expiry + 5; i < samples.size(); ++i)
        lo = qMin(lo, samples[i]), hi = qMax(hi, samples[i]);
    std::printf("SOAK %d records/s, %d tags, 100 replaced/s, %d s: rss after first expiry period %lld..%lld KiB "
                "(spread %.1f%%)\n",
                population * 8 * kNormalHz, population, soakSeconds, lo, hi, lo > 0 ? 100.0 * (hi - lo) / lo : 0.0);
    b.program.terminate();
    b.program.waitForFinished(5000);
    return 0;
}
