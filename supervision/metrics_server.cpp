#include "supervision/metrics_server.h"

#include "common/config_file.h"
#include "common/config_keys.h"
#include "common/logwriter.h"
#include "common/metrics.h"

#include <QHostAddress>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// No request of the endpoint has a body.
constexpr size_t kLargestBody = 1024;
// A scraper that keeps its connection open between scrapes holds a worker
// meanwhile; Prometheus reconnects when it finds the connection closed.
constexpr int kKeepAliveTimeoutS = 1;
constexpr int kWriteTimeoutS = 2;
constexpr const char *kContentType = "text/plain; version=0.0.4; charset=utf-8";

} // namespace

struct MetricsServer::Private {
    httplib::Server server;
    std::thread listener;
    std::atomic<bool> listenEnded{false};
    QString host;
    quint16 port = 0;
    bool bound = false;
};

MetricsServer::MetricsServer() : d(new Private)
{
    LogWriter *log = LogWriter::getLogCenter();
    const QString listen = ConfigFile().text(QStringLiteral("metrics"), QStringLiteral("metrics_listen")).trimmed();
    if (listen.isEmpty())
        return;
    quint16 port = 0;
    if (!metricsParseListen(listen, &d->host, &port)) {
        log->infoOutput("metrics_listen %s is not ADDRESS:PORT, metrics off", listen.toUtf8().constData());
        return;
    }

    httplib::Server &s = d->server;
    s.new_task_queue = [] { return new httplib::ThreadPool(size_t(kWorkers)); };
    s.set_payload_max_length(kLargestBody);
    s.set_read_timeout(kReadTimeoutS);
    s.set_write_timeout(kWriteTimeoutS);
    s.set_keep_alive_timeout(kKeepAliveTimeoutS);
    s.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        if (req.path != "/metrics" || req.method == "GET" || req.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 405;
        res.set_header("Allow", "GET, HEAD");
        return httplib::Server::HandlerResponse::Handled;
    });
    s.Get("/metrics", [](const httplib::Request &, httplib::Response &res) {
        const QByteArray text = metrics::exposition();
        res.set_content(text.constData(), size_t(text.size()), kContentType);
    });
    s.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            res.set_content("HTTP " + std::to_string(res.status) + "\n", "text/plain");
    });

    const std::string address = d->host.toStdString();
    d->bound = port == 0 ? (d->port = quint16(s.bind_to_any_port(address)), d->port > 0)
                         : (d->port = port, s.bind_to_port(address, port));
    if (!d->bound) {
        log->infoOutput("metrics: cannot listen on %s, metrics off", listen.toUtf8().constData());
        return;
    }
    const bool v6 = d->host.contains(QLatin1Char(':'));
    log->infoOutput("metrics at http://%s%s%s:%d/metrics", v6 ? "[" : "", address.c_str(), v6 ? "]" : "", d->port);
    d->listener = std::thread([p = d.get()] {
        p->server.listen_after_bind();
        p->listenEnded = true;
    });
}

MetricsServer::~MetricsServer() { metricsServerStop(); }

bool MetricsServer::metricsListening() const { return d->bound; }

quint16 MetricsServer::metricsPort() const { return d->bound ? d->port : 0; }

void MetricsServer::metricsServerStop()
{
    if (!d->listener.joinable())
        return;
    // stop() does nothing until the listener runs: a stop right after the
    // start would leave it listening and the join waiting for ever.
    while (!d->server.is_running() && !d->listenEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    d->server.stop();
    d->listener.join();
    d->bound = false;
}

bool MetricsServer::metricsParseListen(const QString &text, QString *host, quint16 *port)
{
    return configkeys::parseListen(text, host, port);
}
