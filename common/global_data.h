#ifndef GLOBAL_DATA_H
#define GLOBAL_DATA_H

#include "common/config_keys.h"

#include <QByteArray>
#include <QMetaType>
#include <QQueue>
#include <QSet>
#include <QVector>
#include <QtGlobal>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <shared_mutex>

// Records passed along the positioning path, and the process-wide objects
// through which the threads meet.

struct TAG_IMEI_t {
    quint8 imei[6];
};

struct ANCHOR_IMEI_t {
    quint8 imei[6];
};

struct TAG_XYZ_t {
    double x;
    double y;
    double z;
};

struct AnchorXYZ {
    double x;
    double y;
    double z;
};

// Identifiers order bytewise as unsigned values, byte 0 most significant.
// Compared as one 48-bit number: the maps of the solver look them up for
// every record, and a call of memcmp for six bytes cost more than the rest
// of a lookup.
inline quint64 idOrderKey(const quint8 *id)
{
    return quint64(id[0]) << 40 | quint64(id[1]) << 32 | quint64(id[2]) << 24 | quint64(id[3]) << 16
           | quint64(id[4]) << 8 | quint64(id[5]);
}
inline bool operator<(const TAG_IMEI_t &a, const TAG_IMEI_t &b) { return idOrderKey(a.imei) < idOrderKey(b.imei); }
inline bool operator==(const TAG_IMEI_t &a, const TAG_IMEI_t &b) { return idOrderKey(a.imei) == idOrderKey(b.imei); }
inline bool operator<(const ANCHOR_IMEI_t &a, const ANCHOR_IMEI_t &b)
{
    return idOrderKey(a.imei) < idOrderKey(b.imei);
}
inline bool operator==(const ANCHOR_IMEI_t &a, const ANCHOR_IMEI_t &b)
{
    return idOrderKey(a.imei) == idOrderKey(b.imei);
}

// Plain bytes: QList keeps them in place instead of one heap block each
// (the solver input holds a list of anchors per transmission).
Q_DECLARE_TYPEINFO(TAG_IMEI_t, Q_PRIMITIVE_TYPE);
Q_DECLARE_TYPEINFO(ANCHOR_IMEI_t, Q_PRIMITIVE_TYPE);
Q_DECLARE_TYPEINFO(TAG_XYZ_t, Q_PRIMITIVE_TYPE);
Q_DECLARE_TYPEINFO(AnchorXYZ, Q_PRIMITIVE_TYPE);

Q_DECLARE_METATYPE(TAG_IMEI_t)

// The locks are the standard library's rather than Qt's: Qt 5's QMutex and
// QReadWriteLock synchronise inside the uninstrumented Qt library, which hides
// their ordering from ThreadSanitizer and buries real races under false ones.
//
// Lock order: g_timer_thread_mutex first; g_timer_10s_mutex and
// g_timer_1s_mutex only under it and never together; the FIFO lock never
// together with another lock, except the read side for the supervision
// cycle's queue length.

// Raw anchor measurement records, one record per item, oldest first.
extern QQueue<QByteArray> g_udp_receive_fifo;
extern std::shared_mutex g_udp_receive_fifo_lock;
// Signalled after records are appended, so the consumer sleeps instead of
// polling. Waited on with g_udp_receive_fifo_lock held.
extern std::condition_variable_any g_udp_receive_fifo_ready;
// True while the consumer waits on an empty FIFO, guarded by
// g_udp_receive_fifo_lock. Appends signal only then: a busy consumer looks at
// the FIFO by itself, and a signal it does not wait for costs a system call.
extern bool g_udp_receive_fifo_consumer_idle;

// 6-byte identifiers of anchors and tags seen since the sets were last emptied.
extern QSet<QByteArray> g_anchor_online_lists;
extern QSet<QByteArray> g_tag_online_lists;

extern std::mutex g_timer_1s_mutex;     // smoothing state of the solver
extern std::mutex g_timer_10s_mutex;    // contents of the tag store
extern std::mutex g_timer_thread_mutex; // online sets; one record vs. one supervision cycle

class Tags;
extern Tags g_tags_object;

// Anchors with coordinates at most. Each costs a config.ini line, a column of
// every tag's arrival table and some 50 bytes of the anchor list reply, which
// must fit one datagram; a larger site is several areas, each its own program.
constexpr int kAnchorLimit = 1000;

// Records the FIFO holds at most unless config.ini says otherwise: a quarter
// of a second of traffic at the highest lossless rate on a small machine (see
// README), some 10 MiB of memory.
constexpr int kFifoDefaultLimit = configkeys::kFifoDefaultLimit;
// The most anchor_fifo_limit may ask for: some 100 MiB and 2.5 s of traffic
// at that rate. A longer queue only makes every position older under
// overload, and 2000000000 would switch the overload protection off.
constexpr int kFifoMaximumLimit = configkeys::kFifoMaximumLimit;

// Appends records to the FIFO under one hold of the write lock and wakes the
// consumer once. All pieces of one datagram, or of one receive batch, go
// through one call. Beyond the limit the oldest records make room: under
// overload a fresh position is worth more than a stale one. Returns how many
// records were dropped.
int fifoAppend(const QByteArray *records, int count);
// Moves up to `most` of the oldest records to the end of records, and the
// steady-clock time each was queued (ns, 0 when unknown) to arrivalsNs[0..],
// which has room for `most`. Returns how many. The caller holds
// g_udp_receive_fifo_lock for writing.
int fifoTakeLocked(QVector<QByteArray> &records, qint64 *arrivalsNs, int most);
// Removes the records queued before cutoffNs (steady clock), oldest first,
// and counts them; returns how many. The caller holds g_udp_receive_fifo_lock
// for writing.
int fifoDropOlderLocked(qint64 cutoffNs);
void fifoClear();
int fifoSize();
// A limit below 1 restores the default; one above kFifoMaximumLimit is
// lowered to it.
void fifoSetLimit(int records);
int fifoLimit();
// The steady clock of the FIFO (ns): arrival marks, the age limit of the
// consumer. Replaceable so that a replay runs on the capture's time; nullptr
// restores metrics::steadyNowNs.
using FifoClock = qint64 (*)();
void fifoSetClock(FifoClock clock);
qint64 fifoNowNs();

#endif // GLOBAL_DATA_H
