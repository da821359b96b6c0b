#ifndef TAGMESSAGE_H
#define TAGMESSAGE_H

#include "ingest/anchor_record.h"

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

// The transmissions of one tag still being counted, one row each: the row's
// sequence number, how many records were counted for it, and per anchor index
// the arrival time (milliseconds of a monotonic clock) and a copy of the
// record. The tag store decides how many rows a tag may hold (the delay
// window's span) and which one goes when they are all taken; a row is freed
// when its transmission is examined or given up and is reused for the next.
//
// Records are copied into the table, not shared with the FIFO item: a cell is
// 8 + 54 bytes (8 + 72 in solver_unit_hr) with no heap block of its own, and
// nothing the store keeps depends on how the caller holds its bytes.
class ArrivalTable
{
public:
    static constexpr qint64 kNoArrival = std::numeric_limits<qint64>::min();

    // The row counting `sequence`, or -1.
    int arrivalRow(int sequence) const;
    // A row for `sequence` with nothing counted, with room for anchorCount
    // anchors: a free one, else one of the rows added to make rowLimit; -1
    // when rowLimit rows are all taken.
    int arrivalOpen(int sequence, int rowLimit, int anchorCount);
    // Files the record of an anchor in a row (replacing that anchor's earlier
    // record of the row) and counts it; returns the row's count.
    int arrivalFile(int row, int anchorIndex, qint64 ms, const QByteArray &record);
    // kNoArrival when the anchor has no record in the row.
    qint64 arrivalAt(int row, int anchorIndex) const;
    // A copy of the anchor's record in the row; callers check arrivalAt first.
    QByteArray arrivalRecordAt(int row, int anchorIndex) const;
    // How many anchors have a record in the row.
    int arrivalAnchors(int row) const;
    // The row's sequence number, or -1 for a free row.
    int arrivalSequence(int row) const;
    // Of the rows in use, the one opened first; -1 when none is.
    int arrivalOldestRow() const;
    // Frees the row; returns how many records it held.
    int arrivalClear(int row);

    int rowCount() const { return rows.size(); }
    // Records held in all rows.
    int storedCount() const;
    bool isEmpty() const { return storedCount() == 0; }

private:
    struct Row {
        int sequence = -1; // -1: free
        int count = 0;     // records counted, repeats of an anchor included
        int anchors = 0;   // anchors with a record
        quint32 opened = 0;
    };
    struct Cell {
        qint64 at;
        char record[record::kSize];
    };
    void resize(int rowTotal, int anchorTotal);

    QVector<Row> rows;
    QVector<Cell> cells; // row-major: the anchors of one row side by side
    int stride = 0;      // cells per row: the anchors of the tag when a row was last opened
    quint32 openings = 0;
};

// What the store knows of one tag: every anchor that has heard it, and its
// transmissions still being counted.
class TagMessage
{
public:
    // Anchor index of a 6-byte anchor id, or -1.
    int findAnchor(const QByteArray &anchorId) const;
    // Adds an anchor under the next index; callers check findAnchor first.
    void tagMessageAddAnchor(const QByteArray &anchorId);

    int anchorNum = 0;
    // storeIdKey of each anchor by anchor index. A tag is heard by a handful
    // of configured anchors, so a scan beats any hash.
    QVector<quint64> anchorIds;
    ArrivalTable seqArrivals;
    // When the tag was last heard, on the store's clock (Tags::tagsNowMs).
    qint64 lastHeardMs = 0;
};

Q_DECLARE_TYPEINFO(TagMessage, Q_MOVABLE_TYPE);

#endif // TAGMESSAGE_H
