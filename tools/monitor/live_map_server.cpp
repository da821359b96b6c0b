#include "tools/monitor/live_map_server.h"

#include "tools/monitor/http_connection.h"
#include "tools/monitor/live_map_hub.h"

#include <QHostAddress>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A stream with nothing new sends a comment this often, so a client that went
// away is noticed (the write fails) and its thread freed within a few seconds.
constexpr int kKeepAliveMs = 1000;
// Threads beyond the streams' share, for the page and for refusing. Each
// connection holds one while it sends its request (at most kLimits.request),
// so this many slow clients can hold the page back for that long.
constexpr int kSpareThreads = 32;
// Connections waiting for a thread; more are answered 503 at once. With every
// thread held by a slow client, the last of them waits about
// kMostWaiting / kSpareThreads x kLimits.request = 10 s.
constexpr size_t kMostWaiting = 64;
// No request of the page has a body; anything bigger is refused with 413.
constexpr size_t kLargestBody = 16 * 1024;
// The library limits each header line, not their number.
constexpr size_t kMostHeaders = 64;
// A slow or silent client gives up its thread after these: the first byte
// within a second, the whole request within 5 s of the connection's turn
// (whatever the pace of its bytes), and an answer or event taken within 5 s.
const RequestStream::Limits kLimits{std::chrono::seconds(1), std::chrono::seconds(5), std::chrono::seconds(5)};
// Lines about refused requests: at most this many per period, then a count.
constexpr int kLogBurst = 5;
constexpr auto kLogPeriod = std::chrono::seconds(10);

// The library's server with connections of our own (RequestStream) on a
// bounded pool (ConnectionPool), one request each.
class HttpServer : public httplib::Server
{
public:
    using RefusedLog = std::function<void(int status, const std::string &remote)>;

    explicit HttpServer(RefusedLog log) : stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), logRefused(std::move(log))
    {
    }
    ~HttpServer() override { ::close(stopFd); }

    // The library listens with a backlog of 5: of a burst of viewers connecting
    // at once most would wait for the kernel's SYN retries, seconds. listen()
    // again on the bound socket raises the backlog.
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
    // Ends every wait of every connection, for good.
    void interrupt()
    {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stopFd, &one, sizeof one);
    }

private:
    // Called by the library for each accepted connection (a private virtual of
    // its own, so this replaces its keep-alive loop and per-read timeouts).
    bool process_and_close_socket(socket_t sock) override
    {
        RequestStream stream(sock, stopFd, kLimits);
        bool answered = false;
        if (ConnectionPool::refusing()) {
            refuse(stream, 503, "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 10\r\n");
        } else {
            bool closedByClient = false;
            answered = process_request(stream, true, closedByClient, nullptr);
            if (!answered && stream.cutShort())
                refuse(stream, 408, "HTTP/1.1 408 Request Timeout\r\n");
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return answered;
    }

    // Answers without waiting (what fits in the socket buffer; on the
    // accepting thread nothing may wait) and logs it.
    void refuse(const RequestStream &stream, int status, const char *statusLines)
    {
        const std::string answer = std::string(statusLines)
                                   + "Content-Type: text/plain\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        ::send(stream.socket(), answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        std::string remote;
        int port = 0;
        stream.get_remote_ip_and_port(remote, port);
        logRefused(status, remote);
        // Read what the client sent, so that closing does not reset the answer away.
        char sink[4096];
        for (int i = 0; i < 16 && ::recv(stream.socket(), sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
        }
    }

    const int stopFd;
    const RefusedLog logRefused;
};

} // namespace

struct LiveMapServer::Private {
    explicit Private(LiveMapHub &h)
        : hub(h), server([this](int status, const std::string &remote) { logRefusal(status, "-", "-", remote); })
    {
    }

    void logRefusal(int status, const std::string &method, const std::string &target, const std::string &remote);
    void logUnlogged();

    LiveMapHub &hub;
    HttpServer server;
    HostCheck hosts;
    std::thread listener;
    std::atomic<bool> listenerEnded{false};
    std::atomic<int> streams{0};
    int viewers = 0;
    quint16 boundPort = 0;

    std::mutex logMutex;
    std::chrono::steady_clock::time_point logPeriodStart;
    int loggedInPeriod = 0;
    int unloggedInPeriod = 0;
};

void LiveMapServer::Private::logRefusal(int status, const std::string &method, const std::string &target,
                                        const std::string &remote)
{
    std::lock_guard<std::mutex> lock(logMutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - logPeriodStart >= kLogPeriod) {
        logUnlogged();
        logPeriodStart = now;
        loggedInPeriod = 0;
    }
    if (loggedInPeriod++ < kLogBurst) {
        // The target is cut short: an oversized one is the reason it was refused.
        // A request refused before it was read has neither.
        std::fprintf(stderr, "solver_monitor: http: %d for %s %.80s from %s\n", status,
                     method.empty() ? "-" : method.c_str(), target.empty() ? "-" : target.c_str(),
                     remote.empty() ? "-" : remote.c_str());
    } else {
        ++unloggedInPeriod;
    }
}

void LiveMapServer::Private::logUnlogged()
{
    if (unloggedInPeriod > 0)
        std::fprintf(stderr, "solver_monitor: http: %d more refused requests not shown\n", unloggedInPeriod);
    unloggedInPeriod = 0;
}

LiveMapServer::LiveMapServer(LiveMapHub &hub) : d(new Private(hub)) {}

LiveMapServer::~LiveMapServer() { stop(); }

bool LiveMapServer::start(const QString &host, quint16 port, int viewers, QString *error)
{
    Private *p = d.get();
    p->viewers = viewers;
    httplib::Server &s = p->server;
    const size_t threads = size_t(viewers + kSpareThreads);
    // One request per connection (HttpServer): the page makes two, and a client
    // that held on to a connection after its answer would keep a thread.
    s.new_task_queue = [threads] { return new ConnectionPool(threads, kMostWaiting); };
    s.set_payload_max_length(kLargestBody);

    s.set_pre_routing_handler([p](const httplib::Request &req, httplib::Response &res) {
        if (req.headers.size() > kMostHeaders) {
            res.status = 431;
        } else if (!p->hosts.allows(req.get_header_value("Host"))) {
            res.status = 421;
            res.set_content("this server does not answer to that host name\n", "text/plain");
        } else {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        return httplib::Server::HandlerResponse::Handled;
    });
    s.Get("/", [](const httplib::Request &, httplib::Response &res) {
        res.set_header("Cache-Control", "no-store");
        res.set_content(kLiveMapPage, "text/html; charset=utf-8");
    });
    s.Get("/events", [p](const httplib::Request &, httplib::Response &res) {
        if (p->streams.fetch_add(1) >= p->viewers) {
            p->streams.fetch_sub(1);
            res.status = 503;
            res.set_header("Retry-After", "10");
            res.set_content("too many viewers\n", "text/plain");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        auto cursor = std::make_shared<LiveMapHub::Cursor>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [p, cursor](size_t, httplib::DataSink &sink) {
                std::string out;
                if (!p->hub.nextEvents(cursor.get(), kKeepAliveMs, &out))
                    return false; // the monitor is stopping
                if (out.empty())
                    out = ":\n\n";
                return sink.write(out.data(), out.size());
            },
            [p](bool) { p->streams.fetch_sub(1); });
    });
    // Everything refused gets its reason as text, and a line in the log.
    s.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            res.set_content("HTTP " + std::to_string(res.status) + "\n", "text/plain");
    });
    s.set_logger([p](const httplib::Request &req, const httplib::Response &res) {
        if (res.status >= 400)
            p->logRefusal(res.status, req.method, req.target, req.remote_addr);
    });

    const std::string address = host.toStdString();
    const bool bound = port == 0 ? (p->boundPort = quint16(s.bind_to_any_port(address)), p->boundPort > 0)
                                 : (p->boundPort = port, s.bind_to_port(address, port));
    if (!bound) {
        *error = QStringLiteral("cannot listen for http on %1:%2").arg(host).arg(port);
        return false;
    }
    p->hosts.listenOn(host, p->boundPort);
    p->server.widenBacklog();
    p->listener = std::thread([p] {
        p->server.listen_after_bind();
        p->listenerEnded = true;
    });
    return true;
}

quint16 LiveMapServer::port() const { return d->boundPort; }

void LiveMapServer::stop()
{
    if (!d->listener.joinable())
        return;
    d->server.interrupt();
    // The library's stop() does nothing until its listener runs: a stop right
    // after the start would otherwise wait for ever.
    while (!d->server.is_running() && !d->listenerEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    d->server.stop();
    d->listener.join();
    std::lock_guard<std::mutex> lock(d->logMutex);
    d->logUnlogged();
}

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
