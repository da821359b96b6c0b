#include "tools/monitor/report_collector.h"

#include "tools/monitor/live_map_hub.h"
#include "tools/monitor/report_parser.h"

#include <cstdio>

ReportCollector::ReportCollector(bool keep, qint64 forgetAfter) : keepReports(keep), forgetAfterUs(forgetAfter) {}

void ReportCollector::take(const ReportReceiver::Datagram &d)
{
    PositionReport r;
    QString why;
    const ReportCheck check = d.truncated ? ReportCheck::Malformed : parseReport(d.data, &r, &why);
    if (check == ReportCheck::OutOfRange) {
        ++outOfRange;
        lastOutOfRange = why;
        return;
    }
    if (check != ReportCheck::Valid) {
        ++invalid;
        lastInvalid = d.truncated ? QStringLiteral("datagram too large") : why;
        return;
    }
    ++reports;
    (r.hrBuild ? hrSeen : plainSeen) = true;
    accuracySquares += r.horizAccuracy * r.horizAccuracy;
    auto it = live.find(r.tag);
    if (it == live.end()) {
        it = live.insert(r.tag, TagLive());
        it->firstUs = d.arrivalUs;
        ++tagsHeard;
    }
    r.tag = it.key(); // one shared text per tag
    TagLive &t = it.value();
    t.lastUs = d.arrivalUs;
    ++t.reports;
    if (keepReports) {
        if (kept.size() < kMostKeptReports)
            kept.append({d.arrivalUs, r.tag, r.x, r.y});
        else if (reports == kMostKeptReports + 1)
            std::fprintf(stderr, "solver_monitor: %d reports kept for --truth and --svg; later ones are counted, "
                                 "not kept\n", kMostKeptReports);
    }
    t.last = r;
    if (map)
        map->report(r.tag, r.x, r.y, d.arrivalUs, r.horizAccuracy);
}

void ReportCollector::forgetSilent(qint64 nowUs)
{
    QVector<QString> silent;
    for (auto it = live.begin(); it != live.end();) {
        if (it->lastUs < nowUs - forgetAfterUs) {
            silent.append(it.key());
            it = live.erase(it);
        } else {
            ++it;
        }
    }
    tagsForgotten += silent.size();
    if (map && !silent.isEmpty())
        map->forget(silent);
}
