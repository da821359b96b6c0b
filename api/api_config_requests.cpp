// Configuration requests of the location API: the analysis of a request, the
// writes into config.ini and the two reply builders. All of it runs in the API
// thread, one request at a time.

#include "api/api_udp_socket_thread.h"

#include "common/config_file.h"
#include "common/logwriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

const char kAnchorGroup[] = "anchor_coordinate";
const char kPanGroup[] = "pan_id";
const char kPanKey[] = "PANID";
constexpr int kAnchorIdLength = 12;
constexpr int kCoordinateDecimals = 2;

QString coordinateText(double x, double y, double z)
{
    return QString::number(x, 'f', kCoordinateDecimals) + QLatin1Char(',')
           + QString::number(y, 'f', kCoordinateDecimals) + QLatin1Char(',')
           + QString::number(z, 'f', kCoordinateDecimals);
}

// Commits the request's changes: QSettings writes a temporary file and renames
// it over config.ini, so a process killed at any moment leaves either the old
// or the new file, never a truncated one.
void commit(QSettings &settings)
{
    settings.sync();
    if (settings.status() != QSettings::NoError)
        LogWriter::getLogCenter()->infoOutput("write config.ini FAILED! (status %d)", int(settings.status()));
}

// Written when a PAN identifier is stored and when it is read back.
void logPanId(const QString &panId)
{
    LogWriter::getLogCenter()->debugOutput("PANID = %s", panId.toUtf8().constData());
}

// "content" of a set request: an array, or nothing usable.
bool contentArray(const QJsonObject &request, QJsonArray *content)
{
    const QJsonValue value = request.value(QLatin1String("content"));
    if (!value.isArray())
        return false;
    *content = value.toArray();
    return true;
}

int setAnchors(const QJsonArray &content)
{
    LogWriter *log = LogWriter::getLogCenter();
    log->debugOutput("we will write config.ini file!");
    ConfigFile config;
    QSettings &settings = config.settings();
    settings.beginGroup(QLatin1String(kAnchorGroup));
    int result = ApiUdpSocketThread::SetAnchorsXYZ;
    for (const QJsonValue &element : content) {
        const QJsonObject anchor = element.toObject();
        const QString id = anchor.value(QLatin1String("anchor_imei")).toString();
        if (id.size() != kAnchorIdLength) {
            // The elements before this one stay written.
            log->debugOutput("anchor iemi error!");
            result = ApiUdpSocketThread::Nothing;
            break;
        }
        const double x = anchor.value(QLatin1String("x")).toDouble();
        const double y = anchor.value(QLatin1String("y")).toDouble();
        const double z = anchor.value(QLatin1String("z")).toDouble();
        log->debugOutput("anchor_iemi=%s x=%.2lf y=%.2lf z=%.2lf", id.toUtf8().constData(), x, y, z);
        settings.setValue(id, coordinateText(x, y, z));
    }
    settings.endGroup();
    commit(settings);
    if (result == ApiUdpSocketThread::SetAnchorsXYZ)
        log->debugOutput("configuration anchors xyz ok!");
    return result;
}

int setPanId(const QJsonArray &content)
{
    LogWriter *log = LogWriter::getLogCenter();
    ConfigFile config;
    QSettings &settings = config.settings();
    settings.beginGroup(QLatin1String(kPanGroup));
    for (const QJsonValue &element : content) {
        const QString panId = element.toObject().value(QLatin1String(kPanKey)).toString().toUpper();
        logPanId(panId);
        settings.setValue(QLatin1String(kPanKey), panId);
    }
    settings.endGroup();
    commit(settings);
    log->debugOutput("configuration PANID ok!");
    return ApiUdpSocketThread::SetPANID;
}

} // namespace

int ApiUdpSocketThread::apiUdpDataAnalysis(const QByteArray &data)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || document.isNull() || !document.isObject())
        return Nothing;
    const QJsonObject request = document.object();
    const QJsonValue name = request.value(QLatin1String("REQUEST"));
    if (!name.isString() || name.toString().isEmpty())
        return Nothing;

    int type = Nothing;
    for (int i = SetAnchorsXYZ; i <= GetPANID; ++i) {
        if (name.toString() == requestNames.at(i)) {
            type = i;
            break;
        }
    }
    QJsonArray content;
    switch (type) {
    case GetAnchorsLists:
    case GetPANID:
        return type;
    case SetAnchorsXYZ:
        return contentArray(request, &content) ? setAnchors(content) : Nothing;
    case SetPANID:
        return contentArray(request, &content) ? setPanId(content) : Nothing;
    default:
        return Nothing;
    }
}

QJsonObject ApiUdpSocketThread::apiGetAnchorsLists()
{
    const ConfigFile config;
    const QString group = QLatin1String(kAnchorGroup);
    QJsonArray anchors;
    for (const QString &key : config.keys(group)) {
        // Parts that a short value lacks are listed as 0.
        const QStringList parts = config.text(group, key).split(QLatin1Char(','));
        const auto part = [&parts](int i) { return i < parts.size() ? parts.at(i).toDouble() : 0.0; };
        const double x = part(0);
        const double y = part(1);
        const double z = part(2);
        LogWriter::getLogCenter()->debugOutput("apiGetAnchorsLists: imei=%s xyz=(%.2lf,%.2lf,%.2lf)",
                                               key.toUtf8().constData(), x, y, z);
        QJsonObject anchor;
        anchor.insert(QStringLiteral("anchor_imei"), key);
        anchor.insert(QStringLiteral("x"), x);
        anchor.insert(QStringLiteral("y"), y);
        anchor.insert(QStringLiteral("z"), z);
        anchors.append(anchor);
    }
    QJsonObject reply;
    reply.insert(QStringLiteral("anchors_lists"), anchors);
    return reply;
}

QJsonObject ApiUdpSocketThread::apiGetPANID()
{
    const ConfigFile config;
    const QString group = QLatin1String(kPanGroup);
    QJsonObject reply;
    for (const QString &key : config.keys(group)) {
        const QString panId = config.text(group, key).toUpper();
        logPanId(panId);
        reply.insert(QLatin1String(kPanKey), panId);
    }
    return reply;
}
