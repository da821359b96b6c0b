// Arbitrary datagrams through the request handling of the API: nothing may crash, every reply must parse as a JSON
// object (replies go out with their backslashes removed, so none may need one), only a set request (as apiRequestType
// reads it) may change config.ini, and one answered as invalid must leave it untouched byte for byte. What a set
// request stores reads back as stored, by the program's own reader and in its reply; the rest reads as before.

#include "api/api_udp_socket_thread.h"
#include "common/config_file.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTemporaryDir>

#include <cmath>

namespace {

const char kIni[] = "; the site's comment\n[network_setting]\nremote_udp_server_parameters_configuration_ip=127.0.0.1\n"
                    "[anchor_coordinate]\n000000000001=\"1.00,2.00,3.00\"\n000000000002=\"abc\"\n"
                    "[pan_id]\nPANID=AB12\n[tag_high]\ntag1=1.2\n[site]\nnote=\"a, b\"\n";

const QByteArray kInvalid = R"({"INVALID_PARAMETER":1010})";

QString g_configPath;
ApiUdpSocketThread *g_api = nullptr;

QByteArray readConfig()
{
    QFile file(g_configPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeConfig(const QByteArray &text)
{
    QFile file(g_configPath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text);
}

// A coordinate as the request handling reads and stores it.
QString stored(const QJsonObject &anchor, const char *name)
{
    const double value = anchor.value(QLatin1String(name)).toDouble();
    return QString::number(std::isfinite(value) ? value : 0.0, 'f', 2);
}

void checkStored(int type, const QJsonObject &request, const QJsonObject &reply)
{
    const ConfigFile file(g_configPath);
    if (file.text("tag_high", "tag1") != QLatin1String("1.2") || file.text("site", "note") != QLatin1String("a, b")
        || !readConfig().startsWith("; the site's comment\n"))
        qFatal("a request changed what it did not set");
    const QJsonArray content = request.value(QLatin1String("content")).toArray();
    if (type == ApiUdpSocketThread::SetPANID) {
        const QString panId = content.last().toObject().value(QLatin1String("PANID")).toString().toUpper();
        if (file.text("pan_id", "PANID") != panId || reply.value(QLatin1String("PANID")).toString() != panId)
            qFatal("the PANID stored does not read back");
        return;
    }
    QMap<QString, QString> expected; // the last element of an id stays
    for (const QJsonValue &element : content) {
        const QJsonObject anchor = element.toObject();
        expected.insert(anchor.value(QLatin1String("anchor_imei")).toString(),
                        stored(anchor, "x") + ',' + stored(anchor, "y") + ',' + stored(anchor, "z"));
    }
    QMap<QString, QString> listed;
    for (const QJsonValue &entry : reply.value(QLatin1String("anchors_lists")).toArray()) {
        const QJsonObject anchor = entry.toObject();
        listed.insert(anchor.value("anchor_imei").toString(), stored(anchor, "x") + ',' + stored(anchor, "y") + ','
                                                                  + stored(anchor, "z"));
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (file.text("anchor_coordinate", it.key()) != it.value() || listed.value(it.key()) != it.value())
            qFatal("an anchor stored does not read back");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir dir;
    ConfigFile::setExecutableDirForTesting(dir.path());
    g_configPath = dir.path() + QStringLiteral("/config.ini");
    writeConfig(kIni);
    g_api = new ApiUdpSocketThread; // never started: only the request handling runs
    g_api->setConfigWriteRate(1000000000); // every input is looked at, however fast they come
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), int(size));
    const QByteArray before = readConfig();
    const QByteArray reply = g_api->apiRequestReply(data);
    if (!reply.isEmpty() && !QJsonDocument::fromJson(reply).isObject())
        qFatal("a reply that is not a JSON object: %s", reply.toHex().constData());
    if (reply.contains('\\'))
        qFatal("backslash in a reply");
    if (readConfig() != before) {
        QJsonObject request;
        const int type = g_api->apiRequestType(data, &request);
        if (type != ApiUdpSocketThread::SetAnchorsXYZ && type != ApiUdpSocketThread::SetPANID)
            qFatal("a request that sets nothing changed config.ini");
        if (reply == kInvalid)
            qFatal("an invalid request changed config.ini");
        checkStored(type, request, QJsonDocument::fromJson(reply).object());
        writeConfig(kIni);
    }
    return 0;
}
