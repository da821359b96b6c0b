// A configuration request through to the config.ini text it writes. What a
// request stores reads back as stored, by the program's own reader and in its
// reply; the rest of the file reads as before; a request answered as invalid
// (or not answered) leaves the file byte for byte.

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

const char kIni[] = "; a site's own comment\n[network_setting]\nremote_udp_server_parameters_configuration_ip=127.0.0.1\n"
                    "[anchor_coordinate]\n000000000001=\"1.00,2.00,3.00\"\n\n[pan_id]\nPANID=AB12\n"
                    "[tag_high]\ntag1=1.2\n[site]\nnote=\"a, b\"\n";

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
QString storedNumber(const QJsonObject &anchor, const char *name)
{
    const double value = anchor.value(QLatin1String(name)).toDouble();
    return QString::number(std::isfinite(value) ? value : 0.0, 'f', 2);
}

void checkStored(int type, const QJsonObject &request, const QByteArray &reply)
{
    const ConfigFile written(g_configPath);
    const QJsonObject answer = QJsonDocument::fromJson(reply).object();
    const QJsonArray content = request.value(QLatin1String("content")).toArray();
    if (type == ApiUdpSocketThread::SetPANID) {
        const QString expected = content.last().toObject().value(QLatin1String("PANID")).toString().toUpper();
        if (written.text(QStringLiteral("pan_id"), QStringLiteral("PANID")) != expected)
            qFatal("the PANID stored does not read back");
        if (answer.value(QLatin1String("PANID")).toString() != expected)
            qFatal("the reply does not carry the PANID stored");
        return;
    }
    QMap<QString, QString> expected; // the last element of an id stays
    for (const QJsonValue &element : content) {
        const QJsonObject anchor = element.toObject();
        expected.insert(anchor.value(QLatin1String("anchor_imei")).toString(),
                        storedNumber(anchor, "x") + ',' + storedNumber(anchor, "y") + ',' + storedNumber(anchor, "z"));
    }
    QMap<QString, QJsonObject> listed;
    for (const QJsonValue &entry : answer.value(QLatin1String("anchors_lists")).toArray())
        listed.insert(entry.toObject().value(QLatin1String("anchor_imei")).toString(), entry.toObject());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (written.text(QStringLiteral("anchor_coordinate"), it.key()) != it.value())
            qFatal("an anchor stored does not read back");
        const QStringList xyz = it.value().split(',');
        const QJsonObject entry = listed.value(it.key());
        if (entry.value("x").toDouble() != xyz[0].toDouble() || entry.value("y").toDouble() != xyz[1].toDouble()
            || entry.value("z").toDouble() != xyz[2].toDouble())
            qFatal("the reply does not carry the anchor stored");
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
    g_api->setConfigWriteRate(1000000000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), int(size));
    const QByteArray before = readConfig();
    QJsonObject request;
    const int type = g_api->apiRequestType(data, &request);
    const QByteArray reply = g_api->apiRequestReply(data);
    const QByteArray after = readConfig();
    const bool isSet = type == ApiUdpSocketThread::SetAnchorsXYZ || type == ApiUdpSocketThread::SetPANID;
    if (reply.isEmpty() || reply == kInvalid || !isSet) {
        if (after != before)
            qFatal("a request refused, unanswered or setting nothing changed config.ini");
        return 0;
    }
    if (!QJsonDocument::fromJson(reply).isObject())
        qFatal("a reply that is not a JSON object: %s", reply.toHex().constData());
    if (request.value(QLatin1String("content")).toArray().isEmpty()) {
        if (after != before)
            qFatal("a request without content changed config.ini");
        return 0;
    }
    checkStored(type, request, reply);
    // Everything else of the file reads as before.
    const ConfigFile written(g_configPath);
    if (!after.startsWith("; a site's own comment\n") || written.text("tag_high", "tag1") != QLatin1String("1.2")
        || written.text("site", "note") != QLatin1String("a, b")
        || written.text("network_setting", "remote_udp_server_parameters_configuration_ip") != QLatin1String("127.0.0.1"))
        qFatal("a request changed what it did not set");
    writeConfig(kIni);
    return 0;
}
