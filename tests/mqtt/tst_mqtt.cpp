#include "../app/site_ini.h"
#include "../support/test_support.h"
#include "app/mainwindow.h"
#include "tools/common/local_broker.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// Position reports and status on MQTT, through a mosquitto broker of the
// test's own on a free loopback port.
class tst_Mqtt : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void reportsEqualUdpReports_data();
    void reportsEqualUdpReports();
    void brokerDownAndBack();
    void statusEvery30s();
    void settings_data();
    void settings();

private:
    QString mosquitto;
};

namespace {

struct Site {
    quint16 anchor = freeUdpPort(), request = freeUdpPort(), location = freeUdpPort();
    QString ini(quint16 brokerPort, const QString &qos = QStringLiteral("0")) const
    {
        return site::network(anchor, request, location, freeUdpPort()) + site::hall()
               + QStringLiteral("[algorithm_config]\ndelay_window_1908=2\n[mqtt]\nmqtt_enable=true\n"
                                "mqtt_host=127.0.0.1\nmqtt_port=%1\nmqtt_client_id=unit-a\nmqtt_topic_prefix=site\n"
                                "mqtt_qos=%2\n")
                     .arg(brokerPort)
                     .arg(qos);
    }
};

bool simulate(ProgramRunner &solver, const QString &tagsRateSeconds, ChildProcess &sim)
{
    return sim.start((QStringLiteral("--config ") + solver.dir() + "/config.ini --quiet " + tagsRateSeconds).split(' '));
}

QString simulator(bool hr) { return toolPath(hr ? QStringLiteral("solver_sim_hr") : QStringLiteral("solver_sim")); }

} // namespace

void tst_Mqtt::initTestCase()
{
    mosquitto_lib_init();
    SOLVER_REQUIRE_TOOL(mosquitto, "mosquitto");
}

void tst_Mqtt::reportsEqualUdpReports_data()
{
    QTest::addColumn<bool>("hr");
    QTest::addColumn<QString>("qos");
    QTest::addColumn<bool>("killed");
    QTest::newRow("solver_unit, QoS 0, killed: the will") << false << "0" << true;
    QTest::newRow("solver_unit_hr, QoS 1, terminated") << true << "1" << false;
}

void tst_Mqtt::reportsEqualUdpReports()
{
    QFETCH(bool, hr);
    QFETCH(QString, qos);
    QFETCH(bool, killed);
    LocalBroker broker(mosquitto);
    QVERIFY(broker.start());
    LocalSubscriber subscriber(broker.port, "site/#");
    const Site site;
    UdpSink location(site.location);
    ProgramRunner solver(hr ? "solver_unit_hr" : "solver_unit", site.ini(broker.port, qos) + site::debugOn());
    QVERIFY(solver.start() && solver.waitForLog(site::kWorkersRunning));
    QVERIFY2(solver.waitForLog(QStringLiteral("mqtt: connected to 127.0.0.1")), qPrintable(solver.log()));
    QTRY_COMPARE(subscriber.messages("site/status").value(0), QByteArray("site/status online"));

    ChildProcess sim(simulator(hr));
    QVERIFY(simulate(solver, QStringLiteral("--tags 3 --rate 20 --duration 1.5"), sim));
    // 30 transmissions a tag: the first registers, the last 2 (the delay) are never due.
    const int due = 3 * (30 - 1 - 2);
    const QList<QByteArray> udp = location.receive(due);
    QCOMPARE(sim.finish(), 0);
    QCOMPARE(udp.size(), due);
    QTRY_COMPARE(subscriber.messages("/position").size(), due);
    const QList<QByteArray> mqtt = subscriber.messages("/position");
    for (int i = 0; i < udp.size(); ++i) {
        const QJsonObject indoor = QJsonDocument::fromJson(udp[i]).object().value("indoorLocationData").toObject();
        QCOMPARE(mqtt[i], "site/" + indoor.value("tagID").toString().toLatin1() + "/position " + udp[i]);
    }
    if (killed)
        solver.kill();
    else
        QVERIFY2(solver.terminate() == 0, qPrintable(solver.log()));
    QVERIFY(location.pending().isEmpty());
    QTRY_COMPARE(subscriber.messages("site/status").value(1), QByteArray("site/status offline"));
    QCOMPARE(broker.stop(), 0);
}

// Started before its broker, then the broker killed during traffic and
// started again: UDP reports go on throughout, MQTT resumes, drops are counted.
void tst_Mqtt::brokerDownAndBack()
{
    LocalBroker broker(mosquitto);
    const Site site;
    UdpSink location(site.location);
    ProgramRunner solver("solver_unit", site.ini(broker.port));
    QVERIFY(solver.start());
    QVERIFY(solver.waitForLog(QStringLiteral("mqtt: broker 127.0.0.1")));
    QVERIFY(broker.start());
    QVERIFY(solver.waitForLog(QStringLiteral("mqtt: connected to"), 10000));
    LocalSubscriber subscriber(broker.port, "site/#");

    ChildProcess sim(simulator(false));
    QVERIFY(simulate(solver, QStringLiteral("--tags 20 --rate 50 --duration 60"), sim));
    QVERIFY(!location.next(10000).isNull());
    broker.kill();
    // 1000 reports a second fill the publisher's queue within seconds: UDP
    // reports go on meanwhile, and until the drops are logged.
    const QRegularExpression dropped("mqtt: [1-9][0-9]* messages dropped");
    while (!solver.log().contains(dropped))
        QVERIFY2(!location.next(3000).isNull(), "UDP reports stalled while the broker was away");
    QVERIFY(broker.start());
    QVERIFY(solver.waitForLog(QStringLiteral("mqtt: connected to"), 20000, 2));
    const int before = subscriber.messages("/position").size();
    QTRY_VERIFY_WITH_TIMEOUT(subscriber.messages("/position").size() > before + 100, 10000);
    QCOMPARE(sim.terminate(), 0);
    QVERIFY2(solver.terminate() == 0, qPrintable(solver.log()));
    const QString log = solver.log();
    QCOMPARE(log.count("mqtt: broker 127.0.0.1"), 1);
    QCOMPARE(log.count("mqtt: connection to 127.0.0.1"), 1);
    QCOMPARE(log.count("mqtt: connected to"), 2);
    QCOMPARE(broker.stop(), 0);
}

// The supervision text, through the program's own wiring.
void tst_Mqtt::statusEvery30s()
{
    LocalBroker broker(mosquitto);
    QVERIFY(broker.start());
    LocalSubscriber subscriber(broker.port, "site/#");
    const ScopedConfig config(Site().ini(broker.port));
    MainWindow window;
    window.timerThread.setPeriodForTesting(100);
    UdpSink heartbeats;
    window.timerThread.setServerPortForTesting(heartbeats.port());
    window.timerThread.start();
    QTRY_VERIFY(subscriber.messages("site/status fifo_size=0#tags_size=0#anchors_size=0#").size() >= 2);
    window.mainWindowStop();
    QTRY_VERIFY(subscriber.messages("site/status offline").size() == 1);
    QCOMPARE(broker.stop(), 0);
}

void tst_Mqtt::settings_data()
{
    QTest::addColumn<QString>("mqtt");
    QTest::addColumn<QString>("line");
    const QString on = QStringLiteral("[mqtt]\nmqtt_enable=true\nmqtt_host=127.0.0.1\nmqtt_port=1883\n");
    QTest::newRow("absent") << "" << "";
    QTest::newRow("not exactly true") << "[mqtt]\nmqtt_enable=True\nmqtt_host=127.0.0.1\nmqtt_port=1883\n" << "";
    QTest::newRow("port 0") << "[mqtt]\nmqtt_enable=true\nmqtt_host=127.0.0.1\nmqtt_port=0\n"
                            << "mqtt: mqtt_port \"0\" is not a port number 1..65535, running without MQTT";
    QTest::newRow("QoS 7") << on + "mqtt_qos=7\n" << "mqtt: mqtt_qos \"7\" is not 0 or 1, running without MQTT";
    QTest::newRow("no host") << "[mqtt]\nmqtt_enable=true\nmqtt_port=1883\n"
                             << "mqtt: mqtt_host is empty, running without MQTT";
    QTest::newRow("TLS file missing") << on + "mqtt_cafile=/nonexistent/ca.crt\n"
                                      << "mqtt: mqtt_cafile \"/nonexistent/ca.crt\" is not a readable file, running "
                                         "without MQTT";
}

void tst_Mqtt::settings()
{
    QFETCH(QString, mqtt);
    QFETCH(QString, line);
    const Site site;
    ProgramRunner solver("solver_unit", site::network(site.anchor, site.request) + mqtt);
    QVERIFY(solver.start());
    QVERIFY(solver.waitForLog(QStringLiteral("STARTUP SUCESS!")));
    QCOMPARE(solver.terminate(), 0); // still running: no setting stops it
    const QStringList lines = solver.log().split('\n').filter("mqtt");
    QCOMPARE(lines.size(), line.isEmpty() ? 0 : 1);
    QVERIFY2(line.isEmpty() || lines[0].endsWith(line), qPrintable(lines.join('\n')));
}

QTEST_GUILESS_MAIN(tst_Mqtt)
#include "tst_mqtt.moc"
