#ifndef ALGORITHM_THREAD_H
#define ALGORITHM_THREAD_H

#include "common/global_data.h"
#include "engine/algorithm.h"

#include <QByteArray>
#include <QThread>

#include <atomic>

class QTimer;

// Consumes the receive FIFO one record at a time and runs the positioning
// pipeline on it: online sets, tag store, solver, smoothing, position signal.
// Its one-second timer forgets the smoothing state of tags gone quiet.
class AlgorithmThread : public QThread
{
    Q_OBJECT
public:
    AlgorithmThread();
    ~AlgorithmThread() override;
    Q_DISABLE_COPY(AlgorithmThread)

    // The loop finishes the record in hand and ends.
    void algoThreadStop();

    // The pipeline for one measurement record. Called with g_timer_thread_mutex held.
    void pollFifoData(const QByteArray &record);

    QTimer *timer1s;
    int activeTime = 0; // seconds
    algorithm algo;

signals:
    void algoThreadSendTagMsgToRemoteSignal(TAG_IMEI_t tag, double x, double y, double z, QByteArray health);

public slots:
    void timer1sUpDate();

protected:
    void run() override;

private:
    bool takeRecord(QByteArray &record);

    std::atomic<bool> stopRequested{false};
};

#endif // ALGORITHM_THREAD_H
