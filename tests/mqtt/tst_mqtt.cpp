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

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

// Position reports and status on MQTT, through a mosquitto broker of the
// test's own on a free loopback port.
class tst_Mqtt : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { mosquitto_lib_init(); }
    void reportsEqualUdpReports_data();
    void reportsEqualUdpReports();
    void brokerDownAndBack();
    void statusEvery30s();
    void stopsWithin2sWhateverTheBroker_data();
    void stopsWithin2sWhateverTheBroker();
    void settings_data();
    void settings();
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

void simulate(ProgramRunner &solver, bool hr, const QString &tagsRateSeconds, QProcess &sim)
{
    sim.start(qEnvironmentVariable("SOLVER_BUILD_DIR") + (hr ? "/tools/solver_sim_hr" : "/tools/solver_sim"),
              (QStringLiteral("--config ") + solver.dir() + "/config.ini --quiet " + tagsRateSeconds).split(' '));
}

// A "broker" on a free loopback port that misbehaves in one of three ways.
// Raw sockets with a receive buffer of a few KiB, so that a connection it
// does not read stalls its sender after some dozens of reports.
class BadBroker
{
public:
    enum Mode {
        Silent,   // accepts the TCP connection, never reads or answers
        Dropping, // never accepts: its queue is full, so connection attempts go unanswered
        Stalling  // answers the CONNECT with a CONNACK, then reads nothing
    };
    explicit BadBroker(Mode brokerMode) : mode(brokerMode)
    {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 2048;
        ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof at;
        if (::bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0
            || ::listen(listener, mode == Dropping ? 0 : 8) != 0
            || ::getsockname(listener, reinterpret_cast<sockaddr *>(&at), &length) != 0)
            return;
        port = ntohs(at.sin_port);
        if (mode == Dropping) {
            // Fill the accept queue: further handshakes get no answer.
            for (int i = 0; i < 2; ++i) {
                QTcpSocket *filler = new QTcpSocket;
                filler->connectToHost(QHostAddress::LocalHost, port);
                filler->waitForConnected(200);
                fillers.emplace_back(filler);
            }
            return;
        }
        server = std::thread([this] { serve(); });
    }
    ~BadBroker()
    {
        done = true;
        if (server.joinable())
            server.join();
        for (int fd : accepted)
            ::close(fd);
        ::close(listener);
    }
    Q_DISABLE_COPY(BadBroker)
    bool connected() const { return acceptedCount > 0; }
    quint16 port = 0;

private:
    void serve()
    {
        while (!done) {
            pollfd wait = {listener, POLLIN, 0};
            if (::poll(&wait, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            accepted.push_back(fd);
            if (mode == Stalling) {
                char connect[256];
                pollfd in = {fd, POLLIN, 0};
                if (::poll(&in, 1, 2000) > 0 && ::read(fd, connect, sizeof connect) > 0) {
                    const char connack[] = {0x20, 0x02, 0x00, 0x00};
                    if (::write(fd, connack, sizeof connack) != sizeof connack)
                        continue;
                }
            }
            ++acceptedCount;
        }
    }

    const Mode mode;
    int listener = -1;
    std::atomic<bool> done{false};
    std::atomic<int> acceptedCount{0};
    std::vector<int> accepted; // the server thread's until it is joined
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    std::thread server;
};

} // namespace

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
    LocalBroker broker;
    QVERIFY(broker.start());
    LocalSubscriber subscriber(broker.port, "site/#");
    const Site site;
    UdpSink location(site.location);
    ProgramRunner solver(hr ? "solver_unit_hr" : "solver_unit", site.ini(broker.port, qos));
    QVERIFY(solver.start());
    QVERIFY2(solver.waitForLog(QStringLiteral("mqtt: connected to 127.0.0.1")), qPrintable(solver.log()));
    QTRY_COMPARE(subscriber.messages("site/status").value(0), QByteArray("site/status online"));

    QProcess sim;
    simulate(solver, hr, QStringLiteral("--tags 3 --rate 20 --duration 1.5"), sim);
    QVERIFY(sim.waitForFinished(20000));
    const QList<QByteArray> udp = location.drain(1000);
    QVERIFY(udp.size() > 40);
    QTRY_COMPARE(subscriber.messages("/position").size(), udp.size());
    const QList<QByteArray> mqtt = subscriber.messages("/position");
    for (int i = 0; i < udp.size(); ++i) {
        const QJsonObject indoor = QJsonDocument::fromJson(udp[i]).object().value("indoorLocationData").toObject();
        QCOMPARE(mqtt[i], "site/" + indoor.value("tagID").toString().toLatin1() + "/position " + udp[i]);
    }
    if (killed)
        solver.kill();
    else
        QVERIFY2(solver.terminate() == 0, qPrintable(solver.log()));
    QTRY_COMPARE(subscriber.messages("site/status").value(1), QByteArray("site/status offline"));
}

// Started before its broker, then the broker killed during traffic and
// started again: UDP reports go on throughout, MQTT resumes, drops are counted.
void tst_Mqtt::brokerDownAndBack()
{
    LocalBroker broker;
    const Site site;
    UdpSink location(site.location);
    ProgramRunner solver("solver_unit", site.ini(broker.port));
    QVERIFY(solver.start());
    QVERIFY(solver.waitForLog(QStringLiteral("mqtt: broker 127.0.0.1")));
    QVERIFY(broker.start());
    QVERIFY(solver.waitForLog(QStringLiteral("mqtt: connected to"), 10000));
    LocalSubscriber subscriber(broker.port, "site/#");

    QProcess sim;
    simulate(solver, false, QStringLiteral("--tags 20 --rate 50 --duration 8"), sim);
    QVERIFY(!location.drain(1000).isEmpty());
    broker.kill();
    for (int window = 0; window < 12; ++window)
        QVERIFY2(!location.drain(250).isEmpty(), "UDP reports stalled while the broker was away");
    QVERIFY(broker.start());
    const int before = subscriber.messages("/position").size();
    QTRY_VERIFY_WITH_TIMEOUT(subscriber.messages("/position").size() > before + 100, 10000);
    QVERIFY(sim.waitForFinished(20000));
    QVERIFY2(solver.terminate() == 0, qPrintable(solver.log()));
    const QString log = solver.log();
    QCOMPARE(log.count("mqtt: broker 127.0.0.1"), 1);
    QCOMPARE(log.count("mqtt: connection to 127.0.0.1"), 1);
    QCOMPARE(log.count("mqtt: connected to"), 2);
    QVERIFY2(log.contains(QRegularExpression("mqtt: [1-9][0-9]* messages dropped")), qPrintable(log));
}

// The supervision text, through the program's own wiring.
void tst_Mqtt::statusEvery30s()
{
    LocalBroker broker;
    QVERIFY(broker.start());
    LocalSubscriber subscriber(broker.port, "site/#");
    const ScopedConfig config(Site().ini(broker.port));
    MainWindow window;
    window.timerThread.setPeriodForTesting(100);
    window.timerThread.start();
    QTRY_VERIFY(subscriber.messages("site/status fifo_size=0#tags_size=0#anchors_size=0#").size() >= 2);
    window.mainWindowStop();
    QTRY_VERIFY(subscriber.messages("site/status offline").size() == 1);
}

// SIGTERM ends the program within 2 s with exit code 0 while the broker does
// nothing useful, with reports flowing.
void tst_Mqtt::stopsWithin2sWhateverTheBroker_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("accepts TCP, never answers") << int(BadBroker::Silent);
    QTest::newRow("connection attempts go unanswered") << int(BadBroker::Dropping);
    QTest::newRow("answers CONNACK, then reads nothing") << int(BadBroker::Stalling);
}

void tst_Mqtt::stopsWithin2sWhateverTheBroker()
{
    QFETCH(int, mode);
    BadBroker broker{BadBroker::Mode(mode)};
    QVERIFY(broker.port != 0);
    const Site site;
    ProgramRunner solver("solver_unit", site.ini(broker.port));
    QVERIFY(solver.start());
    QVERIFY2(solver.waitForLog(QStringLiteral("mqtt: publishing to")), qPrintable(solver.log()));
    if (mode != BadBroker::Dropping)
        QTRY_VERIFY(broker.connected());
    QProcess sim;
    simulate(solver, false, QStringLiteral("--tags 100 --rate 100 --duration 1"), sim);
    QVERIFY(sim.waitForFinished(20000));
    QCOMPARE(sim.exitCode(), 0);

    QElapsedTimer stopping;
    stopping.start();
    const int exitCode = solver.terminate(10000);
    const qint64 ms = stopping.elapsed();
    QVERIFY2(exitCode == 0, qPrintable(solver.log()));
    QVERIFY2(ms < 2000, qPrintable(QStringLiteral("SIGTERM took %1 ms").arg(ms)));
    QVERIFY2(!solver.log().contains(QStringLiteral("mqtt: connected to")) || mode == BadBroker::Stalling,
             qPrintable(solver.log()));
}

void tst_Mqtt::settings_data()
{
    QTest::addColumn<QString>("mqtt");
    QTest::addColumn<QStringList>("lines"); // every line about MQTT, in order
    QTest::addColumn<bool>("noNetwork");    // run in a network namespace of its own: no resolver
    const QString on = QStringLiteral("[mqtt]\nmqtt_enable=true\nmqtt_host=127.0.0.1\nmqtt_port=1883\n");
    const QString without = QStringLiteral(", running without MQTT");
    QTest::newRow("absent") << "" << QStringList() << false;
    QTest::newRow("not exactly true") << "[mqtt]\nmqtt_enable=True\nmqtt_host=127.0.0.1\nmqtt_port=1883\n"
                                      << QStringList() << false;
    QTest::newRow("port 0") << "[mqtt]\nmqtt_enable=true\nmqtt_host=127.0.0.1\nmqtt_port=0\n"
                            << QStringList{"mqtt: mqtt_port \"0\" is not a port number 1..65535" + without} << false;
    QTest::newRow("QoS 7") << on + "mqtt_qos=7\n" << QStringList{"mqtt: mqtt_qos \"7\" is not 0 or 1" + without}
                           << false;
    QTest::newRow("no host") << "[mqtt]\nmqtt_enable=true\nmqtt_port=1883\n"
                             << QStringList{"mqtt: mqtt_host is empty" + without} << false;
    QTest::newRow("TLS file missing")
        << on + "mqtt_cafile=/nonexistent/ca.crt\n"
        << QStringList{"mqtt: mqtt_cafile \"/nonexistent/ca.crt\" is not a readable file" + without} << false;
    // At boot the resolver may not be up yet: retried like a broker that is down.
    QTest::newRow("name lookup fails for now: retried")
        << "[mqtt]\nmqtt_enable=true\nmqtt_host=broker.example.com\nmqtt_port=1883\n"
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
        if (QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-rn"), QStringLiteral("true")}) != 0)
            QSKIP("no network namespace of its own (unshare -rn) on this machine");
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
    QStringList logged = solver.log().split('\n').filter("mqtt");
    for (QString &line : logged)
        line.remove(QRegularExpression(QStringLiteral("^\\[[^]]*\\]: ")));
    QCOMPARE(logged, lines);
    QCOMPARE(solver.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_Mqtt)
#include "tst_mqtt.moc"
