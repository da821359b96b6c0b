// The monitor's live map over loopback: the page in headless Chromium, and the answers to requests the page never
// makes.
#include "../app/site_ini.h"
#include "../support/test_support.h"
#include "common/http_server.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <chrono>
#include <cmath>

namespace {

// Starts the monitor with a live map on a free port; returns that port, 0 on failure.
quint16 startMonitor(ChildProcess &monitor, const QStringList &args)
{
    const QString line = QStringLiteral("live map at http://127.0.0.1:");
    if (!monitor.start(args + QStringLiteral("--http 127.0.0.1:0 --quiet").split(' ')) || !monitor.waitForLog(line))
        return 0;
    const QString log = monitor.log();
    const int at = log.indexOf(line) + line.size();
    return quint16(log.mid(at, log.indexOf(QLatin1Char('/'), at) - at).toUInt());
}

// Sends raw bytes and returns the status line of the answer.
QByteArray ask(QTcpSocket &s, quint16 port, const QByteArray &request)
{
    s.connectToHost(QHostAddress::LocalHost, port);
    s.write(request); // sent once connected
    while (!s.canReadLine() && s.waitForReadyRead(5000)) {
    }
    return s.readLine().trimmed();
}

// Qt's parser reads "12." as a number, a browser's does not: every number outside strings must be JSON's.
bool numbersAreJson(const QByteArray &json)
{
    static const QRegularExpression strings(R"("[^"]*")"), separators(R"([\s,:\[\]{}]+)"),
        number(R"(^-?(0|[1-9]\d*)(\.\d+)?([eE][-+]?\d+)?$)");
    const QStringList tokens = QString::fromLatin1(json).remove(strings).split(separators, Qt::SkipEmptyParts);
    return std::all_of(tokens.begin(), tokens.end(), [](const QString &t) { return number.match(t).hasMatch(); });
}

// Headless Chromium driven over its DevTools pipe: commands on descriptor 3 (our stdin), answers on 4 (our stdout).
class Browser
{
public:
    bool open(const QString &chromium, const QString &url, const QString &profile)
    {
        shell.start(QStringLiteral("-c|exec \"$0\" \"$@\" 3<&0 4>&1 >/dev/null 2>&1 </dev/null|%1|--headless|--no-sandbox|"
                                   "--disable-gpu|--disable-quic|--no-first-run|--disable-background-networking|"
                                   "--disable-component-update|--disable-sync|--remote-debugging-pipe|"
                                   "--user-data-dir=%2|%3").arg(chromium, profile, url).split(QLatin1Char('|')));
        for (const QJsonValue t : call(QStringLiteral("Target.getTargets")).value("targetInfos").toArray()) {
            if (t[QStringLiteral("type")] == QStringLiteral("page"))
                session = call(QStringLiteral("Target.attachToTarget"), {{"targetId", t["targetId"]}, {"flatten", true}})
                              .value("sessionId").toString();
        }
        return !session.isEmpty();
    }

    // The value of a script that returns JSON text.
    QJsonDocument evaluate(const QString &script)
    {
        const QJsonObject r = call(QStringLiteral("Runtime.evaluate"), {{"expression", script}, {"returnByValue", true}});
        return QJsonDocument::fromJson(r.value("result")[QStringLiteral("value")].toString().toUtf8());
    }

    // Asks the browser to close; its exit code.
    int close()
    {
        call(QStringLiteral("Browser.close"));
        return shell.finish(10000);
    }

private:
    QJsonObject call(const QString &method, const QJsonObject &params = {})
    {
        QJsonObject m{{"id", ++lastId}, {"method", method}, {"params", params}};
        if (!session.isEmpty() && !method.startsWith(QLatin1String("Browser.")))
            m.insert(QStringLiteral("sessionId"), session);
        shell.process().write(QJsonDocument(m).toJson(QJsonDocument::Compact) + '\0');
        for (QDeadlineTimer deadline(10000);;) {
            for (int end; (end = received.indexOf('\0')) >= 0;) {
                const QJsonObject reply = QJsonDocument::fromJson(received.left(end)).object();
                received.remove(0, end + 1);
                if (reply.value("id").toInt() == lastId)
                    return reply.value("result").toObject();
            }
            if (!shell.process().waitForReadyRead(int(deadline.remainingTime())))
                return {};
            received += shell.process().readAllStandardOutput();
        }
    }

    ChildProcess shell{QStringLiteral("/bin/sh")};
    int lastId = 0;
    QString session;
    QByteArray received;
};

// A metrics endpoint of fixed behaviour on 127.0.0.1: the program's own HTTP server, which answers from a thread of its
// own while the test's thread talks to the browser. Per anchor, the counters at `seconds` since the start.
class FakeMetrics
{
public:
    using Text = std::function<QByteArray(double seconds)>;
    explicit FakeMetrics(Text text, quint16 at = 0)
    {
        QString error;
        if (!server.listen(QStringLiteral("127.0.0.1"), at, &error))
            return;
        port = server.port();
        const auto start = std::chrono::steady_clock::now();
        server.serve(
            0,
            [text, start](const HttpRequestHead &, HttpServer::Response *r) {
                r->contentType = "text/plain; version=0.0.4";
                r->body = text(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()).toStdString();
            },
            [](const std::string &) {});
    }
    quint16 port = 0;

private:
    HttpServer server;
};

} // namespace

class tst_LiveMap : public QObject
{
    Q_OBJECT
private slots:
    void answersBadRequestsAndRefusesAbsurdReports();
    void browserShowsAnchorHealthAndAccuracy();
};

// Requests the page never makes, answered beside two streams; reports with absurd coordinates, before the viewers
// connect and after: refused and counted, and every event of the streams is JSON. Then the tags fall silent and the
// stream tells the page to forget them.
void tst_LiveMap::answersBadRequestsAndRefusesAbsurdReports()
{
    const quint16 udp = freeUdpPort();
    ChildProcess monitor(toolPath(QStringLiteral("solver_monitor")));
    const quint16 port =
        startMonitor(monitor, QStringLiteral("--port %1 --http-viewers 2 --forget-after 1").arg(udp).split(' '));
    QVERIFY(port);
    // Tag, coordx and coordy in hundredths of a metre as sent, position as shown (empty: refused).
    const QList<QByteArrayList> reports = {
        {"E00000000001", "512", "-30", "5.12,-0.30"},
        {"E00000000002", "5e31", "100", ""},
        {"E00000000004", "100000000", "-100000000", "1000000.00,-1000000.00"},
        {"E00000000005", "100000001", "0", ""},
    };
    auto sendAll = [&] {
        for (const QByteArrayList &r : reports)
            sendUdp(udp, R"({"indoorLocationData":{"coordx":)" + r[1] + R"(,"coordy":)" + r[2] + R"(,"tagID":")" + r[0]
                             + R"("}})");
    };
    sendAll();
    QTest::qWait(300);
    QTcpSocket viewer[2];
    for (QTcpSocket &v : viewer)
        QCOMPARE(ask(v, port, "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), QByteArray("HTTP/1.1 200 OK"));

    const QByteArray page = "GET / HTTP/1.1\r\nHost: ", atPort = ":" + QByteArray::number(port) + "\r\n\r\n";
    // What is sent, what it is, the status line expected. The bounds of a request head are the server's (tst_metrics).
    const QList<QByteArrayList> rows = {
        {"the page", page + "127.0.0.1\r\n\r\n", "HTTP/1.1 200 OK"},
        {"localhost", page + "LocalHost" + atPort, "HTTP/1.1 200 OK"},
        {"no Host: not a browser", "GET / HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK"},
        {"a renamed host (DNS rebinding)", page + "positions.example" + atPort, "HTTP/1.1 421 Misdirected Request"},
        {"own address, other port", page + "127.0.0.1:1\r\n\r\n", "HTTP/1.1 421 Misdirected Request"},
        {"unknown path", "GET /nothing HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
        {"binary", QByteArray("\x00\x01\xff\r\n\r\n", 7), "HTTP/1.1 400 Bad Request"},
        {"body of 100 kB, not read", "POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + QByteArray(100000, 'x'), "HTTP/1.1 405 Method Not Allowed"},
        {"third stream", "GET /events HTTP/1.1\r\n\r\n", "HTTP/1.1 503 Service Unavailable"},
    };
    for (const QByteArrayList &row : rows) {
        QTcpSocket s;
        const QByteArray status = ask(s, port, row[1]);
        QVERIFY2(status == row[2], row[0] + ": " + status);
    }
    // Reports still flow to the streams, also after all that; rows are [id, x, y, ...], the number text as the hub
    // wrote it. Then the tags go silent.
    QByteArray stream = viewer[0].readAll();
    const int later = stream.size();
    sendAll();
    const QByteArray forgotten = R"("tags":["E00000000001","E00000000004"]})";
    const auto forgottenAfterUpdate = [&] {
        const int update = stream.indexOf(R"(["E00000000001",5.12,-0.30,)", later);
        return update >= 0 && stream.indexOf(R"(["E00000000004",1000000.00,-1000000.00,)", later) >= 0
               && stream.indexOf(forgotten, update) >= 0;
    };
    for (QDeadlineTimer deadline(6000); !deadline.hasExpired() && !forgottenAfterUpdate();)
        stream += viewer[0].waitForReadyRead(100) ? viewer[0].readAll() : QByteArray();
    QVERIFY2(forgottenAfterUpdate() && stream.contains("event: forget\ndata: "), stream.right(500).constData());

    int events = 0;
    QByteArray shown; // every row of every event
    for (const QByteArray &line : stream.split('\n')) {
        if (!line.startsWith("data: "))
            continue;
        QJsonParseError error;
        const QJsonDocument event = QJsonDocument::fromJson(line.mid(6), &error);
        QVERIFY2(error.error == QJsonParseError::NoError && numbersAreJson(line.mid(6)), line.left(300).constData());
        ++events;
        shown += QJsonDocument(event.object().value("tags").toArray()).toJson(QJsonDocument::Compact);
    }
    QVERIFY2(events >= 3, stream.constData()); // site, snapshot, an update
    for (const QByteArrayList &r : reports) {
        const bool listed = shown.contains(r[0]);
        QVERIFY2(r[3].isEmpty() ? !listed : listed, r[0] + " " + r[1] + "," + r[2]);
    }

    // The bounds of slow and surplus clients are the server's (tst_metrics); here, one waiting for its request.
    QTcpSocket waiting;
    waiting.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(waiting.waitForConnected(2000) && waiting.write("G") == 1 && waiting.waitForBytesWritten(2000));
    QVERIFY2(monitor.terminate(4000) == 0, "the monitor stops promptly with open streams and a request begun");
    const QString log = monitor.log();
    // Five lines, then a count (the rest of a refused request may be refused once more).
    QVERIFY2(log.count("solver_monitor: http: ") == 6 && log.contains(" more refused requests not shown"),
             qPrintable(log));
    const QByteArray summary = monitor.process().readAllStandardOutput();
    QVERIFY2(summary.contains("4 reports in ") && summary.contains("4 reports refused as out of range")
                 && summary.contains(" tags forgotten after 1 s of silence"), summary.constData());
}

// A metrics endpoint nothing listens on yet: named on the page and once in the log, tried again until it answers.
// Then the anchors table and colours from it, and the accuracy circles of report_accuracy: anchors 1 to 3 heard all
// along (ok), 4 with an offset estimate of 8 cm, 5 silent after 3 s, 6 left out of half its positions.
void tst_LiveMap::browserShowsAnchorHealthAndAccuracy()
{
    QString chromium;
    SOLVER_REQUIRE_TOOL(chromium, "chromium");
    QTemporaryDir dir;
    const quint16 udp = freeUdpPort(), closed = freeTcpPort();
    const QString config = dir.filePath(QStringLiteral("config.ini"));
    QVERIFY(writeFile(config, site::network(0, 0, udp) + site::hall() + "[algorithm_config]\nreport_accuracy=true\n"));
    ChildProcess monitor(toolPath(QStringLiteral("solver_monitor")));
    const QString url = QStringLiteral("http://127.0.0.1:%1/metrics").arg(closed);
    const quint16 port = startMonitor(monitor, {QStringLiteral("--config"), config, QStringLiteral("--metrics"), url});
    Browser browser;
    QVERIFY2(port && browser.open(chromium, QStringLiteral("http://127.0.0.1:%1/").arg(port), dir.filePath("profile")),
             "no map or no chromium");
    QString shown;
    for (QDeadlineTimer deadline(10000); !shown.contains(QLatin1String("retrying")) && !deadline.hasExpired(); QTest::qWait(250))
        shown = browser.evaluate("JSON.stringify([document.getElementById('metrics').textContent])").array()[0].toString();
    QVERIFY2(shown.startsWith("metrics: " + url + " cannot be read (") && shown.contains("retrying"), qPrintable(shown));
    QVERIFY(monitor.waitForLog(QStringLiteral("cannot be read (")));
    FakeMetrics metrics([](double t) {
        QByteArray text = "# TYPE solver_anchor_records_total counter\n";
        for (int a = 1; a <= 6; ++a) {
            const QByteArray id = "A0000000000" + QByteArray::number(a);
            const double records = 10 * (a == 5 ? std::min(t, 3.0) : t);
            text += "solver_anchor_records_total{anchor=\"" + id + "\"} " + QByteArray::number(qint64(records)) + "\n";
            text += "solver_anchor_left_out_total{anchor=\"" + id + "\"} " + QByteArray::number(a == 6 ? qint64(records / 2) : 0) + "\n";
            if (a != 6)
                text += "solver_anchor_offset_meters{anchor=\"" + id + "\"} " + (a == 4 ? "0.08" : "-0.01") + "\n"
                        + "solver_anchor_range_noise_meters{anchor=\"" + id + "\"} 0.05\n";
        }
        return text;
    }, closed);
    QVERIFY(metrics.port == closed);
    QVERIFY(monitor.waitForLog(QStringLiteral("readable again")));
    QElapsedTimer clock;
    clock.start();
    const QString script = QStringLiteral(
        "JSON.stringify([[...document.querySelectorAll('#anchorRows tr')].map(r => [...r.children].map(c => c.textContent)), "
        "document.getElementById('summary').dataset.circles, "
        "[...document.querySelectorAll('#tags tr')].map(r => [r.dataset.tag, r.children[6].textContent]), "
        "getComputedStyle(document.querySelector('#tagTable th.acc')).display, "
        "document.getElementById('metrics').textContent])");
    QJsonArray page;
    const auto state = [&](int anchor) { return page[0].toArray()[anchor].toArray()[1].toString(); };
    // Anchor 5 falls silent after 3 s and is shown so 10 s later (within 15 s); the tag's accuracy grows meanwhile.
    for (QDeadlineTimer deadline(30000); !deadline.hasExpired(); QTest::qWait(250)) {
            sendUdp(udp, R"({"indoorLocationData":{"coordx":512,"coordy":730,"tagID":"E0000000000A","qualityInfo":{"horizAccuracy":)"
                         + QByteArray::number(0.2 + clock.elapsed() / 100000.0, 'f', 3) + "}}}");
        page = browser.evaluate(script).array();
        if (page[0].toArray().size() == 6 && state(4) == QLatin1String("silent"))
            break;
    }
    const qint64 silentAfter = clock.elapsed();
    QVERIFY2(page[0].toArray().size() == 6 && state(4) == QLatin1String("silent"),
             QJsonDocument(page).toJson(QJsonDocument::Compact).constData());
    QVERIFY2(silentAfter < 3000 + 15000 + 2000, qPrintable(QString::number(silentAfter))); // browser start-up aside
    // id|state|records/s|left out %|offset|noise; rates from whole counts over about 2 s, so within 1 of 10 per
    // second, and the share within 5 points.
    const QStringList expected = {"A00000000001|ok|10|0|-0.010|0.050", "A00000000002|ok|10|0|-0.010|0.050",
                                  "A00000000003|ok|10|0|-0.010|0.050", "A00000000004|offset|10|0|0.080|0.050",
                                  "A00000000005|silent|0|0|-0.010|0.050", "A00000000006|blocked often|10|50|-|-"};
    for (int a = 0; a < 6; ++a) {
        QStringList cells;
        for (const QJsonValue &c : page[0].toArray()[a].toArray())
            cells.append(c.toString());
        const QStringList want = expected[a].split('|');
        QVERIFY2(cells.size() == 6 && cells[0] == want[0] && cells[1] == want[1] && cells.mid(4) == want.mid(4)
                     && std::fabs(cells[2].toDouble() - want[2].toDouble()) <= 1.0
                     && std::fabs(cells[3].toDouble() - want[3].toDouble()) <= 5.0,
                 qPrintable(cells.join('|')));
    }
    // report_accuracy is on: one circle, and the column with the latest accuracy.
    QCOMPARE(page[1].toString(), QStringLiteral("1"));
    const QJsonArray row = page[2].toArray()[0].toArray();
    QCOMPARE(row[0].toString(), QStringLiteral("E0000000000A"));
    QVERIFY2(row[1].toString().toDouble() > 0.2, qPrintable(row[1].toString()));
    QVERIFY(page[3].toString() != QLatin1String("none"));
    QVERIFY2(page[4].toString().isEmpty(), qPrintable(page[4].toString())); // readable again
    QCOMPARE(monitor.log().count(QStringLiteral("cannot be read (")), 1);
    QCOMPARE(browser.close(), 0);
    QCOMPARE(monitor.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_LiveMap)
#include "tst_live_map.moc"
