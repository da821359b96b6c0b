#include "store/tagmessage.h"

#include <algorithm>
#include <cstring>

void ArrivalTable::resize(int rowTotal, int anchorTotal)
{
    // Built at the exact size: growing a QVector rounds its block up, and a
    // table grows only while a tag's first transmissions register it.
    QVector<Cell> moved(rowTotal * anchorTotal);
    for (Cell &cell : moved)
        cell.at = kNoArrival;
    for (int row = 0; row < rows.size() && stride > 0; ++row)
        std::copy_n(cells.constData() + row * stride, stride, moved.data() + row * anchorTotal);
    cells.swap(moved);
    stride = anchorTotal;
    rows.reserve(rowTotal); // exact, where resize() alone would round up
    rows.resize(rowTotal);
}

int ArrivalTable::arrivalRow(int sequence) const
{
    for (int row = 0; row < rows.size(); ++row) {
        if (rows.at(row).sequence == sequence)
            return row;
    }
    return -1;
}

int ArrivalTable::arrivalOpen(int sequence, int rowLimit, int anchorCount)
{
    if (anchorCount > stride)
        resize(rows.size(), anchorCount);
    int row = arrivalRow(-1);
    if (row < 0) {
        if (rows.size() >= rowLimit)
            return -1;
        row = rows.size();
        resize(rowLimit, stride);
    }
    rows[row].sequence = sequence;
    rows[row].opened = ++openings;
    return row;
}

int ArrivalTable::arrivalFile(int row, int anchorIndex, qint64 ms, const QByteArray &record)
{
    if (anchorIndex >= stride)
        resize(rows.size(), anchorIndex + 1);
    Row &r = rows[row];
    Cell &cell = cells[row * stride + anchorIndex];
    if (cell.at == kNoArrival)
        ++r.anchors;
    cell.at = ms;
    std::memcpy(cell.record, record.constData(), sizeof cell.record);
    return ++r.count;
}

qint64 ArrivalTable::arrivalAt(int row, int anchorIndex) const
{
    return anchorIndex < stride ? cells.at(row * stride + anchorIndex).at : kNoArrival;
}

QByteArray ArrivalTable::arrivalRecordAt(int row, int anchorIndex) const
{
    return QByteArray(cells.at(row * stride + anchorIndex).record, record::kSize);
}

int ArrivalTable::arrivalAnchors(int row) const { return rows.at(row).anchors; }

int ArrivalTable::arrivalSequence(int row) const { return rows.at(row).sequence; }

int ArrivalTable::arrivalOldestRow() const
{
    int oldest = -1;
    for (int row = 0; row < rows.size(); ++row) {
        // Ages by unsigned difference, so the count of openings may wrap.
        if (rows.at(row).sequence >= 0
            && (oldest < 0 || openings - rows.at(row).opened > openings - rows.at(oldest).opened))
            oldest = row;
    }
    return oldest;
}

int ArrivalTable::arrivalClear(int row)
{
    Row &r = rows[row];
    const int held = r.anchors;
    if (held > 0) {
        for (int anchor = 0; anchor < stride; ++anchor)
            cells[row * stride + anchor].at = kNoArrival;
    }
    r = Row();
    return held;
}

int ArrivalTable::storedCount() const
{
    int stored = 0;
    for (const Row &r : rows)
        stored += r.anchors;
    return stored;
}

int TagMessage::findAnchor(const QByteArray &anchorId) const { return anchorIds.indexOf(storeIdKey(anchorId)); }

void TagMessage::tagMessageAddAnchor(const QByteArray &anchorId)
{
    anchorIds.append(storeIdKey(anchorId));
    ++anchorNum;
}
