#ifndef LIVE_MAP_HUB_H
#define LIVE_MAP_HUB_H

#include "tools/common/site_config.h"

#include <QHash>
#include <QString>
#include <QVector>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

// What the live map's event streams send, shared between the monitor's main
// thread (which feeds reports in and publishes a batch every few hundred
// milliseconds) and the HTTP threads (one per open stream, which wait for the
// next batch). A batch holds only the tags that reported since the previous
// one, each with its latest position, so its size is bounded by the number of
// tags however fast they report, and the tags the monitor forgot since then. Streams never queue: each remembers the last
// batch it sent, and one that fell further behind than the kept batches gets
// a fresh snapshot instead.
class LiveMapHub
{
public:
    // With `accuracy` (report_accuracy on) every row carries the tag's
    // reported horizAccuracy after its rate, and the page draws it.
    explicit LiveMapHub(const QVector<SiteAnchor> &anchors, bool accuracy = false);
    LiveMapHub(const LiveMapHub &) = delete;
    LiveMapHub &operator=(const LiveMapHub &) = delete;

    // Main thread.
    void report(const QString &tag, double x, double y, qint64 arrivalUs, double horizAccuracy = -1);
    // The anchors' health (JSON of an "anchors" event): sent with the next
    // batch, and to every stream that starts later.
    void anchors(const std::string &json);
    void publish(qint64 nowUs);
    // Drops the tags (the caller decides which fell silent for long enough);
    // the next batch tells the pages, in a "forget" event.
    void forget(const QVector<QString> &tags);
    // Wakes every stream; they end.
    void close();

    // Stream threads. A fresh cursor first gets the site and a snapshot.
    struct Cursor {
        quint64 sent = 0; // sequence number of the last batch sent
        bool started = false;
    };
    // Appends to `out` the events the stream is due, waiting up to timeoutMs
    // for one; false once the hub is closed.
    bool nextEvents(Cursor *cursor, int timeoutMs, std::string *out);

    // Bounds, exposed for the page's legend and the tests' expectations.
    static constexpr int kTrailPoints = 20;   // about 3 s of trail at the publishing period
    static constexpr int kKeptBatches = 50;   // 7.5 s at 150 ms
    static constexpr int kRateWindowMs = 1000; // per-tag update rate measured over this

private:
    struct Track {
        double x = 0, y = 0;
        qint64 arrivalUs = 0;
        qint64 reports = 0;
        qint64 reportsAtRate = 0;
        qint64 arrivalAtRateUs = 0; // of the last report before the rate window
        double rate = 0;
        double accuracy = -1;
        bool changed = false;
        QVector<double> trail; // x0, y0, x1, y1, ... oldest first
    };
    struct Batch {
        quint64 sequence;
        std::shared_ptr<const std::string> text;
    };

    std::string snapshotLocked(qint64 nowUs) const;

    const std::string siteEvent;
    const bool accuracy;
    std::string anchorsEvent; // the latest, empty before the first
    bool anchorsPending = false;
    mutable std::mutex mutex;
    std::condition_variable published;
    QHash<QString, Track> tracks;
    QVector<QString> changed;
    QVector<QString> forgotten; // since the last batch
    std::deque<Batch> batches;
    quint64 sequence = 0;
    qint64 lastRateUs = 0;
    bool closed = false;
};

#endif // LIVE_MAP_HUB_H
