#include "store/tagmessage.h"

#include "ingest/anchor_record.h"

#include <algorithm>

namespace {
constexpr int kRows = record::kSequenceCount;
}

void ArrivalTable::arrivalRecord(int sequence, int anchorIndex, qint64 ms)
{
    if (anchors.isEmpty())
        anchors.fill(0, kRows);
    const int needed = (anchorIndex + 1) * kRows;
    if (times.size() < needed) {
        const int old = times.size();
        times.resize(needed);
        std::fill(times.begin() + old, times.end(), kNoArrival);
    }
    qint64 &slot = times[anchorIndex * kRows + sequence];
    if (slot == kNoArrival)
        ++anchors[sequence];
    slot = ms;
}

qint64 ArrivalTable::arrivalAt(int sequence, int anchorIndex) const
{
    const int at = anchorIndex * kRows + sequence;
    return at < times.size() ? times.at(at) : kNoArrival;
}

int ArrivalTable::arrivalAnchors(int sequence) const
{
    return anchors.isEmpty() ? 0 : anchors.at(sequence);
}

void ArrivalTable::arrivalClear(int sequence)
{
    if (arrivalAnchors(sequence) == 0)
        return;
    for (int at = sequence; at < times.size(); at += kRows)
        times[at] = kNoArrival;
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
