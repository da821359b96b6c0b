#ifndef TEST_RECORDS_H
#define TEST_RECORDS_H

#include "common/global_data.h"
#include "ingest/anchor_record.h"

#include <cstring>

// Builds one whole measurement record through the layout's named offsets.
inline QByteArray makeRecord(int sequence, const QByteArray &anchorId, const QByteArray &tagId, quint64 time,
                             char telemetryFill = 't')
{
    return record::make(quint8(sequence), anchorId, time, tagId, QByteArray(record::kTelemetrySize, telemetryFill));
}

// A 6-byte id whose bytes are all `b`.
inline QByteArray sixBytes(quint8 b) { return QByteArray(record::kIdSize, char(b)); }

inline TAG_IMEI_t tagOf(const QByteArray &r)
{
    TAG_IMEI_t tag;
    std::memcpy(tag.imei, record::tagIdBytes(r), sizeof tag.imei);
    return tag;
}

#endif // TEST_RECORDS_H
