#include "../app/site_ini.h"
#include "../support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

// Who may configure the real program over the network, and how much: the senders it takes requests from, the bound
// of the anchor list (whose reply must still fit one datagram), the rate of configuration writes.
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
const QByteArray kGetPanId = R"({"REQUEST":"GetPANID"})";
const QByteArray kGetAnchors = R"({"REQUEST":"GetAnchorsLists"})";

QString metricsIni() { return QStringLiteral("[metrics]\nmetrics_listen=127.0.0.1:0\n[token_msg]\ndebug=debugmsg\n"); }

// The value of a sample of the program's metrics endpoint (name and labels as written), or -1.
qint64 metricSample(ProgramRunner &program, const QString &key)
{
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("metrics at http://127\\.0\\.0\\.1:(\\d+)/metrics")).match(program.log());
    if (!m.hasMatch())
        return -1;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), quint16(m.captured(1).toUInt()));
    if (!socket.waitForConnected(3000))
        return -1;
    socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(3000)) {
    }
    for (const QByteArray &line : socket.readAll().split('\n')) {
        if (line.startsWith(key.toUtf8() + ' '))
            return line.mid(key.size() + 1).trimmed().toLongLong();
    }
    return -1;
}

bool started(ProgramRunner &program)
{
    return program.start()
           && program.waitForLog(QStringLiteral("bind local udp listen port for api request SUCESS!"))
           && program.waitForLog(QStringLiteral("/metrics\n"));
}

QString anchorId(int n) { return QStringLiteral("A%1").arg(n, 11, 10, QLatin1Char('0')); }

// n anchors over a hall of about 1 km, as a site at the limit might have them.
QString anchorsIni(int n)
{
    QString ini = QStringLiteral("[anchor_coordinate]\n");
    for (int i = 0; i < n; ++i)
        ini += QStringLiteral("%1=\"%2,%3,3.50\"\n").arg(anchorId(i)).arg((i % 40) * 25.37, 0, 'f', 2)
                   .arg((i / 40) * 37.11, 0, 'f', 2);
    return ini;
}

QByteArray setAnchors(int first, int count)
{
    QJsonArray content;
    for (int i = first; i < first + count; ++i)
        content.append(QJsonObject{{"anchor_imei", anchorId(i)}, {"x", 512.25}, {"y", 256.5}, {"z", 2.75}});
    return QJsonDocument(QJsonObject{{"REQUEST", "SetAnchorsXYZ"}, {"content", content}})
        .toJson(QJsonDocument::Compact);
}

int listed(const QByteArray &reply)
{
    const QJsonDocument document = QJsonDocument::fromJson(reply);
    return document.isObject() && document.object().value("anchors_lists").isArray()
               ? document.object().value("anchors_lists").toArray().size()
               : -1;
}

} // namespace

void tst_ConfigAccess::senders_data()
{
    QTest::addColumn<QString>("ini");    // added to [network_setting]
    QTest::addColumn<QString>("listen"); // where requests are sent
    QTest::addColumn<QString>("sender"); // the address the request comes from
    QTest::addColumn<bool>("applied");
    QTest::addColumn<QString>("logged");

    QTest::newRow("the endpoint's address: applied") << QString() << "127.0.0.1" << "127.0.0.1" << true << QString();
    QTest::newRow("127.0.0.2: ignored and counted")
        << QString() << "127.0.0.1" << "127.0.0.2" << false
        << "datagrams of senders not allowed to configure ignored: 1 so far, the last from 127.0.0.2";
    QTest::newRow("allowed by address") << "parameters_configuration_allow=127.0.0.2\n" << "127.0.0.1" << "127.0.0.2"
                                        << true << "configuration requests taken from -> 127.0.0.1/32, 127.0.0.2/32";
    QTest::newRow("allowed by prefix, a bad part refused")
        << "parameters_configuration_allow=\"fd00::/64, 127.0.0.0/30,no.such/8\"\n" << "127.0.0.1" << "127.0.0.2"
        << true << "parameters_configuration_allow: \"no.such/8\" refused";
    QTest::newRow("another network allowed only") << "parameters_configuration_allow=10.0.0.0/8\n" << "127.0.0.1"
                                                  << "127.0.0.2" << false << "the last from 127.0.0.2";
    QTest::newRow("IPv6 sender not allowed") << QString() << "::1" << "::1" << false << "the last from ::1";
    QTest::newRow("IPv6 sender allowed") << "parameters_configuration_allow=::1\n" << "::1" << "::1" << true << QString();
    QTest::newRow("request socket bound to 127.0.0.2")
        << "local_udp_listen_parameters_configuration_ip=127.0.0.2\n" << "127.0.0.2" << "127.0.0.1" << true
        << "local udp listen parameters configuration ip -> 127.0.0.2";
}

void tst_ConfigAccess::senders()
{
    QFETCH(QString, ini);
    QFETCH(QString, listen);
    QFETCH(QString, sender);
    QFETCH(bool, applied);
    QFETCH(QString, logged);

    QUdpSocket requester;
    if (!requester.bind(QHostAddress(sender), 0))
        QSKIP(qPrintable("no " + sender + " on this host"));
    UdpSink replies;
    const quint16 requestPort = freeUdpPort();
    ProgramRunner program(QStringLiteral("solver_unit"), site::network(0, requestPort, 0, replies.port()) + ini
                                                             + "[pan_id]\nPANID=1A2B\n" + metricsIni());
    QVERIFY2(started(program), qPrintable(program.log()));
    const QByteArray set = R"({"REQUEST":"SetPANID","content":[{"PANID":"BEEF"}]})";
    requester.writeDatagram(set, QHostAddress(listen), requestPort);
    // The probe comes from the endpoint's address and is answered after the request (handled in order); the
    // request socket listens on both families unless bound to one address.
    QUdpSocket prober;
    QVERIFY(prober.bind(QHostAddress(QHostAddress::LocalHost), 0));
    prober.writeDatagram(kGetPanId, QHostAddress(listen.contains(':') ? "127.0.0.1" : listen), requestPort);
    const QByteArray pan = applied ? R"({"PANID":"BEEF"})" : R"({"PANID":"1A2B"})";
    const QList<QByteArray> expected = applied ? QList<QByteArray>{pan, pan} : QList<QByteArray>{pan};
    QCOMPARE(replies.receive(expected.size(), 5000), expected);
    QVERIFY2(replies.drain(200).isEmpty(), "more replies than requests answered");

    const QString log = program.log();
    if (!logged.isEmpty())
        QVERIFY2(log.contains(logged), qPrintable(log));
    // Not parsed past the sender check: the debug line of a handled request never shows it.
    QCOMPARE(log.contains(QStringLiteral("api udp get request: ") + set), applied);
    QCOMPARE(metricSample(program, R"(solver_requests_ignored_total{reason="source"})"), qint64(applied ? 0 : 1));
    QCOMPARE(program.terminate(), 0);
}

void tst_ConfigAccess::anchorLimit_data()
{
    QTest::addColumn<int>("inFile");    // anchors config.ini holds at start
    QTest::addColumn<int>("first");     // the request's anchors: numbers first.. (below inFile: already there)
    QTest::addColumn<int>("count");     // 0: no request
    QTest::addColumn<int>("listed");    // anchors GetAnchorsLists lists afterwards
    QTest::addColumn<QString>("logged");

    QTest::newRow("999 and 2 more: refused whole")
        << 999 << 999 << 2 << 999
        << "SetAnchorsXYZ refused: 1001 anchors would pass the limit of 1000; nothing of the request stored";
    QTest::newRow("999 and 1 more: stored, the list of 1000 fits a datagram") << 999 << 999 << 1 << 1000 << QString();
    QTest::newRow("1000, two of them moved: stored") << 1000 << 10 << 2 << 1000 << QString();
    QTest::newRow("1003 written by hand: 1000 used, the rest named")
        << 1003 << 0 << 0 << 1000
        << "warning: more than 1000 anchors configured, 3 left out: A00000001000 A00000001001 A00000001002";
}

void tst_ConfigAccess::anchorLimit()
{
    QFETCH(int, inFile);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(int, listed);
    QFETCH(QString, logged);

    UdpSink replies;
    const quint16 requestPort = freeUdpPort();
    ProgramRunner program(QStringLiteral("solver_unit"),
                          site::network(0, requestPort, 0, replies.port()) + anchorsIni(inFile) + metricsIni());
    QVERIFY2(started(program), qPrintable(program.log()));
    QFile config(program.dir() + "/config.ini");
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QByteArray before = config.readAll();
    config.close();

    const bool refused = first + count > qMax(inFile, 1000);
    if (count > 0) {
        sendUdp(requestPort, setAnchors(first, count));
        const QByteArray reply = replies.next();
        if (refused) {
            QCOMPARE(reply, kInvalid);
        } else {
            QCOMPARE(::listed(reply), listed);
            QVERIFY(reply.size() <= 65507);
        }
    }
    sendUdp(requestPort, kGetAnchors);
    QCOMPARE(::listed(replies.next()), listed);
    if (!logged.isEmpty())
        QVERIFY2(program.log().count(logged) == 1, qPrintable(program.log().right(3000)));
    QVERIFY(config.open(QIODevice::ReadOnly));
    QCOMPARE(config.readAll() == before, refused || count == 0);
    QCOMPARE(metricSample(program, R"(solver_config_writes_refused_total{reason="anchor_limit"})"),
             qint64(refused ? 1 : 0));
    QCOMPARE(program.terminate(), 0);
}

// A storm of set requests: the first 50 are taken at once, then 50 a second; the rest are refused and counted.
void tst_ConfigAccess::writeRate()
{
    constexpr int kSent = 120;
    UdpSink replies;
    replies.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    const quint16 requestPort = freeUdpPort();
    ProgramRunner program(QStringLiteral("solver_unit"), site::network(0, requestPort, 0, replies.port())
                                                             + site::hall() + "[pan_id]\nPANID=1A2B\n" + metricsIni());
    QVERIFY2(started(program), qPrintable(program.log()));
    QElapsedTimer clock;
    clock.start();
    QUdpSocket requester;
    QVERIFY(requester.bind(QHostAddress(QHostAddress::LocalHost), 0));
    // A set request with nothing in it writes nothing, so the disk does not set the pace.
    for (int i = 0; i < kSent; ++i)
        requester.writeDatagram(R"({"REQUEST":"SetAnchorsXYZ","content":[]})", QHostAddress(QHostAddress::LocalHost),
                                requestPort);
    const QList<QByteArray> got = replies.receive(kSent, 5000);
    const double seconds = clock.elapsed() / 1000.0;
    QCOMPARE(got.size(), kSent);
    const int invalid = int(got.count(kInvalid));
    const int taken = kSent - invalid;
    QVERIFY2(taken >= 50 && taken <= 51 + 50 * seconds, qPrintable(QString("%1 taken in %2 s").arg(taken).arg(seconds)));
    QVERIFY(std::all_of(got.cbegin(), got.cend(), [](const QByteArray &r) { return r == kInvalid || listed(r) == 6; }));
    QVERIFY2(program.log().count("configuration write refused: more than 50 a second") == 1, qPrintable(program.log()));
    QCOMPARE(metricSample(program, R"(solver_config_writes_refused_total{reason="rate"})"), qint64(invalid));

    // The rate comes back with time: a write a little later is stored.
    QTest::qWait(100);
    requester.writeDatagram(R"({"REQUEST":"SetPANID","content":[{"PANID":"C0DE"}]})",
                            QHostAddress(QHostAddress::LocalHost), requestPort);
    QCOMPARE(replies.next(), QByteArray(R"({"PANID":"C0DE"})"));
    QCOMPARE(program.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_ConfigAccess)
#include "tst_config_access.moc"
