#ifndef ANCHOR_UDP_SOCKET_THREAD_H
#define ANCHOR_UDP_SOCKET_THREAD_H

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
    enum class DatagramKind { MeasurementData, AnchorHeartbeat, Malformed };

    static constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
    static constexpr int kStartupPauseMs = 2000;

    AnchorUdpSocketThread();
    Q_DISABLE_COPY(AnchorUdpSocketThread)

    // Also cuts the start-up pause short.
    void anchorUdpSocketThreadStop();

    static DatagramKind anchorDatagramKind(const QByteArray &datagram);
    // Classifies, logs and queues one whole datagram; all its records are
    // appended under one hold of the FIFO lock.
    static void anchorUdpSocketHandleDatagram(const QByteArray &datagram);

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
};

#endif // ANCHOR_UDP_SOCKET_THREAD_H
