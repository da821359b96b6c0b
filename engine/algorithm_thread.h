#ifndef ALGORITHM_THREAD_H
#define ALGORITHM_THREAD_H

#include "common/global_data.h"
#include "common/logwriter.h"
#include "engine/algorithm.h"

#include <QByteArray>
#include <QSet>
#include <QThread>
#include <QVector>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class QTimer;

// Consumes the receive FIFO, a batch of records at a time, and runs the positioning
// pipeline on it: online sets, tag store, solver (with NLOS rejection),
// smoothing or tracking filter, position signal.
// Its one-second timer forgets the smoothing state of tags gone quiet.
class AlgorithmThread : public QThread
{
    Q_OBJECT
public:
    AlgorithmThread();
    ~AlgorithmThread() override;
    Q_DISABLE_COPY(AlgorithmThread)

    // The loop finishes the records in hand and ends.
    void algoThreadStop();

    // One pass of the loop: takes the oldest records from the FIFO (waiting
    // up to 100 ms for some when it is empty), runs each through
    // pollFifoData, and the expiry of silent tags when a second has passed on
    // the store's clock. True when records were taken. run() repeats it;
    // solver_replay calls it in its own thread after each datagram, so that
    // a capture goes through the very same path.
    bool algoThreadPass();

    // The pipeline for one measurement record. Called with g_timer_thread_mutex held.
    void pollFifoData(const QByteArray &record);

    // Removes the tags not heard for tag_expiry_time from the store and the
    // solver, and writes the per-minute line of anchors left out. Algorithm
    // thread, with g_timer_thread_mutex held; run() calls it once a second.
    void algoThreadExpireTags();

    QTimer *timer1s;
    int activeTime = 0; // seconds
    algorithm algo;

    // Records of anchors without coordinates, dropped before the store (the
    // store counts its own drops).
    quint64 droppedUnconfiguredAnchor = 0;

signals:
    // One of the two per solved transmission: the first, as always, or with
    // report_accuracy the second, which also carries the position's
    // estimated horizontal error in metres.
    void algoThreadSendTagMsgToRemoteSignal(TAG_IMEI_t tag, double x, double y, double z, QByteArray health);
    void algoThreadSendTagFixToRemoteSignal(TAG_IMEI_t tag, double x, double y, double z, double horizAccuracy,
                                            QByteArray health);
    // The records taken from the FIFO together are done: positions signalled
    // since the last one may go out together.
    void algoThreadRecordsDoneSignal();

public slots:
    void timer1sUpDate();
    // config.ini holds new anchor coordinates: reads them in the caller's
    // thread; the algorithm thread takes them up before its next record.
    void algoThreadAnchorsChangedSlot();

protected:
    void run() override;

private:
    void takeRecords(QVector<QByteArray> &records);
    void algoThreadCountReports();
    void adoptPendingGeometry();
    bool anchorUsable(const QByteArray &record);
    void noteOnline(QSet<QByteArray> &set, QSet<quint64> &mirror, const QByteArray &id, int limit);

    std::atomic<bool> stopRequested{false};
    int maxAgeMs = 0; // network_setting/anchor_max_age_ms; 0: no limit
    LogRateLimit oldLines{0}; // only the once-a-second count of old records

    // Arrival times (steady ns) of the records taken (room for a take), of
    // the record in hand (0: unknown) and of the records whose reports await
    // the done signal.
    std::vector<qint64> arrivalsNs;
    QVector<QByteArray> takenRecords;
    // The keys of g_anchor_online_lists and g_tag_online_lists (noteOnline).
    QSet<quint64> anchorsOnline;
    QSet<quint64> tagsOnline;
    qint64 recordArrivalNs = 0;
    QVector<qint64> reportArrivalsNs;

    // A geometry read by algoThreadAnchorsChangedSlot, waiting for the gap
    // between two records.
    std::mutex geometryMutex;
    std::unique_ptr<AnchorGeometry> pendingGeometry;
    std::atomic<bool> geometryPending{false};

    // Rate limits of the drop lines, on the store's clock; 0: never logged.
    qint64 unconfiguredLoggedMs = 0;
    QList<QByteArray> unconfiguredSinceLine; // named in the next line, at most a few
    qint64 lastExpiryMs = 0;
};

#endif // ALGORITHM_THREAD_H
