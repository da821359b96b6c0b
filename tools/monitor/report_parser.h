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

// Coordinates beyond this many metres from the site's origin are refused: no
// positioning area is a thousandth of that, so such a report is a fault of its
// sender, and the live map's number text is sized for the range (at most
// "-1000000.00").
constexpr double kMostCoordinateMetres = 1e6;

enum class ReportCheck {
    Valid,
    Malformed,  // not a position report at all
    OutOfRange, // a report, but a coordinate beyond kMostCoordinateMetres (or not finite)
};

// Anything but Valid comes with the reason: the monitor counts those instead
// of guessing at them.
ReportCheck parseReport(const QByteArray &datagram, PositionReport *out, QString *why);

#endif // REPORT_PARSER_H
