// Filing rate and memory of the tag store.
//
// 1000 tags, each transmission heard by 8 anchors, delay window 1, so every
// transmission's set is released when the tag's next one begins. Records are
// filed with the calls and in the order of the per-record processing (find
// the tag, find the anchor, file), each record a separate array as the
// receiver queues it. Only the filing is timed, not making the records.
//
// Usage: bench_store [tags] [transmissions]
#include "common/global_data.h"
#include "ingest/anchor_record.h"
#include "store/tags.h"
#include "tests/store/test_records.h" // files records the way the pipeline does

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QVector>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr int kAnchors = 8;

// CPU time of this thread: on a shared machine the wall clock also counts the
// time other processes had the core.
qint64 threadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

long vmRssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

void putId(QByteArray &r, int offset, quint32 value)
{
    for (int i = 0; i < record::kIdSize; ++i)
        r[offset + i] = char(quint8(value >> (8 * (i % 4))) + i);
}

QByteArray makeRecord(int sequence, int anchor, int tag, quint64 time)
{
    QByteArray r(record::kSize, 't');
    r[record::kFrameMark] = 'D';
    r[record::kFrameType] = 'W';
    r[record::kSequence] = char(quint8(sequence));
    putId(r, record::kAnchorId, 0xA0000000u + quint32(anchor));
    for (int i = 0; i < record::kReceptionTimeSize; ++i)
        r[record::kReceptionTime + i] = char(quint8(time >> (8 * i)));
    putId(r, record::kTagId, 0x10000000u + quint32(tag));
    r[record::kSize - 2] = '\r';
    r[record::kSize - 1] = '\n';
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    const int tagCount = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int transmissions = argc > 2 ? std::atoi(argv[2]) : 300;

    const long rssBefore = vmRssKiB();
    Tags tags(1);
    tags.anchorTotal = kAnchors;

    QVector<QByteArray> batch;
    qint64 filingNs = 0;
    qint64 filingCpuNs = 0;
    qint64 filed = 0;
    qint64 released = 0;
    for (int t = 0; t < transmissions; ++t) {
        batch.clear();
        for (int tag = 0; tag < tagCount; ++tag) {
            for (int anchor = 0; anchor < kAnchors; ++anchor)
                batch.append(makeRecord(t & 0xFF, anchor, tag, quint64(t) * 1000 + quint64(anchor)));
        }
        QElapsedTimer timer;
        timer.start();
        const qint64 cpuStart = threadCpuNs();
        for (const QByteArray &r : qAsConst(batch))
            released += fileLikePipeline(tags, r) && tags.dataReady ? 1 : 0;
        filingCpuNs += threadCpuNs() - cpuStart;
        filingNs += timer.nsecsElapsed();
        filed += batch.size();
    }
    batch.clear();
    const long rssAfter = vmRssKiB();

    // Each transmission after the first two releases one set per tag (the
    // first registers the anchors, the second only fills).
    const double seconds = double(filingNs) / 1e9;
    std::printf("record size           %d bytes\n", record::kSize);
    std::printf("tags x anchors        %d x %d, %d transmissions each\n", tagCount, kAnchors, transmissions);
    std::printf("records filed         %lld in %.3f s\n", static_cast<long long>(filed), seconds);
    std::printf("filing rate, wall     %.2f M records/s (%.0f ns/record)\n", double(filed) / seconds / 1e6,
                double(filingNs) / double(filed));
    std::printf("filing rate, CPU      %.2f M records/s (%.0f ns/record)\n",
                double(filed) / (double(filingCpuNs) / 1e9) / 1e6, double(filingCpuNs) / double(filed));
    std::printf("sets released         %lld (expected %lld)\n", static_cast<long long>(released),
                static_cast<long long>(qMax(0, transmissions - 2)) * tagCount);
    std::printf("resident memory       %ld KiB before, %ld KiB after, store %.1f MiB\n", rssBefore, rssAfter,
                double(rssAfter - rssBefore) / 1024.0);
    qint64 stored = 0;
    for (const TagMessage &tag : tags.tagMessages) {
        for (const AnchorMessage &anchor : tag.anchorMessages)
            stored += anchor.storedCount();
    }
    std::printf("records still held    %lld (transmissions pending, plus each pair's registering record)\n",
                static_cast<long long>(stored));
    return 0;
}
