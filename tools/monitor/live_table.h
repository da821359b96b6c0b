#ifndef LIVE_TABLE_H
#define LIVE_TABLE_H

#include "tools/monitor/report_parser.h"

#include <QMap>
#include <QString>

// Per-tag state of the live view: the last report and the counts behind the
// update rate.
struct TagLive {
    PositionReport last;
    qint64 reports = 0;
    qint64 reportsAtLastView = 0;
    qint64 firstUs = 0;
    qint64 lastUs = 0;
};

// The table as plain text, one line per tag: id, position in metres, rate
// over the last refresh interval, and a few telemetry values. Marks the
// counts as shown, so the next call's rates cover the next interval.
QString renderLiveTable(QMap<QString, TagLive> &tags, double intervalSeconds, qint64 total, qint64 invalid);

#endif // LIVE_TABLE_H
