#ifndef TAGMESSAGE_H
#define TAGMESSAGE_H

#include "store/anchormessage.h"

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <limits>

// A 6-byte identifier as one integer, byte 0 most significant: the store's
// lookups compare and hash one word instead of a heap-allocated byte string.
inline quint64 storeIdKey(const quint8 *id) noexcept
{
    quint64 key = 0;
    for (int i = 0; i < 6; ++i)
        key = key << 8 | id[i];
    return key;
}
// Ids are 6 bytes; a shorter one (never queued) still gets a key of its own.
inline quint64 storeIdKey(const QByteArray &id) noexcept
{
    if (id.size() >= 6)
        return storeIdKey(reinterpret_cast<const quint8 *>(id.constData()));
    quint64 key = quint64(id.size() + 1) << 48;
    for (int i = 0; i < id.size(); ++i)
        key = key | quint64(static_cast<quint8>(id.at(i))) << (8 * (5 - i));
    return key;
}

// Arrival times of the records of each transmission still being counted, by
// sequence number and anchor index, in milliseconds of a monotonic clock.
// Plays the role of a map (sequence -> (anchor index -> time)) at a fixed cost
// of 2 KiB per anchor (rounded up to a power of two anchors) of the tag,
// without a heap node per arrival.
class ArrivalTable
{
public:
    static constexpr qint64 kNoArrival = std::numeric_limits<qint64>::min();

    // Records (or overwrites) the arrival of an anchor's record.
    void arrivalRecord(int sequence, int anchorIndex, qint64 ms);
    // kNoArrival when the anchor has no arrival under that number.
    qint64 arrivalAt(int sequence, int anchorIndex) const;
    // How many anchors have an arrival under that number (0 = no entry).
    int arrivalAnchors(int sequence) const;
    // Drops every arrival of that number.
    void arrivalClear(int sequence);
    // True when no number has any arrival.
    bool isEmpty() const;

private:
    void widen(int anchorCount);

    // 256 rows, one per sequence number, of `stride` times by anchor index:
    // the arrivals of one transmission are side by side (8 anchors, one cache
    // line). The stride doubles when an anchor index outgrows it.
    QVector<qint64> times;
    QVector<int> anchors; // per sequence number; empty until the first arrival
    int stride = 0;
};

// What the store knows of one tag: every anchor that has heard it, and the
// bookkeeping of the transmissions not yet examined.
class TagMessage
{
public:
    explicit TagMessage(int anchorCount = 0);

    // Anchor index of a 6-byte anchor id, or -1.
    int findAnchor(const QByteArray &anchorId) const;
    // Adds an anchor under the next index; callers check findAnchor first.
    void tagMessageAddAnchor(const QByteArray &anchorId, const AnchorMessage &anchor);

    int anchorNum;
    // storeIdKey of each anchor by anchor index. A tag is heard by a handful
    // of configured anchors, so a scan beats any hash.
    QVector<quint64> anchorIds;
    QVector<AnchorMessage> anchorMessages;
    // Records filed per sequence number since the number was last cleared.
    QVector<int> seqCount;
    ArrivalTable seqArrivals;
    // When the tag was last heard, on the store's clock (Tags::tagsNowMs).
    qint64 lastHeardMs = 0;
};

Q_DECLARE_TYPEINFO(TagMessage, Q_MOVABLE_TYPE);

#endif // TAGMESSAGE_H
