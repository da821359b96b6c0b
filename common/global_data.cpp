#include "common/global_data.h"

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
int fifoLimitRecords = kFifoDefaultLimit; // guarded by g_udp_receive_fifo_lock
} // namespace

int fifoAppend(const QByteArray *records, int count)
{
    int dropped = 0;
    bool wake = false;
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
        wake = g_udp_receive_fifo_consumer_idle;
        g_udp_receive_fifo_consumer_idle = false;
    }
    if (wake)
        g_udp_receive_fifo_ready.notify_one();
    return dropped;
}

void fifoSetLimit(int records)
{
    std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
    fifoLimitRecords = records > 0 ? qMin(records, kFifoMaximumLimit) : kFifoDefaultLimit;
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
}

int fifoSize()
{
    std::shared_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
    return g_udp_receive_fifo.size();
}
