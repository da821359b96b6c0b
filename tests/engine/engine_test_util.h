#ifndef ENGINE_TEST_UTIL_H
#define ENGINE_TEST_UTIL_H
// Identifiers, config.ini texts and simulated reception times for the engine tests.

#include "common/common_function.h"
#include "common/global_data.h"
#include "common/logwriter.h"
#include "engine/algorithm.h"
#include "ingest/anchor_record.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

#include <QList>
#include <QString>
#include <QVector>

#include <cmath>
#include <memory>

namespace enginetest {

constexpr double kTick = 0.00468;
constexpr double kTicksPerSecond = 299792458.0 / kTick;

inline ANCHOR_IMEI_t anchorId(int n) { return ANCHOR_IMEI_t{{0, 0, 0, 0, quint8(n >> 8), quint8(n)}}; }

inline TAG_IMEI_t tagId(int n) { return TAG_IMEI_t{{0xA0, 0, 0, 0, quint8(n >> 8), quint8(n)}}; }

inline QString anchorKey(int n) { return idText(anchorId(n).imei); }

template <typename Id> QByteArray idBytes(const Id &id) { return QByteArray(reinterpret_cast<const char *>(id.imei), 6); }

// The hall of the solver's worked example: a 10 m square and a fifth anchor
// beyond one wall, all at 3 m, for tags at 1.2 m.
inline const QList<AnchorXYZ> kHall{{0, 0, 3}, {10, 0, 3}, {10, 10, 3}, {0, 10, 3}, {5, 12, 3}};

inline QList<ANCHOR_IMEI_t> anchorIds(const QList<int> &numbers)
{
    QList<ANCHOR_IMEI_t> ids;
    for (int n : numbers)
        ids.append(anchorId(n));
    return ids;
}

// Debug on, anchors numbered 1, 2, ... in key order, a tag height and optional lines of algorithm_config.
inline QString iniText(const QList<AnchorXYZ> &anchors, double tagHigh, const QString &algorithmLines = QString())
{
    QString ini = "[token_msg]\nconsole=debugmsg\n[algorithm_config]\n" + algorithmLines + "\n[anchor_coordinate]\n";
    for (int i = 0; i < anchors.size(); ++i)
        ini += QStringLiteral("%1=\"%2,%3,%4\"\n").arg(anchorKey(i + 1)).arg(anchors[i].x, 0, 'g', 17)
                   .arg(anchors[i].y, 0, 'g', 17).arg(anchors[i].z, 0, 'g', 17);
    return ini + QStringLiteral("[tag_high]\ntag1=%1\n").arg(tagHigh);
}

// A solver for `anchors` with tags at 1.2 m and the given lines of algorithm_config.
inline std::unique_ptr<algorithm> solverFor(const QList<AnchorXYZ> &anchors, const QString &lines)
{
    ScopedConfig config(iniText(anchors, 1.2, lines));
    return std::make_unique<algorithm>();
}

// Reception times at the anchors numbered in `numbers` (1-based into `anchors`) of a transmission from `tag`: offset
// plus distance in whole ticks, plus an optional range bias in metres per anchor, on the 40-bit clock.
inline QList<unsigned long long> receptionTimes(const QList<AnchorXYZ> &anchors, const QList<int> &numbers,
                                                const TAG_XYZ_t &tag, unsigned long long offset,
                                                const QList<double> &biasMetres = {})
{
    QList<unsigned long long> ticks;
    for (int k = 0; k < numbers.size(); ++k) {
        const AnchorXYZ &a = anchors.at(numbers.at(k) - 1);
        const double d = std::sqrt((a.x - tag.x) * (a.x - tag.x) + (a.y - tag.y) * (a.y - tag.y)
                                   + (a.z - tag.z) * (a.z - tag.z)) + biasMetres.value(k);
        ticks.append((offset + (unsigned long long)std::llround(d / kTick)) & ((1ULL << 40) - 1));
    }
    return ticks;
}

// The records of one transmission of `tag` from (3, 4) to the hall's anchors 1..5, with an optional range bias in
// metres per anchor; anchor n's telemetry block is filled with 'a' + n.
inline QVector<QByteArray> hallTransmission(const TAG_IMEI_t &tag, int sequence, const QList<double> &bias = {})
{
    const QList<unsigned long long> times = receptionTimes(kHall, {1, 2, 3, 4, 5}, {3, 4, 1.2}, 1000000, bias);
    QVector<QByteArray> records;
    for (int n = 1; n <= 5; ++n)
        records.append(record::make(quint8(sequence), idBytes(anchorId(n)), times[n - 1], idBytes(tag),
                                    QByteArray(record::kTelemetrySize, char('a' + n))));
    return records;
}

} // namespace enginetest

#endif // ENGINE_TEST_UTIL_H
