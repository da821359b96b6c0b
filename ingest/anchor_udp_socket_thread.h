#ifndef ANCHOR_UDP_SOCKET_THREAD_H
#define ANCHOR_UDP_SOCKET_THREAD_H

#include "ingest/anchor_datagram_batch.h"

#include <QByteArray>
#include <QHostAddress>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class QUdpSocket;

// Receives the anchors' datagrams, sorts each into measurement data, anchor
// heartbeat or malformed, logs it, and queues its records in the receive FIFO.
// The socket belongs to the object, so its datagrams are read by the slot in
// the thread that created the object (the main thread); the thread itself only
// empties the FIFO at start.
class AnchorUdpSocketThread : public QThread
{
    Q_OBJECT
public:
    // Asked for; the kernel grants at most net.core.rmem_max (the package
    // raises it). 16 MiB hold some 20,000 small datagrams, a tenth of a second
    // at the machine's limit, for the moments the main thread is elsewhere.
    static constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;
    static constexpr int kStartupPauseMs = 2000;
    // Datagrams per receive call, and the work one read notification may do
    // before the event loop gets its turn (timers, queued heartbeats, SIGTERM).
    static constexpr int kBatchDatagrams = 64;
    static constexpr int kBatchesPerNotification = 8;
    static constexpr int kBytesPerNotification = 1024 * 1024;

    AnchorUdpSocketThread();
    Q_DISABLE_COPY(AnchorUdpSocketThread)

    // Also cuts the start-up pause short.
    void anchorUdpSocketThreadStop();

    quint16 localPort() const;
    // Tests bind to loopback only; the program listens on all addresses.
    static void setBindAddressForTesting(const QHostAddress &address);

public slots:
    void anchorUdpSocketSlot();

protected:
    void run() override;

private:
    std::atomic<bool> stopRequested{true};
    std::mutex wakeMutex;
    std::condition_variable wake;
    bool wakeRequested = false; // guarded by wakeMutex
    QUdpSocket *socket;
    AnchorDatagramBatch batch;
    QByteArray receiveArea; // kBatchDatagrams slots of the largest datagram
};

#endif // ANCHOR_UDP_SOCKET_THREAD_H
