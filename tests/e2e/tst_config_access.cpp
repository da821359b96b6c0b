#include "../app/site_ini.h"
#include "../support/test_support.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

#include <cmath>

// Who may configure the real program, and how much: the senders taken, the anchor list's bound (its reply still one
// datagram), the rate of configuration writes.
class tst_ConfigAccess : public QObject
{
    Q_OBJECT
private slots:
    void senders_data();
    void senders();
    void anchorLimit_data();
    void anchorLimit();
    void writeRate();
};

namespace {

const QByteArray kInvalid = R"({"INVALID_PARAMETER":1010})";

// The program with its replies to `replies`, its metrics endpoint and the debug log on; started and listening.
struct Program : ProgramRunner {
    Program(const UdpSink &replies, const QString &ini, quint16 requestPort = freeUdpPort())
        : ProgramRunner("solver_unit", site::network(0, requestPort, 0, replies.port()) + ini
                                           + "[metrics]\nmetrics_listen=127.0.0.1:0\n[token_msg]\ndebug=debugmsg\n"),
          port(requestPort)
    {
    }
    bool started() { return start() && waitForLog("request SUCESS!") && waitForLog("/metrics\n"); }
    // A sample of the metrics endpoint, or -1.
    qint64 metric(const QString &key)
    {
        const quint16 at = QRegularExpression("metrics at http://[0-9.]+:(\\d+)/").match(log()).captured(1).toUShort();
        const double value = metricSample(QString::fromUtf8(httpGet(at, "/metrics").body), key);
        return std::isnan(value) ? -1 : qint64(value);
    }
    const quint16 port;
};

QString anchorId(int n) { return QStringLiteral("A%1").arg(n, 11, 10, QLatin1Char('0')); }

int listed(const QByteArray &reply)
{
    const QJsonValue list = QJsonDocument::fromJson(reply).object().value("anchors_lists");
    return list.isArray() ? list.toArray().size() : -1;
}

} // namespace

void tst_ConfigAccess::senders_data()
{
    QTest::addColumn<QString>("ini");    // added to [network_setting]
    QTest::addColumn<QString>("listen"); // where requests are sent
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("applied");
    QTest::addColumn<QString>("logged");

    QTest::newRow("endpoint's address") << "" << "127.0.0.1" << "127.0.0.1" << true << "";
    QTest::newRow("127.0.0.2 ignored, named, counted")
        << "" << "127.0.0.1" << "127.0.0.2" << false
        << "datagrams of senders not allowed to configure ignored: 1 so far, the last from 127.0.0.2";
    QTest::newRow("allowed by address") << "parameters_configuration_allow=127.0.0.2\n" << "127.0.0.1" << "127.0.0.2"
                                        << true << "configuration requests taken from -> 127.0.0.1/32, 127.0.0.2/32";
    QTest::newRow("allowed by prefix, bad part refused")
        << "parameters_configuration_allow=\"fd00::/64, 127.0.0.0/30,no.such/8\"\n" << "127.0.0.1" << "127.0.0.2"
        << true << "parameters_configuration_allow: \"no.such/8\" refused";
    QTest::newRow("another network allowed") << "parameters_configuration_allow=10.0.0.0/8\n" << "127.0.0.1"
                                             << "127.0.0.2" << false << "the last from 127.0.0.2";
    QTest::newRow("IPv6 ignored") << "" << "::1" << "::1" << false << "the last from ::1";
    QTest::newRow("IPv6 allowed") << "parameters_configuration_allow=::1\n" << "::1" << "::1" << true << "";
    QTest::newRow("bound to 127.0.0.2") << "local_udp_listen_parameters_configuration_ip=127.0.0.2\n" << "127.0.0.2"
                                        << "127.0.0.1" << true << "configuration ip -> 127.0.0.2";
}

void tst_ConfigAccess::senders()
{
    QFETCH(QString, ini);
    QFETCH(QString, listen);
    QFETCH(QString, sender);
    QFETCH(bool, applied);
    QFETCH(QString, logged);

    QUdpSocket requester, prober;
    if (!requester.bind(QHostAddress(sender), 0))
        QSKIP(qPrintable("no " + sender + " here"));
    UdpSink replies;
    Program program(replies, ini + "[pan_id]\nPANID=1A2B\n");
    QVERIFY2(program.started(), qPrintable(program.log()));
    const QByteArray set = R"({"REQUEST":"SetPANID","content":[{"PANID":"BEEF"}]})";
    requester.writeDatagram(set, QHostAddress(listen), program.port);
    // From the endpoint's address, answered after the request: the socket listens on both families unless bound.
    QVERIFY(prober.bind(QHostAddress(QHostAddress::LocalHost), 0));
    prober.writeDatagram(R"({"REQUEST":"GetPANID"})", QHostAddress(listen == "::1" ? "127.0.0.1" : listen), program.port);
    const QByteArray pan = applied ? R"({"PANID":"BEEF"})" : R"({"PANID":"1A2B"})";
    QCOMPARE(replies.receive(applied ? 2 : 1, 5000), applied ? (QList<QByteArray>{pan, pan}) : QList<QByteArray>{pan});
    QVERIFY(replies.drain(200).isEmpty());
    QVERIFY2(program.log().contains(logged), qPrintable(program.log()));
    // Not parsed past the sender check: the debug line of a handled request never shows it.
    QCOMPARE(program.log().contains("api udp get request: " + set), applied);
    QCOMPARE(program.metric(R"(solver_requests_ignored_total{reason="source"})"), qint64(applied ? 0 : 1));
    QCOMPARE(program.terminate(), 0);
}

void tst_ConfigAccess::anchorLimit_data()
{
    QTest::addColumn<int>("inFile"); // anchors in config.ini at start
    QTest::addColumn<int>("first");  // the request sets anchors first.. (below inFile: moved)
    QTest::addColumn<int>("count");  // 0: no request
    QTest::addColumn<int>("listed"); // by GetAnchorsLists afterwards
    QTest::addColumn<QString>("logged");

    QTest::newRow("999 and 2 more: refused whole") << 999 << 999 << 2 << 999
        << "SetAnchorsXYZ refused: 1001 anchors would pass the limit of 1000; nothing of the request stored";
    QTest::newRow("999 and 1 more: 1000 in one datagram") << 999 << 999 << 1 << 1000 << "";
    QTest::newRow("1000, two moved") << 1000 << 10 << 2 << 1000 << "";
    QTest::newRow("1003 by hand: 1000 used, the rest named") << 1003 << 0 << 0 << 1000
        << "warning: more than 1000 anchors configured, 3 left out: A00000001000 A00000001001 A00000001002";
}

void tst_ConfigAccess::anchorLimit()
{
    QFETCH(int, inFile);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(int, listed);
    QFETCH(QString, logged);

    // Over a hall of about 1 km, as a site at the limit might have them.
    QString ini = "[anchor_coordinate]\n";
    for (int i = 0; i < inFile; ++i)
        ini += QString("%1=\"%2,%3,3.50\"\n").arg(anchorId(i)).arg(i % 40 * 25.37, 0, 'f', 2).arg(i / 40 * 37.11, 0, 'f', 2);
    UdpSink replies;
    Program program(replies, ini);
    QVERIFY2(program.started(), qPrintable(program.log()));
    QJsonArray content;
    for (int i = first; i < first + count; ++i)
        content.append(QJsonObject{{"anchor_imei", anchorId(i)}, {"x", 512.25}, {"y", 256.5}, {"z", 2.75}});
    const bool refused = first + count > qMax(inFile, 1000);
    if (count > 0) {
        sendUdp(program.port, QJsonDocument(QJsonObject{{"REQUEST", "SetAnchorsXYZ"}, {"content", content}}).toJson());
        const QByteArray reply = replies.next();
        QVERIFY(refused ? reply == kInvalid : ::listed(reply) == listed);
    }
    sendUdp(program.port, R"({"REQUEST":"GetAnchorsLists"})");
    QCOMPARE(::listed(replies.next()), listed);
    QVERIFY2(logged.isEmpty() || program.log().count(logged) == 1, qPrintable(program.log()));
    QCOMPARE(program.metric(R"(solver_config_writes_refused_total{reason="anchor_limit"})"), qint64(refused));
    QCOMPARE(program.terminate(), 0);
}

// A storm of set requests: 50 taken at once, then 50 a second; the rest refused and counted.
void tst_ConfigAccess::writeRate()
{
    constexpr int kSent = 120;
    UdpSink replies;
    replies.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    Program program(replies, site::hall());
    QVERIFY2(program.started(), qPrintable(program.log()));
    QElapsedTimer clock;
    clock.start();
    QUdpSocket requester;
    QVERIFY(requester.bind(QHostAddress(QHostAddress::LocalHost), 0));
    // Nothing to store: the disk does not set the pace.
    for (int i = 0; i < kSent; ++i)
        requester.writeDatagram(R"({"REQUEST":"SetAnchorsXYZ","content":[]})", QHostAddress::LocalHost, program.port);
    const QList<QByteArray> got = replies.receive(kSent, 5000);
    QCOMPARE(got.size(), kSent);
    const int refused = int(got.count(kInvalid));
    QVERIFY2(kSent - refused >= 50 && kSent - refused <= 51 + clock.elapsed() / 20, qPrintable(QString::number(refused)));
    QCOMPARE(program.log().count("configuration write refused: more than 50 a second"), 1);
    QCOMPARE(program.metric(R"(solver_config_writes_refused_total{reason="rate"})"), qint64(refused));
    QCOMPARE(program.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_ConfigAccess)
#include "tst_config_access.moc"
