#include "tools/monitor/live_map_server.h"

#include "common/http_server.h"
#include "tools/monitor/live_map_hub.h"

#include <QHostAddress>

#include <cstdio>

namespace {

// A stream with nothing new sends a comment this often, so a client that went
// away is noticed (the write fails) and its thread freed within a few seconds.
constexpr int kKeepAliveMs = 1000;

} // namespace

struct LiveMapServer::Private {
    explicit Private(LiveMapHub &h) : hub(h) {}

    LiveMapHub &hub;
    HttpServer server;
    HostCheck hosts;
};

LiveMapServer::LiveMapServer(LiveMapHub &hub) : d(new Private(hub)) {}

LiveMapServer::~LiveMapServer() { stop(); }

bool LiveMapServer::start(const QString &host, quint16 port, int viewers, QString *error)
{
    Private *p = d.get();
    const auto answer = [p](const HttpRequestHead &request, HttpServer::Response *response) {
        if (!p->hosts.allows(request.host)) {
            response->status = 421;
            response->body = "this server does not answer to that host name\n";
        } else if (request.path == "/") {
            response->headers.emplace_back("Cache-Control", "no-store");
            response->contentType = "text/html; charset=utf-8";
            response->body = kLiveMapPage;
        } else if (request.path == "/events") {
            response->headers.emplace_back("Cache-Control", "no-store");
            response->contentType = "text/event-stream";
            auto cursor = std::make_shared<LiveMapHub::Cursor>();
            response->stream = [p, cursor](std::string *out) {
                if (!p->hub.nextEvents(cursor.get(), kKeepAliveMs, out))
                    return false; // the monitor is stopping
                if (out->empty())
                    *out = ":\n\n";
                return true;
            };
        } else {
            response->status = 404;
        }
    };
    // Everything refused gets a line in the log.
    const auto logLine = [](const std::string &line) { std::fprintf(stderr, "solver_monitor: http: %s\n", line.c_str()); };
    if (!p->server.listen(host, port, error))
        return false;
    p->hosts.listenOn(host, p->server.port());
    p->server.serve(viewers, answer, logLine);
    return true;
}

quint16 LiveMapServer::port() const { return d->server.port(); }

void LiveMapServer::stop() { d->server.stop(); }

bool parseHttpAddress(const QString &text, QString *host, quint16 *port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    const QString address = colon < 0 ? QString() : text.left(colon);
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    if (!ok || number > 65535)
        return false;
    *host = address.isEmpty() ? QStringLiteral("127.0.0.1") : address;
    if (host->startsWith(QLatin1Char('[')) && host->endsWith(QLatin1Char(']'))) // [::1]:8080
        *host = host->mid(1, host->size() - 2);
    *port = quint16(number);
    return QHostAddress().setAddress(*host);
}
