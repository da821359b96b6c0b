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

// The counts above the table.
struct LiveCounts {
    qint64 reports = 0;
    qint64 invalid = 0;    // datagrams that were not reports
    qint64 outOfRange = 0; // reports refused for a coordinate out of range
};

// The table as plain text, one line per tag: id, position in metres, rate
// over the last refresh interval, and a few telemetry values. Marks the
// counts as shown, so the next call's rates cover the next interval.
QString renderLiveTable(QMap<QString, TagLive> &tags, double intervalSeconds, const LiveCounts &counts);

#endif // LIVE_TABLE_H
