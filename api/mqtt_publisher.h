#ifndef MQTT_PUBLISHER_H
#define MQTT_PUBLISHER_H

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

struct mosquitto;

// Publishes position reports and the supervision text to an MQTT broker, when
// the [mqtt] group of config.ini turns it on. Callers only append to a bounded
// queue and never wait for the network. This thread alone drives the client:
// it connects, publishes, reads and reconnects with libmosquitto's
// non-blocking calls around one poll(), so no broker can hold it up (the
// library's own network thread reconnects with a blocking connect(), which an
// unanswering broker holds for minutes). When the broker is slow or away the
// oldest queued reports are dropped and counted.
class MqttPublisher : public QThread
{
    Q_OBJECT
public:
    // Reports waiting in the hand-off queue at most. Live positions go stale
    // fast: 2048 reports are 2 s of a 100-tag site at 10 Hz, about 1 MB.
    static constexpr int kQueueCapacity = 2048;
    // Reports handed to libmosquitto and not yet written (QoS 0) or
    // acknowledged (QoS 1) at most, which bounds the library's own queue.
    static constexpr int kWindow = 1024;
    // After a stop request, what is queued and the retained "offline" get
    // this long to reach the broker; then the connection is dropped. A healthy
    // broker takes well under a millisecond; one that reads nothing would
    // otherwise hold the stop until the keep-alive gives up.
    static constexpr int kStopGraceMs = 500;

    struct Counters {
        quint64 published = 0; // written to the broker (QoS 0) or acknowledged (QoS 1)
        quint64 dropped = 0;   // pushed out of the full queue or refused by the library
    };

    // Reads [mqtt]; bad settings are logged in one line and leave it disabled.
    MqttPublisher();
    ~MqttPublisher() override;
    Q_DISABLE_COPY(MqttPublisher)

    // True when [mqtt] turned publishing on and its settings hold.
    bool mqttEnabled() const { return enabled; }
    // From any thread. run() then ends within kStopGraceMs plus 0.1 s, unless
    // it is in a connection attempt's name lookup (a host name, not an
    // address), which the resolver's own timeout bounds.
    void mqttPublisherStop();

    // Any thread; returns at once. tagId is the report's 12-character "tagID".
    void mqttPublishReport(const QString &tagId, const QByteArray &report);
    Counters mqttCounters();

public slots:
    void mqttPublishStatusSlot(QString text);

protected:
    void run() override;

private:
    // The topic is built by the publishing thread: <prefix>/<tagId>/position,
    // or <prefix>/status for an empty tagId.
    struct Item {
        QString tagId;
        QByteArray payload;
        bool retain;
    };
    enum class Link { Starting, Up, Down, Refused };

    bool mqttConfigure();
    void mqttConnectWhenDue();
    void mqttPump(int timeoutMs);
    void mqttFinish(std::vector<Item> &batch);
    void takeBatch(std::vector<Item> &batch, int limit);
    void mqttLost(const char *detail);
    void mqttWake();
    void mqttPush(Item item);
    void mqttPublishItem(const Item &item);
    void mqttLogDrops();
    void mqttSetLink(Link to, const char *detail);
    QByteArray mqttTopic(const QByteArray &leaf) const;

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);

    bool enabled = false;
    mosquitto *client = nullptr; // null once run() has ended
    QByteArray host;
    int port = 0;
    QByteArray prefix;
    QByteArray statusTopic;
    int qos = 0;

    // Only the publishing thread: the next connection attempt and its back-off.
    qint64 nextAttemptMs = 0;
    int retrySeconds = 0;
    bool onlineDue = false; // connected: "online" to be published

    std::atomic<bool> stopRequested{false};
    int wakeFd = -1; // eventfd: wakes the publishing thread's poll()
    std::mutex queueMutex; // everything below
    std::deque<Item> queue;
    int inFlight = 0;
    bool publisherWaiting = false; // in a long poll(), to be woken through wakeFd
    bool connected = false;
    bool stopping = false;
    Link link = Link::Starting;
    Counters counters;
    quint64 droppedUnlogged = 0;
    qint64 lastDropLineMs = -1;
};

#endif // MQTT_PUBLISHER_H
