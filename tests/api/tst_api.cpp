// The API documents as they go on the wire (member order, compact form, number forms), and the service's requests
// over loopback. Built for both programs; the expected reports differ only where they must.

#include "api/api_json.h"
#include "api/api_json_writer.h"
#include "api/api_udp_socket_thread.h"
#include "common/build_variant.h"
#include "common/config_file.h"
#include "common/logwriter.h"
#include "common/metrics.h"
#include "tests/app/site_ini.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

#include <QtTest>

#include <net/if.h>
#include <netinet/in.h>

#include <memory>

namespace {

// "[g]\ng_k=v\n..." from "k=v,..." pairs: the example groups prefix every key.
QString group(const char *name, const char *pairs)
{
    QString text = QStringLiteral("[%1]\n").arg(QLatin1String(name));
    for (const QString &pair : QString::fromLatin1(pairs).split(QLatin1Char(',')))
        text += QLatin1String(name) + QLatin1Char('_') + pair + QLatin1Char('\n');
    return text;
}

QString exampleIni()
{
    return QStringLiteral("[solver_unit_version]\nsolver_uint_available_version=2.1.0\n"
                          "solver_uint_current_version=2.0.0\n[positioning_tech]\npositioning_tech=UWB\n")
           + group("location_quality_info", "indicator=1,horiz_accuracy=0.25,vert_accuracy=0.5,unit=m")
           + group("update_interval", "min_updatetime=100,default_updatetime=1000")
           + group("positioning_area", "id=A1,name=hall,address=street 1,description=ground floor")
           + group("outdoor_coordinate_system", "name=WGS84,description=reference")
           + group("coordinate_reference", "x=116.25,y=39.75,z=0,angle_x=0,angle_z=0")
           + group("area_quality_info", "horiz_accuracy=1.5,vert_accuracy=2,unit=cm");
}

const char kReference[] = R"({"angle_x":0,"angle_z":0,"ocs":{"description":"reference","name":"WGS84"},)"
                          R"("x":116.25,"y":39.75,"z":0})";
const char kLocationQuality[] = R"({"horizAccuracy":0.25,"qualityIndicator":1,"unit":"m","vertAccuracy":0.5})";
// The telemetry example block: 75, 35, 210, 3000, 200, 4321, 1500, RRI ... 812, 12.
const QByteArray kExampleTelemetry = QByteArray::fromHex("4B002300D200B80BC800E110DC05200325032A032F032C030C00");

// This program's block for a heart rate of 75.
QByteArray exampleBlock()
{
    QByteArray hr(44, '\x11');
    hr[4] = char(0x4B);
    return variant::kHrBuild ? hr : kExampleTelemetry;
}

// Reports one tag the way the report slot does in this program.
void report(ApiJson &json, const QString &tag, double x, double y, const QByteArray &block)
{
    if constexpr (variant::kHrBuild)
        json.indoorLocationData().setTagMessage(tag, x, y, QString::fromLatin1(block.toHex().toUpper()));
    else
        json.indoorLocationData().setTagMessage(tag, x, y, block);
}

// Time texts are replaced by "T" after checking their form.
QString withoutTimes(QString text)
{
    static const QRegularExpression time(QStringLiteral(R"re(":"(\d{8}T\d{6})")re"));
    return text.replace(time, QStringLiteral("\":\"T\""));
}

// A service whose location endpoint is a sink of the test. Its requests: tst_site_safety, through the program.
struct Service {
    explicit Service(const QString &extraIni)
        : config(site::network(0, 0, locationEndpoint.port()) + extraIni), api(std::make_unique<ApiUdpSocketThread>())
    {
    }
    ~Service()
    {
        api->apiUdpSocketThreadStop();
        api->wait(10000);
    }

    UdpSink locationEndpoint;
    ScopedConfig config;
    std::unique_ptr<ApiUdpSocketThread> api;
};

} // namespace

class tst_Api : public QObject
{
    Q_OBJECT

private slots:
    void positionReportOnTheWire();
    void reportTextIsQtWritersText_data();
    void reportTextIsQtWritersText();
    void heldReportsLeaveInOrder();
    void batchedReportsKeepTheScope_data();
    void batchedReportsKeepTheScope();
    void reportedAccuracyOnTheWire_data();
    void reportedAccuracyOnTheWire();
    void capabilitiesInitializationStop();
    void handEditKept_data();
    void handEditKept();
};

void tst_Api::positionReportOnTheWire()
{
    ScopedConfig config{exampleIni() + "[token_msg]\nswitch=debugmsg\n"};
    QVERIFY(LogWriter::getLogCenter()->isDebugEnabled());
    ApiJson json = ApiJson::fromConfig(ConfigFile());
    LogCapture log;
    report(json, QStringLiteral("0A1B2C3D4E5F"), 1225, 550, exampleBlock());
    // The entries the debug log converts; the raw values are in the JSON below.
    for (const char *line : {"2.VO2 = 350mL/Kg*min", "4.speed = 4828.03m/h = 1.34m/s", "5.signal_quality = (OK-100%)",
                             "8.RRI = 800ms 805ms 810ms 815ms 812ms "})
        QCOMPARE(log.count(QLatin1String(line)), variant::kHrBuild ? 0 : 1);

    const QString addition = variant::kHrBuild ? QStringLiteral(R"({"HRV":"95","heartrate":75})")
                                               : QStringLiteral(R"({"RRI":812,"VO2":35,"calorie":210,"distance":1500,)"
                                                                R"("heart_rate":75,"period_calorie":12,"signal_quality":200,)"
                                                                R"("speed":3000,"step":4321})");
    QString expected = QStringLiteral(R"({"indoorLocationData":{"additionMessage":%1,"coordinateReference":%2,)"
                                      R"("coordx":1225,"coordy":550,"locationTime":"T","qualityInfo":%3,)"
                                      R"("tagID":"0A1B2C3D4E5F"})")
                           .arg(addition, QLatin1String(kReference), QLatin1String(kLocationQuality));
    if constexpr (variant::kHrBuild)
        expected += QStringLiteral(R"(,"outdoorLocationData":{"coordinateReference":%1,"lat":116.25,)"
                                   R"("locationTime":"T","log":39.75,"qualityInfo":%2})")
                        .arg(QLatin1String(kReference), QLatin1String(kLocationQuality));
    expected += QLatin1Char('}');
    QCOMPARE(withoutTimes(json.getMessagesJson()), expected);
}

// The report slot writes the report member by member (api_json_writer.h): Qt's writer's bytes for every value.
void tst_Api::reportTextIsQtWritersText_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<QByteArray>("block");

    const QByteArray zeros(variant::kTelemetrySize, '\0');
    const auto row = [](const char *name, double x, double y, const QByteArray &block,
                        const QString &tag = QStringLiteral("0A1B2C3D4E5F"), const QString &more = QString()) {
        QTest::newRow(name) << exampleIni() + more << tag << x << y << block;
    };
    row("not finite", qQNaN(), qInf(), zeros);
    // Integers in full digits (not 1e+18), -0 as 0, beyond 2^64 the short form.
    row("-0, -1e18", -0.0, -1e18, zeros);
    row("2^53 + 2, 1e19", 9007199254740994.0, 1e19, zeros);
    row("least subnormal, 0.1", 5e-324, 0.1, zeros);
    row("centimetres", -1234.5678, 99999.99, zeros);
    // Fields a short block does not hold completely read as 0.
    row("short block", 1.0 / 3, 2.5, QByteArray::fromHex("4B0023"));
    row("tag text to escape", 1.0, 2.0, kExampleTelemetry, QStringLiteral("a\"b\\c\u0001d\u00e9\u20ac"));
    row("configured texts to escape", 1.0, 2.0, kExampleTelemetry, QStringLiteral("0A1B2C3D4E5F"),
        QStringLiteral("[outdoor_coordinate_system]\noutdoor_coordinate_system_name=\"a\\\"b\"\n"
                       "[location_quality_info]\nlocation_quality_info_unit=\u00b5m\n"));
}

void tst_Api::reportTextIsQtWritersText()
{
    QFETCH(QString, ini);
    QFETCH(QString, tag);
    QFETCH(double, x);
    QFETCH(double, y);
    QFETCH(QByteArray, block);
    ScopedConfig config{ini};
    ApiJson json = ApiJson::fromConfig(ConfigFile());
    QCOMPARE(json.getMessagesJson(), apiCompactJson(json.getMessages())); // before any report
    report(json, tag, x, y, block);
    QCOMPARE(json.getMessagesJson(), apiCompactJson(json.getMessages()));
    // A second report over the first, and the outdoor data moved in the hr build.
    report(json, QStringLiteral("0001020A0BFF"), y, x, kExampleTelemetry);
    json.outdoorLocationData().setGPSMessage(0.5, -0.25);
    QCOMPARE(json.getMessagesJson(), apiCompactJson(json.getMessages()));
}

// With batching on, reports wait for the flush, or for a full batch; each is still one datagram, in the order made.
void tst_Api::heldReportsLeaveInOrder()
{
    Service service{QString()};
    const int held = ApiUdpSocketThread::kHeldReports;
    TAG_IMEI_t tag = {{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x00}};
    service.api->setReportBatching(true);
    for (int i = 1; i <= held + 2; ++i) {
        tag.imei[5] = quint8(i);
        service.api->apiSendTagMsgToRemoteSlot(tag, i, 2.5, 0, exampleBlock());
        if (i == 2)
            QVERIFY2(service.locationEndpoint.drain(100).isEmpty(), "held until the flush");
    }
    QList<QByteArray> reports = service.locationEndpoint.drain(300);
    QCOMPARE(reports.size(), held); // a full batch goes at once
    service.api->apiFlushReportsSlot();
    reports += service.locationEndpoint.drain(300);
    QCOMPARE(reports.size(), held + 2);
    for (int i = 1; i <= held + 2; ++i) {
        const QByteArray tagText = QByteArray::number(i, 16).toUpper().rightJustified(2, '0');
        QVERIFY2(reports.at(i - 1).contains("\"tagID\":\"0A1B2C3D4E" + tagText + "\""), reports.at(i - 1));
        QVERIFY(reports.at(i - 1).contains("\"coordx\":" + QByteArray::number(i * 100) + ","));
    }
}

// The batched path addresses the socket itself: a link-local destination needs its interface (here ::1 with the
// scope of lo), and a report that cannot leave is logged and counted.
void tst_Api::batchedReportsKeepTheScope_data()
{
    QTest::addColumn<QString>("scope");
    QTest::addColumn<bool>("delivered");
    QTest::newRow("interface name") << "lo" << true;
    QTest::newRow("interface index") << QString::number(::if_nametoindex("lo")) << true;
    QTest::newRow("no such interface: logged, counted") << "nosuchif0" << false;
}

void tst_Api::batchedReportsKeepTheScope()
{
    QFETCH(QString, scope);
    QFETCH(bool, delivered);
    QUdpSocket sink;
    SOLVER_REQUIRE(sink.bind(QHostAddress(QHostAddress::LocalHostIPv6), 0), "no IPv6 loopback on this machine");
    const QString location = QStringLiteral("::1%") + scope;
    ScopedConfig config("[network_setting]\nremote_udp_server_location_ip=" + location
                        + "\nremote_udp_server_location_port=" + QString::number(sink.localPort()) + '\n');
    QUdpSocket dualStack;
    QVERIFY(dualStack.bind(QHostAddress(QHostAddress::Any), 0));
    sockaddr_storage to;
    const socklen_t length = ApiUdpSocketThread::apiSocketAddress(int(dualStack.socketDescriptor()),
                                                                  QHostAddress(location), sink.localPort(), to);
    QCOMPARE(length, delivered ? socklen_t(sizeof(sockaddr_in6)) : socklen_t(0));
    if (delivered)
        QCOMPARE(reinterpret_cast<const sockaddr_in6 &>(to).sin6_scope_id, ::if_nametoindex("lo"));

    ApiUdpSocketThread api;
    api.setReportBatching(true);
    const quint64 notSent = metrics::value(metrics::Counter::ReportsNotSent);
    LogCapture log;
    TAG_IMEI_t tag = {{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};
    for (int i = 0; i < 3; ++i)
        api.apiSendTagMsgToRemoteSlot(tag, i, 1, 0, kExampleTelemetry);
    api.apiFlushReportsSlot();
    int received = 0;
    while (received < 3 && sink.waitForReadyRead(delivered ? 2000 : 200)) {
        while (sink.hasPendingDatagrams() && sink.readDatagram(nullptr, 0) >= 0)
            ++received;
    }
    QVERIFY2(received == (delivered ? 3 : 0), qPrintable(log.dump()));
    QCOMPARE(metrics::value(metrics::Counter::ReportsNotSent) - notSent, delivered ? 0u : 3u);
    const QString line = "position report to " + location + " port " + QString::number(sink.localPort())
                         + " not sent: no address this socket can send to";
    QCOMPARE(log.count(line), delivered ? 0 : 1);
}

// report_accuracy: the fix slot puts the estimated error (m, to the centimetre) where the configured constant stands,
// in Qt's writer's bytes; the usual slot after it has the constant.
void tst_Api::reportedAccuracyOnTheWire_data()
{
    QTest::addColumn<double>("accuracy");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("to the centimetre") << 0.1234 << QByteArray("0.12");
    QTest::newRow("never below a centimetre") << 0.004 << QByteArray("0.01");
    QTest::newRow("whole metres") << 2.0 << QByteArray("2");
    QTest::newRow("not finite: the constant") << qInf() << QByteArray("0.25");
    QTest::newRow("not a number: the constant") << qQNaN() << QByteArray("0.25");
}

void tst_Api::reportedAccuracyOnTheWire()
{
    QFETCH(double, accuracy);
    QFETCH(QByteArray, written);
    Service service{exampleIni()};
    const TAG_IMEI_t tag = {{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};
    const QByteArray block = exampleBlock();
    service.api->apiSendTagFixToRemoteSlot(tag, 12.25, 5.5, 1.2, accuracy, block);
    service.api->apiSendTagMsgToRemoteSlot(tag, 12.25, 5.5, 1.2, block);
    for (const QByteArray &expected : {written, QByteArray("0.25")}) {
        const QByteArray report = service.locationEndpoint.next();
        const QJsonObject indoor = QJsonDocument::fromJson(report).object().value("indoorLocationData").toObject();
        QVERIFY2(QJsonDocument::fromJson(report).toJson(QJsonDocument::Compact) == report, report);
        QVERIFY2(report.contains(R"("qualityInfo":{"horizAccuracy":)" + expected + R"(,"qualityIndicator":1,)"),
                 report);
        QCOMPARE(indoor.value("coordx").toDouble(), 1225.0);
    }
}

void tst_Api::capabilitiesInitializationStop()
{
    ScopedConfig config{exampleIni()};
    ApiJson json = ApiJson::fromConfig(ConfigFile());
    const QString option = QStringLiteral(R"({"coordinateReference":%1,"positioningArea":{"areaAddress":"street 1",)"
                                          R"("areaDescription":"ground floor","areaId":"A1","areaName":"hall"},)"
                                          R"("positioningTech":"UWB","qualityInfo":{"areaHorizAccuracy":1.5,)"
                                          R"("areaVertAccuracy":2,"unit":"cm"},"updateInterval":)"
                                          R"({"defaultUpdateTime":1000,"minUpdateTime":100}})").arg(kReference);
    QCOMPARE(withoutTimes(apiCompactJson(json.show_4_Stop())),
             QString(R"({"clientIdentifier":"qd7203mvprtn","clientState":"stop","createdTime":"",)"
                     R"("currentVersion":"2.0.0","stoppedTime":"T"})"));
    QCOMPARE(QString(apiCompactJson(json.show_1_Capabilitie())),
             option.left(option.size() - 1) + R"(,"version":{"availableVersion":"2.1.0","currentVersion":"2.0.0"}})");
    QCOMPARE(withoutTimes(apiCompactJson(json.show_2_Initialize())),
             R"({"clientIdentifier":"qd7203mvprtn","clientState":"initialization","createdTime":"T",)"
             R"("currentVersion":"2.0.0","positioningOption":)" + option + '}');
}

namespace {
bool g_inPlace = false;
int g_hookCalls = 0;
// An administrator's edit landing after the program read config.ini and before it replaced it.
void handEdit(const QString &target)
{
    if (g_hookCalls++ != 0)
        return;
    const QString edited = g_inPlace ? target : target + ".edit"; // in place, or a new file renamed over it as editors do
    QVERIFY(writeFile(edited, readFile(target).replace("tag1=1.2", "tag1=1.7")));
    if (!g_inPlace)
        QVERIFY(QFile::remove(target) && QFile::rename(edited, target));
    QFile out(target);
    const QDateTime later = QFileInfo(target).lastModified().addSecs(1); // one save within the same tick
    QVERIFY(out.open(QIODevice::ReadWrite) && out.setFileTime(later, QFileDevice::FileModificationTime));
}
} // namespace

void tst_Api::handEditKept_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("editor renames a new file in") << false;
    QTest::newRow("edited in place, same size") << true;
}

void tst_Api::handEditKept()
{
    QFETCH(bool, inPlace);
    ScopedConfig config("[tag_high]\ntag1=1.2\n[pan_id]\nPANID=1A2B\n");
    ApiUdpSocketThread api;
    g_inPlace = inPlace;
    g_hookCalls = 0;
    ConfigFile::setBeforeReplaceHookForTesting(handEdit);
    const QByteArray reply = api.apiRequestReply(R"({"REQUEST":"SetPANID","content":[{"PANID":"cd34"}]})");
    ConfigFile::setBeforeReplaceHookForTesting(nullptr);
    QCOMPARE(reply, QByteArray(R"({"PANID":"CD34"})"));
    QCOMPARE(g_hookCalls, 2); // read again once, and the request applied anew
    QCOMPARE(config.read(), QStringLiteral("[tag_high]\ntag1=1.7\n[pan_id]\nPANID=CD34\n"));
}

QTEST_GUILESS_MAIN(tst_Api)
#include "tst_api.moc"
