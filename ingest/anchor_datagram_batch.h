#ifndef ANCHOR_DATAGRAM_BATCH_H
#define ANCHOR_DATAGRAM_BATCH_H

#include "common/logwriter.h"

#include <QByteArray>
#include <QVector>

// The records of one receive batch of anchor datagrams. Each datagram is
// classified and logged as it is added and its records are collected in
// arrival order; flush() hands them all to the FIFO under one hold of its
// lock with one wake-up of the consumer.
//
// Every log line here can be provoked by any host on the anchor network at
// any rate, so each kind is rate-limited: a burst per second is logged, the
// rest is counted in one summary line per second.
class AnchorDatagramBatch
{
public:
    enum class Kind { MeasurementData, AnchorHeartbeat, Malformed };

    // Bad datagrams (malformed, shorter than 3 bytes, not whole records)
    // logged, and malformed ones dumped to the lost-packet file, per second.
    static constexpr int kBadDatagramLinesPerSecond = 20;
    // A site has a few dozen anchors, each beating about once a second.
    static constexpr int kHeartbeatLinesPerSecond = 200;

    AnchorDatagramBatch() = default;
    Q_DISABLE_COPY(AnchorDatagramBatch)

    static Kind kind(const char *data, int size);
    void add(const char *data, int size);
    int pendingRecords() const { return records.size(); }
    // Queues the collected records, then writes the summary lines that are due.
    void flush();

private:
    QVector<QByteArray> records;
    LogRateLimit badLines{kBadDatagramLinesPerSecond};
    LogRateLimit heartbeatLines{kHeartbeatLinesPerSecond};
    LogRateLimit droppedLines{0}; // only the once-a-second count of drops
};

#endif // ANCHOR_DATAGRAM_BATCH_H
