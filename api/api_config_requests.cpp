// Configuration requests of the location API: the analysis of a request, the
// writes into config.ini and the two reply builders. All of it runs in the API
// thread, one request at a time.

#include "api/api_udp_socket_thread.h"

#include "common/config_file.h"
#include "common/logwriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>

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

// Stores the request's values in config.ini. False, with a log line, when
// the file could not be replaced; it then holds what it held before.
bool commit(const QString &group, const ConfigFile::KeyValues &values)
{
    QString error;
    if (ConfigFile::writeValues(ConfigFile::path(), group, values, &error))
        return true;
    LogWriter::getLogCenter()->infoOutput("write config.ini FAILED! %s, nothing of the request stored",
                                          error.toUtf8().constData());
    return false;
}

// Identifiers become keys of config.ini: the settings library would turn a
// '/' into a subgroup and drop a '\', so such a key is not what was sent.
bool usableAnchorId(const QString &id)
{
    return id.size() == kAnchorIdLength && !id.contains(QLatin1Char('/')) && !id.contains(QLatin1Char('\\'));
}

// A missing member, a text, "inf" or an overflowing number all count 0.
double coordinate(const QJsonObject &anchor, const char *name)
{
    const double value = anchor.value(QLatin1String(name)).toDouble();
    return std::isfinite(value) ? value : 0.0;
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

int setAnchors(const QJsonArray &content, bool *stored)
{
    LogWriter *log = LogWriter::getLogCenter();
    log->debugOutput("we will write config.ini file!");
    ConfigFile::KeyValues values;
    int result = ApiUdpSocketThread::SetAnchorsXYZ;
    for (const QJsonValue &element : content) {
        const QJsonObject anchor = element.toObject();
        const QString id = anchor.value(QLatin1String("anchor_imei")).toString();
        if (!usableAnchorId(id)) {
            // The elements before this one are still stored.
            log->debugOutput("anchor iemi error!");
            result = ApiUdpSocketThread::Nothing;
            break;
        }
        const double x = coordinate(anchor, "x");
        const double y = coordinate(anchor, "y");
        const double z = coordinate(anchor, "z");
        log->debugOutput("anchor_iemi=%s x=%.2lf y=%.2lf z=%.2lf", id.toUtf8().constData(), x, y, z);
        values.append({id, coordinateText(x, y, z)});
    }
    if (!values.isEmpty()) {
        if (!commit(QLatin1String(kAnchorGroup), values))
            return ApiUdpSocketThread::Nothing;
        *stored = true;
    }
    if (result == ApiUdpSocketThread::SetAnchorsXYZ)
        log->debugOutput("configuration anchors xyz ok!");
    return result;
}

int setPanId(const QJsonArray &content)
{
    LogWriter *log = LogWriter::getLogCenter();
    QString stored;
    for (const QJsonValue &element : content) {
        stored = element.toObject().value(QLatin1String(kPanKey)).toString().toUpper();
        logPanId(stored);
    }
    // With several elements the last one stays, as if each had been written.
    if (!content.isEmpty() && !commit(QLatin1String(kPanGroup), {{QLatin1String(kPanKey), stored}}))
        return ApiUdpSocketThread::Nothing;
    log->debugOutput("configuration PANID ok!");
    return ApiUdpSocketThread::SetPANID;
}

// The request text with every number that overflows a double (1e999) written
// as 0: the JSON reader refuses the whole document for one such number,
// while the reading rules make it 0 like any number that does not convert.
QByteArray overflowingNumbersAsZero(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size());
    bool inString = false;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (inString) {
            out += c;
            if (c == '\\' && i + 1 < text.size())
                out += text.at(++i);
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
            out += c;
            continue;
        }
        if (c != '-' && (c < '0' || c > '9')) {
            out += c;
            continue;
        }
        int end = i + 1;
        while (end < text.size() && QByteArray("0123456789.eE+-").contains(text.at(end)))
            ++end;
        const QByteArray number = text.mid(i, end - i);
        bool ok = false;
        const double value = number.toDouble(&ok);
        out += !ok && !std::isfinite(value) ? QByteArray("0") : number;
        i = end - 1;
    }
    return out;
}

} // namespace

int ApiUdpSocketThread::apiUdpDataAnalysis(const QByteArray &data)
{
    analysedRequest = Nothing;
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error == QJsonParseError::IllegalNumber)
        document = QJsonDocument::fromJson(overflowingNumbersAsZero(data), &error);
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
    analysedRequest = type;
    QJsonArray content;
    switch (type) {
    case GetAnchorsLists:
    case GetPANID:
        return type;
    case SetAnchorsXYZ: {
        if (!contentArray(request, &content))
            return Nothing;
        bool stored = false;
        const int result = setAnchors(content, &stored);
        if (stored)
            emit apiAnchorsChangedSignal();
        return result;
    }
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
        const auto part = [&parts](int i) { return i < parts.size() ? ConfigFile::finiteNumber(parts.at(i)) : 0.0; };
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
