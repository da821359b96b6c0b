// Arbitrary datagrams through the request handling of the API: nothing may
// crash, every reply must parse as a JSON object (replies go out with their
// backslashes removed, so none may need one), only a set request may change
// config.ini, and one answered as invalid must leave it untouched. What a datagram asks for is decided by the program's own
// reading of it, apiRequestType.

#include "api/api_udp_socket_thread.h"
#include "common/config_file.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

const char kIni[] = "[network_setting]\nremote_udp_server_parameters_configuration_ip=127.0.0.1\n"
                    "[anchor_coordinate]\n000000000001=\"1.00,2.00,3.00\"\n000000000002=\"abc\"\n"
                    "[pan_id]\nPANID=AB12\n[tag_high]\ntag1=1.2\n";

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
        const int type = g_api->apiRequestType(data);
        if (type != ApiUdpSocketThread::SetAnchorsXYZ && type != ApiUdpSocketThread::SetPANID)
            qFatal("a request that sets nothing changed config.ini");
        if (reply == kInvalid)
            qFatal("an invalid request changed config.ini");
        writeConfig(kIni);
    }
    return 0;
}
