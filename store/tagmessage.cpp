#include "store/tagmessage.h"

#include "ingest/anchor_record.h"


namespace {
constexpr int kRows = record::kSequenceCount;
}

void ArrivalTable::arrivalRecord(int sequence, int anchorIndex, qint64 ms)
{
    if (anchors.isEmpty())
        anchors = QVector<int>(kRows, 0);
    if (columns.size() <= anchorIndex)
        columns.resize(anchorIndex + 1);
    QVector<qint64> &column = columns[anchorIndex];
    if (column.isEmpty())
        column = QVector<qint64>(kRows, kNoArrival);
    qint64 &slot = column[sequence];
    if (slot == kNoArrival)
        ++anchors[sequence];
    slot = ms;
}

qint64 ArrivalTable::arrivalAt(int sequence, int anchorIndex) const
{
    if (anchorIndex >= columns.size() || columns.at(anchorIndex).isEmpty())
        return kNoArrival;
    return columns.at(anchorIndex).at(sequence);
}

int ArrivalTable::arrivalAnchors(int sequence) const
{
    return anchors.isEmpty() ? 0 : anchors.at(sequence);
}

void ArrivalTable::arrivalClear(int sequence)
{
    if (arrivalAnchors(sequence) == 0)
        return;
    for (QVector<qint64> &column : columns) {
        if (!column.isEmpty())
            column[sequence] = kNoArrival;
    }
    anchors[sequence] = 0;
}

bool ArrivalTable::isEmpty() const
{
    for (int n : anchors) {
        if (n != 0)
            return false;
    }
    return true;
}

TagMessage::TagMessage(int anchorCount) : anchorNum(anchorCount), seqCount(record::kSequenceCount, 0) {}

int TagMessage::findAnchor(const QByteArray &anchorId) const
{
    return anchorIndexHash.value(anchorId, -1);
}

void TagMessage::tagMessageAddAnchor(const QByteArray &anchorId, const AnchorMessage &anchor)
{
    anchorMessages.append(anchor);
    anchorIndexHash[anchorId] = anchorNum;
    ++anchorNum;
}
