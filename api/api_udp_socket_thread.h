#ifndef API_UDP_SOCKET_THREAD_H
#define API_UDP_SOCKET_THREAD_H

#include "common/global_data.h"

#include <QByteArray>
#include <QThread>

#include <atomic>

// Placeholder of the location API service; the location API fills it in.
class ApiUdpSocketThread : public QThread
{
    Q_OBJECT
public:
    ApiUdpSocketThread();
    void apiUdpSocketThreadStop() { stopRequested = true; }

public slots:
    void apiSendHeartBeatSlot() {}
    void apiSendTagMsgToRemoteSlot(TAG_IMEI_t tag_imei, double x, double y, double z, QByteArray health_array);

protected:
    void run() override;

private:
    std::atomic<bool> stopRequested{false};
};

#endif // API_UDP_SOCKET_THREAD_H
