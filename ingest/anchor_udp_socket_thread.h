#ifndef ANCHOR_UDP_SOCKET_THREAD_H
#define ANCHOR_UDP_SOCKET_THREAD_H

#include <QThread>

#include <atomic>

// Placeholder of the anchor receiver; anchor ingest fills it in.
class AnchorUdpSocketThread : public QThread
{
    Q_OBJECT
public:
    AnchorUdpSocketThread();
    void anchorUdpSocketThreadStop() { stopRequested = true; }

protected:
    void run() override;

private:
    std::atomic<bool> stopRequested{true};
};

#endif // ANCHOR_UDP_SOCKET_THREAD_H
