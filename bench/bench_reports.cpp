// Position reports built and sent per second on one core (indoor update with
// telemetry decoding, report document, compact serialisation, one datagram to
// a loopback sink) and its parts. Rates are given per second of the
// thread's CPU time (what one core does, whatever else runs on the machine)
// and per second of wall time.

#include "api/api_addition_message.h"
#include "api/api_json.h"
#include "api/api_udp_socket_thread.h"
#include "common/config_file.h"
#include "common/logwriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <cstdio>
#include <ctime>

namespace {

constexpr int kReports = 200000;

const QByteArray kTelemetry = QByteArray::fromHex("4B002300D200B80BC800E110DC05200325032A032F032C030C00");

double threadCpuSeconds()
{
    timespec now = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec / 1e9;
}

struct Rate {
    double perCpuSecond;
    double perWallSecond;
};

template <typename Body>
Rate perSecond(int count, Body body)
{
    QElapsedTimer timer;
    const double cpuStart = threadCpuSeconds();
    timer.start();
    for (int i = 0; i < count; ++i)
        body(i);
    const double wall = timer.nsecsElapsed() / 1e9;
    return {count / (threadCpuSeconds() - cpuStart), count / wall};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QUdpSocket sink; // never read: the kernel drops what does not fit
    sink.bind(QHostAddress(QHostAddress::LocalHost), 0);
    {
        QFile ini(dir.path() + QStringLiteral("/config.ini"));
        if (!ini.open(QIODevice::WriteOnly))
            return 1;
        ini.write(QStringLiteral("[network_setting]\nremote_udp_server_location_ip=127.0.0.1\n"
                                 "remote_udp_server_location_port=%1\n"
                                 "[location_quality_info]\nlocation_quality_info_indicator=1\n"
                                 "location_quality_info_horiz_accuracy=0.25\nlocation_quality_info_unit=m\n"
                                 "[outdoor_coordinate_system]\noutdoor_coordinate_system_name=WGS84\n"
                                 "[coordinate_reference]\ncoordinate_reference_x=116.25\n"
                                 "coordinate_reference_y=39.75\n")
                      .arg(sink.localPort())
                      .toUtf8());
    }
    ConfigFile::setExecutableDirForTesting(dir.path());

    ApiUdpSocketThread api;
    TAG_IMEI_t tag = {{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x00}};
    const Rate reports = perSecond(kReports, [&](int i) {
        tag.imei[5] = quint8(i);
        api.apiSendTagMsgToRemoteSlot(tag, 12.25 + i * 1e-3, 5.5, 0, kTelemetry);
    });

    // The same document, built without the send: once as the report slot
    // writes it, once through Qt's writer as a whole.
    ApiJson json = ApiJson::fromConfig(ConfigFile());
    QByteArray reportBytes;
    const Rate built = perSecond(kReports, [&](int i) {
        json.indoorLocationData().setTagMessage(QStringLiteral("0A1B2C3D4E5F"), 1225 + i, 550, kTelemetry);
        reportBytes = json.getMessagesJson();
    });
    const Rate builtByQt = perSecond(kReports, [&](int i) {
        json.indoorLocationData().setTagMessage(QStringLiteral("0A1B2C3D4E5F"), 1225 + i, 550, kTelemetry);
        reportBytes = QJsonDocument(json.getMessages()).toJson(QJsonDocument::Compact);
    });
    const Rate written = perSecond(kReports, [&](int) { reportBytes = json.getMessagesJson(); });
    const QJsonObject report = json.getMessages();
    const Rate writtenByQt = perSecond(kReports, [&](int) {
        reportBytes = QJsonDocument(report).toJson(QJsonDocument::Compact);
    });
    if (reportBytes != json.getMessagesJson()) {
        std::printf("the report text differs from Qt's writer\n");
        return 1;
    }

    QUdpSocket sender;
    sender.bind(QHostAddress(QHostAddress::Any), 0);
    const Rate sent = perSecond(kReports, [&](int) {
        sender.writeDatagram(reportBytes, QHostAddress(QHostAddress::LocalHost), sink.localPort());
    });

    ApiAdditionMessage addition;
    const Rate decoded = perSecond(kReports, [&](int) { addition.setMessage(kTelemetry); });

    const auto line = [](const char *what, const Rate &rate) {
        std::printf("%-34s %9.0f /s  (%5.2f us each)  wall: %9.0f /s\n", what, rate.perCpuSecond,
                    1e6 / rate.perCpuSecond, rate.perWallSecond);
    };
    std::printf("debug output: %s; per second of thread CPU time\n",
                LogWriter::getLogCenter()->isDebugEnabled() ? "on" : "off");
    line("reports built and sent (slot):", reports);
    line("reports built, not sent:", built);
    line("  the same through Qt's writer:", builtByQt);
    line("report text alone:", written);
    line("  the same through Qt's writer:", writtenByQt);
    std::printf("%-34s %d bytes\n", "report size:", int(reportBytes.size()));
    line("datagram send alone:", sent);
    line("telemetry decoding alone:", decoded);
    return 0;
}
