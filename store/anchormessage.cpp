#include "store/anchormessage.h"

#include "ingest/anchor_record.h"

void AnchorMessage::anchorMessageAddData(const QByteArray &record)
{
    // Constructed, not resized: resize() rounds a growing vector up to the
    // next power of two, 4 KiB instead of 2 KiB per anchor of every tag.
    if (seqData.isEmpty())
        seqData = QVector<QByteArray>(record::kSequenceCount);
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
