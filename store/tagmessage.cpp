#include "store/tagmessage.h"

#include "ingest/anchor_record.h"

#include <algorithm>


namespace {
constexpr int kRows = record::kSequenceCount;
}

void ArrivalTable::widen(int anchorCount)
{
    int wider = qMax(stride, 1);
    while (wider < anchorCount)
        wider *= 2;
    // Constructed at its exact size: resize() would round the block up.
    QVector<qint64> moved(kRows * wider, kNoArrival);
    for (int row = 0; row < kRows && stride > 0; ++row)
        std::copy_n(times.constData() + row * stride, stride, moved.data() + row * wider);
    times.swap(moved);
    stride = wider;
}

void ArrivalTable::arrivalRecord(int sequence, int anchorIndex, qint64 ms)
{
    if (anchors.isEmpty())
        anchors = QVector<int>(kRows, 0);
    if (anchorIndex >= stride)
        widen(anchorIndex + 1);
    qint64 &slot = times[sequence * stride + anchorIndex];
    if (slot == kNoArrival)
        ++anchors[sequence];
    slot = ms;
}

qint64 ArrivalTable::arrivalAt(int sequence, int anchorIndex) const
{
    return anchorIndex < stride ? times.at(sequence * stride + anchorIndex) : kNoArrival;
}

int ArrivalTable::arrivalAnchors(int sequence) const
{
    return anchors.isEmpty() ? 0 : anchors.at(sequence);
}

void ArrivalTable::arrivalClear(int sequence)
{
    if (arrivalAnchors(sequence) == 0)
        return;
    std::fill_n(times.data() + sequence * stride, stride, kNoArrival);
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
    return anchorIds.indexOf(storeIdKey(anchorId));
}

void TagMessage::tagMessageAddAnchor(const QByteArray &anchorId, const AnchorMessage &anchor)
{
    anchorMessages.append(anchor);
    anchorIds.append(storeIdKey(anchorId));
    ++anchorNum;
}
