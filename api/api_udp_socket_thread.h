#ifndef API_UDP_SOCKET_THREAD_H
#define API_UDP_SOCKET_THREAD_H

#include "api/api_json.h"
#include "api/api_request_senders.h"
#include "common/global_data.h"
#include "common/logwriter.h"
#include "common/metrics.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <mutex>

class MqttPublisher;
class QUdpSocket;

// The location API: answers configuration requests that arrive on the request
// port (always at the configuration endpoint, never to the sender) and sends
// position reports and API heartbeats, all through one UDP socket.
//
// The socket is shared by the API thread (receiving, replies) and by whichever
// thread calls the slots (the algorithm thread sends reports through a direct
// connection). Qt sockets are not thread-safe, so every use of it holds
// socketMutex, and it is moved to this thread, which never runs an event loop:
// no event dispatcher ever touches it. run() waits for data with poll() on the
// descriptor, without the lock, so reports are never held up by an idle loop.
class ApiUdpSocketThread : public QThread
{
    Q_OBJECT
public:
    // Request types; the number is the index in requestNames and the result
    // of the analysis (0: invalid).
    enum RequestType { Nothing = 0, SetAnchorsXYZ, GetAnchorsLists, SetPANID, GetPANID };

    ApiUdpSocketThread();
    ~ApiUdpSocketThread() override;
    Q_DISABLE_COPY(ApiUdpSocketThread)

    // The receive loop ends within one poll period (100 ms).
    void apiUdpSocketThreadStop() { stopRequested = true; }

    // Analyses one request, carries out a set request (writing config.ini) and
    // returns its RequestType.
    int apiUdpDataAnalysis(const QByteArray &data);

    // The RequestType a datagram names, read as the analysis reads it (a
    // number beyond the range of a double counts 0), before anything is
    // carried out; Nothing when it is not a request. *document receives the
    // datagram's JSON object, if any.
    int apiRequestType(const QByteArray &datagram, QJsonObject *document = nullptr) const;

    // The handling of one received datagram: the bytes to send to the
    // configuration endpoint, or an empty array when nothing is answered.
    // Every reply parses as a JSON object.
    QByteArray apiRequestReply(const QByteArray &datagram);

    // A document of the kind this program sends (a reply, an API heartbeat,
    // a position report) rather than a request: never answered, so that two
    // programs, or one whose configuration endpoint is its own request port,
    // cannot keep answering each other.
    static bool apiIsReplyDocument(const QJsonObject &document);

    // The destination in the form the socket's family takes, for sendmmsg:
    // an IPv4 address becomes an IPv4-mapped IPv6 one on a dual-stack socket,
    // and an IPv6 address keeps its scope (fe80::1%eth0). Length 0 when the
    // address cannot be reached through this socket.
    static socklen_t apiSocketAddress(int fd, const QHostAddress &address, quint16 port, sockaddr_storage &to);

    // Set requests (each a config.ini write) allowed a second, on average; a
    // burst of as many is allowed at once. More are answered
    // {"INVALID_PARAMETER":1010}, counted and not written, so that a request
    // storm cannot keep the disk busy with syncs. No location server comes
    // near it: it sets anchors when a site is surveyed.
    static constexpr int kConfigWriteRate = 50;
    void setConfigWriteRate(int perSecond);

    // Who may send requests, as read from config.ini at construction.
    const ApiRequestSenders &requestSenders() const { return senders; }

    // The port the request socket is bound to; 0 when the bind failed.
    quint16 requestPort() const { return boundRequestPort; }

    // Every position report is also handed to publisher (null: none). Set
    // before the threads start.
    void setReportPublisher(MqttPublisher *publisher) { reportPublisher = publisher; }

    // On: reports are held until apiFlushReportsSlot (or until kHeldReports
    // are held) and then sent with one system call. The receiver is then woken
    // once per batch instead of once per report, and each wake-up no longer
    // interrupts the algorithm thread. Off (the default): each report is sent
    // at once. Set before the threads start.
    void setReportBatching(bool on) { batchReports = on; }
    static constexpr int kHeldReports = 64;

signals:
    // config.ini holds new anchor coordinates (emitted in the API thread).
    void apiAnchorsChangedSignal();

public slots:
    void apiSendHeartBeatSlot();
    void apiSendTagMsgToRemoteSlot(TAG_IMEI_t tag_imei, double x, double y, double z, QByteArray health_array);
    // The same report with qualityInfo.horizAccuracy set to the position's
    // estimated error (metres, rounded to the centimetre) instead of the
    // configured constant (report_accuracy).
    void apiSendTagFixToRemoteSlot(TAG_IMEI_t tag_imei, double x, double y, double z, double horizAccuracy,
                                   QByteArray health_array);
    // Sends the held reports, in the order they were made.
    void apiFlushReportsSlot();
    QJsonObject apiGetAnchorsLists();
    QJsonObject apiGetPANID();

protected:
    void run() override;

private:
    // horizAccuracy NaN: the configured one.
    void sendPositionReport(const TAG_IMEI_t &tag_imei, double x, double y, double horizAccuracy,
                            const QByteArray &health_array);
    void readPendingDatagrams();
    int apiCarryOut(int type, const QJsonObject &request);
    bool fromOwnSocket(const QHostAddress &sender, quint16 senderPort) const;
    bool senderAllowed(const QHostAddress &sender);
    bool writeAllowed();
    void notAnswered(metrics::Counter reason, const QByteArray &what);
    void send(const QByteArray &bytes, const QHostAddress &address, quint16 port);
    bool sendLocked(const QByteArray &bytes, const QHostAddress &address, quint16 port);
    void sendHeldReports();
    void reportsNotSent(int count, const QString &why);

    std::atomic<bool> stopRequested{false};
    std::unique_ptr<QUdpSocket> udpSocket;
    ApiJson apiJson;
    QHostAddress locationAddress;
    QHostAddress configurationAddress;
    quint16 locationPort = 0;
    // locationAddress and locationPort as the socket's family takes them,
    // for sendmmsg; length 0 when the socket cannot send there.
    sockaddr_storage locationTo = {};
    socklen_t locationToLength = 0;
    quint16 configurationPort = 0;
    QStringList requestNames;

    quint16 boundRequestPort = 0;
    MqttPublisher *reportPublisher = nullptr;
    std::mutex socketMutex; // every use of udpSocket after construction
    std::mutex reportMutex; // apiJson, updated and read per report; heldReports
    bool batchReports = false;
    QVector<QByteArray> heldReports;
    // Lines about datagrams not answered (API thread) and about reports not
    // sent (under socketMutex): the first at once, then a count a minute.
    LogRateLimit notAnsweredLines{1, 60000};
    LogRateLimit reportFailureLines{1, 60000};

    ApiRequestSenders senders;
    quint64 sendersIgnored = 0;    // API thread
    qint64 sendersLineMs = 0;      // when a line about them was last written
    // The write rate's token bucket (API thread).
    int writeRate = kConfigWriteRate;
    double writeTokens = kConfigWriteRate;
    qint64 writeTokensNs = 0;
    LogRateLimit writeRateLines{1, 60000};
    LogRateLimit replyFailureLines{1, 60000};
};

#endif // API_UDP_SOCKET_THREAD_H
