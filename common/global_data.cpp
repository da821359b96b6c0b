#include "common/global_data.h"

#include "common/config_keys.h"
#include "common/metrics.h"
#include "store/tags.h" // the one place common/ reaches up: the global tag store

// Definition order is construction order within this file; the tag store
// reads its setting during this static initialisation, before main.
QQueue<QByteArray> g_udp_receive_fifo;
std::shared_mutex g_udp_receive_fifo_lock;
std::condition_variable_any g_udp_receive_fifo_ready;
bool g_udp_receive_fifo_consumer_idle = false;
QSet<QByteArray> g_anchor_online_lists;
QSet<QByteArray> g_tag_online_lists;
Tags g_tags_object;
std::mutex g_timer_1s_mutex;
std::mutex g_timer_10s_mutex;
std::mutex g_timer_thread_mutex;

namespace {
// Guarded by g_udp_receive_fifo_lock, like everything in this namespace.
int fifoLimitRecords = kFifoDefaultLimit;

// When the queued records arrived, for the report latency: one mark per
// append, which all of its records share. Records are numbered in the order
// they were ever queued; a mark covers the numbers below its end that the
// mark before it does not. Marks are at most as many as queued records.
struct ArrivalMark {
    quint64 end;
    qint64 ns;
};
QQueue<ArrivalMark> arrivalMarks;
quint64 fifoAppended = 0; // records ever queued
quint64 fifoRemoved = 0;  // records ever taken, dropped or cleared

FifoClock fifoClock = metrics::steadyNowNs;

void fifoPublishLength() { metrics::set(metrics::Gauge::FifoRecords, g_udp_receive_fifo.size()); }

// The mark of the oldest queued record, after the marks of records no longer
// queued are dropped; null when none. Items removed behind these functions'
// back (tests do) only cost the marks their precision.
const ArrivalMark *headMark()
{
    fifoRemoved = fifoAppended - qMin<quint64>(fifoAppended, quint64(g_udp_receive_fifo.size()));
    while (!arrivalMarks.isEmpty() && arrivalMarks.constFirst().end <= fifoRemoved)
        arrivalMarks.dequeue();
    return arrivalMarks.isEmpty() ? nullptr : &arrivalMarks.constFirst();
}
} // namespace

int fifoAppend(const QByteArray *records, int count)
{
    int dropped = 0;
    bool wake = false;
    metrics::add(metrics::Counter::RecordsReceived, quint64(count));
    const qint64 arrivedNs = fifoClock();
    {
        std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
        const int limit = fifoLimitRecords;
        if (count >= limit) {
            // Only the newest `limit` of this batch can stay.
            dropped = g_udp_receive_fifo.size() + count - limit;
            g_udp_receive_fifo.clear();
            records += count - limit;
            count = limit;
        }
        for (int i = 0; i < count; ++i)
            g_udp_receive_fifo.enqueue(records[i]);
        for (; g_udp_receive_fifo.size() > limit; ++dropped)
            g_udp_receive_fifo.removeFirst();
        fifoAppended += quint64(count);
        arrivalMarks.enqueue({fifoAppended, arrivedNs});
        headMark();
        fifoPublishLength();
        wake = g_udp_receive_fifo_consumer_idle;
        g_udp_receive_fifo_consumer_idle = false;
    }
    if (wake)
        g_udp_receive_fifo_ready.notify_one();
    if (dropped > 0)
        metrics::add(metrics::Counter::DroppedFifoLimit, quint64(dropped));
    return dropped;
}

int fifoTakeLocked(QVector<QByteArray> &records, qint64 *arrivalsNs, int most)
{
    const int n = qMin(most, g_udp_receive_fifo.size());
    for (int i = 0; i < n;) {
        // The records of one mark share its time.
        const ArrivalMark *mark = headMark();
        const qint64 ns = mark ? mark->ns : 0;
        const int run = mark ? int(qMin<quint64>(quint64(n - i), mark->end - fifoRemoved)) : n - i;
        for (const int end = i + run; i < end; ++i) {
            records.append(g_udp_receive_fifo.takeFirst());
            arrivalsNs[i] = ns;
        }
    }
    fifoPublishLength();
    return n;
}

int fifoDropOlderLocked(qint64 cutoffNs)
{
    int dropped = 0;
    // Marks are in arrival order: the old records are the oldest ones.
    for (const ArrivalMark *mark = headMark(); mark && mark->ns < cutoffNs; mark = headMark()) {
        const int run = int(mark->end - fifoRemoved);
        g_udp_receive_fifo.erase(g_udp_receive_fifo.begin(), g_udp_receive_fifo.begin() + run);
        dropped += run;
    }
    if (dropped > 0) {
        fifoPublishLength();
        metrics::add(metrics::Counter::DroppedTooOld, quint64(dropped));
    }
    return dropped;
}

void fifoSetLimit(int records)
{
    std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
    fifoLimitRecords = configkeys::anchorFifoLimit(records);
}

int fifoLimit()
{
    std::shared_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
    return fifoLimitRecords;
}

void fifoClear()
{
    std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
    g_udp_receive_fifo.clear();
    arrivalMarks.clear();
    fifoRemoved = fifoAppended;
    fifoPublishLength();
}

int fifoSize()
{
    std::shared_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
    return g_udp_receive_fifo.size();
}

void fifoSetClock(FifoClock clock) { fifoClock = clock ? clock : metrics::steadyNowNs; }

qint64 fifoNowNs() { return fifoClock(); }
