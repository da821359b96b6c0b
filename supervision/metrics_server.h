#ifndef METRICS_SERVER_H
#define METRICS_SERVER_H

#include <QString>

#include <memory>

// Serves the counters of common/metrics.h at /metrics in Prometheus's text
// exposition format, when [metrics] metrics_listen names ADDRESS:PORT. It
// listens on that address only and answers from a thread of its own
// (common/http_server.h: bounded in connections and time, so slow or idle
// clients cannot keep a scrape waiting); a scrape reads relaxed atomics and
// takes no lock the positioning threads use, so it never holds them up.
//
// Answers: GET and HEAD /metrics 200; another method 405 (no body is read);
// any other path 404; a malformed request 400, a request line over 8 KiB 414,
// a head over 8 KiB 431, a request not complete within 5 s 408, a connection
// beyond the 64 held 503.
class MetricsServer
{
public:
    // Reads [metrics] metrics_listen (absent or empty: off), binds and starts
    // answering; a bad value or a failed bind is logged in one line and
    // leaves it off.
    MetricsServer();
    ~MetricsServer();
    MetricsServer(const MetricsServer &) = delete;
    MetricsServer &operator=(const MetricsServer &) = delete;

    bool metricsListening() const;
    quint16 metricsPort() const;
    // Closes the listener and every connection and joins the thread.
    void metricsServerStop();

    // "ADDRESS:PORT" with an IPv4 address or an IPv6 one in brackets, port
    // 0..65535 (0: any free one); false when it is not that.
    static bool metricsParseListen(const QString &text, QString *host, quint16 *port);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif // METRICS_SERVER_H
