// The HTTP server of the metrics endpoint and the live map (common/http_server.h), in process over
// loopback: how it reads a request head, however it arrives; its streams and their limit (a stop with streams open:
// tst_live_map; idle connections making room: tst_metrics).
#include "common/http_server.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>

#include <chrono>
#include <thread>

class tst_HttpServer : public QObject
{
    Q_OBJECT
private slots:
    void parsesHeads_data();
    void parsesHeads();
    void streamsUpToTheLimit();
};

namespace {

// Status, method, path and Host of one request; every prefix is also parsed, byte by byte
// as a slow client sends it: none may decide otherwise than the whole.
struct Parsed {
    int status = 0;
    HttpRequestHead head;
    int decidedAt = -1; // bytes when first decided
};

Parsed parseGrowing(const QByteArray &bytes)
{
    Parsed p;
    for (int n = 0; n <= bytes.size(); ++n) {
        HttpRequestHead head;
        const int status = parseHttpHead(bytes.constData(), size_t(n), &head);
        if (status != 0 && p.decidedAt < 0) {
            p.decidedAt = n;
            p.status = status;
            p.head = head;
        } else if (p.decidedAt >= 0 && status != p.status) {
            p.status = -status; // changed its mind
        }
    }
    return p;
}

// Answers 200 "ok" on any path; /events is a stream of one numbered event every 50 ms.
struct TestServer {
    explicit TestServer(int streams)
    {
        QString error;
        ok = server.listen(QStringLiteral("127.0.0.1"), 0, &error);
        server.serve(
            streams,
            [](const HttpRequestHead &request, HttpServer::Response *response) {
                if (request.path != "/events") {
                    response->body = "ok";
                    return;
                }
                response->contentType = "text/event-stream";
                response->stream = [n = 0](std::string *out) mutable {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    *out = "data: " + std::to_string(++n) + "\n\n";
                    return true;
                };
            },
            [](const std::string &) {});
    }
    HttpServer server;
    bool ok = false;
};

// The status of the answer to `request` on a fresh connection, and its text so far.
int ask(QTcpSocket &s, quint16 port, const QByteArray &request, QByteArray *text = nullptr)
{
    s.connectToHost(QHostAddress::LocalHost, port);
    s.write(request);
    QByteArray got;
    while (!got.contains("\r\n\r\n") && s.waitForReadyRead(5000))
        got += s.readAll();
    if (text)
        *text = got;
    return got.mid(9, 3).toInt();
}

} // namespace

void tst_HttpServer::parsesHeads_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("host");
    const auto row = [](const char *name, const QByteArray &bytes, int status, const QByteArray &path = {},
                        const QByteArray &host = {}) { QTest::newRow(name) << bytes << status << path << host; };
    row("scrape", "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9464\r\n\r\n", 200, "/metrics", "127.0.0.1:9464");
    row("query, bare line ends, Host in capitals, white space trimmed", "HEAD /?a=b HTTP/1.0\nHOST: \t[::1]:80 \n\n", 200,
        "/", "[::1]:80");
    row("no Host", "GET / HTTP/1.1\r\n\r\n", 200, "/");
    row("head of exactly 8 KiB", "GET / HTTP/1.1\r\nX: " + QByteArray(8192 - 23, 'a') + "\r\n\r\n", 200, "/");
    row("one byte more", "GET / HTTP/1.1\r\nX: " + QByteArray(8192 - 22, 'a') + "\r\n\r\n", 431);
    row("request line over 8 KiB", "GET /" + QByteArray(8192, 'a'), 414);
    row("65 header lines", "GET / HTTP/1.1\r\n" + QByteArray("A: b\r\n").repeated(65) + "\r\n", 431);
    row("bad request line, refused before the head ends", "GET  / HTTP/1.1\r\nX", 400);
    row("absolute target", "GET http://a/ HTTP/1.1\r\n\r\n", 400);
    row("HTTP/3.0", "GET / HTTP/3.0\r\n\r\n", 505);
    row("space before the colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", 400);
    row("control byte in a value", "GET / HTTP/1.1\r\nX: a\x01z\r\n\r\n", 400);
    row("bare CR in a value", "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n", 400);
    row("two Host headers", "GET / HTTP/1.1\r\nHost: a\r\nhost: b\r\n\r\n", 400);
    row("not finished", "GET / HTTP/1.1\r\nHost: a\r\n", 0);
}

void tst_HttpServer::parsesHeads()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, host);
    const Parsed p = parseGrowing(bytes);
    QCOMPARE(p.status, status);
    if (status == 200) {
        QCOMPARE(p.decidedAt, bytes.size()); // not before its last byte
        QCOMPARE(QByteArray::fromStdString(p.head.path), path);
        QCOMPARE(QByteArray::fromStdString(p.head.host), host);
    }
}

void tst_HttpServer::streamsUpToTheLimit()
{
    TestServer t(1);
    QVERIFY(t.ok);
    const quint16 port = t.server.port();
    QTcpSocket first, second, head, third;
    QByteArray text;
    QCOMPARE(ask(first, port, "GET /events HTTP/1.1\r\n\r\n", &text), 200);
    QVERIFY2(text.contains("Content-Type: text/event-stream\r\n") && !text.contains("Content-Length"), text.constData());
    while (!text.contains("data: 3\n\n") && first.waitForReadyRead(5000))
        text += first.readAll();
    QVERIFY2(text.contains("data: 1\n\ndata: 2\n\ndata: 3\n\n"), text.constData());
    QCOMPARE(ask(second, port, "GET /events HTTP/1.1\r\n\r\n"), 503);
    QCOMPARE(ask(head, port, "HEAD /events HTTP/1.1\r\n\r\n"), 200); // headers only: no stream taken
    QVERIFY(head.state() == QAbstractSocket::UnconnectedState || head.waitForDisconnected(5000));
    QVERIFY(head.readAll().isEmpty());
    // A viewer that has gone frees its stream once a write fails.
    first.abort();
    int status = 0;
    QElapsedTimer clock;
    for (clock.start(); status != 200 && clock.elapsed() < 10000;) {
        third.abort();
        status = ask(third, port, "GET /events HTTP/1.1\r\n\r\n");
    }
    QCOMPARE(status, 200);
}

QTEST_GUILESS_MAIN(tst_HttpServer)
#include "tst_http_server.moc"
