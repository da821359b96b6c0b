#include "tools/monitor/live_map_server.h"

#include "tools/monitor/live_map_hub.h"

#include <QHostAddress>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <sys/socket.h>
#include <thread>

namespace {

// A stream with nothing new sends a comment this often, so a client that went
// away is noticed (the write fails) and its thread freed within a few seconds.
constexpr int kKeepAliveMs = 1000;
// Threads beyond the streams' share, for the page and for refusing. Each
// connection holds one while it sends its request (up to kReadTimeoutS), so
// this many idle connections can hold the page back for that long.
constexpr int kSpareThreads = 32;
// No request of the page has a body; anything bigger is refused with 413.
constexpr size_t kLargestBody = 16 * 1024;
// The library limits each header line, not their number.
constexpr size_t kMostHeaders = 64;
// A slow or silent client gives up its thread after these.
constexpr int kReadTimeoutS = 5;
constexpr int kWriteTimeoutS = 5;
constexpr int kKeepAliveTimeoutS = 1;
// Lines about refused requests: at most this many per period, then a count.
constexpr int kLogBurst = 5;
constexpr auto kLogPeriod = std::chrono::seconds(10);

// The library listens with a backlog of 5: of a burst of viewers connecting
// at once most would wait for the kernel's SYN retries, seconds. listen()
// again on the bound socket raises the backlog.
class HttpServer : public httplib::Server
{
public:
    void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }
};

} // namespace

struct LiveMapServer::Private {
    explicit Private(LiveMapHub &h) : hub(h) {}

    void logRefusal(const httplib::Request &req, int status);
    void logUnlogged();

    LiveMapHub &hub;
    HttpServer server;
    std::thread listener;
    std::atomic<int> streams{0};
    int viewers = 0;
    quint16 boundPort = 0;

    std::mutex logMutex;
    std::chrono::steady_clock::time_point logPeriodStart;
    int loggedInPeriod = 0;
    int unloggedInPeriod = 0;
};

void LiveMapServer::Private::logRefusal(const httplib::Request &req, int status)
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
                     req.method.empty() ? "-" : req.method.c_str(), req.target.empty() ? "-" : req.target.c_str(),
                     req.remote_addr.empty() ? "-" : req.remote_addr.c_str());
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
    s.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    s.set_payload_max_length(kLargestBody);
    s.set_read_timeout(kReadTimeoutS);
    s.set_write_timeout(kWriteTimeoutS);
    s.set_keep_alive_timeout(kKeepAliveTimeoutS);
    // One request per connection: the page makes two, and a client that holds
    // on to a connection after its answer (a refused one above all) would
    // otherwise keep a thread for the keep-alive time.
    s.set_keep_alive_max_count(1);

    s.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        if (req.headers.size() <= kMostHeaders)
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 431;
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
            p->logRefusal(req, res.status);
    });

    const std::string address = host.toStdString();
    const bool bound = port == 0 ? (p->boundPort = quint16(s.bind_to_any_port(address)), p->boundPort > 0)
                                 : (p->boundPort = port, s.bind_to_port(address, port));
    if (!bound) {
        *error = QStringLiteral("cannot listen for http on %1:%2").arg(host).arg(port);
        return false;
    }
    p->server.widenBacklog();
    p->listener = std::thread([p] { p->server.listen_after_bind(); });
    return true;
}

quint16 LiveMapServer::port() const { return d->boundPort; }

void LiveMapServer::stop()
{
    if (!d->listener.joinable())
        return;
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
