#include "common/metrics.h"

#include <QList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

namespace metrics {
namespace {

struct alignas(64) Slot {
    std::atomic<quint64> count{0};
};

Slot g_slots[int(Counter::Count)];
Slot g_gauges[int(Gauge::Count)];

struct Exposed {
    const char *family;
    const char *labels;
};

// In the order of Counter.
constexpr Exposed kExposed[] = {
    {"solver_records_received_total", ""},
    {"solver_datagrams_malformed_total", ""},
    {"solver_records_dropped_total", "reason=\"fifo_limit\""},
    {"solver_records_dropped_total", "reason=\"unconfigured_anchor\""},
    {"solver_records_dropped_total", "reason=\"tag_limit\""},
    {"solver_records_dropped_total", "reason=\"arrival_spread\""},
    {"solver_records_dropped_total", "reason=\"pending_evicted\""},
    {"solver_records_dropped_total", "reason=\"behind_window\""},
    {"solver_records_dropped_total", "reason=\"too_old\""},
    {"solver_transmissions_solved_total", ""},
    {"solver_transmissions_failed_total", "reason=\"divergence\""},
    {"solver_transmissions_failed_total", "reason=\"outside_region\""},
    {"solver_transmissions_failed_total", "reason=\"too_few_anchors\""},
    {"solver_reports_sent_total", ""},
    {"solver_reports_dropped_total", "reason=\"send_failed\""},
    {"solver_requests_ignored_total", "reason=\"own_reply_socket\""},
    {"solver_requests_ignored_total", "reason=\"reply_document\""},
    {"solver_records_dropped_total", "reason=\"sequence_reset\""},
    {"solver_transmissions_failed_total", "reason=\"clock_sync\""},
    {"solver_transmissions_failed_total", "reason=\"smoothing\""},
    {"solver_config_requests_total", "request=\"unknown\",result=\"invalid\""},
    {"solver_config_requests_total", "request=\"SetAnchorsXYZ\",result=\"ok\""},
    {"solver_config_requests_total", "request=\"SetAnchorsXYZ\",result=\"invalid\""},
    {"solver_config_requests_total", "request=\"GetAnchorsLists\",result=\"ok\""},
    {"solver_config_requests_total", "request=\"GetAnchorsLists\",result=\"invalid\""},
    {"solver_config_requests_total", "request=\"SetPANID\",result=\"ok\""},
    {"solver_config_requests_total", "request=\"SetPANID\",result=\"invalid\""},
    {"solver_config_requests_total", "request=\"GetPANID\",result=\"ok\""},
    {"solver_config_requests_total", "request=\"GetPANID\",result=\"invalid\""},
    {"solver_mqtt_published_total", ""},
    {"solver_mqtt_dropped_total", ""},
    {"solver_track_fixes_gated_total", ""},
    {"solver_track_restarts_total", ""},
    {"solver_requests_ignored_total", "reason=\"source\""},
    {"solver_config_writes_refused_total", "reason=\"rate\""},
    {"solver_config_writes_refused_total", "reason=\"anchor_limit\""},
};
static_assert(sizeof kExposed / sizeof kExposed[0] == size_t(Counter::Count), "one exposed name per counter");

// In the order of Gauge.
constexpr const char *kGaugeNames[] = {"solver_fifo_records", "solver_tags", "solver_anchors", "solver_mqtt_connected"};
static_assert(sizeof kGaugeNames / sizeof kGaugeNames[0] == size_t(Gauge::Count), "one name per gauge");

// In the order of AnchorCounter.
constexpr const char *kAnchorFamilies[] = {"solver_anchor_records_total", "solver_anchor_left_out_total"};
static_assert(sizeof kAnchorFamilies / sizeof kAnchorFamilies[0] == size_t(AnchorCounter::Count),
              "one family per anchor counter");

constexpr const char *kLatencyFamily = "solver_report_latency_seconds";

// What a family counts, for its HELP line. A family missing here is still
// exposed, with its name as its help.
struct Help {
    const char *family;
    const char *text;
};
constexpr Help kHelp[] = {
    {"solver_records_received_total", "Anchor measurement records queued from datagrams."},
    {"solver_datagrams_malformed_total", "Anchor datagrams refused for their framing or size."},
    {"solver_records_dropped_total", "Records given up before a position, by reason."},
    {"solver_transmissions_solved_total", "Transmissions the solver turned into a position."},
    {"solver_transmissions_failed_total", "Complete or due transmissions that gave no position, by reason."},
    {"solver_reports_sent_total", "Position reports handed to the location endpoint's socket."},
    {"solver_reports_dropped_total", "Position reports that could not be handed to the socket, by reason."},
    {"solver_config_requests_total", "Configuration requests by request and result."},
    {"solver_requests_ignored_total",
     "Datagrams at the request port not answered: our own replies, reply documents, senders not allowed."},
    {"solver_config_writes_refused_total",
     "Set requests refused before config.ini: above the write rate, or the anchor list past its bound."},
    {"solver_mqtt_published_total", "Messages written to (QoS 0) or acknowledged by (QoS 1) the MQTT broker."},
    {"solver_mqtt_dropped_total", "MQTT messages dropped: queue full, refused, or lost with the connection."},
    {"solver_fifo_records", "Records waiting in the receive FIFO."},
    {"solver_tags", "Tags held in the measurement store."},
    {"solver_anchors", "Anchors with coordinates in use by the solver."},
    {"solver_mqtt_connected", "1 while connected to the MQTT broker, else 0."},
    {"solver_track_fixes_gated_total", "Fixes the tracking filter's innovation gate kept out of a track."},
    {"solver_track_restarts_total", "Tracks restarted at a fix after a run of gated fixes, or after a silence."},
    {"solver_anchor_records_total", "Records of each configured anchor taken into the store."},
    {"solver_anchor_left_out_total", "Times each anchor was left out of a solve by the NLOS rejection."},
    {"solver_report_latency_seconds",
     "From the arrival of the record that completed a transmission to its report leaving."},
};

// Report latency buckets: from well inside the 0.7 ms p99 of a loaded
// program up to the seconds of an overloaded one.
struct Bucket {
    qint64 upperNs;
    const char *le;
};
constexpr Bucket kBuckets[] = {
    {100000, "0.0001"}, {250000, "0.00025"}, {500000, "0.0005"}, {1000000, "0.001"},      {2500000, "0.0025"},
    {5000000, "0.005"}, {10000000, "0.01"},  {25000000, "0.025"}, {50000000, "0.05"},    {100000000, "0.1"},
    {250000000, "0.25"}, {500000000, "0.5"}, {1000000000, "1"},    {2500000000LL, "2.5"},
};
constexpr int kBucketCount = int(sizeof kBuckets / sizeof kBuckets[0]);
Slot g_latencyBuckets[kBucketCount + 1]; // the last: above every bound
Slot g_latencySumNs;

// Open addressing over twice the slot limit, so probes stay short. A key is
// the 48-bit id with bit 63 set; 0 marks a slot never used and kFreed one
// given up by keepAnchors: a search goes on past it, a claim takes it. A
// reader sees a key and its counts, or a slot without a key.
constexpr int kAnchorTableBits = 12;
constexpr int kAnchorTableSize = 1 << kAnchorTableBits;
static_assert(kAnchorTableSize >= 2 * kAnchorSlotLimit, "table at most half full");
struct AnchorSlot {
    std::atomic<quint64> key{0};
    std::atomic<quint64> counts[int(AnchorCounter::Count)];
};
AnchorSlot g_anchors[kAnchorTableSize];
constexpr quint64 kFreed = 1; // bit 63 clear: never a key
std::atomic<int> g_anchorsClaimed{0};

// The id's 6 bytes in memory order (byte i at bits 8i) and bit 63 set.
quint64 anchorKey(const quint8 *id)
{
    quint64 key = 0;
    std::memcpy(&key, id, 6);
    return key | (quint64(1) << 63);
}

quint32 anchorHome(quint64 key) { return quint32((key * 0x9E3779B97F4A7C15ULL) >> (64 - kAnchorTableBits)); }

// The slot of key, claimed when claim is true and it is new; null when absent
// (or the table full). An anchor seen before is found at its home slot or a
// few after it.
AnchorSlot *anchorSlot(quint64 key, bool claim)
{
    quint32 at = anchorHome(key);
    AnchorSlot *freed = nullptr; // the first freed slot on the way, for a claim
    for (int probe = 0; probe < kAnchorTableSize; ++probe, at = (at + 1) & (kAnchorTableSize - 1)) {
        AnchorSlot &slot = g_anchors[at];
        quint64 seen = slot.key.load(std::memory_order_acquire);
        if (seen == key)
            return &slot;
        if (seen == kFreed && !freed)
            freed = &slot;
        if (seen != 0)
            continue;
        if (!claim || g_anchorsClaimed.load(std::memory_order_relaxed) >= kAnchorSlotLimit)
            return nullptr;
        AnchorSlot &claimed = freed ? *freed : slot;
        seen = freed ? kFreed : 0;
        if (claimed.key.compare_exchange_strong(seen, key, std::memory_order_acq_rel)) {
            g_anchorsClaimed.fetch_add(1, std::memory_order_relaxed);
            return &claimed;
        }
        if (seen == key) // another thread claimed it for the same anchor
            return &claimed;
        return nullptr;
    }
    return nullptr;
}

QByteArray anchorText(quint64 key)
{
    QByteArray id(6, '\0');
    for (int i = 0; i < 6; ++i)
        id[i] = char((key >> (8 * i)) & 0xff);
    return id.toHex().toUpper();
}

const char *helpText(const char *family)
{
    for (const Help &h : kHelp) {
        if (std::strcmp(h.family, family) == 0)
            return h.text;
    }
    return family;
}

void writeHeader(QByteArray &out, const char *family, const char *type)
{
    out += "# HELP ";
    out += family;
    out += ' ';
    out += helpText(family);
    out += "\n# TYPE ";
    out += family;
    out += ' ';
    out += type;
    out += '\n';
}

void writeSample(QByteArray &out, const char *name, const QByteArray &labels, quint64 value)
{
    out += name;
    if (!labels.isEmpty()) {
        out += '{';
        out += labels;
        out += '}';
    }
    out += ' ';
    out += QByteArray::number(value);
    out += '\n';
}

// Counters grouped by family (the format wants one block per family), each
// family where its first counter stands.
void writeCounters(QByteArray &out)
{
    bool written[int(Counter::Count)] = {};
    for (int i = 0; i < int(Counter::Count); ++i) {
        if (written[i])
            continue;
        const char *family = kExposed[i].family;
        writeHeader(out, family, "counter");
        for (int j = i; j < int(Counter::Count); ++j) {
            if (written[j] || std::strcmp(kExposed[j].family, family) != 0)
                continue;
            written[j] = true;
            writeSample(out, family, kExposed[j].labels, value(Counter(j)));
        }
    }
}

void writeAnchors(QByteArray &out)
{
    struct Row {
        QByteArray id;
        quint64 counts[int(AnchorCounter::Count)];
    };
    QList<Row> rows;
    for (const AnchorSlot &slot : g_anchors) {
        const quint64 key = slot.key.load(std::memory_order_acquire);
        if (key == 0 || key == kFreed)
            continue;
        Row row{anchorText(key), {}};
        for (int c = 0; c < int(AnchorCounter::Count); ++c)
            row.counts[c] = slot.counts[c].load(std::memory_order_relaxed);
        rows.append(row);
    }
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.id < b.id; });
    for (int c = 0; c < int(AnchorCounter::Count); ++c) {
        // A family nothing has counted yet (the NLOS rejection off) is left out.
        if (std::none_of(rows.cbegin(), rows.cend(), [c](const Row &r) { return r.counts[c] != 0; }))
            continue;
        writeHeader(out, kAnchorFamilies[c], "counter");
        for (const Row &row : qAsConst(rows))
            writeSample(out, kAnchorFamilies[c], "anchor=\"" + row.id + '"', row.counts[c]);
    }
}

void writeLatency(QByteArray &out)
{
    writeHeader(out, kLatencyFamily, "histogram");
    const QByteArray bucket = QByteArray(kLatencyFamily) + "_bucket";
    quint64 cumulative = 0;
    for (int i = 0; i <= kBucketCount; ++i) {
        cumulative += g_latencyBuckets[i].count.load(std::memory_order_relaxed);
        const QByteArray le = i < kBucketCount ? QByteArray(kBuckets[i].le) : QByteArray("+Inf");
        writeSample(out, bucket.constData(), "le=\"" + le + '"', cumulative);
    }
    const double sumSeconds = double(g_latencySumNs.count.load(std::memory_order_relaxed)) / 1e9;
    out += kLatencyFamily;
    out += "_sum " + QByteArray::number(sumSeconds, 'g', 12) + '\n';
    // The count is the +Inf bucket, so the two always agree.
    writeSample(out, (QByteArray(kLatencyFamily) + "_count").constData(), QByteArray(), cumulative);
}

} // namespace

void add(Counter counter, quint64 n) noexcept { g_slots[int(counter)].count.fetch_add(n, std::memory_order_relaxed); }

quint64 value(Counter counter) noexcept { return g_slots[int(counter)].count.load(std::memory_order_relaxed); }

const char *familyName(Counter counter) noexcept { return kExposed[int(counter)].family; }

const char *labelText(Counter counter) noexcept { return kExposed[int(counter)].labels; }

Counter configRequestCounter(int requestType, bool ok) noexcept
{
    if (requestType < 1 || requestType > 4)
        return Counter::ConfigUnknownInvalid;
    return Counter(int(Counter::ConfigSetAnchorsOk) + 2 * (requestType - 1) + (ok ? 0 : 1));
}

void set(Gauge gauge, qint64 v) noexcept { g_gauges[int(gauge)].count.store(quint64(v), std::memory_order_relaxed); }

qint64 value(Gauge gauge) noexcept { return qint64(g_gauges[int(gauge)].count.load(std::memory_order_relaxed)); }

void addAnchor(AnchorCounter counter, const quint8 *anchorId, quint64 n) noexcept
{
    // A load and a store, not a locked add: one thread adds (see the header),
    // and this runs once per record. The home slot holds the anchor nearly
    // always; the probing and the claim are for the rest.
    const quint64 key = anchorKey(anchorId);
    AnchorSlot *slot = &g_anchors[anchorHome(key)];
    if (slot->key.load(std::memory_order_acquire) != key)
        slot = anchorSlot(key, true);
    if (slot) {
        std::atomic<quint64> &count = slot->counts[int(counter)];
        count.store(count.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
}

quint64 anchorValue(AnchorCounter counter, const quint8 *anchorId) noexcept
{
    const AnchorSlot *slot = anchorSlot(anchorKey(anchorId), false);
    return slot ? slot->counts[int(counter)].load(std::memory_order_relaxed) : 0;
}

void keepAnchors(const quint8 *anchorIds, int count) noexcept
{
    QVector<quint64> kept;
    kept.reserve(count);
    for (int i = 0; i < count; ++i)
        kept.append(anchorKey(anchorIds + 6 * i));
    std::sort(kept.begin(), kept.end());
    for (AnchorSlot &slot : g_anchors) {
        const quint64 key = slot.key.load(std::memory_order_acquire);
        if (key == 0 || key == kFreed || std::binary_search(kept.cbegin(), kept.cend(), key))
            continue;
        slot.key.store(kFreed, std::memory_order_release);
        for (std::atomic<quint64> &c : slot.counts)
            c.store(0, std::memory_order_relaxed);
        g_anchorsClaimed.fetch_sub(1, std::memory_order_relaxed);
    }
}

qint64 steadyNowNs() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void observeReportLatency(qint64 nanoseconds) noexcept
{
    const qint64 ns = qMax<qint64>(nanoseconds, 0);
    int i = 0;
    while (i < kBucketCount && ns > kBuckets[i].upperNs)
        ++i;
    g_latencyBuckets[i].count.fetch_add(1, std::memory_order_relaxed);
    g_latencySumNs.count.fetch_add(quint64(ns), std::memory_order_relaxed);
}

QByteArray exposition()
{
    QByteArray out;
    out.reserve(8192);
    writeCounters(out);
    for (int g = 0; g < int(Gauge::Count); ++g) {
        writeHeader(out, kGaugeNames[g], "gauge");
        out += kGaugeNames[g];
        out += ' ' + QByteArray::number(value(Gauge(g))) + '\n';
    }
    writeAnchors(out);
    writeLatency(out);
    return out;
}

} // namespace metrics
