#include "tools/monitor/report_parser.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

namespace {

bool isTagText(const QString &s)
{
    if (s.size() != 12)
        return false;
    for (const QChar c : s) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    }
    return true;
}

} // namespace

ReportCheck parseReport(const QByteArray &datagram, PositionReport *out, QString *why)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(datagram, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        *why = QStringLiteral("not a JSON object");
        return ReportCheck::Malformed;
    }
    const QJsonObject root = doc.object();
    const QJsonValue indoorValue = root.value(QStringLiteral("indoorLocationData"));
    if (!indoorValue.isObject()) {
        *why = QStringLiteral("no indoorLocationData object");
        return ReportCheck::Malformed;
    }
    const QJsonObject indoor = indoorValue.toObject();
    const QJsonValue tag = indoor.value(QStringLiteral("tagID"));
    const QJsonValue x = indoor.value(QStringLiteral("coordx"));
    const QJsonValue y = indoor.value(QStringLiteral("coordy"));
    if (!tag.isString() || !isTagText(tag.toString())) {
        *why = QStringLiteral("tagID is not 12 upper-case hexadecimal digits");
        return ReportCheck::Malformed;
    }
    if (!x.isDouble() || !y.isDouble()) {
        *why = QStringLiteral("coordx or coordy is not a number");
        return ReportCheck::Malformed;
    }
    PositionReport r;
    r.tag = tag.toString();
    r.x = x.toDouble() / 100.0;
    r.y = y.toDouble() / 100.0;
    // Written so that NaN fails too.
    if (!(std::abs(r.x) <= kMostCoordinateMetres && std::abs(r.y) <= kMostCoordinateMetres)) {
        *why = QStringLiteral("tag %1 at x %2 m, y %3 m, beyond %4 km")
                   .arg(r.tag)
                   .arg(r.x, 0, 'g', 6)
                   .arg(r.y, 0, 'g', 6)
                   .arg(kMostCoordinateMetres / 1000);
        return ReportCheck::OutOfRange;
    }
    r.horizAccuracy = indoor.value(QStringLiteral("qualityInfo")).toObject().value(QStringLiteral("horizAccuracy")).toDouble(-1);
    r.locationTime = indoor.value(QStringLiteral("locationTime")).toString();
    r.telemetry = indoor.value(QStringLiteral("additionMessage")).toObject();
    r.hrBuild = root.contains(QStringLiteral("outdoorLocationData")) || r.telemetry.contains(QStringLiteral("heartrate"));
    const QJsonValue hr = r.telemetry.value(r.hrBuild ? QStringLiteral("heartrate") : QStringLiteral("heart_rate"));
    r.heartRate = hr.isDouble() ? hr.toInt() : -1;
    *out = r;
    return ReportCheck::Valid;
}
