#ifndef ANCHOR_UDP_SOCKET_THREAD_H
#define ANCHOR_UDP_SOCKET_THREAD_H

#include "ingest/anchor_datagram_batch.h"

#include <QByteArray>
#include <QHostAddress>
#include <QThread>

#include <atomic>

// Receives the anchors' datagrams, sorts each into measurement data, anchor
// heartbeat or malformed, logs it, and queues its records in the receive FIFO.
// The socket is read by this thread, which blocks in the kernel until a
// datagram arrives: the main thread keeps only timers, signals and the API.
class AnchorUdpSocketThread : public QThread
{
    Q_OBJECT
public:
    // Asked for; the kernel grants at most net.core.rmem_max (the package
    // raises it). 16 MiB hold some 20,000 small datagrams, a tenth of a second
    // at the machine's limit, for the moments this thread gets no CPU.
    static constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;
    // After a read that found datagrams the thread sleeps this long before it
    // reads again: the anchors of a transmission send independently, and
    // what arrives within the window is read and handed to the solver with
    // one wake-up of each thread instead of one per datagram. A record waits
    // at most this long (plus the kernel's timer slack, 50 us) before it is
    // queued; the first after a quiet spell not at all.
    static constexpr int kGatherWindowUs = 200;
    // Datagrams per receive call, and what one hand-off to the FIFO takes at
    // most: a flood reaches the solver in pieces, and the stop flag is looked
    // at between them.
    static constexpr int kBatchDatagrams = 64;
    static constexpr int kBatchesPerHandOff = 16;
    static constexpr int kBytesPerHandOff = 1024 * 1024;

    AnchorUdpSocketThread();
    ~AnchorUdpSocketThread() override;
    Q_DISABLE_COPY(AnchorUdpSocketThread)

    // Ends the thread within one hand-off; callable from any thread.
    void anchorUdpSocketThreadStop();

    quint16 localPort() const { return boundPort; }
    // Tests bind to loopback only; the program listens on all addresses.
    static void setBindAddressForTesting(const QHostAddress &address);

protected:
    void run() override;

private:
    // What one read found: nothing, some datagrams, or a full hand-off with
    // more possibly waiting.
    enum class Read { Nothing, Some, Behind };
    Read readAvailable();

    std::atomic<bool> stopRequested{false};
    int socketFd = -1; // the bound anchor socket; -1 when the bind failed
    int stopFd = -1;   // eventfd that wakes the thread for a stop
    quint16 boundPort = 0;
    AnchorDatagramBatch batch;
    QByteArray receiveArea; // kBatchDatagrams slots of the largest datagram
};

#endif // ANCHOR_UDP_SOCKET_THREAD_H
