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

#include <cstdio>
#include <cstdlib>

namespace {

const char kIni[] = "[network_setting]\n"
                    "remote_udp_server_parameters_configuration_ip=127.0.0.1\n"
                    "[anchor_coordinate]\n"
                    "000000000001=\"1.00,2.00,3.00\"\n"
                    "000000000002=\"abc\"\n"
                    "[pan_id]\n"
                    "PANID=AB12\n"
                    "[tag_high]\n"
                    "tag1=1.2\n";

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
    const QJsonDocument document = QJsonDocument::fromJson(data);
    return document.isObject() && document.object().value(QLatin1String("REQUEST")) == QLatin1String("SetAnchorsXYZ");
}

[[noreturn]] void fail(const char *what, const QByteArray &data)
{
    std::fprintf(stderr, "%s for input of %d bytes\n", what, int(data.size()));
    std::abort();
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
        fail("backslash in a reply", data);
    const QByteArray after = readConfig();
    if (after != before) {
        if (reply == kInvalid && !isAnchorRequest(data))
            fail("an invalid request changed config.ini", data);
        writeConfig(kIni);
    }
    return 0;
}
