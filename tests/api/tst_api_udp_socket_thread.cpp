// The API service through real loopback sockets: every request kind and its
// reply at the configuration endpoint (never at the sender), and what lands in
// config.ini. Reports sent while requests are answered: tst_system.

#include "api/api_udp_socket_thread.h"
#include "common/config_file.h"
#include "tests/app/site_ini.h"
#include "tests/support/test_support.h"

#include <QtTest>

#include <memory>

namespace {

const QByteArray kInvalid = R"({"INVALID_PARAMETER":1010})";
const QByteArray kProbe = R"({"REQUEST":"GetAnchorsLists"})";
const char kAbsent[] = "<absent>";

using Settings = QMap<QString, QString>; // "group/key" -> value, or kAbsent

// A running service whose two endpoints are sinks of the test, plus a
// requester socket that must never receive anything.
struct Service {
    explicit Service(const QString &extraIni, quint16 listenPort = 0)
        : config(site::network(0, listenPort, locationEndpoint.port(), configurationEndpoint.port()) + extraIni),
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

} // namespace

class tst_ApiUdpSocketThread : public QObject
{
    Q_OBJECT

private slots:
    void requests_data();
    void requests();
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
    add("GetPANID without identifier: silence", QString(), R"({"REQUEST":"GetPANID"})", QByteArray());
    add("wrong case", pan, R"({"REQUEST":"getpanid"})", kInvalid);
    add("not JSON", pan, "GetPANID", kInvalid);
    add("no REQUEST", pan, R"({"content":[]})", kInvalid);
    add("empty datagram: silence", pan, "", QByteArray());
    add("stored anchors listed", anchors, kProbe, anchorList);
    add("SetAnchorsXYZ", QString(), anchorRequest(valid),
        R"({"anchors_lists":[{"anchor_imei":"0A1B2C3D4E5F","x":1.5,"y":-2,"z":3.25}]})",
        {{validKey, "1.50,-2.00,3.25"}});
    add("11 characters after a valid one", QString(), anchorRequest(valid + R"(,{"anchor_imei":"0A1B2C3D4E5","x":1})"),
        kInvalid, {{validKey, "1.50,-2.00,3.25"}, {"anchor_coordinate/0A1B2C3D4E5", kAbsent}});
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

QTEST_GUILESS_MAIN(tst_ApiUdpSocketThread)
#include "tst_api_udp_socket_thread.moc"
