#ifndef ANCHOR_HEALTH_H
#define ANCHOR_HEALTH_H

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <string>

class QTcpSocket;

// The per-anchor series of the engine's metrics endpoint, as the live map
// shows them: records per second, the share of its positions an anchor was
// left out of over the last minute, its offset and timing-noise estimates,
// and a state word.
struct AnchorSample {
    double records = 0;  // solver_anchor_records_total
    double leftOut = 0;  // solver_anchor_left_out_total
    double offset = std::numeric_limits<double>::quiet_NaN(); // solver_anchor_offset_meters
    double noise = std::numeric_limits<double>::quiet_NaN();  // solver_anchor_range_noise_meters
};

// Prometheus text format: the samples of the four families by their anchor
// label (upper case); other lines are ignored.
QHash<QString, AnchorSample> parseAnchorMetrics(const QByteArray &text);

class AnchorHealth
{
public:
    static constexpr qint64 kSilentMs = 10000;   // no record this long while others are heard
    static constexpr qint64 kWindowMs = 60000;   // the left-out share is over this
    static constexpr double kBlockedShare = 0.10;
    static constexpr double kOffsetMetres = 0.05;

    // The anchors of the site, which count as heard nothing until a series shows them.
    explicit AnchorHealth(const QStringList &anchors);
    void add(qint64 nowMs, const QHash<QString, AnchorSample> &sample);

    struct Row {
        QString id;
        QString state; // "ok", "silent", "blocked often", "offset"
        double rate = -1;      // records per second; -1 before two samples
        double leftShare = -1; // 0..1; -1 without records in the window
        double offset = std::numeric_limits<double>::quiet_NaN();
        double noise = std::numeric_limits<double>::quiet_NaN();
    };
    QVector<Row> rows(qint64 nowMs) const;
    // The live map's "anchors" event: {"status":..,"anchors":[{id,state,rate,left,offset,noise}]}.
    static std::string json(const QVector<Row> &rows, const QString &status);

private:
    struct Point {
        qint64 ms;
        double records, leftOut;
    };
    struct Track {
        std::deque<Point> points;
        qint64 lastRecordMs = 0; // last sample at which its records grew (or it was first seen)
        double offset = std::numeric_limits<double>::quiet_NaN();
        double noise = std::numeric_limits<double>::quiet_NaN();
    };
    QStringList order;
    QHash<QString, Track> tracks;
};

// Reads the endpoint every few seconds and hands the live map's event to
// `publish`; an endpoint that cannot be read is logged (once per change) and
// shown, and asked again at the next period. A plain HTTP/1.0 GET over a
// socket of its own: Qt's network access manager would start a D-Bus thread
// to watch the machine's network configuration, for nothing here.
class MetricsPoller : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPeriodMs = 2000;
    MetricsPoller(const QUrl &url, const QStringList &anchors, std::function<void(const std::string &)> publish);
    ~MetricsPoller() override;

private:
    void poll();
    void received();
    void done(const QString &problem);

    QUrl url;
    AnchorHealth health;
    std::function<void(const std::string &)> publish;
    QTcpSocket *pending = nullptr; // the request under way
    QByteArray reply;
    QTimer timer;
    QTimer deadline;
    QString lastProblem; // empty: the last read succeeded
};

#endif // ANCHOR_HEALTH_H
