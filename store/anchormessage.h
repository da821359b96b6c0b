#ifndef ANCHORMESSAGE_H
#define ANCHORMESSAGE_H

#include <QByteArray>
#include <QVector>

// The measurement records of one anchor for one tag, one per sequence number.
class AnchorMessage
{
public:
    // Adds one whole record; it replaces the record stored under the same
    // sequence number, if any. The record is shared, not copied.
    void anchorMessageAddData(const QByteArray &record);

    // The record last stored under `sequence`, or a null array when none was.
    QByteArray record(int sequence) const;
    // How many sequence numbers hold a record.
    int storedCount() const;

    // Sequence number (0 to 255) of the record added last.
    int seq = 0;
    // One slot per sequence number, index = sequence number; a null array is a
    // slot never filled. Sized on the first record. A fixed vector rather than a
    // map: a tag heard by 8 anchors for a few minutes fills every slot, and a
    // map node per record would add about 50 bytes to each 54-byte record.
    QVector<QByteArray> seqData;
};

Q_DECLARE_TYPEINFO(AnchorMessage, Q_MOVABLE_TYPE);

#endif // ANCHORMESSAGE_H
