#include "supervision/metrics_server.h"

#include "common/config_file.h"
#include "common/config_keys.h"
#include "common/http_server.h"
#include "common/logwriter.h"
#include "common/metrics.h"

#include <QHostAddress>

namespace {

constexpr const char *kContentType = "text/plain; version=0.0.4; charset=utf-8";

} // namespace

struct MetricsServer::Private {
    HttpServer server;
    bool bound = false;
};

MetricsServer::MetricsServer() : d(new Private)
{
    LogWriter *log = LogWriter::getLogCenter();
    const QString listen = ConfigFile().text(QStringLiteral("metrics"), QStringLiteral("metrics_listen")).trimmed();
    if (listen.isEmpty())
        return;
    QString host;
    quint16 port = 0;
    if (!metricsParseListen(listen, &host, &port)) {
        log->infoOutput("metrics_listen %s is not ADDRESS:PORT, metrics off", listen.toUtf8().constData());
        return;
    }
    const auto answer = [](const HttpRequestHead &request, HttpServer::Response *response) {
        if (request.path != "/metrics") {
            response->status = 404;
            return;
        }
        const QByteArray text = metrics::exposition();
        response->contentType = kContentType;
        response->body.assign(text.constData(), size_t(text.size()));
    };
    const auto logLine = [log](const std::string &line) { log->infoOutput("metrics: http: %s", line.c_str()); };
    QString error;
    d->bound = d->server.listen(host, port, &error);
    if (!d->bound) {
        log->infoOutput("metrics: cannot listen on %s, metrics off", listen.toUtf8().constData());
        return;
    }
    d->server.serve(0, answer, logLine);
    const bool v6 = host.contains(QLatin1Char(':'));
    log->infoOutput("metrics at http://%s%s%s:%d/metrics", v6 ? "[" : "", host.toUtf8().constData(), v6 ? "]" : "",
                    d->server.port());
}

MetricsServer::~MetricsServer() { metricsServerStop(); }

bool MetricsServer::metricsListening() const { return d->bound; }

quint16 MetricsServer::metricsPort() const { return d->bound ? d->server.port() : 0; }

void MetricsServer::metricsServerStop()
{
    d->server.stop();
    d->bound = false;
}

bool MetricsServer::metricsParseListen(const QString &text, QString *host, quint16 *port)
{
    return configkeys::parseListen(text, host, port);
}
