#ifndef METRICS_H
#define METRICS_H

#include <QtGlobal>

// Counters an operator reads from outside (the metrics endpoint). Each is
// bumped where its event happens with a relaxed atomic add on a cache line of
// its own, so counting costs a few nanoseconds and never waits for a reader;
// a reader sums nothing and takes no lock.
//
// One value per reason a record, datagram or transmission is given up, so a
// site can tell which gate fires. Add a reason here and its exposed name in
// metrics.cpp; nothing else needs to change.
namespace metrics {

enum class Counter : int {
    RecordsReceived,           // records queued from anchor datagrams
    DatagramsMalformed,        // anchor datagrams that fail the framing test
    DroppedFifoLimit,          // records pushed out of the full FIFO
    DroppedUnconfiguredAnchor, // records of anchors without coordinates
    DroppedTagLimit,           // records of new tags while tag_limit tags are stored
    DroppedArrivalSpread,      // records of a set whose arrivals lie too far apart
    DroppedPendingEvicted,     // records of a transmission evicted: every row of its tag taken
    DroppedBehindWindow,       // records of a transmission the delay window passed unexamined
    TransmissionsSolved,
    FailedDivergence,
    FailedOutsideRegion,
    FailedTooFewAnchors,
    ReportsSent,
    ReportsNotSent,            // position reports the socket refused or could not address
    RequestsFromOwnSocket,     // datagrams at the request port sent by our own reply socket
    RequestsReplyDocument,     // replies, heartbeats or reports at the request port
    Count
};

void add(Counter counter, quint64 n = 1) noexcept;
quint64 value(Counter counter) noexcept;

// The exposed family name and label text of a counter, e.g.
// "solver_records_dropped_total" and "reason=\"fifo_limit\"" (empty: none).
const char *familyName(Counter counter) noexcept;
const char *labelText(Counter counter) noexcept;

} // namespace metrics

#endif // METRICS_H
