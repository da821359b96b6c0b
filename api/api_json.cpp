#include "api/api_json.h"

#include "common/build_variant.h"
#include "common/common_function.h"
#include "common/config_file.h"

#include <algorithm>
#include <cmath>

namespace {

// The report carries hundredths of the engine's length unit.
constexpr double kReportScale = 100.0;
// The smallest horizAccuracy reported (report_accuracy): one centimetre.
constexpr double kLeastAccuracy = 0.01;

const char kClientIdentifier[] = "qd7203mvprtn";

} // namespace

ApiJson::ApiJson(const ApiVersion &versionValue, const ApiPositioningOption &positioningOption,
                 const ApiOutdoorLocationData &outdoorLocationData, const ApiIndoorLocationData &indoorLocationData)
    : version(versionValue), option(positioningOption), outdoor(outdoorLocationData), indoor(indoorLocationData)
{
}

ApiJson ApiJson::fromConfig(const ConfigFile &config)
{
    const auto text = [&config](const char *group, const char *key) {
        return config.text(QLatin1String(group), QLatin1String(key));
    };
    const auto integer = [&config](const char *group, const char *key) {
        return config.integer(QLatin1String(group), QLatin1String(key));
    };
    const auto real = [&config](const char *group, const char *key) {
        return config.real(QLatin1String(group), QLatin1String(key));
    };

    const ApiVersion version(text("solver_unit_version", "solver_uint_available_version"),
                             text("solver_unit_version", "solver_uint_current_version"));
    const ApiLocationQualityInfo locationQuality(integer("location_quality_info", "location_quality_info_indicator"),
                                                 real("location_quality_info", "location_quality_info_horiz_accuracy"),
                                                 real("location_quality_info", "location_quality_info_vert_accuracy"),
                                                 text("location_quality_info", "location_quality_info_unit"));
    const ApiUpdateInterval interval(integer("update_interval", "update_interval_min_updatetime"),
                                     integer("update_interval", "update_interval_default_updatetime"));
    const QString tech = text("positioning_tech", "positioning_tech");
    const ApiPositioningArea area(text("positioning_area", "positioning_area_id"),
                                  text("positioning_area", "positioning_area_name"),
                                  text("positioning_area", "positioning_area_address"),
                                  text("positioning_area", "positioning_area_description"));
    const ApiOutdoorCoordinateSystem ocs(text("outdoor_coordinate_system", "outdoor_coordinate_system_name"),
                                         text("outdoor_coordinate_system", "outdoor_coordinate_system_description"));
    const ApiCoordinateReference reference(ocs, real("coordinate_reference", "coordinate_reference_x"),
                                           real("coordinate_reference", "coordinate_reference_y"),
                                           real("coordinate_reference", "coordinate_reference_z"),
                                           real("coordinate_reference", "coordinate_reference_angle_x"),
                                           real("coordinate_reference", "coordinate_reference_angle_z"));
    const ApiAreaQualityInfo areaQuality(real("area_quality_info", "area_quality_info_horiz_accuracy"),
                                         real("area_quality_info", "area_quality_info_vert_accuracy"),
                                         text("area_quality_info", "area_quality_info_unit"));
    const ApiPositioningOption option(interval, tech, area, reference, areaQuality);

    const QString startTime = apiTimeText();
    const ApiOutdoorLocationData outdoor(reference.x, reference.y, startTime, reference, locationQuality);
    const ApiIndoorLocationData indoor(0, 0, QStringLiteral("0"), ApiAdditionMessage(), startTime, reference,
                                       locationQuality);
    return ApiJson(version, option, outdoor, indoor);
}

QJsonObject ApiJson::getMessages() const
{
    QJsonObject report;
    if constexpr (variant::kHrBuild)
        report.insert(QStringLiteral("outdoorLocationData"), outdoor.json());
    report.insert(QStringLiteral("indoorLocationData"), indoor.json());
    return report;
}

QByteArray ApiJson::getMessagesJson() const
{
    // getMessages() member by member, in the writer's (ascending key) order.
    // One allocation for the whole report (about 460 bytes).
    QByteArray text;
    text.reserve(variant::kHrBuild ? 1024 : 560);
    text += "{\"indoorLocationData\":";
    indoor.appendCompactJson(text);
    if constexpr (variant::kHrBuild)
        text += ",\"outdoorLocationData\":" + outdoor.compactJson();
    text += '}';
    return text;
}

QJsonObject ApiJson::show_1_Capabilitie() const
{
    QJsonObject capabilities = option.json();
    capabilities.insert(QStringLiteral("version"), version.json());
    return capabilities;
}

QJsonObject ApiJson::show_2_Initialize()
{
    createdTime = apiTimeText();
    QJsonObject document;
    document.insert(QStringLiteral("positioningOption"), option.json());
    document.insert(QStringLiteral("clientIdentifier"), QLatin1String(kClientIdentifier));
    document.insert(QStringLiteral("clientState"), QLatin1String("initialization"));
    document.insert(QStringLiteral("createdTime"), createdTime);
    document.insert(QStringLiteral("currentVersion"), version.currentVersion());
    return document;
}

QJsonObject ApiJson::show_4_Stop() const
{
    QJsonObject document;
    document.insert(QStringLiteral("clientIdentifier"), QLatin1String(kClientIdentifier));
    document.insert(QStringLiteral("clientState"), QLatin1String("stop"));
    document.insert(QStringLiteral("createdTime"), createdTime);
    document.insert(QStringLiteral("stoppedTime"), apiTimeText());
    document.insert(QStringLiteral("currentVersion"), version.currentVersion());
    return document;
}

void ApiJson::set_coordinateReference(const QString &name, double x, double y, double z, double angle_x,
                                      double angle_z)
{
    ApiCoordinateReference &reference = option.coordinateReference;
    reference.ocs.name = name;
    reference.x = x;
    reference.y = y;
    reference.z = z;
    reference.angle_x = angle_x;
    reference.angle_z = angle_z;
}

QByteArray ApiJson::positionReport(const TAG_IMEI_t &tag, double x, double y, double horizAccuracy,
                                   const QByteArray &health)
{
    const QString tagId = idText(tag.imei, int(sizeof tag.imei));
    if constexpr (variant::kHrBuild)
        indoor.setTagMessage(tagId, x * kReportScale, y * kReportScale, QString::fromLatin1(health.toHex().toUpper()));
    else
        indoor.setTagMessage(tagId, x * kReportScale, y * kReportScale, health);
    indoor.setHorizAccuracy(horizAccuracy);
    return getMessagesJson();
}

double ApiJson::reportedAccuracy(double horizAccuracy)
{
    return std::isfinite(horizAccuracy) ? std::max(kLeastAccuracy, std::round(horizAccuracy * 100) / 100)
                                        : std::nan("");
}
