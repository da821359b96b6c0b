#ifndef ALGORITHM_THREAD_H
#define ALGORITHM_THREAD_H

#include "common/global_data.h"

#include <QByteArray>
#include <QThread>

#include <atomic>

// Placeholder of the algorithm thread; the pipeline fills it in.
class AlgorithmThread : public QThread
{
    Q_OBJECT
public:
    AlgorithmThread();
    void algoThreadStop() { stopRequested = true; }

signals:
    void algoThreadSendTagMsgToRemoteSignal(TAG_IMEI_t tag, double x, double y, double z, QByteArray health);

protected:
    void run() override;

private:
    std::atomic<bool> stopRequested{false};
};

#endif // ALGORITHM_THREAD_H
