#ifndef TRUTH_SCORER_H
#define TRUTH_SCORER_H

#include <QHash>
#include <QMap>
#include <QPointF>
#include <QString>
#include <QVector>

// Scoring of received position reports against the simulator's truth file.
//
// Pairing. The engine solves transmission s of a tag when the first record of
// transmission s + delay (delay_window_1908) of the same tag arrives, and sends
// the report at once. So a report that arrives at time a belongs to the tag's
// latest transmission sent before a (the trigger, row k of the tag's truth),
// and describes the transmission `delay` rows earlier (row k - delay). The
// latency is a minus the trigger's send time. With smoothing on (window L) the
// engine reports the mean of the L - 1 solutions before transmission s, so the
// reference is the mean of the true positions of rows k - delay - L + 1 to
// k - delay - 1. This holds while the engine keeps up: a report held back by a
// queue longer than one transmission interval of its tag is paired with a
// later transmission than the one it describes, and its latency is
// understated; the load benchmark counts lost reports separately.
struct TruthRow {
    qint64 sentUs = 0; // wall clock, microseconds, when its first record was sent
    int sequence = 0;
    double x = 0, y = 0, z = 0;
    QByteArray blocked; // ids of the anchors an obstacle blocked, separated by spaces (simulated obstacles)
};
using Truth = QHash<QString, QVector<TruthRow>>; // by tag text, in file order

bool parseTruth(const QByteArray &csv, Truth *out, QString *error);
bool loadTruth(const QString &path, Truth *out, QString *error);

struct ReceivedReport {
    qint64 arrivalUs = 0;
    QString tag;
    double x = 0, y = 0;
};

struct ScoreOptions {
    int delayWindow = 1;
    int smoothLength = 0; // 0 or 1: smoothing off
};

// The true position a report arriving at `arrivalUs` describes, and its
// latency; false when the truth has no such transmission.
bool referenceFor(const QVector<TruthRow> &rows, qint64 arrivalUs, const ScoreOptions &options, QPointF *reference,
                  qint64 *latencyUs);

struct TagScore {
    int transmissions = 0; // in the truth file
    int reports = 0;
    int paired = 0;
    double sumSquares = 0; // of the horizontal errors, m^2
    double rmse() const;
};

struct Score {
    QMap<QString, TagScore> tags;
    int paired = 0;
    int unpaired = 0; // reports of tags or times the truth does not cover
    double sumSquares = 0;
    QVector<qint64> latenciesUs; // sorted
    double rmse() const;
    // Nearest-rank percentile, p in 0..100; -1 without latencies.
    qint64 latencyPercentile(double p) const;
};

Score scoreReports(const Truth &truth, const QVector<ReceivedReport> &reports, const ScoreOptions &options);

#endif // TRUTH_SCORER_H
