#ifndef ANCHOR_RECORD_H
#define ANCHOR_RECORD_H

#include "common/build_variant.h"

#include <QByteArray>
#include <QtGlobal>

// Byte layout of one anchor measurement record. No other file knows an offset:
// the store, the solver input and the pipeline read fields through these
// accessors. The accessors trust the length (the receiver only queues whole
// records); `isWholeRecord` is the check for callers that cannot.
//
//   0  'D'   1  'W'   2  sequence number (u8, wraps 255 -> 0)
//   3  anchor id (6 bytes)
//   9  reception time (u40, little-endian)
//  14  tag id (6 bytes)
//  20  not interpreted (6 bytes)
//  26  tag telemetry block (26 or 44 bytes)
//  R-2 CR LF
namespace record {

constexpr int kFrameMark = 0;
constexpr int kFrameType = 1;
constexpr int kSequence = 2;
constexpr int kAnchorId = 3;
constexpr int kReceptionTime = 9;
constexpr int kReceptionTimeSize = 5;
constexpr int kTagId = 14;
constexpr int kIdSize = 6;
constexpr int kTelemetry = variant::kTelemetryOffset;
constexpr int kTelemetrySize = variant::kTelemetrySize;
constexpr int kSize = variant::kRecordSize;
// The sequence number is one unsigned byte: 256 values, 255 followed by 0.
constexpr int kSequenceCount = 256;

inline bool isWholeRecord(const QByteArray &r) noexcept { return r.size() == kSize; }

inline int sequence(const QByteArray &r) noexcept
{
    return static_cast<quint8>(r.constData()[kSequence]);
}

inline QByteArray anchorKey(const QByteArray &r) { return r.mid(kAnchorId, kIdSize); }
inline QByteArray tagKey(const QByteArray &r) { return r.mid(kTagId, kIdSize); }

inline const quint8 *anchorIdBytes(const QByteArray &r) noexcept
{
    return reinterpret_cast<const quint8 *>(r.constData()) + kAnchorId;
}

inline const quint8 *tagIdBytes(const QByteArray &r) noexcept
{
    return reinterpret_cast<const quint8 *>(r.constData()) + kTagId;
}

// 40-bit little-endian counter widened to 64 bits, upper 24 bits zero.
inline quint64 receptionTime(const QByteArray &r) noexcept
{
    const auto *p = reinterpret_cast<const quint8 *>(r.constData()) + kReceptionTime;
    quint64 t = 0;
    for (int i = kReceptionTimeSize - 1; i >= 0; --i)
        t = (t << 8) | p[i];
    return t;
}

inline QByteArray telemetry(const QByteArray &r) { return r.mid(kTelemetry, kTelemetrySize); }

// Builds one whole record, as an anchor sends it. Ids and telemetry block
// shorter than their fields are padded with zeros, longer ones cut. For the
// simulator, tests and benchmarks: the engine itself only reads records.
inline QByteArray make(quint8 sequenceNumber, const QByteArray &anchorId, quint64 time, const QByteArray &tagId,
                       const QByteArray &telemetryBlock)
{
    QByteArray r(kSize, '\0');
    char *p = r.data();
    p[kFrameMark] = 'D';
    p[kFrameType] = 'W';
    p[kSequence] = static_cast<char>(sequenceNumber);
    for (int i = 0; i < kIdSize && i < anchorId.size(); ++i)
        p[kAnchorId + i] = anchorId.at(i);
    for (int i = 0; i < kIdSize && i < tagId.size(); ++i)
        p[kTagId + i] = tagId.at(i);
    for (int i = 0; i < kReceptionTimeSize; ++i)
        p[kReceptionTime + i] = static_cast<char>((time >> (8 * i)) & 0xff);
    for (int i = 0; i < kTelemetrySize && i < telemetryBlock.size(); ++i)
        p[kTelemetry + i] = telemetryBlock.at(i);
    p[kSize - 2] = '\r';
    p[kSize - 1] = '\n';
    return r;
}

} // namespace record

#endif // ANCHOR_RECORD_H
