#ifndef BENCH_HALL_H
#define BENCH_HALL_H

// The hall of the solver benchmarks and the configuration that gives the
// engine its anchors.

#include "common/common_function.h"
#include "common/config_file.h"
#include "common/global_data.h"

#include <QFile>
#include <QString>

#include <cmath>
#include <vector>

// kHall.size(), where an array bound needs a constant.
constexpr int kHallAnchors = 8;

// A 30 m x 20 m hall: four corners, four mid-wall anchors, at 3 to 4 m.
inline const std::vector<AnchorXYZ> kHall = {{0, 0, 3},   {30, 0, 3.5}, {30, 20, 3}, {0, 20, 3.5},
                                             {15, -1, 4}, {31, 10, 3},  {15, 21, 4}, {-1, 10, 3}};

inline ANCHOR_IMEI_t anchorId(size_t i)
{
    ANCHOR_IMEI_t id{};
    id.imei[0] = 0x10;
    id.imei[5] = quint8(i + 1);
    return id;
}

// Writes a config.ini with the anchors, the tag height and any
// [algorithm_config] lines into dir and makes it the engine's configuration;
// false when it cannot be written.
inline bool useLayoutConfig(const QString &dir, const std::vector<AnchorXYZ> &anchors, double tagHeight,
                            const QString &algorithmLines = QString())
{
    QString ini = QStringLiteral("[algorithm_config]\n") + algorithmLines + QStringLiteral("\n[anchor_coordinate]\n");
    for (size_t i = 0; i < anchors.size(); ++i)
        ini += QStringLiteral("%1=\"%2,%3,%4\"\n")
                   .arg(idText(anchorId(i).imei))
                   .arg(anchors[i].x, 0, 'g', 17)
                   .arg(anchors[i].y, 0, 'g', 17)
                   .arg(anchors[i].z, 0, 'g', 17);
    ini += QStringLiteral("[tag_high]\ntag1=%1\n").arg(tagHeight);
    QFile file(dir + QStringLiteral("/config.ini"));
    if (!file.open(QIODevice::WriteOnly) || file.write(ini.toUtf8()) < 0)
        return false;
    file.close();
    ConfigFile::setExecutableDirForTesting(dir);
    return true;
}

inline double distance(const AnchorXYZ &a, const TAG_XYZ_t &t)
{
    return std::sqrt((a.x - t.x) * (a.x - t.x) + (a.y - t.y) * (a.y - t.y) + (a.z - t.z) * (a.z - t.z));
}

struct Bounds {
    double crlb; // sqrt(trace(FIM^-1))
    double ols;  // RMSE of unweighted least squares on the differences
};

// For x, y with z known, reference anchor 0, covariance Q = s^2 (I + 1 1^T):
// FIM = G^T Q^-1 G with Q^-1 = (I - 1 1^T / N) / s^2. Unweighted least
// squares ignores the correlation and reaches at best
// Cov = (G^T G)^-1 G^T Q G (G^T G)^-1, which the second figure gives.
inline Bounds bounds(const std::vector<AnchorXYZ> &anchors, const TAG_XYZ_t &t, double s)
{
    const size_t n = anchors.size();
    const double r0 = distance(anchors[0], t);
    double sxx = 0, syy = 0, sxy = 0, sx = 0, sy = 0;
    for (size_t i = 1; i < n; ++i) {
        const double ri = distance(anchors[i], t);
        const double gx = (t.x - anchors[i].x) / ri - (t.x - anchors[0].x) / r0;
        const double gy = (t.y - anchors[i].y) / ri - (t.y - anchors[0].y) / r0;
        sxx += gx * gx;
        syy += gy * gy;
        sxy += gx * gy;
        sx += gx;
        sy += gy;
    }
    const double m = double(n);
    const double v = s * s;
    const double fxx = (sxx - sx * sx / m) / v;
    const double fyy = (syy - sy * sy / m) / v;
    const double fxy = (sxy - sx * sy / m) / v;
    const double crlb = std::sqrt((fxx + fyy) / (fxx * fyy - fxy * fxy));

    // G^T Q G = s^2 (G^T G + (G^T 1)(1^T G)); A = (G^T G)^-1.
    const double d = sxx * syy - sxy * sxy;
    const double a00 = syy / d, a11 = sxx / d, a01 = -sxy / d;
    const double m00 = v * (sxx + sx * sx), m11 = v * (syy + sy * sy), m01 = v * (sxy + sx * sy);
    // trace(A M A) for symmetric 2 x 2 matrices.
    const double b00 = a00 * m00 + a01 * m01, b01 = a00 * m01 + a01 * m11;
    const double b10 = a01 * m00 + a11 * m01, b11 = a01 * m01 + a11 * m11;
    const double ols = std::sqrt(b00 * a00 + b01 * a01 + b10 * a01 + b11 * a11);
    return Bounds{crlb, ols};
}

inline bool useHallConfig(const QString &dir, double tagHeight) { return useLayoutConfig(dir, kHall, tagHeight); }

#endif // BENCH_HALL_H
