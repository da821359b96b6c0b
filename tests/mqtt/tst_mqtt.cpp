#include "../app/site_ini.h"
#include "../support/test_support.h"
#include "app/mainwindow.h"
#include "tools/common/local_broker.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>


// Position reports and status on MQTT, through a mosquitto broker of the test's own on a free loopback port.
class tst_Mqtt : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void reportsEqualUdpReports_data();
    void reportsEqualUdpReports();
    void brokerDownAndBack();
    void statusEvery30s();
    void stopsWithin2sWhateverTheBroker_data();
    void stopsWithin2sWhateverTheBroker();
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
                                "mqtt_qos=%2\n").arg(brokerPort).arg(qos);
    }
};

bool simulate(ProgramRunner &solver, const QString &tagsRateSeconds, ChildProcess &sim)
{
    return sim.start((QStringLiteral("--config ") + solver.dir() + "/config.ini --quiet " + tagsRateSeconds).split(' '));
}

// A listening socket on a free loopback port, with a receive buffer of a few KiB: a connection nobody reads stalls
// its sender after some dozens of reports. The kernel completes the handshakes of the connections waiting in its
// queue (backlog); beyond it, attempts go unanswered. Nothing is read unless the test accepts.
struct Listener {
    explicit Listener(int backlog) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const int small = 2048;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof at;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0 && ::listen(fd, backlog) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&at), &length) == 0)
            port = ntohs(at.sin_port);
    }
    ~Listener()
    {
        ::close(accepted);
        ::close(fd);
    }
    // Takes the first connection, reads its CONNECT and accepts it.
    bool answerConnack()
    {
        pollfd ready = {fd, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1 || (accepted = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) < 0)
            return false;
        char connect[256];
        const char connack[] = {0x20, 0x02, 0x00, 0x00};
        ready = {accepted, POLLIN, 0};
        return ::poll(&ready, 1, 5000) == 1 && ::read(accepted, connect, sizeof connect) > 0
               && ::write(accepted, connack, sizeof connack) == sizeof connack;
    }
    const int fd;
    int accepted = -1;
    quint16 port = 0;
};

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

// Started before its broker, the broker killed during traffic and started again: UDP reports go on, MQTT resumes.
void tst_Mqtt::brokerDownAndBack()
{
    LocalBroker broker(mosquitto);
    const Site site;
    UdpSink location(site.location);
    ProgramRunner solver("solver_unit", site.ini(broker.port));
    QVERIFY(solver.start() && solver.waitForLog(QStringLiteral("mqtt: broker 127.0.0.1")));
    QVERIFY(broker.start());
    QVERIFY(solver.waitForLog(QStringLiteral("mqtt: connected to"), 10000));
    LocalSubscriber subscriber(broker.port, "site/#");

    ChildProcess sim(simulator(false));
    QVERIFY(simulate(solver, QStringLiteral("--tags 20 --rate 50 --duration 60"), sim));
    QVERIFY(!location.next(10000).isNull());
    broker.kill();
    // 1000 reports a second fill the publisher's queue within seconds: UDP reports go on until the drops are logged.
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

// SIGTERM ends the program within 2 s with exit code 0 while the broker does nothing useful, with reports flowing.
void tst_Mqtt::stopsWithin2sWhateverTheBroker_data()
{
    QTest::addColumn<int>("backlog");
    QTest::addColumn<bool>("connack");
    QTest::newRow("accepts TCP, never answers") << 8 << false;
    QTest::newRow("connection attempts go unanswered") << 0 << false;
    QTest::newRow("answers CONNACK, then reads nothing") << 8 << true;
}

void tst_Mqtt::stopsWithin2sWhateverTheBroker()
{
    QFETCH(int, backlog);
    QFETCH(bool, connack);
    Listener broker(backlog);
    QVERIFY(broker.port != 0);
    QTcpSocket queued[2]; // a backlog of 0 holds them: the queue is full
    for (QTcpSocket &socket : queued)
        socket.connectToHost(QHostAddress::LocalHost, backlog == 0 ? broker.port : 0);
    const Site site;
    ProgramRunner solver("solver_unit", site.ini(broker.port));
    QVERIFY2(solver.start() && solver.waitForLog(QStringLiteral("mqtt: publishing to")), qPrintable(solver.log()));
    if (connack) {
        QVERIFY(broker.answerConnack());
        QVERIFY2(solver.waitForLog(QStringLiteral("mqtt: connected to")), qPrintable(solver.log()));
    }
    ChildProcess sim(simulator(false)); // some 6 MB of reports: more than the socket buffers hold
    QVERIFY(simulate(solver, QStringLiteral("--tags 100 --rate 100 --duration 1"), sim));
    QCOMPARE(sim.finish(20000), 0);

    QElapsedTimer stopping;
    stopping.start();
    const int exitCode = solver.terminate(10000);
    const qint64 ms = stopping.elapsed();
    QVERIFY2(exitCode == 0 && ms < 2000, qPrintable(QStringLiteral("exit code %1 after %2 ms").arg(exitCode).arg(ms)));
}

void tst_Mqtt::settings_data()
{
    QTest::addColumn<QString>("mqtt");
    QTest::addColumn<QStringList>("lines"); // every line about MQTT, in order
    QTest::addColumn<bool>("noNetwork");    // run in a network namespace of its own: no resolver
    const QString on = QStringLiteral("[mqtt]\nmqtt_enable=true\nmqtt_host=127.0.0.1\nmqtt_port=1883\n");
    const QString without = QStringLiteral(", running without MQTT");
    QTest::newRow("absent") << "" << QStringList() << false;
    QTest::newRow("not exactly true") << QString(on).replace("true", "True") << QStringList() << false;
    QTest::newRow("port 0") << QString(on).replace("1883", "0")
                            << QStringList{"mqtt: mqtt_port \"0\" is not a port number 1..65535" + without} << false;
    QTest::newRow("QoS 7") << on + "mqtt_qos=7\n" << QStringList{"mqtt: mqtt_qos \"7\" is not 0 or 1" + without}
                           << false;
    QTest::newRow("no host") << QString(on).remove("mqtt_host=127.0.0.1\n")
                             << QStringList{"mqtt: mqtt_host is empty" + without} << false;
    QTest::newRow("TLS file missing") << on + "mqtt_cafile=/nonexistent/ca.crt\n"
        << QStringList{"mqtt: mqtt_cafile \"/nonexistent/ca.crt\" is not a readable file" + without} << false;
    // At boot the resolver may not be up yet: retried like a broker that is down.
    QTest::newRow("name lookup fails for now: retried") << QString(on).replace("127.0.0.1", "broker.example.com")
        << QStringList{"mqtt: mqtt_host \"broker.example.com\" cannot be looked up now (Temporary failure in name "
                       "resolution), asking again at each connection attempt",
                       "mqtt: publishing to broker.example.com:1883, QoS 0, topics <tagID>/position and status",
                       "mqtt: broker broker.example.com:1883 not reachable (Lookup error.), retrying"}
        << true;
}

void tst_Mqtt::settings()
{
    QFETCH(QString, mqtt);
    QFETCH(QStringList, lines);
    QFETCH(bool, noNetwork);
    const Site site;
    ProgramRunner solver("solver_unit", site::network(site.anchor, site.request) + mqtt);
    if (noNetwork) {
        SOLVER_REQUIRE(QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-rn"), QStringLiteral("true")}) == 0,
                       "no network namespace of its own (unshare -rn) on this machine");
        solver.process().start(QStringLiteral("unshare"), {QStringLiteral("-rn"), solver.dir() + "/solver_unit"});
        QVERIFY(solver.process().waitForStarted());
    } else {
        QVERIFY(solver.start());
    }
    QVERIFY(solver.waitForLog(QStringLiteral("remote parameters response configuration port")));
    if (!lines.isEmpty())
        QVERIFY2(solver.waitForLog(lines.last()), qPrintable(solver.log()));
    QTest::qWait(300);
    QVERIFY(solver.process().state() == QProcess::Running);
    const QRegularExpression stamp(QStringLiteral("(?m)^\\[[^]]*\\]: "));
    QCOMPARE(solver.log().remove(stamp).split('\n').filter("mqtt"), lines);
    QCOMPARE(solver.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_Mqtt)
#include "tst_mqtt.moc"
