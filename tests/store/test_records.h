#ifndef TEST_RECORDS_H
#define TEST_RECORDS_H

#include "common/global_data.h"
#include "ingest/anchor_record.h"
#include "store/tags.h"

#include <cstring>

// Builds one whole measurement record through the layout's named offsets.
inline QByteArray makeRecord(int sequence, const QByteArray &anchorId, const QByteArray &tagId, quint64 time,
                             char telemetryFill = 't')
{
    return record::make(quint8(sequence), anchorId, time, tagId,
                        QByteArray(record::kTelemetrySize, telemetryFill));
}

// A 6-byte id whose bytes are all `b`.
inline QByteArray sixBytes(quint8 b) { return QByteArray(record::kIdSize, char(b)); }

inline TAG_IMEI_t tagOf(const QByteArray &r)
{
    TAG_IMEI_t tag;
    std::memcpy(tag.imei, record::tagIdBytes(r), sizeof tag.imei);
    return tag;
}

// Files one record the way the per-record processing does: the first record
// of a tag, and of each anchor of a tag, only makes it known. Returns whether
// tagsAddNewData was called; `set` is its result.
inline bool fileLikePipeline(Tags &tags, const QByteArray &r, AlgorithmBasicData *set = nullptr)
{
    const TAG_IMEI_t tag = tagOf(r);
    const QByteArray anchorKey = record::anchorKey(r);
    const int tagIndex = tags.tagsFindTag(tag);
    AnchorMessage anchor;
    anchor.anchorMessageAddData(r);
    if (tagIndex < 0) {
        TagMessage message(0);
        message.tagMessageAddAnchor(anchorKey, anchor);
        tags.tagsAddNewTag(tag, message);
        return false;
    }
    const int anchorIndex = tags.tagsFindAnchor(anchorKey, tagIndex);
    if (anchorIndex < 0) {
        tags.tagsAddNewAnchor(tagIndex, anchorKey, anchor);
        return false;
    }
    const AlgorithmBasicData result = tags.tagsAddNewData(tagIndex, anchorIndex, r);
    if (set)
        *set = result;
    return true;
}

#endif // TEST_RECORDS_H
