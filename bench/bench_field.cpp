// Memory of the engine under identifier floods: the real algorithm thread fed
// through the receive FIFO, as the anchor receiver feeds it. The feeder keeps
// at most kFifoBound records queued (the receiver's bound), so what grows is
// the engine's state, not a backlog.
//
//   flood: normal traffic (20 tags at 10 Hz heard by 8 anchors), then one
//          million records from random tag and anchor identifiers mixed into
//          it, then normal traffic for the expiry time and 10 s more. Prints
//          resident memory before, at the peak and after expiry, and the
//          positions of the normal tags per second throughout.
//   soak:  `rate` records/s from a population of tags of which 100 a second
//          are replaced by new identifiers, for `seconds`; prints resident
//          memory every 10 s and its spread after the first expiry period.
//
// Usage: bench_field [expiry s = 20] [soak s = 120] [soak rate = 80000]

#include "bench/bench_hall.h"
#include "engine/algorithm_thread.h"
#include "ingest/anchor_record.h"
#include "store/tags.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kNormalTags = 20;
constexpr int kHz = 10;
constexpr int kFifoBound = 20000;
constexpr qint64 kFloodRecords = 1000000;

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    return -1;
}

QByteArray anchorBytes(size_t a) { return QByteArray(reinterpret_cast<const char *>(anchorId(a).imei), 6); }

QByteArray randomId(QRandomGenerator &r)
{
    QByteArray id(6, '\0');
    for (char &c : id)
        c = char(r.bounded(256));
    return id;
}

struct Feeder {
    QVector<QByteArray> batch;
    qint64 fed = 0;
    void push(QByteArray record)
    {
        batch.append(std::move(record));
        if (batch.size() >= 64)
            flush();
    }
    void flush()
    {
        while (fifoSize() > kFifoBound)
            QThread::usleep(200);
        fifoAppend(batch.constData(), batch.size());
        fed += batch.size();
        batch.clear();
    }
    // One transmission of a tag standing in the hall.
    void transmit(const QByteArray &tag, int &sequence)
    {
        const quint8 s = quint8(sequence++);
        for (size_t a = 0; a < kHall.size(); ++a) {
            const double d = std::hypot(std::hypot(kHall[a].x - 12, kHall[a].y - 8), kHall[a].z - 1.2);
            push(record::make(s, anchorBytes(a), 1000000 + quint64(std::llround(d / 0.00468)), tag, QByteArray()));
        }
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int expiry = argc > 1 ? atoi(argv[1]) : 20;
    const int soakSeconds = argc > 2 ? atoi(argv[2]) : 120;
    const int soakRate = argc > 3 ? atoi(argv[3]) : 80000;

    QTemporaryDir dir;
    useHallConfig(dir.path(), 1.2);
    QFile ini(dir.path() + QStringLiteral("/config.ini"));
    ini.open(QIODevice::Append);
    ini.write(QStringLiteral("[algorithm_config]\ns_enable=false\ntag_expiry_time=%1\n").arg(expiry).toUtf8());
    ini.close();
    g_tags_object.delayWindow = 2;

    AlgorithmThread thread;
    std::atomic<qint64> normalPositions{0}, positions{0};
    QObject::connect(
        &thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal, &thread,
        [&](TAG_IMEI_t tag, double, double, double, QByteArray) {
            ++positions;
            if (tag.imei[0] == 0xAA)
                ++normalPositions;
        },
        Qt::DirectConnection);
    thread.start();

    QRandomGenerator random(12345);
    Feeder feeder;
    QVector<int> normalSeq(kNormalTags, 0);
    QElapsedTimer clock;
    clock.start();
    qint64 nextNormal = 0;
    const auto normalTraffic = [&] {
        while (clock.elapsed() >= nextNormal) {
            for (int t = 0; t < kNormalTags; ++t)
                feeder.transmit(QByteArray::fromHex("AA00000000") + char(t), normalSeq[t]);
            nextNormal += 1000 / kHz;
        }
        feeder.flush();
    };
    qint64 lastPositions = 0;
    const auto line = [&](const char *phase) {
        std::printf("%-6s t=%4.1fs rss=%7lld KiB tags=%5d fifo=%5d normal positions=%lld dropped(anchor=%llu "
                    "tag_limit=%llu)\n",
                    phase, clock.elapsed() / 1000.0, statusKiB("VmRSS:"), g_tags_object.tagNum, fifoSize(),
                    normalPositions - lastPositions, thread.droppedUnconfiguredAnchor, g_tags_object.droppedTagLimit);
        lastPositions = normalPositions;
        std::fflush(stdout);
    };
    const auto runNormal = [&](int seconds, const char *phase) {
        for (int s = 0; s < seconds; ++s) {
            const qint64 end = clock.elapsed() + 1000;
            while (clock.elapsed() < end) {
                normalTraffic();
                QThread::msleep(5);
            }
            line(phase);
        }
    };

    runNormal(5, "normal");
    const qint64 baseline = statusKiB("VmRSS:");
    qint64 sent = 0;
    while (sent < kFloodRecords) {
        const qint64 end = clock.elapsed() + 1000;
        while (clock.elapsed() < end && sent < kFloodRecords) {
            for (int i = 0; i < 1000; ++i, ++sent) {
                const QByteArray anchor = random.bounded(2) ? randomId(random) : anchorBytes(random.bounded(8));
                feeder.push(record::make(quint8(random.bounded(256)), anchor, random.bounded(1000000), randomId(random),
                                         QByteArray()));
            }
            normalTraffic();
        }
        line("flood");
    }
    const qint64 peak = statusKiB("VmHWM:");
    runNormal(expiry + 10, "after");
    const qint64 after = statusKiB("VmRSS:");
    std::printf("FLOOD baseline=%lld KiB peak(VmHWM)=%lld KiB after expiry=%lld KiB (%+lld KiB over baseline)\n\n",
                baseline, peak, after, after - baseline);

    const int population = qMax(1, soakRate / (int(kHall.size()) * kHz));
    QVector<QByteArray> ids;
    QVector<int> seqs(population, 0);
    for (int i = 0; i < population; ++i)
        ids.append(randomId(random));
    QVector<qint64> samples;
    const qint64 soakStart = clock.elapsed();
    const qint64 fedBefore = feeder.fed;
    qint64 nextSoak = soakStart;
    int replaced = 0;
    for (int s = 1; s <= soakSeconds; ++s) {
        for (int r = 0; r < 100; ++r, ++replaced) {
            ids[replaced % population] = randomId(random);
            seqs[replaced % population] = 0;
        }
        const qint64 end = soakStart + qint64(s) * 1000;
        while (clock.elapsed() < end) {
            while (clock.elapsed() >= nextSoak && clock.elapsed() < end) {
                for (int i = 0; i < population; ++i)
                    feeder.transmit(ids[i], seqs[i]);
                nextSoak += 1000 / kHz;
            }
            normalTraffic();
            QThread::msleep(1);
        }
        samples.append(statusKiB("VmRSS:"));
        if (s % 10 == 0)
            line("soak");
    }
    // Per-second samples after the first expiry period (and 5 s for the
    // passes to catch up): min..max, and the 5th..95th percentile.
    QVector<qint64> settled = samples.mid(qMin(expiry + 5, samples.size()));
    std::sort(settled.begin(), settled.end());
    const auto at = [&settled](double q) { return settled.isEmpty() ? 0 : settled[int(q * (settled.size() - 1))]; };
    const auto spread = [](qint64 lo, qint64 hi) { return lo > 0 ? 100.0 * (hi - lo) / lo : 0.0; };
    const double seconds = (clock.elapsed() - soakStart) / 1000.0;
    std::printf("SOAK offered %d records/s, achieved %.0f records/s, %d tags, 100 replaced/s, %d s: rss after the "
                "first expiry period %lld..%lld KiB (spread %.1f%%), p5..p95 %lld..%lld KiB (spread %.1f%%)\n",
                population * int(kHall.size()) * kHz, (feeder.fed - fedBefore) / seconds, population, soakSeconds,
                at(0), at(1), spread(at(0), at(1)), at(0.05), at(0.95), spread(at(0.05), at(0.95)));
    thread.algoThreadStop();
    thread.wait();
    return 0;
}
