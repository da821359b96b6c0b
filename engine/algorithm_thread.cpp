#include "engine/algorithm_thread.h"

#include "common/common_function.h"
#include "common/config_file.h"
#include "common/logwriter.h"
#include "ingest/anchor_record.h"
#include "store/tags.h"

#include <QTimer>

#include <chrono>

namespace {

// How long the consumer sleeps on an empty FIFO before it looks at the stop
// flag again; records wake it at once.
constexpr std::chrono::milliseconds kIdleWait(100);

constexpr int kMaintenancePeriodMs = 1000;

// "(1.50,-2.25)": x and y with two decimals, z not shown.
QByteArray positionText(const TAG_XYZ_t &p)
{
    return QString::asprintf("(%.2f,%.2f)", p.x, p.y).toUtf8();
}

QByteArray anchorListText(const QList<ANCHOR_IMEI_t> &anchors)
{
    QString text;
    for (const ANCHOR_IMEI_t &anchor : anchors)
        text += idText(anchor.imei) + QLatin1Char(' ');
    return text.toUtf8();
}

} // namespace

AlgorithmThread::AlgorithmThread()
{
    timer1s = new QTimer(this);
    connect(timer1s, SIGNAL(timeout()), this, SLOT(timer1sUpDate()));
    timer1s->start(kMaintenancePeriodMs);
    activeTime = ConfigFile().integer(QStringLiteral("algorithm_config"), QStringLiteral("active_time"));
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
    QByteArray record;
    while (takeRecord(record)) {
        std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
        pollFifoData(record);
    }
    quit();
}

// Waits for the oldest record and removes it from the FIFO; false once a stop
// is requested. The FIFO lock is released before the record is processed.
bool AlgorithmThread::takeRecord(QByteArray &record)
{
    std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
    while (!stopRequested) {
        if (!g_udp_receive_fifo.isEmpty()) {
            record = g_udp_receive_fifo.dequeue();
            return true;
        }
        g_udp_receive_fifo_ready.wait_for(lock, kIdleWait);
    }
    return false;
}

void AlgorithmThread::pollFifoData(const QByteArray &record)
{
    LogWriter *log = LogWriter::getLogCenter();
    const QByteArray anchorKey = record::anchorKey(record);
    const QByteArray tagKey = record::tagKey(record);
    TAG_IMEI_t tag;
    std::memcpy(tag.imei, record::tagIdBytes(record), sizeof tag.imei);

    // Online even when the record is discarded later.
    g_anchor_online_lists.insert(anchorKey);
    g_tag_online_lists.insert(tagKey);

    const int tagIndex = g_tags_object.tagsFindTag(tag);
    if (tagIndex == -1) {
        AnchorMessage anchor;
        anchor.anchorMessageAddData(record);
        TagMessage message(0);
        message.tagMessageAddAnchor(anchorKey, anchor);
        g_tags_object.tagsAddNewTag(tag, message);
        log->debugOutput("NEW TAG -> %s", idText(tag.imei).toUtf8().constData());
        return;
    }

    const int anchorIndex = g_tags_object.tagsFindAnchor(anchorKey, tagIndex);
    if (anchorIndex == -1) {
        AnchorMessage anchor;
        anchor.anchorMessageAddData(record);
        g_tags_object.tagsAddNewAnchor(tagIndex, anchorKey, anchor);
        log->debugOutput("new anchor add -> %s ", idText(record::anchorIdBytes(record)).toUtf8().constData());
        return;
    }

    const AlgorithmBasicData set = g_tags_object.tagsAddNewData(tagIndex, anchorIndex, record);
    if (!g_tags_object.dataReady)
        return;

    const TAG_XYZ_t *solved = algo.algoTaylor(set.tagImei, set.anchorList, set.timeList);
    if (!solved) {
        log->debugOutput("algoTaylor divergence!!!");
        return;
    }
    TAG_XYZ_t position = *solved;
    const QByteArray tagText = idText(set.tagImei.imei).toUtf8();
    log->debugOutput("(taylor) -> tag_imei:%s = %s, anchors = %d lists = %s", tagText.constData(),
                     positionText(position).constData(), int(set.anchorList.size()),
                     anchorListText(set.anchorList).constData());

    if (algo.smoothEnable) {
        const TAG_XYZ_t *smoothed = algo.algoSmoothAverageFilter(set.tagImei, position);
        if (!smoothed) {
            log->debugOutput("smooth filter failed!!!");
            return;
        }
        position = *smoothed;
        log->debugOutput("(smooth) -> tag_imei:%s = %s", tagText.constData(), positionText(position).constData());
    }

    emit algoThreadSendTagMsgToRemoteSignal(set.tagImei, position.x, position.y, position.z, set.additionData);
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
    const qint64 now = algo.monotonicNowMs();
    const qint64 limitMs = qint64(activeTime) * 1000;
    LogWriter *log = LogWriter::getLogCenter();
    QList<TAG_IMEI_t> idle;
    for (auto it = algo.smoothLastTime.cbegin(); it != algo.smoothLastTime.cend(); ++it) {
        if (now - it.value() < limitMs)
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
