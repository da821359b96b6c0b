#include "../app/site_ini.h"
#include "../support/test_support.h"
#include "common/metrics.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// The real program's metrics endpoint: traffic of every kind moves its counters, it answers HTTP as a server should,
// listens on the given address only, and promtool accepts it. The package's alert rules: promtool accepts them, and
// their unit tests pass and see every alert both fire and stay quiet.
class tst_Metrics : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void counters_data();
    void counters();
    void httpAnswers_data();
    void httpAnswers();
    void listensOnTheGivenAddressOnly();
    void boundsSlowIdleAndSurplusClients_data();
    void boundsSlowIdleAndSurplusClients();
    void promtoolAccepts();
    void prometheusScrapes();
    void everyAlertFiresAndStaysQuiet();
    void anchorCountsReadWhileCounting();
    void anchorSlotsFollowConfiguredAnchors();
    void cleanupTestCase();

private:
    // promtool's exit code, `input` on its standard input; everything it printed in *output.
    int promtool(const QStringList &args, QString *output, const QByteArray &input = QByteArray())
    {
        ChildProcess p(findTool(QStringLiteral("promtool")), -100); // the exit code is the caller's to judge
        if (!p.start(args))
            return -1;
        p.process().write(input);
        p.process().closeWriteChannel();
        const int code = p.finish(60000);
        *output = QString::fromUtf8(p.process().readAllStandardOutput()) + p.log();
        return code;
    }
    std::unique_ptr<ProgramRunner> solver;
    quint16 metricsPort = 0;
    QString exposition;
};

namespace {

// Transmissions of the one tag. With a delay window of 1 each is solved when the next one arrives, except the first:
// its records register the tag and its anchors and are not filed.
constexpr int kSent = 7;
constexpr int kReports = kSent - 2;
const QByteArray kTag = QByteArray::fromHex("E00000000042");

constexpr int kAnchors = 40;
constexpr int kRounds = 2000;

// Ids the other tests of this program never use.
void anchorId(int n, quint8 (&id)[6])
{
    const quint8 bytes[6] = {0xFE, 0xED, 0, 0, 0, quint8(n)};
    std::memcpy(id, bytes, 6);
}

const QString kRules = QStringLiteral(SOLVER_SOURCE_DIR "/packaging/monitoring/solver_unit_rules.yml");
const QString kTests = QStringLiteral(SOLVER_SOURCE_DIR "/tests/tools/solver_unit_rules_test.yml");

} // namespace

void tst_Metrics::initTestCase()
{
    const quint16 anchorPort = freeUdpPort();
    const quint16 requestPort = freeUdpPort();
    UdpSink location, replies, heartbeats;
    const QString ini = site::network(anchorPort, requestPort, location.port(), replies.port()) +
                        QStringLiteral("heartbeat_server_ip=127.0.0.1\nheartbeat_server_port=%1\n")
                            .arg(heartbeats.port()) +
                        site::hall() + "[algorithm_config]\ndelay_window_1908=1\n[pan_id]\nPANID=ABCD\n"
                        "[metrics]\nmetrics_listen=127.0.0.1:0\n" + site::debugOn();
    solver = std::make_unique<ProgramRunner>(QStringLiteral("solver_unit"), ini);
    QVERIFY2(solver->start(), qPrintable(solver->log()));
    QVERIFY2(solver->waitForLog(QStringLiteral("/metrics\n")), qPrintable(solver->log()));
    // The algorithm thread empties the FIFO as it starts: records sent before that would be lost.
    QVERIFY2(solver->waitForLog(site::kWorkersRunning), qPrintable(solver->log()));
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("metrics at http://127\\.0\\.0\\.1:(\\d+)/metrics")).match(solver->log());
    QVERIFY2(m.hasMatch(), qPrintable(solver->log()));
    metricsPort = quint16(m.captured(1).toUInt());
    QVERIFY2(solver->log().contains(QStringLiteral("heartbeat server -> 127.0.0.1:%1").arg(heartbeats.port())),
             qPrintable(solver->log()));

    // A record of an anchor without coordinates, a datagram that is no frame, a good request and a bad one.
    sendUdp(anchorPort, record::make(0, QByteArray::fromHex("B00000000009"), 1000, kTag, QByteArray()));
    sendUdp(anchorPort, QByteArrayLiteral("garbage!"));
    sendUdp(requestPort, QByteArrayLiteral(R"({"REQUEST":"GetPANID"})"));
    sendUdp(requestPort, QByteArrayLiteral("{}"));
    for (int seq = 0; seq < kSent; ++seq)
        sendUdp(anchorPort, site::transmission(kTag, seq, 8, 6));
    QVERIFY2(location.receive(kReports).size() == kReports, qPrintable(solver->log()));
    QVERIFY2(replies.receive(2).size() == 2, "both requests are answered");
    // The gauges are taken after each batch; one more second lets the maintenance pass run with nothing queued.
    QTest::qWait(1200);
    const HttpAnswer answer = httpGet(metricsPort, "/metrics");
    QCOMPARE(answer.status, 200);
    exposition = QString::fromUtf8(answer.body);
}

void tst_Metrics::counters_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<double>("expected");
    const double records = 6 * kSent + 1;
    QTest::newRow("every record queued") << "solver_records_received_total" << records;
    QTest::newRow("the datagram that is no frame") << "solver_datagrams_malformed_total" << 1.0;
    QTest::newRow("the anchor without coordinates")
        << R"(solver_records_dropped_total{reason="unconfigured_anchor"})" << 1.0;
    QTest::newRow("every due transmission solved") << "solver_transmissions_solved_total" << double(kReports);
    QTest::newRow("every report sent") << "solver_reports_sent_total" << double(kReports);
    QTest::newRow("one latency per report") << "solver_report_latency_seconds_count" << double(kReports);
    QTest::newRow("latency +Inf bucket is the count")
        << R"(solver_report_latency_seconds_bucket{le="+Inf"})" << double(kReports);
    QTest::newRow("records per anchor") << R"(solver_anchor_records_total{anchor="A00000000003"})" << double(kSent);
    QTest::newRow("the good request") << R"(solver_config_requests_total{request="GetPANID",result="ok"})" << 1.0;
    QTest::newRow("the bad request") << R"(solver_config_requests_total{request="unknown",result="invalid"})" << 1.0;
    QTest::newRow("one tag stored") << "solver_tags" << 1.0;
    QTest::newRow("the hall's anchors") << "solver_anchors" << 6.0;
    QTest::newRow("MQTT off") << "solver_mqtt_connected" << 0.0;
}

void tst_Metrics::counters()
{
    QFETCH(QString, key);
    QFETCH(double, expected);
    const double value = metricSample(exposition, key);
    QVERIFY2(value == expected, qPrintable(QStringLiteral("%1 is %2, expected %3\n%4")
                                               .arg(key).arg(value).arg(expected).arg(exposition)));
}

void tst_Metrics::httpAnswers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("header");
    const QByteArray end = " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    const auto row = [](const char *name, const QByteArray &request, int status, const QByteArray &header = {}) {
        QTest::newRow(name) << request << status << header;
    };
    row("GET /metrics", "GET /metrics" + end + "\r\n", 200, "Content-Type: text/plain; version=0.0.4; charset=utf-8");
    row("HEAD /metrics", "HEAD /metrics" + end + "\r\n", 200, "Content-Type: text/plain");
    row("POST /metrics: method not allowed", "POST /metrics" + end + "Content-Length: 2\r\n\r\n{}", 405, "Allow: GET, HEAD");
    row("unknown path", "GET /secret" + end + "\r\n", 404);
    row("head over 8 KiB", "GET /metrics" + end + ("X: " + QByteArray(1000, 'a') + "\r\n").repeated(9) + "\r\n", 431);
    // A body is never read: had the server waited for the announced bytes, it would answer 408 after 5 s.
    row("POST with a body never sent", "POST /metrics" + end + "Content-Length: 100000\r\n\r\n", 405, "Allow: GET, HEAD");
    row("GET with a body never sent", "GET /metrics" + end + "Content-Length: 100000\r\n\r\nxy", 200, "Content-Length: ");
    row("chunked POST", "POST /upload" + end + "Transfer-Encoding: chunked\r\n\r\nffffff\r\n", 405);
}

void tst_Metrics::httpAnswers()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, header);
    const HttpAnswer answer = httpExchange(metricsPort, request);
    QVERIFY2(answer.status == status, answer.head.constData());
    QVERIFY2(header.isEmpty() || answer.head.contains(header), answer.head.constData());
    if (request.startsWith("HEAD"))
        QVERIFY2(answer.body.isEmpty(), "HEAD answers no body");
}

// The listening socket is bound to 127.0.0.1 only, not to every address, and alone on its port (SO_REUSEPORT would
// let a second listener take every other scrape unnoticed).
void tst_Metrics::listensOnTheGivenAddressOnly()
{
    QTcpSocket elsewhere;
    elsewhere.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), metricsPort);
    QVERIFY2(!elsewhere.waitForConnected(5000) && elsewhere.error() == QAbstractSocket::ConnectionRefusedError,
             "answered on 127.0.0.2");
    const int other = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(metricsPort);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QVERIFY(other >= 0 && ::setsockopt(other, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0);
    const bool shared = ::bind(other, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0;
    ::close(other);
    QVERIFY2(!shared, "a second socket could bind the metrics port");
}

void tst_Metrics::boundsSlowIdleAndSurplusClients_data()
{
    QTest::addColumn<int>("idle");    // connections that send nothing
    QTest::addColumn<int>("slow");    // connections that send a request byte every 0.5 s
    QTest::addColumn<int>("begun");   // connections that sent one byte and wait
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("paced");  // the request a byte every 0.5 s too
    QTest::addColumn<int>("status");  // 0: closed without an answer
    const QByteArray scrape = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    QTest::newRow("scrape beside 4 slow and 200 idle clients") << 200 << 4 << 0 << scrape << false << 200;
    QTest::newRow("one more than the 64 held") << 0 << 0 << 64 << scrape << false << 503;
    QTest::newRow("a request byte every 0.5 s") << 0 << 0 << 0 << scrape << true << 408;
    QTest::newRow("nothing sent") << 0 << 0 << 0 << QByteArray() << false << 0;
}

// The server holds 64 connections at most, each for 1 s until its first byte and 5 s for its request; a scrape is
// answered beside slow and idle clients (idle ones make room for it), also when they outnumber what is held.
void tst_Metrics::boundsSlowIdleAndSurplusClients()
{
    QFETCH(int, idle);
    QFETCH(int, slow);
    QFETCH(int, begun);
    QFETCH(QByteArray, request);
    QFETCH(bool, paced);
    QFETCH(int, status);
    const QByteArray slowRequest = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + QByteArray(200, 'a');
    std::vector<std::unique_ptr<QTcpSocket>> others;
    const auto open = [&](int n, const QByteArray &first) {
        for (int i = 0; i < n; ++i) {
            others.emplace_back(new QTcpSocket);
            others.back()->connectToHost(QHostAddress::LocalHost, metricsPort);
            QVERIFY(others.back()->waitForConnected(5000));
            others.back()->write(first);
            QVERIFY(first.isEmpty() || others.back()->waitForBytesWritten(5000));
        }
    };
    open(slow, slowRequest.left(1));
    open(begun, "G");
    open(idle, QByteArray());

    QElapsedTimer clock;
    clock.start();
    QTcpSocket s;
    QSignalSpy closed(&s, &QTcpSocket::disconnected);
    s.connectToHost(QHostAddress::LocalHost, metricsPort);
    QVERIFY(s.waitForConnected(5000));
    s.write(paced ? request.left(1) : request);
    int sent = 1;
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, [&] {
        for (int i = 0; i < slow; ++i)
            others[size_t(i)]->write(slowRequest.mid(sent, 1));
        if (paced && s.state() == QAbstractSocket::ConnectedState)
            s.write(request.mid(sent, 1));
        ++sent;
    });
    pace.start(500);
    QVERIFY2(closed.wait(20000), "the server closes the connection");
    const QByteArray answer = s.readAll();
    qInfo("%s: %d after %lld ms", QTest::currentDataTag(), answer.mid(9, 3).toInt(), clock.elapsed());
    QVERIFY2(answer.mid(9, 3).toInt() == status, answer.left(200).constData());
    if (status == 0 || status == 408)
        QVERIFY2(clock.elapsed() < 8000, "within its deadline (1 s for the first byte, 5 s for the request)");
}

// promtool accepts the exposition as it is, and the package's alert rules, whose unit tests pass.
void tst_Metrics::promtoolAccepts()
{
    QString out;
    SOLVER_REQUIRE_TOOL(out, "promtool"); // its path, until promtool() puts what it printed there
    QVERIFY2(promtool({"check", "metrics"}, &out, exposition.toUtf8()) == 0 && out.trimmed().isEmpty(), qPrintable(out));
    QCOMPARE(promtool({"check", "rules", kRules}, &out), 0);
    QVERIFY2(out.contains("SUCCESS: 7 rules found"), qPrintable(out));
    QVERIFY2(promtool({"test", "rules", kTests}, &out) == 0 && out.contains("SUCCESS"), qPrintable(out));
}

// A real Prometheus server scrapes the program every second; its query API then reports the reports sent.
void tst_Metrics::prometheusScrapes()
{
    QString prometheus;
    SOLVER_REQUIRE_TOOL(prometheus, "prometheus");
    QTemporaryDir dir;
    const quint16 webPort = freeTcpPort();
    const QString config = dir.filePath(QStringLiteral("prometheus.yml"));
    QVERIFY(writeFile(config, QStringLiteral("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                             "scrape_configs:\n  - job_name: solver_unit\n    static_configs:\n"
                                             "      - targets: ['127.0.0.1:%1']\n").arg(metricsPort)));
    ChildProcess server(prometheus);
    QVERIFY(server.start({QStringLiteral("--config.file=") + config,
                          QStringLiteral("--storage.tsdb.path=") + dir.filePath(QStringLiteral("data")),
                          QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(webPort)}));

    double reports = 0;
    QByteArray last;
    QElapsedTimer clock;
    clock.start();
    while (reports <= 0 && clock.elapsed() < 60000 && server.process().state() == QProcess::Running) {
        QTest::qWait(500);
        last = httpGet(webPort, "/api/v1/query?query=solver_reports_sent_total").body;
        const QJsonArray result =
            QJsonDocument::fromJson(last).object().value("data").toObject().value("result").toArray();
        if (!result.isEmpty())
            reports = result.at(0).toObject().value("value").toArray().at(1).toString().toDouble();
    }
    QVERIFY2(reports == kReports, last + "\n" + server.log().toUtf8());
    QCOMPARE(server.terminate(), 0);
}

// Each alert of the rules has an evaluation that expects it firing, and one that expects it quiet.
void tst_Metrics::everyAlertFiresAndStaysQuiet()
{
    QSet<QString> alerts, fires, quiet;
    const QRegularExpression alert("^\\s*- alert: (\\w+)$", QRegularExpression::MultilineOption);
    for (auto m = alert.globalMatch(readFile(kRules)); m.hasNext();)
        alerts.insert(m.next().captured(1));
    QCOMPARE(alerts.size(), 7);
    const QRegularExpression evaluation("alertname: (\\w+)\\n\\s*exp_alerts:( \\[\\])?");
    for (auto m = evaluation.globalMatch(readFile(kTests)); m.hasNext();) {
        const auto e = m.next();
        (e.captured(2).isEmpty() ? fires : quiet).insert(e.captured(1));
    }
    QCOMPARE(fires, alerts);
    QCOMPARE(quiet, alerts);
}

// The per-anchor counters of this process: counted by one thread (the algorithm thread's part), read by another
// (the metrics endpoint's) at the same time without a lock. A reader sees counts that never go back, and at the end
// every count exactly.
void tst_Metrics::anchorCountsReadWhileCounting()
{
    std::atomic<bool> done{false};
    QString readerFault;
    std::thread reader([&] {
        QVector<quint64> last(kAnchors, 0);
        quint8 id[6];
        while (!done.load() && readerFault.isEmpty()) {
            for (int n = 0; n < kAnchors; ++n) {
                anchorId(n, id);
                const quint64 count = metrics::anchorValue(metrics::AnchorCounter::LeftOut, id);
                if (count < last[n])
                    readerFault = QStringLiteral("a count went back");
                last[n] = count;
            }
            // Once an anchor is counted (its records first), its family stays.
            if (last[0] > 0 && !metrics::exposition().contains("solver_anchor_records_total"))
                readerFault = QStringLiteral("the exposition lost a family");
        }
    });
    // Anchor n is counted from round n on, so new anchors keep appearing.
    quint8 id[6];
    for (int round = 0; round < kRounds; ++round)
        for (int n = 0; n <= qMin(round, kAnchors - 1); ++n) {
            anchorId(n, id);
            metrics::addAnchor(metrics::AnchorCounter::Records, id);
            metrics::addAnchor(metrics::AnchorCounter::LeftOut, id);
        }
    done = true;
    reader.join();
    QVERIFY2(readerFault.isEmpty(), qPrintable(readerFault));
    for (int n = 0; n < kAnchors; ++n) {
        anchorId(n, id);
        QCOMPARE(metrics::anchorValue(metrics::AnchorCounter::LeftOut, id), quint64(kRounds - n));
    }
}

// An anchor removed from the configuration gives its slot back: a full table takes a new anchor again.
void tst_Metrics::anchorSlotsFollowConfiguredAnchors()
{
    QByteArray ids; // 6 bytes an anchor, one more than there are slots
    for (int n = 0; n <= metrics::kAnchorSlotLimit; ++n)
        ids += QByteArray::fromHex("FA0000000000").replace(4, 2, QByteArray(1, char(n >> 8)) + char(n));
    const auto id = [&ids](int n) { return reinterpret_cast<const quint8 *>(ids.constData()) + 6 * n; };
    const auto count = [&id](int n) { return metrics::anchorValue(metrics::AnchorCounter::Records, id(n)); };
    metrics::keepAnchors(nullptr, 0); // what the test before counted
    for (int n = 0; n <= metrics::kAnchorSlotLimit; ++n)
        metrics::addAnchor(metrics::AnchorCounter::Records, id(n), 2);
    QCOMPARE(count(metrics::kAnchorSlotLimit), quint64(0)); // the table was full
    metrics::keepAnchors(id(0), 1000);
    QVERIFY(count(999) == 2 && count(1000) == 0);
    QVERIFY(!metrics::exposition().contains(ids.mid(6 * 1000, 6).toHex().toUpper()));
    metrics::addAnchor(metrics::AnchorCounter::Records, id(metrics::kAnchorSlotLimit));
    QCOMPARE(count(metrics::kAnchorSlotLimit), quint64(1));
}

void tst_Metrics::cleanupTestCase()
{
    if (solver)
        QCOMPARE(solver->terminate(), 0);
}

QTEST_MAIN(tst_Metrics)
#include "tst_metrics.moc"
