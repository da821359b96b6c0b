#ifndef ENGINE_TEST_UTIL_H
#define ENGINE_TEST_UTIL_H

// Helpers shared by the engine tests: identifiers, config.ini texts,
// simulated reception times, and capture of log lines and standard output.

#include "common/common_function.h"
#include "common/global_data.h"
#include "common/logwriter.h"
#include "tests/support/log_capture.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace enginetest {

constexpr double kTick = 0.00468;

inline ANCHOR_IMEI_t anchorId(int n)
{
    ANCHOR_IMEI_t id{};
    id.imei[4] = quint8(n >> 8);
    id.imei[5] = quint8(n);
    return id;
}

inline TAG_IMEI_t tagId(int n)
{
    TAG_IMEI_t id{};
    id.imei[0] = 0xA0;
    id.imei[4] = quint8(n >> 8);
    id.imei[5] = quint8(n);
    return id;
}

inline QString anchorKey(int n) { return idText(anchorId(n).imei); }

// An anchor_coordinate group with anchors numbered 1, 2, ... in key order,
// a tag height and optional extra lines of algorithm_config.
inline QString iniText(const QList<AnchorXYZ> &anchors, double tagHigh, const QString &algorithmLines = QString())
{
    QString ini = QStringLiteral("[token_msg]\nconsole=debugmsg\n[algorithm_config]\n") + algorithmLines
                  + QStringLiteral("\n[anchor_coordinate]\n");
    for (int i = 0; i < anchors.size(); ++i)
        ini += QStringLiteral("%1=\"%2,%3,%4\"\n")
                   .arg(anchorKey(i + 1))
                   .arg(anchors[i].x, 0, 'g', 17)
                   .arg(anchors[i].y, 0, 'g', 17)
                   .arg(anchors[i].z, 0, 'g', 17);
    ini += QStringLiteral("[tag_high]\ntag1=%1\n").arg(tagHigh);
    return ini;
}

inline QList<ANCHOR_IMEI_t> anchorIds(const QList<int> &numbers)
{
    QList<ANCHOR_IMEI_t> ids;
    for (int n : numbers)
        ids.append(anchorId(n));
    return ids;
}

// Reception times of a transmission from tag at the anchors numbered in
// `numbers` (1-based into `anchors`): offset plus distance in whole ticks,
// plus an optional range bias in metres per anchor, on the 40-bit clock.
inline QList<unsigned long long> receptionTimes(const QList<AnchorXYZ> &anchors, const QList<int> &numbers,
                                                const TAG_XYZ_t &tag, unsigned long long offset,
                                                const QList<double> &biasMetres = {})
{
    QList<unsigned long long> ticks;
    for (int k = 0; k < numbers.size(); ++k) {
        const AnchorXYZ &a = anchors.at(numbers.at(k) - 1);
        double d = std::sqrt((a.x - tag.x) * (a.x - tag.x) + (a.y - tag.y) * (a.y - tag.y)
                             + (a.z - tag.z) * (a.z - tag.z));
        if (k < biasMetres.size())
            d += biasMetres.at(k);
        ticks.append((offset + (unsigned long long)std::llround(d / kTick)) & ((1ULL << 40) - 1));
    }
    return ticks;
}

// Redirects standard output into a temporary file while alive.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        file.open();
        std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        dup2(file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }
    QString text()
    {
        restore();
        file.seek(0);
        return QString::fromUtf8(file.readAll());
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        saved = -1;
    }
    QTemporaryFile file;
    int saved = -1;
};

} // namespace enginetest

#endif // ENGINE_TEST_UTIL_H
