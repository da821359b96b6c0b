#include "tools/monitor/live_table.h"

#include <QJsonObject>

namespace {

QString telemetryText(const PositionReport &r)
{
    const QJsonObject &t = r.telemetry;
    if (r.hrBuild) {
        return QStringLiteral("heartrate %1  HRV %2")
            .arg(t.value(QStringLiteral("heartrate")).toInt())
            .arg(t.value(QStringLiteral("HRV")).toString());
    }
    return QStringLiteral("hr %1  VO2 %2  kcal %3  steps %4  dist %5 m  RRI %6")
        .arg(t.value(QStringLiteral("heart_rate")).toInt(), 3)
        .arg(t.value(QStringLiteral("VO2")).toInt(), 2)
        .arg(t.value(QStringLiteral("calorie")).toInt(), 4)
        .arg(t.value(QStringLiteral("step")).toInt(), 5)
        .arg(t.value(QStringLiteral("distance")).toInt(), 5)
        .arg(t.value(QStringLiteral("RRI")).toInt(), 4);
}

} // namespace

QString renderLiveTable(QMap<QString, TagLive> &tags, double intervalSeconds, const LiveCounts &counts)
{
    QString out = QStringLiteral("%1 reports, %2 not reports, %3 refused as out of range, %4 tags\n")
                      .arg(counts.reports)
                      .arg(counts.invalid)
                      .arg(counts.outOfRange)
                      .arg(tags.size());
    out += QStringLiteral("%1 %2 %3 %4 %5  telemetry\n")
               .arg(QStringLiteral("tag"), -12)
               .arg(QStringLiteral("x m"), 8)
               .arg(QStringLiteral("y m"), 8)
               .arg(QStringLiteral("rate/s"), 7)
               .arg(QStringLiteral("reports"), 8);
    for (auto it = tags.begin(); it != tags.end(); ++it) {
        TagLive &t = it.value();
        const double rate = intervalSeconds > 0 ? (t.reports - t.reportsAtLastView) / intervalSeconds : 0;
        t.reportsAtLastView = t.reports;
        out += QStringLiteral("%1 %2 %3 %4 %5  %6\n")
                   .arg(it.key(), -12)
                   .arg(t.last.x, 8, 'f', 2)
                   .arg(t.last.y, 8, 'f', 2)
                   .arg(rate, 7, 'f', 1)
                   .arg(t.reports, 8)
                   .arg(telemetryText(t.last));
    }
    return out;
}
