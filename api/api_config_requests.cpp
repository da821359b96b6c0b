// Configuration requests of the location API: the analysis of a request, the
// writes into config.ini and the two reply builders. All of it runs in the API
// thread, one request at a time.

#include "api/api_udp_socket_thread.h"

#include "api/api_json_writer.h"
#include "common/config_file.h"
#include "common/global_data.h"
#include "common/logwriter.h"
#include "common/metrics.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <iterator>

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

// The most a UDP datagram over IPv4 carries: the anchor list reply must fit.
constexpr int kMaxReplyBytes = 65507;

// The anchor list reply of keys and their stored texts, in that order, up to
// kAnchorLimit of them (as many as the engine uses). Keys that need an escape
// are left out with a log line when logSkipped is set.
QJsonObject anchorListReply(const ConfigFile::KeyValues &stored, bool logSkipped)
{
    QJsonArray anchors;
    for (const auto &kv : stored) {
        if (anchors.size() >= kAnchorLimit)
            break;
        const QString &key = kv.first;
        // A key written into the file by hand may need an escape, which the
        // reply (sent without backslashes) cannot carry.
        if (!apiWrittenWithoutEscape(key)) {
            if (logSkipped)
                LogWriter::getLogCenter()->infoOutput("anchor key \"%s\" of config.ini left out of the anchor list: "
                                                      "it cannot be sent without escapes",
                                                      logPrintable(key).constData());
            continue;
        }
        // Parts that a short value lacks are listed as 0.
        const QStringList parts = kv.second.split(QLatin1Char(','));
        const auto part = [&parts](int i) { return i < parts.size() ? ConfigFile::finiteNumber(parts.at(i)) : 0.0; };
        const double x = part(0);
        const double y = part(1);
        const double z = part(2);
        if (logSkipped)
            LogWriter::getLogCenter()->debugOutput("apiGetAnchorsLists: imei=%s xyz=(%.2lf,%.2lf,%.2lf)",
                                                   logPrintable(key).constData(), x, y, z);
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

ConfigFile::KeyValues storedAnchors(const ConfigFile &config)
{
    ConfigFile::KeyValues stored;
    const QString group = QLatin1String(kAnchorGroup);
    for (const QString &key : config.keys(group))
        stored.append({key, config.text(group, key)});
    return stored;
}

// Why the anchors of values cannot join those stored: the list would pass
// kAnchorLimit, or its reply would not fit one datagram. Empty when they can.
QString anchorListRefusal(const ConfigFile::KeyValues &values)
{
    ConfigFile::KeyValues stored = storedAnchors(ConfigFile());
    const int before = stored.size();
    for (const auto &kv : values) {
        const auto at = std::find_if(stored.begin(), stored.end(), [&kv](const auto &s) { return s.first == kv.first; });
        if (at != stored.end())
            at->second = kv.second;
        else
            stored.append(kv);
    }
    std::sort(stored.begin(), stored.end()); // the settings library's order of keys
    // A file written by hand past the limit still takes changes that add nothing.
    if (stored.size() > kAnchorLimit && stored.size() > before)
        return QStringLiteral("%1 anchors would pass the limit of %2").arg(stored.size()).arg(kAnchorLimit);
    const int bytes = apiCompactJson(anchorListReply(stored, false)).size();
    if (bytes > kMaxReplyBytes)
        return QStringLiteral("the anchor list reply would take %1 bytes, more than one datagram").arg(bytes);
    return QString();
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

// Exactly 12 hexadecimal digits, the only form an anchor's records can
// carry (the engine skips any other key). Anything else would be a dead
// entry, and some would break things: the settings library turns a '/' into
// a subgroup and drops a '\', and a quote or a control character makes the
// anchor list reply (sent without backslashes) text that is not JSON.
bool usableAnchorId(const QString &id)
{
    if (id.size() != kAnchorIdLength)
        return false;
    return std::all_of(id.cbegin(), id.cend(), [](QChar c) { return c.unicode() < 0x80 && std::isxdigit(c.unicode()); });
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
    LogWriter::getLogCenter()->debugOutput("PANID = %s", logPrintable(panId).constData());
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
    for (const QJsonValue &element : content) {
        const QJsonObject anchor = element.toObject();
        const QString id = anchor.value(QLatin1String("anchor_imei")).toString();
        if (!usableAnchorId(id)) {
            // Refused whole, as the reply says: nothing of the request stored.
            log->debugOutput("anchor iemi error!");
            return ApiUdpSocketThread::Nothing;
        }
        const double x = coordinate(anchor, "x");
        const double y = coordinate(anchor, "y");
        const double z = coordinate(anchor, "z");
        log->debugOutput("anchor_iemi=%s x=%.2lf y=%.2lf z=%.2lf", id.toUtf8().constData(), x, y, z);
        values.append({id, coordinateText(x, y, z)});
    }
    if (!values.isEmpty()) {
        const QString refusal = anchorListRefusal(values);
        if (!refusal.isEmpty()) {
            metrics::add(metrics::Counter::ConfigWritesAnchorLimit);
            log->infoOutput("SetAnchorsXYZ refused: %s; nothing of the request stored",
                            refusal.toUtf8().constData());
            return ApiUdpSocketThread::Nothing;
        }
        if (!commit(QLatin1String(kAnchorGroup), values))
            return ApiUdpSocketThread::Nothing;
        *stored = true;
    }
    log->debugOutput("configuration anchors xyz ok!");
    return ApiUdpSocketThread::SetAnchorsXYZ;
}

int setPanId(const QJsonArray &content)
{
    LogWriter *log = LogWriter::getLogCenter();
    QString stored;
    for (const QJsonValue &element : content) {
        stored = element.toObject().value(QLatin1String(kPanKey)).toString().toUpper();
        logPanId(stored);
        // The reply carries the identifier without backslashes, so one that
        // needs an escape ("a\"b") would make it text that is not JSON:
        // refused, and nothing of the request stored.
        if (!apiWrittenWithoutEscape(stored)) {
            log->debugOutput("PANID refused: a quote, backslash or control character cannot be sent back");
            return ApiUdpSocketThread::Nothing;
        }
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

int ApiUdpSocketThread::apiRequestType(const QByteArray &datagram, QJsonObject *document) const
{
    QJsonParseError error;
    QJsonDocument parsed = QJsonDocument::fromJson(datagram, &error);
    if (error.error == QJsonParseError::IllegalNumber)
        parsed = QJsonDocument::fromJson(overflowingNumbersAsZero(datagram), &error);
    if (error.error != QJsonParseError::NoError || parsed.isNull() || !parsed.isObject())
        return Nothing;
    const QJsonObject request = parsed.object();
    if (document)
        *document = request;
    const QJsonValue name = request.value(QLatin1String("REQUEST"));
    if (!name.isString() || name.toString().isEmpty())
        return Nothing;
    for (int i = SetAnchorsXYZ; i <= GetPANID; ++i) {
        if (name.toString() == requestNames.at(i))
            return i;
    }
    return Nothing;
}

bool ApiUdpSocketThread::apiIsReplyDocument(const QJsonObject &document)
{
    static const char *const kSentMembers[] = {"INVALID_PARAMETER", "anchors_lists",       "PANID",
                                               "REPORT",            "indoorLocationData", "outdoorLocationData"};
    if (document.contains(QLatin1String("REQUEST")))
        return false;
    return std::any_of(std::begin(kSentMembers), std::end(kSentMembers),
                       [&document](const char *member) { return document.contains(QLatin1String(member)); });
}

int ApiUdpSocketThread::apiUdpDataAnalysis(const QByteArray &data)
{
    QJsonObject request;
    const int type = apiRequestType(data, &request);
    return apiCarryOut(type, request);
}

int ApiUdpSocketThread::apiCarryOut(int type, const QJsonObject &request)
{
    QJsonArray content;
    switch (type) {
    case GetAnchorsLists:
    case GetPANID:
        return type;
    case SetAnchorsXYZ: {
        if (!contentArray(request, &content) || !writeAllowed())
            return Nothing;
        bool stored = false;
        const int result = setAnchors(content, &stored);
        if (stored)
            emit apiAnchorsChangedSignal();
        return result;
    }
    case SetPANID:
        return contentArray(request, &content) && writeAllowed() ? setPanId(content) : Nothing;
    default:
        return Nothing;
    }
}

QJsonObject ApiUdpSocketThread::apiGetAnchorsLists()
{
    return anchorListReply(storedAnchors(ConfigFile()), true);
}

QJsonObject ApiUdpSocketThread::apiGetPANID()
{
    const ConfigFile config;
    const QString group = QLatin1String(kPanGroup);
    QJsonObject reply;
    for (const QString &key : config.keys(group)) {
        const QString panId = config.text(group, key).toUpper();
        logPanId(panId);
        // Written into the file by hand, perhaps: the reply is sent without
        // backslashes and could not carry it.
        if (!apiWrittenWithoutEscape(panId)) {
            LogWriter::getLogCenter()->infoOutput("PANID \"%s\" of config.ini cannot be sent without escapes: "
                                                  "not reported",
                                                  logPrintable(panId).constData());
            continue;
        }
        reply.insert(QLatin1String(kPanKey), panId);
    }
    return reply;
}
