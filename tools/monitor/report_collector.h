#ifndef REPORT_COLLECTOR_H
#define REPORT_COLLECTOR_H

#include "tools/monitor/live_table.h"
#include "tools/monitor/report_receiver.h"
#include "tools/monitor/truth_scorer.h"

#include <QMap>
#include <QString>
#include <QVector>

class LiveMapHub;

// What the monitor keeps of the reports it receives, within bounds, so that it
// can run for days: one row per tag for the live table and the live map (a tag
// unheard for `forgetAfterUs` is forgotten, in both), counts, and the reports
// themselves only when the end-of-run scoring or picture needs them, then at
// most kMostKeptReports (before these bounds, 1000 tags at 10 Hz grew the
// monitor by about 1 GiB an hour).
class ReportCollector
{
public:
    // 32 bytes each: 64 MiB, 200 s of 1000 tags at 10 Hz.
    static constexpr int kMostKeptReports = 2000000;

    ReportCollector(bool keepReports, qint64 forgetAfterUs);
    Q_DISABLE_COPY(ReportCollector)

    void take(const ReportReceiver::Datagram &d);
    // Forgets the tags last heard before nowUs - forgetAfterUs.
    void forgetSilent(qint64 nowUs);

    LiveMapHub *map = nullptr; // fed with every valid report when set

    QMap<QString, TagLive> live;   // the tags heard lately
    QVector<ReceivedReport> kept;  // empty unless keepReports; the first ones
    qint64 reports = 0;            // valid reports received
    qint64 invalid = 0;            // datagrams that were not reports
    qint64 outOfRange = 0;         // reports refused for a coordinate out of range
    qint64 tagsHeard = 0;          // tags that appeared, again after being forgotten
    qint64 tagsForgotten = 0;
    double accuracySquares = 0;    // of the reported horizAccuracy, m^2
    QString lastInvalid;
    QString lastOutOfRange;
    bool hrSeen = false;
    bool plainSeen = false;

private:
    const bool keepReports;
    const qint64 forgetAfterUs;
};

#endif // REPORT_COLLECTOR_H
