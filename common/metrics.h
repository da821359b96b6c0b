#ifndef METRICS_H
#define METRICS_H

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

// Counters an operator reads from outside (the metrics endpoint). Each is
// bumped where its event happens with a relaxed atomic add on a cache line of
// its own, so counting costs a few nanoseconds and never waits for a reader;
// a reader sums nothing and takes no lock.
//
// One value per reason a record, datagram or transmission is given up, so a
// site can tell which gate fires. Add a reason here and its exposed name in
// metrics.cpp; the endpoint groups counters by family name, wherever in this
// list they stand, and nothing else needs to change.
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
    DroppedTooOld,             // records older than anchor_max_age_ms when taken from the FIFO
    TransmissionsSolved,
    FailedDivergence,
    FailedOutsideRegion,
    FailedTooFewAnchors,
    ReportsSent,
    ReportsNotSent,            // position reports the socket refused or could not address
    RequestsFromOwnSocket,     // datagrams at the request port sent by our own reply socket
    RequestsReplyDocument,     // replies, heartbeats or reports at the request port
    DroppedSequenceReset, // records of a sequence number counted more often than anchors exist
    FailedClockSync,      // range differences beyond any site: anchor clocks not synchronised
    FailedSmoothing,      // solved, then refused by the smoothing filter as an outlier
    // Configuration requests by request and result; in the order of
    // ApiUdpSocketThread::RequestType, see configRequestCounter().
    ConfigUnknownInvalid,
    ConfigSetAnchorsOk,
    ConfigSetAnchorsInvalid,
    ConfigGetAnchorsOk,
    ConfigGetAnchorsInvalid,
    ConfigSetPanIdOk,
    ConfigSetPanIdInvalid,
    ConfigGetPanIdOk,
    ConfigGetPanIdInvalid,
    MqttPublished, // written to the broker (QoS 0) or acknowledged (QoS 1)
    MqttDropped,   // pushed out of the full queue, refused or lost with the connection
    FixesGated,    // fixes the tracking filter's innovation gate kept out of a track
    TrackRestarts, // tracks restarted at a fix after a run of gated fixes
    RequestsFromOtherSender, // datagrams at the request port from a sender not allowed to configure
    ConfigWritesRateLimited, // set requests refused: more than the configuration write rate
    ConfigWritesAnchorLimit, // anchor requests refused: the list would pass its bound
    Count
};

void add(Counter counter, quint64 n = 1) noexcept;
quint64 value(Counter counter) noexcept;

// The exposed family name and label text of a counter, e.g.
// "solver_records_dropped_total" and "reason=\"fifo_limit\"" (empty: none).
const char *familyName(Counter counter) noexcept;
const char *labelText(Counter counter) noexcept;

// requestType: 0 for a request not recognised, else 1..4 for SetAnchorsXYZ,
// GetAnchorsLists, SetPANID, GetPANID; ok: answered with what was asked.
Counter configRequestCounter(int requestType, bool ok) noexcept;

// Values read as they are at the moment of a scrape; each is stored by the
// one place that knows it, with a relaxed store.
enum class Gauge : int {
    FifoRecords,   // records waiting in the receive FIFO
    Tags,          // tags held in the store
    Anchors,       // anchors with coordinates, as the solver uses them
    MqttConnected, // 1 while connected to the broker
    Count
};

void set(Gauge gauge, qint64 value) noexcept;
qint64 value(Gauge gauge) noexcept;

// Per-anchor counters, labelled with the anchor's 12-digit id, added once per
// record by one thread at a time (the algorithm thread): an add is a plain
// load and store, so a second thread adding at the same moment could lose a
// count, never corrupt one. The first add of an anchor claims a slot with one
// compare-and-swap, the following ones find it in one or two probes. Beyond
// kAnchorSlotLimit anchors further ones are not counted (the ids come from
// configuration, so only a site far larger than any real one gets there).
// keepAnchors frees the slots of anchors no longer configured.
enum class AnchorCounter : int {
    Records, // records of a configured anchor taken into the store
    LeftOut, // left out of a solve by the NLOS rejection
    Count
};
constexpr int kAnchorSlotLimit = 2048;
void addAnchor(AnchorCounter counter, const quint8 *anchorId, quint64 n = 1) noexcept;
quint64 anchorValue(AnchorCounter counter, const quint8 *anchorId) noexcept;
// The slots of every anchor but the `count` 6-byte ids at `anchorIds` are
// freed, their counts gone. Called by the thread that adds, when the
// configured anchors change.
void keepAnchors(const quint8 *anchorIds, int count) noexcept;

// The time from the arrival of the record that completed a transmission to
// its report leaving, in nanoseconds of the steady clock.
qint64 steadyNowNs() noexcept;
void observeReportLatency(qint64 nanoseconds) noexcept;

// Everything above in the Prometheus text exposition format (version 0.0.4).
QByteArray exposition();

} // namespace metrics

#endif // METRICS_H
