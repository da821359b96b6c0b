#include "store/anchormessage.h"

#include "ingest/anchor_record.h"

void AnchorMessage::anchorMessageAddData(const QByteArray &record)
{
    if (seqData.isEmpty())
        seqData.resize(record::kSequenceCount);
    seq = record::sequence(record);
    seqData[seq] = record;
}

QByteArray AnchorMessage::record(int sequence) const
{
    return seqData.isEmpty() ? QByteArray() : seqData.at(sequence);
}

int AnchorMessage::storedCount() const
{
    int stored = 0;
    for (const QByteArray &r : seqData)
        stored += r.isNull() ? 0 : 1;
    return stored;
}
