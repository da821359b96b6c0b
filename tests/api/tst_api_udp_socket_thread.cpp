// The API service through real loopback sockets: every request kind and its
// reply at the configuration endpoint (never at the sender), what lands in
// config.ini, position reports sent from another thread while requests are
// answered, heartbeats, and a request port that is taken.

#include "api/api_udp_socket_thread.h"
#include "common/build_variant.h"
#include "common/config_file.h"
#include "tests/support/test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <memory>
#include <thread>

namespace {

const QByteArray kInvalid = R"({"INVALID_PARAMETER":1010})";
const QByteArray kProbe = R"({"REQUEST":"GetAnchorsLists"})";
const char kAbsent[] = "<absent>";

using Settings = QMap<QString, QString>; // "group/key" -> value, or kAbsent

// A running service whose two endpoints are sinks of the test, plus a
// requester socket that must never receive anything.
struct Service {
    explicit Service(const QString &extraIni, quint16 listenPort = 0)
        : config(QStringLiteral("[network_setting]\n"
                                "local_udp_listen_parameters_configuration_port=%1\n"
                                "remote_udp_server_parameters_configuration_ip=127.0.0.1\n"
                                "remote_udp_server_parameters_configuration_port=%2\n"
                                "remote_udp_server_location_ip=127.0.0.1\n"
                                "remote_udp_server_location_port=%3\n")
                     .arg(listenPort)
                     .arg(configurationEndpoint.port())
                     .arg(locationEndpoint.port())
                 + extraIni),
          api(std::make_unique<ApiUdpSocketThread>())
    {
        requester.bind(QHostAddress(QHostAddress::LocalHost), 0);
    }
    ~Service() { stop(); }

    void start() { api->start(); }
    bool stop()
    {
        api->apiUdpSocketThreadStop();
        return api->wait(10000);
    }
    void request(const QByteArray &datagram)
    {
        requester.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), api->requestPort());
    }
    QString value(const QString &groupKey) { return ConfigFile().settings().value(groupKey, kAbsent).toString(); }

    UdpSink configurationEndpoint;
    UdpSink locationEndpoint;
    ScopedConfig config;
    std::unique_ptr<ApiUdpSocketThread> api;
    QUdpSocket requester;
};

QByteArray anchorRequest(const QByteArray &elements)
{
    return R"({"REQUEST":"SetAnchorsXYZ","content":[)" + elements + "]}";
}

QJsonObject parsed(const QByteArray &datagram) { return QJsonDocument::fromJson(datagram).object(); }

TAG_IMEI_t tag(const char *hex)
{
    TAG_IMEI_t id;
    const QByteArray bytes = QByteArray::fromHex(hex);
    std::memcpy(id.imei, bytes.constData(), sizeof id.imei);
    return id;
}

QStringList g_log;
void captureLine(QtMsgType, const QMessageLogContext &, const QString &line) { g_log.append(line); }

} // namespace

class tst_ApiUdpSocketThread : public QObject
{
    Q_OBJECT

private slots:
    void requests_data();
    void requests();
    void reportsFromAnotherThreadWhileAnswering();
    void twoTagsInARow();
    void heartBeatEmptiesOnlineAnchors();
    void takenRequestPortStillSendsReports();
};

void tst_ApiUdpSocketThread::requests_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply"); // empty: no reply at all
    QTest::addColumn<Settings>("settings");

    const QString pan = QStringLiteral("[pan_id]\nPANID=1a2b\n");
    const QString anchors = QStringLiteral("[anchor_coordinate]\n000000000001=\"1,2,3\"\n"
                                           "000000000002=\"abc,2,3\"\n000000000003=\"5\"\n");
    const QByteArray anchorList = R"({"anchors_lists":[{"anchor_imei":"000000000001","x":1,"y":2,"z":3},)"
                                  R"({"anchor_imei":"000000000002","x":0,"y":2,"z":3},)"
                                  R"({"anchor_imei":"000000000003","x":5,"y":0,"z":0}]})";
    const QByteArray valid = R"({"anchor_imei":"0A1B2C3D4E5F","x":1.5,"y":-2,"z":3.254})";
    const QString validKey = QStringLiteral("anchor_coordinate/0A1B2C3D4E5F");
    const QByteArray panReply = R"({"PANID":"1A2B"})";
    auto add = [](const char *name, const QString &ini, const QByteArray &request, const QByteArray &reply,
                  const Settings &settings = {}) { QTest::newRow(name) << ini << request << reply << settings; };

    add("GetPANID in upper case", pan, R"({"REQUEST":"GetPANID"})", panReply);
    add("GetPANID ignores other members", pan, R"({"REQUEST":"GetPANID","content":5})", panReply);
    add("GetPANID without identifier: silence", QString(), R"({"REQUEST":"GetPANID"})", QByteArray());
    add("wrong case", pan, R"({"REQUEST":"getpanid"})", kInvalid);
    add("GetCapabilities", pan, R"({"REQUEST":"GetCapabilities"})", kInvalid);
    add("not JSON", pan, "GetPANID", kInvalid);
    add("array", pan, R"([{"REQUEST":"GetPANID"}])", kInvalid);
    add("no REQUEST", pan, R"({"content":[]})", kInvalid);
    add("REQUEST not text", pan, R"({"REQUEST":4})", kInvalid);
    add("empty datagram: silence", pan, "", QByteArray());
    add("stored anchors listed", anchors, kProbe, anchorList);
    add("SetAnchorsXYZ", QString(), anchorRequest(valid),
        R"({"anchors_lists":[{"anchor_imei":"0A1B2C3D4E5F","x":1.5,"y":-2,"z":3.25}]})",
        {{validKey, "1.50,-2.00,3.25"}});
    add("numbers as strings count 0", QString(), anchorRequest(R"({"anchor_imei":"0A1B2C3D4E5F","x":"1.5","y":2})"),
        R"({"anchors_lists":[{"anchor_imei":"0A1B2C3D4E5F","x":0,"y":2,"z":0}]})", {{validKey, "0.00,2.00,0.00"}});
    add("11 characters after a valid one", QString(), anchorRequest(valid + R"(,{"anchor_imei":"0A1B2C3D4E5","x":1})"),
        kInvalid, {{validKey, "1.50,-2.00,3.25"}, {"anchor_coordinate/0A1B2C3D4E5", kAbsent}});
    add("13 characters after a valid one", QString(),
        anchorRequest(valid + R"(,{"anchor_imei":"0A1B2C3D4E5F0","x":1})"), kInvalid,
        {{validKey, "1.50,-2.00,3.25"}, {"anchor_coordinate/0A1B2C3D4E5F0", kAbsent}});
    add("SetAnchorsXYZ without content", anchors, R"({"REQUEST":"SetAnchorsXYZ"})", kInvalid);
    add("SetAnchorsXYZ with an object", QString(), R"({"REQUEST":"SetAnchorsXYZ","content":)" + valid + "}",
        kInvalid, {{validKey, kAbsent}});
    add("SetAnchorsXYZ empty: current list", anchors, anchorRequest(""), anchorList);
    add("quote in key: no backslash", QString(), anchorRequest(R"({"anchor_imei":"0A1B2C\"D4E5F","x":1})"),
        R"({"anchors_lists":[{"anchor_imei":"0A1B2C"D4E5F","x":1,"y":0,"z":0}]})",
        {{"anchor_coordinate/0A1B2C\"D4E5F", "1.00,0.00,0.00"}});
    add("SetPANID, last one stays", pan, R"({"REQUEST":"SetPANID","content":[{"PANID":"ab12"},{"PANID":"cd34"}]})",
        R"({"PANID":"CD34"})", {{"pan_id/PANID", "CD34"}});
    add("SetPANID without content", pan, R"({"REQUEST":"SetPANID"})", kInvalid, {{"pan_id/PANID", "1a2b"}});
}

void tst_ApiUdpSocketThread::requests()
{
    QFETCH(QString, ini);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(Settings, settings);

    Service service(ini);
    const QString before = service.config.read();
    service.start();
    service.request(request);
    if (reply.isEmpty()) {
        // Requests are handled in order: the probe's answer comes first only
        // if the request was not answered.
        service.request(kProbe);
        const QByteArray first = service.configurationEndpoint.next();
        QVERIFY2(first.startsWith(R"({"anchors_lists":)"), first.constData());
    } else {
        QCOMPARE(service.configurationEndpoint.next(), reply);
    }
    QVERIFY2(!service.requester.hasPendingDatagrams(), "a reply went back to the sender");
    QVERIFY(service.stop());

    if (settings.isEmpty() && reply == kInvalid)
        QVERIFY2(service.config.read() == before, "an invalid request changed config.ini");
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        QCOMPARE(service.value(it.key()), it.value());
}

// The algorithm thread sends reports through the direct connection while the
// API thread reads and answers requests on the same socket.
void tst_ApiUdpSocketThread::reportsFromAnotherThreadWhileAnswering()
{
    Service service(QStringLiteral("[pan_id]\nPANID=77\n"));
    service.start();
    constexpr int kReports = 50;
    constexpr int kRequests = 20;
    std::thread algorithm([&service] {
        for (int i = 0; i < kReports; ++i) {
            // The real caller holds this mutex while it emits.
            std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
            service.api->apiSendTagMsgToRemoteSlot(tag("00010203040A"), i, -3, 7,
                                                   QByteArray(variant::kTelemetrySize, '\0'));
        }
    });
    for (int i = 0; i < kRequests; ++i)
        service.request(R"({"REQUEST":"GetPANID"})");
    algorithm.join();

    for (int i = 0; i < kRequests; ++i)
        QCOMPARE(service.configurationEndpoint.next(), QByteArray(R"({"PANID":"77"})"));
    for (int i = 0; i < kReports; ++i) {
        const QJsonObject indoor =
            parsed(service.locationEndpoint.next()).value(QStringLiteral("indoorLocationData")).toObject();
        QCOMPARE(indoor.value(QStringLiteral("coordx")).toDouble(), i * 100.0);
    }
}

void tst_ApiUdpSocketThread::twoTagsInARow()
{
    Service service{QString()};
    QByteArray block(variant::kTelemetrySize, '\0');
    block[4] = char(0x50); // hr: heart rate 80
    service.api->apiSendTagMsgToRemoteSlot(tag("0001020A0BFF"), 2, -3, 7, block);
    service.api->apiSendTagMsgToRemoteSlot(tag("A0A1A2A3A4A5"), 1.125, 2.25, 0, QByteArray(variant::kTelemetrySize, '\1'));

    const QByteArray first = service.locationEndpoint.next();
    const QByteArray second = service.locationEndpoint.next();
    // Centimetres: integral values without a fraction, a fraction kept.
    QVERIFY2(first.contains(R"("coordx":200,"coordy":-300,)") && first.contains(R"("tagID":"0001020A0BFF")"),
             first.constData());
    QVERIFY2(second.contains(R"("coordx":112.5,"coordy":225,)") && second.contains(R"("tagID":"A0A1A2A3A4A5")"),
             second.constData());
    // z is not reported: no 7 anywhere but possibly in the time text.
    QVERIFY2(!QString::fromLatin1(first).remove(QRegularExpression(QStringLiteral(R"(\d{8}T\d{6})"))).contains('7'),
             first.constData());

    const QJsonObject report = parsed(first);
    auto addition = [](const QJsonObject &r, const char *member) {
        return r.value(QStringLiteral("indoorLocationData")).toObject().value(QStringLiteral("additionMessage"))
            .toObject().value(QLatin1String(member)).toInt(-1);
    };
    if constexpr (variant::kHrBuild) {
        QCOMPARE(addition(report, "heartrate"), 80);
        QCOMPARE(addition(parsed(second), "heartrate"), 1);
        QVERIFY2(report.contains(QStringLiteral("outdoorLocationData")), first.constData());
    } else {
        QCOMPARE(addition(report, "calorie"), 0x50);
        QCOMPARE(report.keys(), QStringList{QStringLiteral("indoorLocationData")});
    }
    QVERIFY2(!service.configurationEndpoint.socket.hasPendingDatagrams(), "a report went to the configuration endpoint");
}

void tst_ApiUdpSocketThread::heartBeatEmptiesOnlineAnchors()
{
    Service service{QString()};
    {
        std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
        g_anchor_online_lists.insert(QByteArray::fromHex("010203040506"));
        g_anchor_online_lists.insert(QByteArray::fromHex("AABBCCDDEEFF"));
    }
    std::thread([&service] { service.api->apiSendHeartBeatSlot(); }).join();
    service.api->apiSendHeartBeatSlot();

    const QJsonObject first = parsed(service.configurationEndpoint.next());
    const QString anchors = first.value(QStringLiteral("ANCHOR")).toString();
    QVERIFY2(anchors == QLatin1String("010203040506aabbccddeeff") || anchors == QLatin1String("aabbccddeeff010203040506"),
             qPrintable(anchors));
    QCOMPARE(first.value(QStringLiteral("REPORT")).toString(), QStringLiteral("clientHeartBeat"));
    QCOMPARE(service.configurationEndpoint.next(), QByteArray(R"({"ANCHOR":"","REPORT":"clientHeartBeat"})"));
}

void tst_ApiUdpSocketThread::takenRequestPortStillSendsReports()
{
    UdpSink occupant;
    g_log.clear();
    qInstallMessageHandler(captureLine);
    Service service(QString(), occupant.port());
    qInstallMessageHandler(nullptr);
    QVERIFY2(g_log.filter(QStringLiteral("bind local udp listen port for api request FAILED!")).size() == 1,
             qPrintable(g_log.join(QLatin1Char('\n'))));
    QCOMPARE(service.api->requestPort(), quint16(0));

    service.start();
    service.api->apiSendTagMsgToRemoteSlot(tag("000000000001"), 1, 1, 1, QByteArray(variant::kTelemetrySize, '\0'));
    QVERIFY(service.locationEndpoint.next().contains(R"("tagID":"000000000001")"));
    QVERIFY(service.stop());
}

QTEST_GUILESS_MAIN(tst_ApiUdpSocketThread)
#include "tst_api_udp_socket_thread.moc"
