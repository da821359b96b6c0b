// Memory and filing rate of the tag store, whatever the order of the records.
//
// orders: 1000 tags heard by 8 anchors, delay window 2 (the sample site's),
//   300 transmissions each (more than one cycle of sequence numbers), filed
//   through the store's per-record entry in one of several orders. Each order
//   runs in a child process of its own, so each starts from the same heap;
//   prints per tag the growth of resident memory and of the heap in use, the
//   records still held and the records given up. Target: at most 8 KiB per
//   tag in every order.
// site: 10,000 tags heard by 8 anchors at 10 Hz through the real per-record
//   pipeline (registration, store, solver, smoothing as the sample site has
//   it), in simulated time: the store's clock advances 100 ms per round of
//   transmissions, while the records are filed as fast as the machine goes.
//   800,000 records/s is above what this machine's program takes in real time
//   (see README), and nothing of the store or the solver depends on the wall
//   clock between two records. Prints the peak resident memory of the process
//   (VmHWM), which includes one round of records made in advance (80,000, some
//   8 MiB, where the program would hold its FIFO). Target: at most 96 MiB.
//
// Usage: bench_store [site seconds = 30] [tags per order = 1000]
#include "bench/bench_hall.h"
#include "common/logwriter.h"
#include "engine/algorithm_thread.h"
#include "ingest/anchor_record.h"
#include "store/tags.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kAnchors = kHallAnchors;
constexpr int kTransmissions = 300;
constexpr qint64 kPeriodMs = 100; // 10 Hz

qint64 g_simMs = 0;
qint64 simClock() { return g_simMs; }

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

qint64 heapInUseBytes() { return qint64(mallinfo2().uordblks); }

// CPU time of this thread: on a shared machine the wall clock also counts the
// time other processes had the core.
qint64 threadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

QByteArray anchorBytes(int a) { return QByteArray(reinterpret_cast<const char *>(anchorId(size_t(a)).imei), 6); }

QByteArray tagBytes(int tag)
{
    const char id[6] = {char(0xB0), 0, 0, char(tag >> 16), char(tag >> 8), char(tag)};
    return QByteArray(id, 6);
}

// The records of one transmission of a tag standing at (x, y), anchors in a
// shuffled order as a network delivers them.
void transmission(QVector<QByteArray> &out, const QByteArray &tag, int sequence, double x, double y,
                  QRandomGenerator &random)
{
    int order[kAnchors];
    for (int a = 0; a < kAnchors; ++a)
        order[a] = a;
    std::shuffle(order, order + kAnchors, random);
    for (int a : order) {
        const AnchorXYZ &at = kHall[size_t(a)];
        const double d = std::hypot(std::hypot(at.x - x, at.y - y), at.z - 1.2);
        out.append(record::make(quint8(sequence), anchorBytes(a), 1000000 + quint64(std::llround(d / 0.00468)), tag,
                                QByteArray()));
    }
}

// The sequence number of a tag's transmission t in the given order; -1: lost.
int sequenceIn(const char *order, int t, QRandomGenerator &random)
{
    const QByteArray name(order);
    if (name == "descending")
        return 255 - t % 256;
    if (name == "random" || name == "random, twice")
        return int(random.bounded(256));
    if (name == "ascending, 1 in 7 lost" && t % 7 == 3)
        return -1;
    return t % 256;
}

void runOrder(const char *order, int tagCount)
{
    Tags::setArrivalClock(simClock);
    QRandomGenerator random(2024);
    QVector<QByteArray> batch;
    // Before the first figure: one round of records made and freed, and the
    // logger with its time formatting set up, as the program has them from
    // its start. The growth is then the store's.
    for (int tag = 0; tag < tagCount; ++tag)
        transmission(batch, tagBytes(tag), 0, 0, 0, random);
    batch.clear();
    LogWriter::getLogCenter()->infoOutput("order %s", order);
    const qint64 rssBefore = statusKiB("VmRSS:");
    const qint64 heapBefore = heapInUseBytes();
    Tags tags(2);
    tags.anchorTotal = kAnchors;
    const int copies = QByteArray(order).endsWith("twice") ? 2 : 1;

    qint64 filed = 0, released = 0, cpuNs = 0;
    for (int t = 0; t < kTransmissions; ++t) {
        batch.clear();
        for (int tag = 0; tag < tagCount; ++tag) {
            const int sequence = sequenceIn(order, t, random);
            if (sequence >= 0)
                transmission(batch, tagBytes(tag), sequence, 5 + tag % 20, 5 + tag % 10, random);
        }
        const qint64 start = threadCpuNs();
        for (const QByteArray &r : qAsConst(batch)) {
            for (int c = 0; c < copies; ++c)
                released += tags.tagsFileRecord(r).anchorList.isEmpty() ? 0 : 1;
        }
        cpuNs += threadCpuNs() - start;
        filed += qint64(batch.size()) * copies;
        g_simMs += kPeriodMs;
    }
    batch = QVector<QByteArray>();
    const qint64 rssAfter = statusKiB("VmRSS:");
    const qint64 heapAfter = heapInUseBytes();
    qint64 held = 0;
    for (const TagMessage &tag : qAsConst(tags.tagMessages))
        held += tag.seqArrivals.storedCount();
    std::printf("%-24s %8.2f %9.2f %7.1f %9lld %9lld %9lld %8.0f\n", order,
                double(rssAfter - rssBefore) / tagCount, double(heapAfter - heapBefore) / 1024.0 / tagCount,
                double(held) / tagCount, static_cast<long long>(released),
                static_cast<long long>(tags.droppedPendingEvicted), static_cast<long long>(tags.droppedBehindWindow),
                double(cpuNs) / double(filed));
}

void runSite(int seconds)
{
    constexpr int kTags = 10000;
    int argc = 1;
    char name[] = "bench_store";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    // The sample site's smoothing.
    useLayoutConfig(dir.path(), kHall, 1.2,
                    QStringLiteral("s_enable=true\ns_length=5\ns_start_half_length=3\ns_redundant=2\nactive_time=10\n"));
    g_tags_object.delayWindow = 2;
    Tags::setArrivalClock(simClock);
    const qint64 rssStart = statusKiB("VmRSS:");
    AlgorithmThread thread;
    std::atomic<qint64> positions{0};
    QObject::connect(
        &thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal, &thread,
        [&positions](TAG_IMEI_t, double, double, double, QByteArray) { ++positions; }, Qt::DirectConnection);

    QRandomGenerator random(99);
    QVector<int> tagOrder(kTags);
    for (int i = 0; i < kTags; ++i)
        tagOrder[i] = i;
    QVector<QByteArray> round;
    qint64 records = 0, cpuNs = 0;
    const int rounds = seconds * 1000 / int(kPeriodMs);
    for (int t = 0; t < rounds; ++t) {
        // Tags transmit in a different order each round, as their clocks drift.
        std::shuffle(tagOrder.begin(), tagOrder.end(), random);
        round.clear();
        for (int tag : qAsConst(tagOrder))
            transmission(round, tagBytes(tag), t % 256, 2 + (tag * 7) % 26, 2 + (tag * 13) % 16, random);
        const qint64 start = threadCpuNs();
        for (int i = 0; i < round.size(); ++i) {
            g_simMs = qint64(t) * kPeriodMs + qint64(i) * kPeriodMs / round.size();
            thread.pollFifoData(round.at(i));
        }
        cpuNs += threadCpuNs() - start;
        records += round.size();
        if ((t + 1) % (5000 / int(kPeriodMs)) == 0)
            std::printf("  simulated %3lld s: rss %lld KiB, positions %lld\n", (t + 1) * kPeriodMs / 1000,
                        statusKiB("VmRSS:"), static_cast<long long>(positions.load()));
    }
    round = QVector<QByteArray>();
    // A tag's first transmission registers it, its second is the first
    // counted, and each later one releases the one two numbers before it.
    std::printf("site: %d tags x %d anchors at 10 Hz, %d simulated s, %lld records (%.2f us CPU each), "
                "%lld positions of %lld sets due\n",
                kTags, kAnchors, seconds, static_cast<long long>(records), double(cpuNs) / 1000.0 / double(records),
                static_cast<long long>(positions.load()), static_cast<long long>(kTags) * qMax(0, rounds - 3));
    std::printf("site: resident memory %lld KiB at start, %lld KiB at the end, peak (VmHWM) %lld KiB = %.1f MiB "
                "(target 96 MiB)\n",
                rssStart, statusKiB("VmRSS:"), statusKiB("VmHWM:"), double(statusKiB("VmHWM:")) / 1024.0);
}

// Runs `work` in a child process and waits for it.
template <typename Work> void inChild(Work work)
{
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        work();
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::printf("child failed (status %d)\n", status);
}

} // namespace

int main(int argc, char **argv)
{
    const int siteSeconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const int tagCount = argc > 2 ? std::atoi(argv[2]) : 1000;

    std::printf("orders: %d tags x %d anchors, delay window 2, %d transmissions each, record size %d bytes\n",
                tagCount, kAnchors, kTransmissions, record::kSize);
    std::printf("%-24s %8s %9s %7s %9s %9s %9s %8s\n", "order", "rss KiB", "heap KiB", "held", "sets",
                "evicted", "behind", "ns/rec");
    std::printf("%-24s %8s %9s %7s %9s %9s %9s %8s\n", "", "per tag", "per tag", "per tag", "", "records",
                "records", "CPU");
    for (const char *order :
         {"ascending", "ascending, 1 in 7 lost", "descending", "random", "random, twice"})
        inChild([order, tagCount] { runOrder(order, tagCount); });
    if (siteSeconds > 0)
        inChild([siteSeconds] { runSite(siteSeconds); });
    return 0;
}
