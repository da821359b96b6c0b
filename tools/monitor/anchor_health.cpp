#include "tools/monitor/anchor_health.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <cstdio>

namespace {

// Most bytes of one exposition read: the engine's is a few kilobytes, with
// the per-anchor table full some hundreds.
constexpr qint64 kMostBytes = 8 * 1024 * 1024;

QJsonValue numberOrNull(double v, bool valid) { return valid && std::isfinite(v) ? QJsonValue(v) : QJsonValue(); }

} // namespace

QHash<QString, AnchorSample> parseAnchorMetrics(const QByteArray &text)
{
    QHash<QString, AnchorSample> out;
    for (const QByteArray &line : text.split('\n')) {
        if (!line.startsWith("solver_anchor_"))
            continue;
        const int brace = line.indexOf('{'), close = line.indexOf('}');
        if (brace < 0 || close < brace)
            continue;
        const QByteArray family = line.left(brace);
        const QByteArray labels = line.mid(brace + 1, close - brace - 1);
        const int at = labels.indexOf("anchor=\"");
        if (at < 0)
            continue;
        const int end = labels.indexOf('"', at + 8);
        if (end < 0)
            continue;
        const QString id = QString::fromLatin1(labels.mid(at + 8, end - at - 8)).toUpper();
        // The value, then perhaps a timestamp.
        const QByteArray rest = line.mid(close + 1).trimmed();
        bool ok = false;
        const double value = rest.split(' ').value(0).toDouble(&ok);
        if (!ok || id.isEmpty())
            continue;
        AnchorSample &s = out[id];
        if (family == "solver_anchor_records_total")
            s.records = value;
        else if (family == "solver_anchor_left_out_total")
            s.leftOut = value;
        else if (family == "solver_anchor_offset_meters")
            s.offset = value;
        else if (family == "solver_anchor_range_noise_meters")
            s.noise = value;
    }
    return out;
}

AnchorHealth::AnchorHealth(const QStringList &anchors) : order(anchors) {}

void AnchorHealth::add(qint64 nowMs, const QHash<QString, AnchorSample> &sample)
{
    for (auto it = sample.begin(); it != sample.end(); ++it) {
        if (!order.contains(it.key()))
            order.append(it.key());
    }
    for (const QString &id : order) {
        const AnchorSample s = sample.value(id);
        Track &t = tracks[id];
        // The engine restarted: its counters begin again.
        if (!t.points.empty() && (s.records < t.points.back().records || s.leftOut < t.points.back().leftOut))
            t.points.clear();
        if (t.points.empty() || s.records > t.points.back().records)
            t.lastRecordMs = nowMs;
        t.points.push_back({nowMs, s.records, s.leftOut});
        while (t.points.size() > 2 && t.points[1].ms <= nowMs - kWindowMs)
            t.points.pop_front();
        t.offset = s.offset;
        t.noise = s.noise;
    }
}

QVector<AnchorHealth::Row> AnchorHealth::rows(qint64 nowMs) const
{
    qint64 lastHeard = 0;
    for (const Track &t : tracks) {
        if (t.points.size() >= 2 && t.points.back().records > t.points.front().records)
            lastHeard = std::max(lastHeard, t.lastRecordMs);
    }
    QVector<Row> out;
    for (const QString &id : order) {
        const auto found = tracks.constFind(id);
        Row r;
        r.id = id;
        r.state = QStringLiteral("ok");
        if (found == tracks.constEnd() || found->points.empty()) {
            out.append(r);
            continue;
        }
        const Track &t = *found;
        const Point &last = t.points.back();
        if (t.points.size() >= 2) {
            const Point &before = t.points[t.points.size() - 2];
            if (last.ms > before.ms)
                r.rate = (last.records - before.records) * 1000.0 / double(last.ms - before.ms);
            const double records = last.records - t.points.front().records;
            if (records > 0)
                r.leftShare = (last.leftOut - t.points.front().leftOut) / records;
        }
        r.offset = t.offset;
        r.noise = t.noise;
        const bool othersHeard = lastHeard > 0 && nowMs - lastHeard < kSilentMs;
        if (nowMs - t.lastRecordMs >= kSilentMs && othersHeard)
            r.state = QStringLiteral("silent");
        else if (r.leftShare > kBlockedShare)
            r.state = QStringLiteral("blocked often");
        else if (std::isfinite(r.offset) && std::fabs(r.offset) > kOffsetMetres)
            r.state = QStringLiteral("offset");
        out.append(r);
    }
    return out;
}

std::string AnchorHealth::json(const QVector<Row> &rows, const QString &status)
{
    QJsonArray list;
    for (const Row &r : rows)
        list.append(QJsonObject{{QStringLiteral("id"), r.id},
                                {QStringLiteral("state"), r.state},
                                {QStringLiteral("rate"), numberOrNull(r.rate, r.rate >= 0)},
                                {QStringLiteral("left"), numberOrNull(r.leftShare, r.leftShare >= 0)},
                                {QStringLiteral("offset"), numberOrNull(r.offset, true)},
                                {QStringLiteral("noise"), numberOrNull(r.noise, true)}});
    const QJsonObject o{{QStringLiteral("status"), status}, {QStringLiteral("anchors"), list}};
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

MetricsPoller::MetricsPoller(const QUrl &address, const QStringList &anchors,
                             std::function<void(const std::string &)> publishEvent)
    : url(address), health(anchors), publish(std::move(publishEvent))
{
    connect(&timer, &QTimer::timeout, this, &MetricsPoller::poll);
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this,
            [this] { done(QStringLiteral("no answer within %1 s").arg((kPeriodMs + 1000) / 1000)); });
    timer.start(kPeriodMs);
    poll();
}

MetricsPoller::~MetricsPoller()
{
    if (pending) {
        pending->disconnect(this);
        pending->abort();
    }
}

void MetricsPoller::poll()
{
    // One request at a time: a slow endpoint is not piled up on.
    if (pending)
        return;
    reply.clear();
    pending = new QTcpSocket(this);
    QTcpSocket *socket = pending;
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
        if (target.isEmpty())
            target = "/";
        if (url.hasQuery())
            target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
        // HTTP/1.0: the answer is never chunked, and the server closes when done.
        socket->write("GET " + target + " HTTP/1.0\r\nHost: " + url.authority(QUrl::FullyEncoded).toLatin1()
                      + "\r\nAccept: text/plain\r\n\r\n");
    });
    connect(socket, &QTcpSocket::readyRead, this, &MetricsPoller::received);
    connect(socket, &QTcpSocket::disconnected, this, [this] { done(QString()); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError e) {
        // The server closing after the answer is the end of it, not a failure.
        done(e == QAbstractSocket::RemoteHostClosedError && !reply.isEmpty() ? QString() : socket->errorString());
    });
    deadline.start(kPeriodMs + 1000);
    socket->connectToHost(url.host(), quint16(url.port(80)));
}

void MetricsPoller::received()
{
    if (!pending)
        return;
    reply += pending->readAll();
    if (reply.size() > kMostBytes)
        done(QStringLiteral("more than %1 bytes").arg(kMostBytes));
}

void MetricsPoller::done(const QString &failure)
{
    if (!pending)
        return;
    QTcpSocket *socket = pending;
    pending = nullptr;
    deadline.stop();
    reply += socket->readAll();
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();

    QString problem = failure;
    QByteArray body;
    if (problem.isEmpty()) {
        const int end = reply.indexOf("\r\n\r\n");
        const QList<QByteArray> status = reply.left(reply.indexOf("\r\n")).split(' ');
        if (end < 0 || status.size() < 2 || !status[0].startsWith("HTTP/"))
            problem = QStringLiteral("not an HTTP answer");
        else if (status[1] != "200")
            problem = QStringLiteral("HTTP %1").arg(QString::fromLatin1(status[1]));
        else
            body = reply.mid(end + 4);
    }
    reply.clear();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (problem.isEmpty()) {
        if (!lastProblem.isEmpty())
            std::fprintf(stderr, "solver_monitor: metrics at %s readable again\n", qPrintable(url.toString()));
        lastProblem.clear();
        health.add(now, parseAnchorMetrics(body));
        publish(AnchorHealth::json(health.rows(now), QStringLiteral("ok")));
        return;
    }
    if (problem != lastProblem)
        std::fprintf(stderr, "solver_monitor: metrics at %s cannot be read (%s), trying again every %d s\n",
                     qPrintable(url.toString()), qPrintable(problem), kPeriodMs / 1000);
    lastProblem = problem;
    publish(AnchorHealth::json(health.rows(now),
                               QStringLiteral("%1 cannot be read (%2), retrying").arg(url.toString(), problem)));
}
