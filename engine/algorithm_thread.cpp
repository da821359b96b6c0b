#include "engine/algorithm_thread.h"

#include "common/common_function.h"
#include "common/config_file.h"
#include "common/config_keys.h"
#include "common/logwriter.h"
#include "common/metrics.h"
#include "ingest/anchor_record.h"
#include "store/tags.h"

#include <QTimer>

#include <chrono>
#include <malloc.h>

namespace {

// How long the consumer sleeps on an empty FIFO before it looks at the stop
// flag again; records wake it at once. The receive thread hands records over
// in batches (one per gather window), so each wake-up serves many records.
constexpr std::chrono::milliseconds kIdleWait(100);
// Records moved out of the FIFO under one hold of its lock: the lock is then
// not taken per record, and a stop or the maintenance pass waits for at most
// this many records (about 0.2 ms).
constexpr int kTakenAtOnce = 128;

constexpr int kMaintenancePeriodMs = 1000;
// A drop line (at most one a minute) names at most this many anchors.
constexpr int kDropLineAnchors = 8;
// After a pass that removed this many tags the freed heap goes back to the
// system; a flood of invented identifiers would otherwise leave the process
// at its peak size.
constexpr int kTrimAfterRemoved = 256;
// Far above the anchors of any site (each reports every tag it hears).
constexpr int kOnlineAnchorLimit = 4096;

// "0A1B2C3D4E5F 0A1B2C3D4E60 ": each anchor's id and a space.
QByteArray anchorListText(const QList<ANCHOR_IMEI_t> &anchors)
{
    QByteArray text;
    text.reserve(anchors.size() * 13);
    for (const ANCHOR_IMEI_t &anchor : anchors) {
        text += IdHex(anchor.imei).text();
        text += ' ';
    }
    return text;
}

} // namespace

AlgorithmThread::AlgorithmThread()
{
    timer1s = new QTimer(this);
    connect(timer1s, SIGNAL(timeout()), this, SLOT(timer1sUpDate()));
    timer1s->start(kMaintenancePeriodMs);
    const ConfigFile config;
    const QString group = QStringLiteral("algorithm_config");
    activeTime = config.integer(group, QStringLiteral("active_time"));
    // Absent, 0 or negative: the defaults. A store without bounds is what
    // lets a flood of identifiers take the memory.
    const int expiry = config.integer(group, QStringLiteral("tag_expiry_time"));
    const int limit = config.integer(group, QStringLiteral("tag_limit"));
    g_tags_object.tagExpiryMs = qint64(configkeys::tagExpirySeconds(expiry)) * 1000;
    g_tags_object.tagLimit = configkeys::tagLimit(limit);
    LogWriter *log = LogWriter::getLogCenter();
    log->debugOutput("tag_expiry_time -> %llds, tag_limit -> %d", g_tags_object.tagExpiryMs / 1000,
                     g_tags_object.tagLimit);
    maxAgeMs = configkeys::anchorMaxAgeMs(config.text(QStringLiteral("network_setting"), QStringLiteral("anchor_max_age_ms")));
    log->infoOutput("anchor record max age -> %d ms%s", maxAgeMs, maxAgeMs == 0 ? " (no limit)" : "");
}

AlgorithmThread::~AlgorithmThread() = default;

void AlgorithmThread::algoThreadStop()
{
    {
        // Under the FIFO lock, so the wake-up cannot fall between the
        // consumer's test of the flag and its wait.
        std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
        stopRequested = true;
    }
    g_udp_receive_fifo_ready.notify_all();
}

void AlgorithmThread::run()
{
    QThread::msleep(2);
    LogWriter::getLogCenter()->debugOutput("AlgorithmThread running!");
    while (!stopRequested)
        algoThreadPass();
    quit();
}

bool AlgorithmThread::algoThreadPass()
{
    if (arrivalsNs.empty()) {
        takenRecords.reserve(kTakenAtOnce);
        arrivalsNs.resize(kTakenAtOnce);
    }
    QVector<QByteArray> &records = takenRecords;
    takeRecords(records);
    const qint64 now = Tags::tagsNowMs();
    const bool expiryDue = now - lastExpiryMs >= kMaintenancePeriodMs;
    if (records.isEmpty() && !expiryDue)
        return false;
    std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
    for (int i = 0; i < records.size(); ++i) {
        recordArrivalNs = arrivalsNs[size_t(i)];
        pollFifoData(records.at(i));
    }
    recordArrivalNs = 0;
    const bool took = !records.isEmpty();
    if (took)
        emit algoThreadRecordsDoneSignal();
    algoThreadCountReports();
    records.clear();
    if (expiryDue) {
        lastExpiryMs = now;
        algoThreadExpireTags();
    }
    return took;
}

// Moves the oldest records, up to kTakenAtOnce, from the FIFO into records,
// after dropping those older than anchor_max_age_ms. On an empty FIFO it
// sleeps up to kIdleWait until an append signals it; none are taken when
// none came or a stop is requested. The FIFO lock is released before the
// records are processed.
void AlgorithmThread::takeRecords(QVector<QByteArray> &records)
{
    int old = 0;
    {
        std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
        if (g_udp_receive_fifo.isEmpty() && !stopRequested) {
            // A stop signals even now.
            g_udp_receive_fifo_consumer_idle = true;
            g_udp_receive_fifo_ready.wait_for(lock, kIdleWait);
            g_udp_receive_fifo_consumer_idle = false;
        }
        if (stopRequested)
            return;
        if (maxAgeMs > 0 && !g_udp_receive_fifo.isEmpty())
            old = fifoDropOlderLocked(fifoNowNs() - qint64(maxAgeMs) * 1000000);
        fifoTakeLocked(records, arrivalsNs.data(), kTakenAtOnce);
    }
    oldLines.suppress(old);
    if (const qint64 dropped = oldLines.takeSuppressed())
        LogWriter::getLogCenter()->infoOutput("anchor records older than %d ms when taken: dropped %lld", maxAgeMs,
                                              dropped);
}

// The reports of the records just processed have left (the done signal sends
// the held ones): their latencies, and the store's size as it is now.
void AlgorithmThread::algoThreadCountReports()
{
    if (!reportArrivalsNs.isEmpty()) {
        const qint64 now = fifoNowNs();
        for (const qint64 arrived : qAsConst(reportArrivalsNs))
            metrics::observeReportLatency(now - arrived);
        reportArrivalsNs.clear();
    }
    metrics::set(metrics::Gauge::Tags, g_tags_object.tagIndexMap.size());
    metrics::set(metrics::Gauge::Anchors, algo.anchorCount);
}

void AlgorithmThread::algoThreadAnchorsChangedSlot()
{
    auto geometry = std::make_unique<AnchorGeometry>(algorithm::algoReadGeometry(false));
    std::lock_guard<std::mutex> lock(geometryMutex);
    pendingGeometry = std::move(geometry);
    geometryPending = true;
}

// Between two records, so every set is solved with one geometry.
void AlgorithmThread::adoptPendingGeometry()
{
    if (!geometryPending)
        return;
    std::unique_ptr<AnchorGeometry> geometry;
    {
        std::lock_guard<std::mutex> lock(geometryMutex);
        geometry.swap(pendingGeometry);
        geometryPending = false;
    }
    if (!geometry)
        return;
    algo.algoApplyGeometry(*geometry);
    // A removed anchor's counters go with it, so its slot is there for the next.
    QByteArray ids;
    for (const ANCHOR_IMEI_t &anchor : qAsConst(geometry->anchorImeiList))
        ids.append(reinterpret_cast<const char *>(anchor.imei), int(sizeof anchor.imei));
    metrics::keepAnchors(reinterpret_cast<const quint8 *>(ids.constData()), geometry->anchorCount);
    LogWriter::getLogCenter()->infoOutput("anchor coordinates changed: %d anchors, centre (%.2f,%.2f)",
                                          geometry->anchorCount, algo.centerPoint.x, algo.centerPoint.y);
}

// Records of an anchor the solver has no coordinates for are dropped before
// the store: filed, they would count towards the reset rule (more records
// than configured anchors) and discard every transmission the anchor hears.
bool AlgorithmThread::anchorUsable(const QByteArray &record)
{
    ANCHOR_IMEI_t anchor;
    std::memcpy(anchor.imei, record::anchorIdBytes(record), sizeof anchor.imei);
    if (algo.algoHasAnchor(anchor)) {
        metrics::addAnchor(metrics::AnchorCounter::Records, anchor.imei);
        return true;
    }
    ++droppedUnconfiguredAnchor;
    metrics::add(metrics::Counter::DroppedUnconfiguredAnchor);
    if (unconfiguredSinceLine.size() < kDropLineAnchors) {
        const QByteArray id = idText(anchor.imei).toUtf8();
        if (!unconfiguredSinceLine.contains(id))
            unconfiguredSinceLine.append(id);
    }
    if (dropLineDue(unconfiguredLoggedMs, Tags::tagsNowMs())) {
        LogWriter::getLogCenter()->infoOutput(
            "records of anchors without coordinates dropped: %llu so far, anchors %s",
            static_cast<unsigned long long>(droppedUnconfiguredAnchor),
            unconfiguredSinceLine.join(' ').constData());
        unconfiguredSinceLine.clear();
    }
    return false;
}

void AlgorithmThread::algoThreadExpireTags()
{
    algo.algoLogLeftOutAnchors();
    const QList<TAG_IMEI_t> removed = g_tags_object.tagsRemoveExpired();
    if (removed.isEmpty())
        return;
    algo.algoForgetTags(removed);
    LogWriter *log = LogWriter::getLogCenter();
    if (removed.size() == 1)
        log->debugOutput("tag %s not heard for %llds, removed", idText(removed.first().imei).toUtf8().constData(),
                         g_tags_object.tagExpiryMs / 1000);
    else
        log->debugOutput("%d tags not heard for %llds, removed", int(removed.size()),
                         g_tags_object.tagExpiryMs / 1000);
    if (removed.size() >= kTrimAfterRemoved)
        malloc_trim(0);
}

void AlgorithmThread::pollFifoData(const QByteArray &record)
{
    LogWriter *log = LogWriter::getLogCenter();
    // Views into the record, no copies: looked up per record, stored nowhere
    // (the sets get a copy of a new key below).
    const QByteArray anchorKey = QByteArray::fromRawData(record.constData() + record::kAnchorId, record::kIdSize);
    const QByteArray tagKey = QByteArray::fromRawData(record.constData() + record::kTagId, record::kIdSize);

    // Online even when the record is discarded later. The sets are emptied
    // only every 30 s; a flood of invented identifiers would fill them with
    // about 90 bytes per identifier (90 MiB for a million), so they stop
    // growing at a bound and the heartbeat's counts then read the bound.
    noteOnline(g_anchor_online_lists, anchorsOnline, anchorKey, kOnlineAnchorLimit);
    noteOnline(g_tag_online_lists, tagsOnline, tagKey, g_tags_object.tagLimit);

    adoptPendingGeometry();
    if (!anchorUsable(record))
        return;

    const AlgorithmBasicData set = g_tags_object.tagsFileRecord(record);
    if (!g_tags_object.dataReady)
        return;

    Fix fix = algo.algoLocate(set.tagImei, set.anchorList, set.timeList);
    if (!fix) {
        log->debugOutput("algoTaylor divergence!!!");
        metrics::add(fix.failure);
        return;
    }
    metrics::add(metrics::Counter::TransmissionsSolved);
    // Positions as "(x,y)" with two decimals, z not shown.
    const IdHex tagText(set.tagImei.imei);
    // The anchor list text is built only for a debug log that shows it.
    if (log->isDebugEnabled())
        log->debugOutput("(taylor) -> tag_imei:%s = (%.2f,%.2f), anchors = %d lists = %s", tagText.text(),
                         fix.position.x, fix.position.y, int(set.anchorList.size()),
                         anchorListText(set.anchorList).constData());

    if (algo.trackEnable) {
        fix = algo.algoTrackFilter(set.tagImei, fix, set.timeList.at(0));
        log->debugOutput("(track) -> tag_imei:%s = (%.2f,%.2f)", tagText.text(), fix.position.x, fix.position.y);
    } else if (algo.smoothEnable) {
        fix = algo.algoSmoothAverageFilter(set.tagImei, fix);
        if (!fix) {
            log->debugOutput("smooth filter failed!!!");
            metrics::add(fix.failure);
            return;
        }
        log->debugOutput("(smooth) -> tag_imei:%s = (%.2f,%.2f)", tagText.text(), fix.position.x, fix.position.y);
    }

    const TAG_XYZ_t &position = fix.position;
    if (algo.reportAccuracy)
        emit algoThreadSendTagFixToRemoteSignal(set.tagImei, position.x, position.y, position.z, fix.accuracy,
                                                set.additionData);
    else
        emit algoThreadSendTagMsgToRemoteSignal(set.tagImei, position.x, position.y, position.z, set.additionData);
    if (recordArrivalNs != 0)
        reportArrivalsNs.append(recordArrivalNs);
}

// Adds an id to an online set below its bound. The sets are only added to
// here and only emptied elsewhere, both under g_timer_thread_mutex, so a
// set whose size differs from its mirror's has been emptied: the mirror,
// whose integer keys cost less to look up than the set's byte strings, then
// starts afresh.
void AlgorithmThread::noteOnline(QSet<QByteArray> &set, QSet<quint64> &mirror, const QByteArray &id, int limit)
{
    if (set.size() != mirror.size())
        mirror.clear();
    const quint64 key = idOrderKey(reinterpret_cast<const quint8 *>(id.constData()));
    if (mirror.contains(key) || set.size() >= limit)
        return;
    set.insert(QByteArray(id.constData(), id.size()));
    mirror.insert(key);
}

void AlgorithmThread::timer1sUpDate()
{
    // Never waits: when the filter holds the lock this pass is skipped.
    std::unique_lock<std::mutex> lock(g_timer_1s_mutex, std::try_to_lock);
    if (!lock.owns_lock())
        return;
    const int tracked = algo.smoothLastTime.size();
    if (tracked == 0)
        return;
    // Idle time on the monotonic clock: a time of day would make a tag last
    // smoothed before midnight look active for a whole day.
    // Whole seconds: both times truncated to the second before they are
    // compared, so a tag goes at the pass in which the seconds count reaches
    // active_time, not up to a second later.
    const qint64 nowSeconds = algo.monotonicNowMs() / 1000;
    LogWriter *log = LogWriter::getLogCenter();
    QList<TAG_IMEI_t> idle;
    for (auto it = algo.smoothLastTime.cbegin(); it != algo.smoothLastTime.cend(); ++it) {
        if (nowSeconds - it.value() / 1000 < activeTime)
            continue;
        log->debugOutput("%ds have not xyz, current active_len=%d, then remove tag:%s", activeTime, tracked,
                         idText(it.key().imei).toUtf8().constData());
        algo.smoothWindow.remove(it.key());
        idle.append(it.key());
    }
    for (const TAG_IMEI_t &tag : idle) {
        log->debugOutput("tag virtual removed: %s", idText(tag.imei).toUtf8().constData());
        algo.smoothLastTime.remove(tag);
    }
}
