#include "store/tags.h"

#include "common/common_function.h"
#include "common/config_file.h"
#include "common/config_keys.h"
#include "common/logwriter.h"
#include "common/metrics.h"
#include "ingest/anchor_record.h"

#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

qint64 steadyClockMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

Tags::ArrivalClock g_arrivalClock = steadyClockMs;

// A drop line names at most this many tags.
constexpr int kDropLineTags = 8;

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
    const int reduced = configkeys::delayWindow(configured);
    if (reduced == configured)
        return configured;
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

int Tags::pendingRowLimit(int window)
{
    return qMin(record::kSequenceCount, 3 * window - 1 + kSpareRows);
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

AlgorithmBasicData Tags::tagsFileRecord(const QByteArray &record)
{
    dataReady = false;
    LogWriter *log = LogWriter::getLogCenter();
    // A view into the record, looked up and stored as an integer key.
    const QByteArray anchorKey = QByteArray::fromRawData(record.constData() + record::kAnchorId, record::kIdSize);
    TAG_IMEI_t tag;
    std::memcpy(tag.imei, record::tagIdBytes(record), sizeof tag.imei);

    const int tagIndex = tagsFindTag(tag);
    if (tagIndex == -1) {
        if (!tagAdmitted())
            return AlgorithmBasicData();
        TagMessage message;
        message.tagMessageAddAnchor(anchorKey);
        tagsAddNewTag(tag, message);
        log->debugOutput("NEW TAG -> %s", IdHex(tag.imei).text());
        return AlgorithmBasicData();
    }
    const int anchorIndex = tagsFindAnchor(anchorKey, tagIndex);
    if (anchorIndex == -1) {
        tagsAddNewAnchor(tagIndex, anchorKey);
        log->debugOutput("new anchor add -> %s ", IdHex(record::anchorIdBytes(record)).text());
        return AlgorithmBasicData();
    }
    return tagsAddNewData(tagIndex, anchorIndex, record);
}

// A new tag is stored only below tag_limit.
bool Tags::tagAdmitted()
{
    if (!tagsFull())
        return true;
    ++droppedTagLimit;
    metrics::add(metrics::Counter::DroppedTagLimit);
    if (dropLineDue(tagLimitLoggedMs, g_arrivalClock())) {
        LogWriter::getLogCenter()->infoOutput("tag_limit %d reached, records of new tags dropped: %llu so far",
                                              tagLimit, static_cast<unsigned long long>(droppedTagLimit));
    }
    return false;
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

void Tags::tagsAddNewAnchor(int tagIndex, const QByteArray &anchorId)
{
    tagMessages[tagIndex].tagMessageAddAnchor(anchorId);
    tagMessages[tagIndex].lastHeardMs = g_arrivalClock();
}

AlgorithmBasicData Tags::tagsAddNewData(int tagIndex, int anchorIndex, const QByteArray &record)
{
    std::lock_guard<std::mutex> lock(g_timer_10s_mutex);
    AlgorithmBasicData set;
    dataReady = false;

    TagMessage &tag = tagMessages[tagIndex];
    ArrivalTable &table = tag.seqArrivals;
    const int sequence = record::sequence(record);
    const qint64 now = g_arrivalClock();
    tag.lastHeardMs = now;

    int row = table.arrivalRow(sequence);
    if (row >= 0) {
        // A repeated record of one anchor replaces its record but is counted
        // again, so a flood of one number reaches the reset. More records
        // than anchors exist: the number's bookkeeping cannot be trusted
        // (leftovers of an earlier use, duplicates) and starts afresh.
        if (table.arrivalFile(row, anchorIndex, now, record) > anchorTotal)
            metrics::add(metrics::Counter::DroppedSequenceReset, quint64(table.arrivalClear(row)));
        return set;
    }
    // The first record of a transmission makes the one `delayWindow` numbers
    // earlier due. With a window of 0 that is its own, of one record: nothing
    // can come of it, and nothing is kept.
    if (delayWindow == 0)
        return set;
    set.tagImei = tagIds.at(tagIndex);
    dataReady = examineDue(tag, dueSequence(sequence, delayWindow), set);
    giveUpBehindWindow(tag, tagIndex, sequence);
    table.arrivalFile(openRow(tag, tagIndex, sequence), anchorIndex, now, record);
    return set;
}

bool Tags::examineDue(TagMessage &tag, int due, AlgorithmBasicData &set)
{
    ArrivalTable &table = tag.seqArrivals;
    const int row = table.arrivalRow(due);
    if (row < 0)
        return false;
    const int anchors = table.arrivalAnchors(row);
    if (anchors < kMinSetAnchors) {
        metrics::add(metrics::Counter::FailedTooFewAnchors);
        table.arrivalClear(row);
        return false;
    }
    QList<QByteArray> records;
    records.reserve(anchors);
    qint64 first = ArrivalTable::kNoArrival;
    bool withinSpread = true;
    for (int index = 0; records.size() < anchors && index < tag.anchorNum; ++index) {
        const qint64 at = table.arrivalAt(row, index);
        if (at == ArrivalTable::kNoArrival)
            continue;
        if (first == ArrivalTable::kNoArrival)
            first = at;
        else if (qAbs(at - first) >= kArrivalSpreadLimitMs)
            withinSpread = false;
        records.append(table.arrivalRecordAt(row, index));
    }
    table.arrivalClear(row);
    if (!withinSpread) {
        metrics::add(metrics::Counter::DroppedArrivalSpread, quint64(anchors));
        return false;
    }
    set.seq = quint8(due);
    set.recordList = std::move(records);
    set.algorithmBasicDataConvert();
    return true;
}

void Tags::giveUpBehindWindow(TagMessage &tag, int tagIndex, int sequence)
{
    ArrivalTable &table = tag.seqArrivals;
    for (int row = 0; row < table.rowCount(); ++row) {
        const int pending = table.arrivalSequence(row);
        if (pending < 0)
            continue;
        // Half the cycle or more behind reads as ahead: a number the tag has
        // not reached, or one from before it restarted its count. Those wait
        // for the bound.
        const int behind = (sequence - pending + record::kSequenceCount) % record::kSequenceCount;
        if (behind >= 2 * delayWindow && behind < record::kSequenceCount / 2)
            noteGivenUp(tagIndex, table.arrivalClear(row), metrics::Counter::DroppedBehindWindow);
    }
}

int Tags::openRow(TagMessage &tag, int tagIndex, int sequence)
{
    ArrivalTable &table = tag.seqArrivals;
    // Rows for the window and one more, as normal order needs, and only when
    // they are all taken the limit at once: each step moves the table and
    // leaves its old block to the heap.
    int row = table.arrivalOpen(sequence, qMin(delayWindow + 1, pendingRowLimit(delayWindow)), tag.anchorNum);
    const int limit = pendingRowLimit(delayWindow);
    if (row < 0)
        row = table.arrivalOpen(sequence, limit, tag.anchorNum);
    if (row < 0) {
        noteGivenUp(tagIndex, table.arrivalClear(table.arrivalOldestRow()), metrics::Counter::DroppedPendingEvicted);
        row = table.arrivalOpen(sequence, limit, tag.anchorNum);
    }
    return row;
}

void Tags::noteGivenUp(int tagIndex, int records, metrics::Counter reason)
{
    (reason == metrics::Counter::DroppedPendingEvicted ? droppedPendingEvicted : droppedBehindWindow) += records;
    metrics::add(reason, quint64(records));
    const TAG_IMEI_t &tag = tagIds.at(tagIndex);
    if (givenUpSinceLine.size() < kDropLineTags && !givenUpSinceLine.contains(tag))
        givenUpSinceLine.append(tag);
    if (!dropLineDue(givenUpLoggedMs, g_arrivalClock()))
        return;
    QByteArray names;
    for (const TAG_IMEI_t &named : qAsConst(givenUpSinceLine))
        names += QByteArray(IdHex(named.imei).text()) + ' ';
    names.chop(1);
    LogWriter::getLogCenter()->infoOutput(
        "records of unfinished transmissions given up: %llu evicted, %llu behind the delay window so far, tags %s",
        static_cast<unsigned long long>(droppedPendingEvicted), static_cast<unsigned long long>(droppedBehindWindow),
        names.constData());
    givenUpSinceLine.clear();
}
