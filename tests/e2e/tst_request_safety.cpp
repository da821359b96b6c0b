#include "../app/site_ini.h"
#include "../support/test_support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// The real program answering requests that a careless or hostile client, or
// a typo in config.ini, can produce: every reply parses, nothing is answered
// twice, nothing unsafe reaches the log.
class tst_RequestSafety : public QObject
{
    Q_OBJECT
private slots:
    void requests_data();
    void requests();
};

namespace {

const QByteArray kInvalid = R"({"INVALID_PARAMETER":1010})";
const QByteArray kProbe = R"({"REQUEST":"GetPANID"})";

QByteArray setAnchor(const QByteArray &id)
{
    return R"({"REQUEST":"SetAnchorsXYZ","content":[{"anchor_imei":")" + id + R"(","x":1,"y":2,"z":3}]})";
}

} // namespace

void tst_RequestSafety::requests_data()
{
    QTest::addColumn<QString>("ini");           // added to a site with PANID 1A2B, debug on
    QTest::addColumn<bool>("selfAddressed");    // replies go to the request port itself
    QTest::addColumn<QByteArray>("request");    // empty: none sent
    QTest::addColumn<QByteArray>("reply");      // the answer before the probe's; empty: none
    QTest::addColumn<QStringList>("logged");    // each once in the log
    QTest::addColumn<QStringList>("notLogged");

    const QStringList none;
    QTest::newRow("PANID with a quote: refused, stored one kept")
        << QString() << false << QByteArray(R"({"REQUEST":"SetPANID","content":[{"PANID":"a\"b"}]})") << kInvalid
        << QStringList{"PANID refused: a quote, backslash or control character cannot be sent back"} << none;
    QTest::newRow("anchor id with a quote: refused") << QString() << false << setAnchor(R"(0A1B2C\"D4E5F)")
                                                     << kInvalid << QStringList{"anchor iemi error!"} << none;
    QTest::newRow("anchor id with a control character: refused")
        << QString() << false << setAnchor(R"(0A1B2C\u001bD4E5F)") << kInvalid << QStringList{"anchor iemi error!"}
        << QStringList{"\x1b"};
    QTest::newRow("anchor id not hexadecimal: refused") << QString() << false << setAnchor("0A1B2C3D4E5G") << kInvalid
                                                        << QStringList{"anchor iemi error!"} << none;
    QTest::newRow("anchor id of 12 hexadecimal digits: stored")
        << QString() << false << setAnchor("0a1b2c3d4e5f")
        << QByteArray(R"({"anchors_lists":[{"anchor_imei":"0a1b2c3d4e5f","x":1,"y":2,"z":3}]})") << none << none;
    QTest::newRow("a reply document: not answered")
        << QString() << false << kInvalid << QByteArray()
        << QStringList{R"(a reply document {"INVALID_PARAMETER":1010} is not answered)"} << none;
    // Measured before: 40,000 exchanges with itself in 2 s.
    QTest::newRow("configuration endpoint is the request port: one answer")
        << QString() << true << QByteArray("not JSON") << QByteArray()
        << QStringList{"a datagram of our own reply socket (is the configuration endpoint this port?) is not answered",
                       "INVALID_PARAMETER 1010"}
        << none;
    QTest::newRow("control characters of a request escaped in the log")
        << QString() << false << QByteArray("\x1b[2J\r\nforged line\\") << kInvalid
        << QStringList{R"(api udp get request: \x1b[2J\x0d\x0aforged line\\)"} << QStringList{"\x1b", "\r"};
    QTest::newRow("FIFO limit above the maximum: clamped and logged")
        << QStringLiteral("anchor_fifo_limit=2000000000\n") << false << QByteArray() << QByteArray()
        << QStringList{"anchor_fifo_limit 2000000000 is above the maximum of 1000000 records: the maximum is used",
                       "anchor fifo limit -> 1000000 records"}
        << none;
}

void tst_RequestSafety::requests()
{
    QFETCH(QString, ini);
    QFETCH(bool, selfAddressed);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, notLogged);

    UdpSink configuration;
    const quint16 requestPort = freeUdpPort();
    ProgramRunner program(QStringLiteral("solver_unit"),
                          site::network(0, requestPort, 0, selfAddressed ? requestPort : configuration.port()) + ini
                              + "[pan_id]\nPANID=1A2B\n[token_msg]\ndebug=debugmsg\n");
    QVERIFY(program.start());
    QVERIFY2(program.waitForLog(QStringLiteral("bind local udp listen port for api request SUCESS!")),
             qPrintable(program.log()));
    QUdpSocket requester;
    QVERIFY(requester.bind(QHostAddress(QHostAddress::LocalHost), 0));
    if (!request.isEmpty())
        requester.writeDatagram(request, QHostAddress(QHostAddress::LocalHost), requestPort);

    if (selfAddressed) {
        // Its own reply comes back once and is neither handled nor answered.
        QVERIFY2(program.waitForLog(logged.first()), qPrintable(program.log()));
        QTest::qWait(300);
        QCOMPARE(program.log().count(QStringLiteral("api udp get request: ")), 1);
    } else {
        // Requests are handled in order: the probe's answer comes last, and
        // shows the PANID stored.
        requester.writeDatagram(kProbe, QHostAddress(QHostAddress::LocalHost), requestPort);
        QList<QByteArray> replies;
        for (QByteArray next = configuration.next(); !next.isEmpty(); next = configuration.next()) {
            replies << next;
            if (next.startsWith(R"({"PANID")"))
                break;
        }
        for (const QByteArray &r : qAsConst(replies)) {
            QJsonParseError error;
            QVERIFY2(QJsonDocument::fromJson(r, &error).isObject(), r.constData());
        }
        QList<QByteArray> expected;
        if (!reply.isEmpty())
            expected << reply;
        QCOMPARE(replies, expected << QByteArray(R"({"PANID":"1A2B"})"));
    }
    QVERIFY2(!requester.hasPendingDatagrams(), "a reply went back to the sender");
    const QString log = program.log();
    for (const QString &line : qAsConst(logged))
        QVERIFY2(log.count(line) == 1, qPrintable(line + QStringLiteral("\n---\n") + log));
    for (const QString &text : qAsConst(notLogged))
        QVERIFY2(!log.contains(text), qPrintable(log));
    QCOMPARE(program.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_RequestSafety)
#include "tst_request_safety.moc"
