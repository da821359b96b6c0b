#ifndef API_VALUES_H
#define API_VALUES_H

#include "api/api_addition_message.h"
#include "api/api_json_writer.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <ctime>

// The small values that make up the location API documents. Each keeps its
// fields and a JSON object built once from them in the constructor; a value
// that contains another takes the other's object as it is at that moment.
// Setters change fields only, never an object already built.

// Local time as "yyyyMMddThhmmss".
QString apiTimeText();
// Where apiTimeText takes its seconds from (std::time, which nullptr
// restores): solver_replay stamps its reports with the capture's time.
using ApiTimeSource = std::time_t (*)();
void apiSetTimeSource(ApiTimeSource source);

class ApiVersion
{
public:
    ApiVersion(const QString &availableVersion, const QString &currentVersion);
    const QString &currentVersion() const { return current; }
    const QJsonObject &json() const { return object; }

private:
    QString available;
    QString current;
    QJsonObject object;
};

class ApiLocationQualityInfo
{
public:
    ApiLocationQualityInfo(int qualityIndicator, double horizAccuracy, double vertAccuracy, const QString &unit);
    const QJsonObject &json() const { return object; }
    // json() with another horizAccuracy, as an object and as the writer's
    // compact text (written directly, see api_json_writer.h).
    QJsonObject json(double horizAccuracy) const;
    QByteArray compactJson(double horizAccuracy) const;

private:
    int qualityIndicator;
    double horizAccuracy;
    double vertAccuracy;
    QString unit;
    QJsonObject object;
};

class ApiUpdateInterval
{
public:
    ApiUpdateInterval(int minUpdateTime, int defaultUpdateTime);
    const QJsonObject &json() const { return object; }

private:
    int minUpdateTime;
    int defaultUpdateTime;
    QJsonObject object;
};

class ApiPositioningArea
{
public:
    ApiPositioningArea(const QString &areaId, const QString &areaName, const QString &areaAddress,
                       const QString &areaDescription);
    const QJsonObject &json() const { return object; }

    QString areaId;
    QString areaName;
    QString areaAddress;
    QString areaDescription;

private:
    QJsonObject object;
};

class ApiOutdoorCoordinateSystem
{
public:
    ApiOutdoorCoordinateSystem(const QString &name, const QString &description);
    const QJsonObject &json() const { return object; }

    QString name;
    QString description;

private:
    QJsonObject object;
};

class ApiCoordinateReference
{
public:
    ApiCoordinateReference(const ApiOutdoorCoordinateSystem &ocs, double x, double y, double z, double angle_x,
                           double angle_z);
    const QJsonObject &json() const { return object; }

    ApiOutdoorCoordinateSystem ocs;
    double x;
    double y;
    double z;
    double angle_x;
    double angle_z;

private:
    QJsonObject object;
};

class ApiAreaQualityInfo
{
public:
    ApiAreaQualityInfo(double areaHorizAccuracy, double areaVertAccuracy, const QString &unit);
    const QJsonObject &json() const { return object; }

private:
    double areaHorizAccuracy;
    double areaVertAccuracy;
    QString unit;
    QJsonObject object;
};

class ApiPositioningOption
{
public:
    ApiPositioningOption(const ApiUpdateInterval &updateInterval, const QString &positioningTech,
                         const ApiPositioningArea &positioningArea, const ApiCoordinateReference &coordinateReference,
                         const ApiAreaQualityInfo &qualityInfo);
    const QJsonObject &json() const { return object; }

    // Replaces the held area texts; the object keeps its start-up values.
    void set_positioningArea(const QString &id, const QString &name, const QString &address,
                             const QString &description);

    ApiUpdateInterval updateInterval;
    QString positioningTech;
    ApiPositioningArea positioningArea;
    ApiCoordinateReference coordinateReference;
    ApiAreaQualityInfo qualityInfo;

private:
    QJsonObject object;
};

class ApiOutdoorLocationData
{
public:
    ApiOutdoorLocationData(double lat, double log, const QString &locationTime,
                           const ApiCoordinateReference &coordinateReference, const ApiLocationQualityInfo &qualityInfo);
    const QJsonObject &json() const { return object; }

    // json() in compact text, kept in step with it.
    const QByteArray &compactJson() const { return text; }

    // Reports the start-up position moved by the given offsets, stamped now.
    void setGPSMessage(double dLat, double dLog);

private:
    double lat;
    double log;
    QString locationTime;
    ApiCoordinateReference coordinateReference;
    ApiLocationQualityInfo qualityInfo;
    QJsonObject object;
    QByteArray text;
};

// The one indoor location record of the API; every position report rewrites
// the tag's members, so a report never carries an earlier tag's values.
class ApiIndoorLocationData
{
public:
    ApiIndoorLocationData(double coordx, double coordy, const QString &tagID,
                          const ApiAdditionMessage &additionMessage, const QString &locationTime,
                          const ApiCoordinateReference &coordinateReference,
                          const ApiLocationQualityInfo &qualityInfo);
    // The record as an object, built from its values; compactJson() is the
    // same bytes as Qt's writer makes of it, written directly (see
    // api_json_writer.h): the coordinate reference and the quality, which no
    // report changes, were written once by the constructor.
    QJsonObject json() const;
    QByteArray compactJson() const;
    // compactJson() appended to text.
    void appendCompactJson(QByteArray &text) const;

    // solver_unit: the raw telemetry block is decoded into nine values.
    void setTagMessage(const QString &tagID, double x, double y, const QByteArray &health);
    // solver_unit_hr: the block as upper-case hexadecimal text; only the heart
    // rate is read from it.
    void setTagMessage(const QString &tagID, double x, double y, const QString &health);
    // The estimated horizontal error of this position (report_accuracy), in
    // the quality's unit; NaN: the configured constant.
    void setHorizAccuracy(double horizAccuracy);

private:
    void replaceTagMembers(const QString &tagID, double x, double y);

    double coordx;
    double coordy;
    QString tagID;
    ApiAdditionMessage additionMessage;
    QByteArray additionText; // additionMessage.compactJson(), kept in step
    QString locationTime;
    ApiCoordinateReference coordinateReference;
    ApiLocationQualityInfo qualityInfo;
    QByteArray referenceText;
    QByteArray qualityText;
    QByteArray configuredQualityText;
    double reportedHorizAccuracy; // NaN: the configured one
};

#endif // API_VALUES_H
