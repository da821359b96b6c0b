#ifndef API_JSON_H
#define API_JSON_H

#include "api/api_values.h"
#include "common/global_data.h"

#include <QJsonObject>
#include <QString>

class ConfigFile;

// Holds one instance of each top-level API value and assembles the documents
// that leave the system. Has no lock: whoever builds documents from more than
// one thread serialises the calls.
class ApiJson
{
public:
    ApiJson(const ApiVersion &version, const ApiPositioningOption &positioningOption,
            const ApiOutdoorLocationData &outdoorLocationData, const ApiIndoorLocationData &indoorLocationData);

    // Built from the value groups of config.ini, with one start-up time text
    // for the two location records.
    static ApiJson fromConfig(const ConfigFile &config);

    // The position report: {"indoorLocationData": ...}, and in solver_unit_hr
    // also "outdoorLocationData".
    QJsonObject getMessages() const;
    // getMessages() in compact text: the same bytes as Qt's writer makes of
    // it, at about half the cost (see api_json_writer.h).
    QByteArray getMessagesJson() const;
    // The report of one solved transmission, byte for byte as it leaves: the
    // tag's members replaced (locationTime stamped now) and getMessagesJson().
    // horizAccuracy NaN: the configured one. The program sends it, a replay
    // writes it.
    QByteArray positionReport(const TAG_IMEI_t &tag, double x, double y, double horizAccuracy,
                              const QByteArray &health);
    // A position's estimated error as report_accuracy reports it: metres to
    // the centimetre, never a claim of no error at all; a value that is not
    // finite gives NaN (the configured constant).
    static double reportedAccuracy(double horizAccuracy);
    // The positioning option with "version" added.
    QJsonObject show_1_Capabilitie() const;
    // Stamps a new createdTime and builds the initialization document.
    QJsonObject show_2_Initialize();
    // Carries the createdTime of the last initialization ("" before any).
    QJsonObject show_4_Stop() const;

    // Replaces the held coordinate reference fields; no document changes.
    void set_coordinateReference(const QString &name, double x, double y, double z, double angle_x, double angle_z);

    ApiPositioningOption &positioningOption() { return option; }
    ApiOutdoorLocationData &outdoorLocationData() { return outdoor; }
    ApiIndoorLocationData &indoorLocationData() { return indoor; }

private:
    ApiVersion version;
    ApiPositioningOption option;
    ApiOutdoorLocationData outdoor;
    ApiIndoorLocationData indoor;
    QString createdTime;
};

#endif // API_JSON_H
