#include "store/tags.h"

#include "common/config_file.h"
#include "common/logwriter.h"
#include "common/metrics.h"
#include "ingest/anchor_record.h"

#include <chrono>
#include <mutex>
#include <utility>

namespace {

qint64 steadyClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Tags::ArrivalClock g_arrivalClock = steadyClockMs;

} // namespace

Tags::Tags()
{
    const ConfigFile config(ConfigFile::WorkingDir);
    delayWindow = checkedDelayWindow(
        config.integer(QStringLiteral("algorithm_config"), QStringLiteral("delay_window_1908")));
}

Tags::Tags(int window) : delayWindow(checkedDelayWindow(window)) {}

int Tags::checkedDelayWindow(int configured)
{
    if (configured >= 0 && configured < record::kSequenceCount)
        return configured;
    const int reduced = (configured % record::kSequenceCount + record::kSequenceCount) % record::kSequenceCount;
    LogWriter::getLogCenter()->infoOutput("delay_window_1908 = %d is outside 0 to 255, using %d", configured,
                                          reduced);
    return reduced;
}

int Tags::dueSequence(int sequence, int window)
{
    // The remainder keeps the subtraction clear of overflow for any window.
    const int due = (sequence - window % record::kSequenceCount) % record::kSequenceCount;
    return due < 0 ? due + record::kSequenceCount : due;
}

void Tags::setArrivalClock(ArrivalClock clock) { g_arrivalClock = clock ? clock : steadyClockMs; }

qint64 Tags::tagsNowMs() { return g_arrivalClock(); }

bool Tags::tagsFull()
{
    std::lock_guard<std::mutex> lock(g_timer_10s_mutex);
    return tagMessages.size() >= tagLimit;
}

QList<TAG_IMEI_t> Tags::tagsRemoveExpired()
{
    std::lock_guard<std::mutex> lock(g_timer_10s_mutex);
    QList<TAG_IMEI_t> removed;
    const qint64 now = g_arrivalClock();
    int kept = 0;
    for (int index = 0; index < tagMessages.size(); ++index) {
        if (now - tagMessages.at(index).lastHeardMs >= tagExpiryMs) {
            removed.append(tagIds.at(index));
            tagIndexMap.remove(storeIdKey(tagIds.at(index).imei));
            continue;
        }
        if (kept != index) {
            tagMessages[kept] = std::move(tagMessages[index]);
            tagIds[kept] = tagIds.at(index);
            tagIndexMap[storeIdKey(tagIds.at(kept).imei)] = kept;
        }
        ++kept;
    }
    if (removed.isEmpty())
        return removed;
    tagMessages.resize(kept);
    tagIds.resize(kept);
    tagNum = kept;
    // After a flood the vectors would keep their peak capacity for ever.
    if (tagMessages.capacity() > 2 * kept + 64) {
        tagMessages.squeeze();
        tagIds.squeeze();
    }
    return removed;
}

int Tags::tagsFindTag(const TAG_IMEI_t &tag)
{
    std::lock_guard<std::mutex> lock(g_timer_10s_mutex);
    return tagIndexMap.value(storeIdKey(tag.imei), -1);
}

void Tags::tagsAddNewTag(const TAG_IMEI_t &tag, const TagMessage &message)
{
    std::lock_guard<std::mutex> lock(g_timer_10s_mutex);
    tagMessages.append(message);
    tagMessages.last().lastHeardMs = g_arrivalClock();
    tagIds.append(tag);
    tagIndexMap[storeIdKey(tag.imei)] = tagNum;
    ++tagNum;
}

int Tags::tagsFindAnchor(const QByteArray &anchorId, int tagIndex)
{
    return tagMessages.at(tagIndex).findAnchor(anchorId);
}

void Tags::tagsAddNewAnchor(int tagIndex, const QByteArray &anchorId, const AnchorMessage &anchor)
{
    tagMessages[tagIndex].tagMessageAddAnchor(anchorId, anchor);
    tagMessages[tagIndex].lastHeardMs = g_arrivalClock();
}

void Tags::clearTransmission(TagMessage &tag, int sequence)
{
    tag.seqCount[sequence] = 0;
    // Nothing reads the records of a cleared transmission again (a set is
    // built only from arrivals counted since the last clear), so they are
    // released here: memory then follows the transmissions still pending
    // instead of holding 256 records of every tag and anchor (about 200 MiB
    // for 1000 tags heard by 8 anchors each).
    for (int index = 0; index < tag.anchorMessages.size(); ++index) {
        if (tag.seqArrivals.arrivalAt(sequence, index) != ArrivalTable::kNoArrival)
            tag.anchorMessages[index].seqData[sequence] = QByteArray();
    }
    tag.seqArrivals.arrivalClear(sequence);
}

AlgorithmBasicData Tags::tagsAddNewData(int tagIndex, int anchorIndex, const QByteArray &record)
{
    std::lock_guard<std::mutex> lock(g_timer_10s_mutex);
    AlgorithmBasicData set;
    dataReady = true;

    TagMessage &tag = tagMessages[tagIndex];
    AnchorMessage &anchor = tag.anchorMessages[anchorIndex];
    anchor.anchorMessageAddData(record);
    const int sequence = anchor.seq;

    // A repeated record of one anchor overwrites its arrival but is counted
    // again, so a flood of one number reaches the reset below.
    const qint64 now = g_arrivalClock();
    tag.lastHeardMs = now;
    tag.seqArrivals.arrivalRecord(sequence, anchorIndex, now);
    const int counted = ++tag.seqCount[sequence];

    if (counted == 1) {
        // The first record of a transmission makes the one `delayWindow`
        // numbers earlier due.
        set.tagImei = tagIds.at(tagIndex);
        const int due = dueSequence(sequence, delayWindow);
        const int anchors = tag.seqArrivals.arrivalAnchors(due);
        if (anchors >= kMinSetAnchors) {
            QList<QByteArray> records;
            records.reserve(anchors);
            qint64 first = ArrivalTable::kNoArrival;
            bool withinSpread = true;
            for (int index = 0; records.size() < anchors && index < tag.anchorMessages.size(); ++index) {
                const qint64 at = tag.seqArrivals.arrivalAt(due, index);
                if (at == ArrivalTable::kNoArrival)
                    continue;
                if (first == ArrivalTable::kNoArrival)
                    first = at;
                else if (qAbs(at - first) >= kArrivalSpreadLimitMs)
                    withinSpread = false;
                records.append(tag.anchorMessages.at(index).seqData.at(due));
            }
            clearTransmission(tag, due);
            if (!withinSpread) {
                metrics::add(metrics::Counter::DroppedArrivalSpread, quint64(records.size()));
                dataReady = false;
                return set;
            }
            set.seq = quint8(due);
            set.recordList = std::move(records);
            set.algorithmBasicDataConvert();
            return set;
        }
        if (anchors > 0) {
            metrics::add(metrics::Counter::FailedTooFewAnchors);
            clearTransmission(tag, due);
        }
    } else if (counted > anchorTotal) {
        // More records than anchors exist: the number's bookkeeping cannot be
        // trusted (leftovers of an earlier use, duplicates) and starts afresh.
        metrics::add(metrics::Counter::DroppedSequenceReset, quint64(counted));
        clearTransmission(tag, sequence);
    }
    dataReady = false;
    return set;
}
