#include "api/api_values.h"

#include <QDateTime>

#include <cmath>
#include <ctime>

namespace {
std::time_t systemTime() { return std::time(nullptr); }
ApiTimeSource g_timeSource = systemTime;
} // namespace

void apiSetTimeSource(ApiTimeSource source) { g_timeSource = source ? source : systemTime; }

QString apiTimeText()
{
    // Formatting a local date-time costs about as much as the rest of a
    // position report, so the text is kept for the second it names. One cache
    // per thread: reports and other documents may be built in different threads.
    thread_local std::time_t cachedSecond = -1;
    thread_local QString cachedText;
    const std::time_t now = g_timeSource();
    if (now != cachedSecond) {
        cachedText = QDateTime::fromSecsSinceEpoch(now).toString(QStringLiteral("yyyyMMddThhmmss"));
        cachedSecond = now;
    }
    return cachedText;
}

ApiVersion::ApiVersion(const QString &availableVersion, const QString &currentVersion)
    : available(availableVersion), current(currentVersion)
{
    object.insert(QStringLiteral("availableVersion"), available);
    object.insert(QStringLiteral("currentVersion"), current);
}

ApiLocationQualityInfo::ApiLocationQualityInfo(int indicator, double horiz, double vert, const QString &unitText)
    : qualityIndicator(indicator), horizAccuracy(horiz), vertAccuracy(vert), unit(unitText)
{
    object.insert(QStringLiteral("qualityIndicator"), qualityIndicator);
    object.insert(QStringLiteral("horizAccuracy"), horizAccuracy);
    object.insert(QStringLiteral("vertAccuracy"), vertAccuracy);
    object.insert(QStringLiteral("unit"), unit);
}

QJsonObject ApiLocationQualityInfo::json(double horiz) const
{
    QJsonObject replaced = object;
    replaced.insert(QStringLiteral("horizAccuracy"), horiz);
    return replaced;
}

QByteArray ApiLocationQualityInfo::compactJson(double horiz) const
{
    QByteArray text;
    text += '{';
    apiAppendKey(text, "horizAccuracy");
    apiAppendNumber(text, horiz);
    apiAppendKey(text, "qualityIndicator");
    apiAppendNumber(text, qint64(qualityIndicator));
    apiAppendKey(text, "unit");
    apiAppendString(text, unit);
    apiAppendKey(text, "vertAccuracy");
    apiAppendNumber(text, vertAccuracy);
    text += '}';
    return text;
}

ApiUpdateInterval::ApiUpdateInterval(int minTime, int defaultTime) : minUpdateTime(minTime), defaultUpdateTime(defaultTime)
{
    object.insert(QStringLiteral("minUpdateTime"), minUpdateTime);
    object.insert(QStringLiteral("defaultUpdateTime"), defaultUpdateTime);
}

ApiPositioningArea::ApiPositioningArea(const QString &id, const QString &name, const QString &address,
                                       const QString &description)
    : areaId(id), areaName(name), areaAddress(address), areaDescription(description)
{
    object.insert(QStringLiteral("areaId"), areaId);
    object.insert(QStringLiteral("areaName"), areaName);
    object.insert(QStringLiteral("areaAddress"), areaAddress);
    object.insert(QStringLiteral("areaDescription"), areaDescription);
}

ApiOutdoorCoordinateSystem::ApiOutdoorCoordinateSystem(const QString &nameText, const QString &descriptionText)
    : name(nameText), description(descriptionText)
{
    object.insert(QStringLiteral("name"), name);
    object.insert(QStringLiteral("description"), description);
}

ApiCoordinateReference::ApiCoordinateReference(const ApiOutdoorCoordinateSystem &system, double xValue, double yValue,
                                               double zValue, double angleX, double angleZ)
    : ocs(system), x(xValue), y(yValue), z(zValue), angle_x(angleX), angle_z(angleZ)
{
    object.insert(QStringLiteral("ocs"), ocs.json());
    object.insert(QStringLiteral("x"), x);
    object.insert(QStringLiteral("y"), y);
    object.insert(QStringLiteral("z"), z);
    object.insert(QStringLiteral("angle_x"), angle_x);
    object.insert(QStringLiteral("angle_z"), angle_z);
}

ApiAreaQualityInfo::ApiAreaQualityInfo(double horiz, double vert, const QString &unitText)
    : areaHorizAccuracy(horiz), areaVertAccuracy(vert), unit(unitText)
{
    object.insert(QStringLiteral("areaHorizAccuracy"), areaHorizAccuracy);
    object.insert(QStringLiteral("areaVertAccuracy"), areaVertAccuracy);
    object.insert(QStringLiteral("unit"), unit);
}

ApiPositioningOption::ApiPositioningOption(const ApiUpdateInterval &interval, const QString &tech,
                                           const ApiPositioningArea &area, const ApiCoordinateReference &reference,
                                           const ApiAreaQualityInfo &quality)
    : updateInterval(interval), positioningTech(tech), positioningArea(area), coordinateReference(reference),
      qualityInfo(quality)
{
    object.insert(QStringLiteral("updateInterval"), updateInterval.json());
    object.insert(QStringLiteral("positioningTech"), positioningTech);
    object.insert(QStringLiteral("positioningArea"), positioningArea.json());
    object.insert(QStringLiteral("coordinateReference"), coordinateReference.json());
    object.insert(QStringLiteral("qualityInfo"), qualityInfo.json());
}

void ApiPositioningOption::set_positioningArea(const QString &id, const QString &name, const QString &address,
                                               const QString &description)
{
    positioningArea.areaId = id;
    positioningArea.areaName = name;
    positioningArea.areaAddress = address;
    positioningArea.areaDescription = description;
}

ApiOutdoorLocationData::ApiOutdoorLocationData(double latValue, double logValue, const QString &time,
                                               const ApiCoordinateReference &reference,
                                               const ApiLocationQualityInfo &quality)
    : lat(latValue), log(logValue), locationTime(time), coordinateReference(reference), qualityInfo(quality)
{
    object.insert(QStringLiteral("lat"), lat);
    object.insert(QStringLiteral("log"), log);
    object.insert(QStringLiteral("locationTime"), locationTime);
    object.insert(QStringLiteral("coordinateReference"), coordinateReference.json());
    object.insert(QStringLiteral("qualityInfo"), qualityInfo.json());
    text = apiCompactJson(object);
}

void ApiOutdoorLocationData::setGPSMessage(double dLat, double dLog)
{
    locationTime = apiTimeText();
    object.remove(QStringLiteral("lat"));
    object.remove(QStringLiteral("log"));
    object.remove(QStringLiteral("locationTime"));
    object.insert(QStringLiteral("lat"), dLat + lat);
    object.insert(QStringLiteral("log"), dLog + log);
    object.insert(QStringLiteral("locationTime"), locationTime);
    text = apiCompactJson(object);
}

ApiIndoorLocationData::ApiIndoorLocationData(double x, double y, const QString &tag, const ApiAdditionMessage &addition,
                                             const QString &time, const ApiCoordinateReference &reference,
                                             const ApiLocationQualityInfo &quality)
    : coordx(x), coordy(y), tagID(tag), additionMessage(addition), additionText(addition.compactJson()),
      locationTime(time), coordinateReference(reference), qualityInfo(quality),
      referenceText(apiCompactJson(reference.json())), qualityText(apiCompactJson(quality.json())),
      configuredQualityText(qualityText), reportedHorizAccuracy(std::nan(""))
{
}

QJsonObject ApiIndoorLocationData::json() const
{
    QJsonObject object;
    object.insert(QStringLiteral("coordx"), coordx);
    object.insert(QStringLiteral("coordy"), coordy);
    object.insert(QStringLiteral("tagID"), tagID);
    object.insert(QStringLiteral("additionMessage"), additionMessage.json());
    object.insert(QStringLiteral("locationTime"), locationTime);
    object.insert(QStringLiteral("coordinateReference"), coordinateReference.json());
    object.insert(QStringLiteral("qualityInfo"), std::isnan(reportedHorizAccuracy)
                                                     ? qualityInfo.json()
                                                     : qualityInfo.json(reportedHorizAccuracy));
    return object;
}

QByteArray ApiIndoorLocationData::compactJson() const
{
    // A report is about 460 bytes: one allocation for the whole text.
    QByteArray text;
    text.reserve(512);
    appendCompactJson(text);
    return text;
}

void ApiIndoorLocationData::appendCompactJson(QByteArray &text) const
{
    text += '{';
    apiAppendKey(text, "additionMessage");
    text += additionText;
    apiAppendKey(text, "coordinateReference");
    text += referenceText;
    apiAppendKey(text, "coordx");
    apiAppendNumber(text, coordx);
    apiAppendKey(text, "coordy");
    apiAppendNumber(text, coordy);
    apiAppendKey(text, "locationTime");
    apiAppendString(text, locationTime);
    apiAppendKey(text, "qualityInfo");
    text += qualityText;
    apiAppendKey(text, "tagID");
    apiAppendString(text, tagID);
    text += '}';
}

void ApiIndoorLocationData::replaceTagMembers(const QString &tag, double x, double y)
{
    locationTime = apiTimeText();
    coordx = x;
    coordy = y;
    // A copy of its own: the caller's text also goes to the MQTT thread, and
    // a shared text released here, inside Qt's assignment, would be released
    // where the thread sanitizer cannot see the other thread's reference go.
    tagID = QString(tag.unicode(), tag.size());
}

void ApiIndoorLocationData::setTagMessage(const QString &tag, double x, double y, const QByteArray &health)
{
    replaceTagMembers(tag, x, y);
    additionMessage.setMessage(health);
    additionText = additionMessage.compactJson();
}

void ApiIndoorLocationData::setTagMessage(const QString &tag, double x, double y, const QString &health)
{
    replaceTagMembers(tag, x, y);
    additionMessage.setHeartRateMessage(health);
    additionText = additionMessage.compactJson();
}

void ApiIndoorLocationData::setHorizAccuracy(double horiz)
{
    if (std::isnan(horiz) && std::isnan(reportedHorizAccuracy))
        return;
    reportedHorizAccuracy = horiz;
    qualityText = std::isnan(horiz) ? configuredQualityText : qualityInfo.compactJson(horiz);
}
