#ifndef MQTT_PUBLISHER_H
#define MQTT_PUBLISHER_H

#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

struct mosquitto;

// Publishes position reports and the supervision text to an MQTT broker, when
// the [mqtt] group of config.ini turns it on. Callers only append to a bounded
// queue and never wait for the network: this thread hands the queue to
// libmosquitto, whose own network thread writes to the broker and reconnects.
// When the broker is slow or away the oldest queued reports are dropped and
// counted.
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
    bool mqttConnectFirst();
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

    std::atomic<bool> stopRequested{false};
    std::mutex queueMutex; // everything below
    std::condition_variable queueReady;
    std::deque<Item> queue;
    int inFlight = 0;
    bool publisherWaiting = false; // blocked on queueReady, to be woken
    bool connected = false;
    bool stopping = false;
    Link link = Link::Starting;
    Counters counters;
    quint64 droppedUnlogged = 0;
    qint64 lastDropLineMs = -1;
};

#endif // MQTT_PUBLISHER_H
