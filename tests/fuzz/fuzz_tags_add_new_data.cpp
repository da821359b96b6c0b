// Arbitrary record streams through the tag store's per-record entry. Every released set must be solvable input: three
// records or more of one tag and sequence number, anchors in ascending index; and whatever the order, a tag holds no
// more transmissions than its window's rows. Input: delay window (int16), anchor count (0..15), then per record: tag
// (2 low bits) and anchor, sequence number, clock step (100 ms), time top byte.
#include "store/tags.h"
#include "tests/store/test_records.h"

#include <cstdint>
#include <cstdlib>

namespace {

qint64 g_nowMs = 0;
qint64 fuzzClock() { return g_nowMs; }
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

void check(bool condition) { condition ? void() : std::abort(); }

void checkSet(Tags &tags, const AlgorithmBasicData &set, const QByteArray &filed)
{
    if (!tags.dataReady) {
        check(set.recordList.isEmpty() && set.anchorList.isEmpty() && set.timeList.isEmpty());
        return;
    }
    const int n = set.recordList.size();
    check(n >= Tags::kMinSetAnchors && set.anchorList.size() == n && set.timeList.size() == n);
    check(set.seq == Tags::dueSequence(record::sequence(filed), tags.delayWindow) && set.tagImei == tagOf(filed));
    check(set.additionData == record::telemetry(set.recordList.first()));
    const int tagIndex = tags.tagsFindTag(set.tagImei);
    int previous = -1;
    for (int i = 0; i < n; ++i) {
        const QByteArray &r = set.recordList.at(i);
        check(record::isWholeRecord(r) && record::sequence(r) == set.seq && tagOf(r) == set.tagImei);
        check(set.timeList.at(i) < (1ULL << 40));
        const int index = tags.tagsFindAnchor(record::anchorKey(r), tagIndex);
        check(index > previous);
        previous = index;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(quiet); // the out-of-range window warning
    Tags::setArrivalClock(fuzzClock);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    Tags tags(int(int16_t(uint16_t(data[0] | (data[1] << 8)))));
    check(tags.delayWindow >= 0 && tags.delayWindow <= 255);
    tags.anchorTotal = data[2] & 0x0F;
    g_nowMs = 0;
    quint64 serial = 0;
    for (size_t at = 3; at + 4 <= size; at += 4) {
        const QByteArray tagId = sixBytes(quint8(0x10 + (data[at] & 0x03)));
        const QByteArray anchorId = sixBytes(quint8(0x80 + (data[at] >> 2)));
        g_nowMs += qint64(data[at + 2]) * 100;
        const quint64 time = (quint64(data[at + 3]) << 32) | ++serial;
        const QByteArray r = makeRecord(data[at + 1], anchorId, tagId, time, char(data[at + 3]));
        checkSet(tags, tags.tagsFileRecord(r), r);
        const int tagIndex = tags.tagsFindTag(tagOf(r));
        if (tagIndex >= 0) {
            const ArrivalTable &table = tags.tagMessages.at(tagIndex).seqArrivals;
            check(table.rowCount() <= Tags::pendingRowLimit(tags.delayWindow));
            check(table.storedCount() <= table.rowCount() * tags.tagMessages.at(tagIndex).anchorNum);
        }
        // The store's lock is released on every path.
        check(g_timer_10s_mutex.try_lock());
        g_timer_10s_mutex.unlock();
    }
    return 0;
}
