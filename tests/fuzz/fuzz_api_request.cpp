// Arbitrary datagrams through the request handling of the API: nothing may
// crash, no reply may carry a backslash, and a request answered as invalid
// must leave config.ini untouched (the one exception: an anchor request keeps
// the elements before its first bad identifier).

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

bool isAnchorRequest(const QByteArray &data)
{
    return QJsonDocument::fromJson(data).object().value(QLatin1String("REQUEST")) == QLatin1String("SetAnchorsXYZ");
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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), int(size));
    const QByteArray before = readConfig();
    const QByteArray reply = g_api->apiRequestReply(data);
    if (reply.contains('\\'))
        qFatal("backslash in a reply");
    if (readConfig() != before) {
        if (reply == kInvalid && !isAnchorRequest(data))
            qFatal("an invalid request changed config.ini");
        writeConfig(kIni);
    }
    return 0;
}
