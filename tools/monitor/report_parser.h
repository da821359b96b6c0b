#ifndef REPORT_PARSER_H
#define REPORT_PARSER_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// One position report as the monitor sees it, from either program: both put
// the tag and its position under "indoorLocationData"; solver_unit_hr adds
// "outdoorLocationData" and carries only "heartrate" and "HRV" as telemetry.
struct PositionReport {
    QString tag;           // 12 upper-case hexadecimal digits
    double x = 0;          // metres (the report carries hundredths)
    double y = 0;
    bool hrBuild = false;
    int heartRate = -1;    // -1 when the report has none
    double horizAccuracy = -1; // qualityInfo.horizAccuracy, -1 when absent
    QString locationTime;
    QJsonObject telemetry; // the "additionMessage" object as received
};

// False, with the reason, for anything that is not a well-formed report:
// the monitor counts those instead of guessing at them.
bool parseReport(const QByteArray &datagram, PositionReport *out, QString *why);

#endif // REPORT_PARSER_H
