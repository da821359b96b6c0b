#ifndef BENCH_HALL_H
#define BENCH_HALL_H

// The hall of the solver benchmarks and the configuration that gives the
// engine its anchors.

#include "common/common_function.h"
#include "common/config_file.h"
#include "common/global_data.h"

#include <QFile>
#include <QString>

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

inline bool useHallConfig(const QString &dir, double tagHeight) { return useLayoutConfig(dir, kHall, tagHeight); }

#endif // BENCH_HALL_H
