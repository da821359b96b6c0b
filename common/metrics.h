#ifndef METRICS_H
#define METRICS_H

#include <QVector>
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
    TransmissionsSolved,
    FailedDivergence,
    FailedOutsideRegion,
    FailedTooFewAnchors,
    ReportsSent,
    FixesGated,    // fixes the tracking filter's innovation gate kept out of a track
    TrackRestarts, // tracks restarted at a fix after a run of gated fixes
    Count
};

void add(Counter counter, quint64 n = 1) noexcept;
quint64 value(Counter counter) noexcept;

// The exposed family name and label text of a counter, e.g.
// "solver_records_dropped_total" and "reason=\"fifo_limit\"" (empty: none).
const char *familyName(Counter counter) noexcept;
const char *labelText(Counter counter) noexcept;

// Positions each anchor was left out of by the NLOS rejection since the
// start, exposed as "solver_anchor_left_out_total" with label anchor="<12 hex
// digits>". Counting finds the anchor's slot without a lock (a new anchor
// takes a writers' lock once); readers never lock. Anchors beyond
// kAnchorSlots are not counted.
constexpr int kAnchorSlots = 1024;
void addAnchorLeftOut(const quint8 (&anchor)[6]) noexcept;
struct AnchorTotal {
    quint8 anchor[6];
    quint64 count;
};
QVector<AnchorTotal> anchorLeftOutTotals();

} // namespace metrics

#endif // METRICS_H
