#include "api/mqtt_publisher.h"

#include "common/config_file.h"
#include "common/logwriter.h"
#include "common/metrics.h"

#include <QDir>
#include <QFileInfo>

#include <mosquitto.h>

#include <chrono>
#include <thread>
#include <vector>

#include <netdb.h>
#include <sys/socket.h>

namespace {

const char kGroup[] = "mqtt";
const QByteArray kOnline = QByteArrayLiteral("online");
const QByteArray kOffline = QByteArrayLiteral("offline");

// The broker publishes the will when it has heard nothing for 1.5 keep-alive
// periods; a process that dies closes its socket and the will goes at once.
constexpr int kKeepAliveSeconds = 30;
// Reconnection back-off, doubling from the first to the last value: a broker
// that comes back is found again within 8 s.
constexpr int kReconnectFirstSeconds = 1;
constexpr int kReconnectLastSeconds = 8;
// The publishing thread looks at the drop count at least this often.
constexpr int kIdleWakeMs = 1000;
// After publishing, the thread lets this long pass before it takes the next
// batch, so that under load it is not woken for every report (a wake-up is a
// system call in the caller's thread); reports wait at most this much longer.
constexpr int kBatchGatherUs = 1000;
// At most one drop line per minute.
constexpr qint64 kDropLinePeriodMs = 60000;

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool hostResolves(const QByteArray &host)
{
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.constData(), nullptr, &hints, &found);
    if (found)
        freeaddrinfo(found);
    return rc == 0;
}

} // namespace

MqttPublisher::MqttPublisher()
{
    enabled = mqttConfigure();
    if (!enabled && client) {
        mosquitto_destroy(client);
        client = nullptr;
    }
}

MqttPublisher::~MqttPublisher()
{
    mqttPublisherStop();
    wait();
    if (client) // run() never ran
        mosquitto_destroy(client);
}

QByteArray MqttPublisher::mqttTopic(const QByteArray &leaf) const
{
    return prefix.isEmpty() ? leaf : prefix + '/' + leaf;
}

// Off unless mqtt_enable is exactly "true", and then silent. Every setting is
// checked before anything is created, so a bad one costs one line.
bool MqttPublisher::mqttConfigure()
{
    const ConfigFile config;
    const QString group = QLatin1String(kGroup);
    if (!config.isWord(group, QStringLiteral("mqtt_enable"), QStringLiteral("true")))
        return false;
    const auto value = [&](const char *key) { return config.text(group, QLatin1String(key)); };
    host = value("mqtt_host").trimmed().toUtf8();
    port = config.port(group, QStringLiteral("mqtt_port"));
    prefix = value("mqtt_topic_prefix").toUtf8();
    const QString qosText = value("mqtt_qos");
    qos = qosText == QLatin1String("1") ? 1 : 0;
    const QByteArray clientId = value("mqtt_client_id").toUtf8();
    const QByteArray username = value("mqtt_username").toUtf8();
    const QByteArray password = value("mqtt_password").toUtf8();
    QString cafile = value("mqtt_cafile");
    if (!cafile.isEmpty())
        cafile = QDir(ConfigFile::executableDir()).absoluteFilePath(cafile);

    LogWriter *log = LogWriter::getLogCenter();
    QString problem;
    if (host.isEmpty())
        problem = QStringLiteral("mqtt_host is empty");
    else if (port == 0)
        problem = QStringLiteral("mqtt_port \"%1\" is not a port number 1..65535").arg(value("mqtt_port"));
    else if (!qosText.isEmpty() && qosText != QLatin1String("0") && qosText != QLatin1String("1"))
        problem = QStringLiteral("mqtt_qos \"%1\" is not 0 or 1").arg(qosText);
    else if (!cafile.isEmpty() && !(QFileInfo(cafile).isFile() && QFileInfo(cafile).isReadable()))
        problem = QStringLiteral("mqtt_cafile \"%1\" is not a readable file").arg(cafile);
    else if (mosquitto_pub_topic_check(mqttTopic("status").constData()) != MOSQ_ERR_SUCCESS)
        problem = QStringLiteral("mqtt_topic_prefix \"%1\" cannot begin a topic").arg(QString::fromUtf8(prefix));
    else if (!hostResolves(host))
        problem = QStringLiteral("mqtt_host \"%1\" is not a known host").arg(QString::fromUtf8(host));
    if (!problem.isEmpty()) {
        log->infoOutput("mqtt: %s, running without MQTT", problem.toUtf8().constData());
        return false;
    }

    static std::once_flag libraryReady;
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    // A clean session: reports are live data, nothing is kept for us while away.
    client = mosquitto_new(clientId.isEmpty() ? nullptr : clientId.constData(), true, this);
    if (!client) {
        log->infoOutput("mqtt: cannot create the client (client id \"%s\"), running without MQTT", clientId.constData());
        return false;
    }
    mosquitto_connect_callback_set(client, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(client, &MqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(client, &MqttPublisher::onPublish);
    mosquitto_reconnect_delay_set(client, kReconnectFirstSeconds, kReconnectLastSeconds, true);
    int rc = mosquitto_int_option(client, MOSQ_OPT_SEND_MAXIMUM, kWindow);
    if (rc == MOSQ_ERR_SUCCESS && !username.isEmpty())
        rc = mosquitto_username_pw_set(client, username.constData(), password.isEmpty() ? nullptr : password.constData());
    if (rc == MOSQ_ERR_SUCCESS && !cafile.isEmpty())
        rc = mosquitto_tls_set(client, QFile::encodeName(cafile).constData(), nullptr, nullptr, nullptr, nullptr);
    statusTopic = mqttTopic("status");
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_will_set(client, statusTopic.constData(), kOffline.size(), kOffline.constData(), qos, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        log->infoOutput("mqtt: cannot set up the client: %s, running without MQTT", mosquitto_strerror(rc));
        return false;
    }
    log->infoOutput("mqtt: publishing to %s:%d%s, QoS %d, topics %s and %s", host.constData(), port,
                    cafile.isEmpty() ? "" : " over TLS", qos, mqttTopic("<tagID>/position").constData(),
                    statusTopic.constData());
    return true;
}

void MqttPublisher::mqttPublisherStop()
{
    stopRequested = true;
    { std::lock_guard<std::mutex> lock(queueMutex); } // a waiter sees the flag or the wake-up
    queueReady.notify_all();
}

void MqttPublisher::mqttPublishReport(const QString &tagId, const QByteArray &report)
{
    mqttPush({tagId, report, false});
}

void MqttPublisher::mqttPublishStatusSlot(QString text) { mqttPush({QString(), text.toUtf8(), false}); }

MqttPublisher::Counters MqttPublisher::mqttCounters()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    return counters;
}

void MqttPublisher::mqttPush(Item item)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (!client || stopping)
            return;
        // Oldest first: a fresher position of the same tag is on its way.
        if (queue.size() >= size_t(kQueueCapacity)) {
            queue.pop_front();
            ++counters.dropped;
            metrics::add(metrics::Counter::MqttDropped);
            ++droppedUnlogged;
        }
        queue.push_back(std::move(item));
        wake = publisherWaiting && connected && inFlight < kWindow;
        if (wake)
            publisherWaiting = false;
    }
    if (wake)
        queueReady.notify_one();
}

void MqttPublisher::run()
{
    LogWriter::getLogCenter()->debugOutput("MqttPublisher running!");
    if (!client)
        return;
    if (mqttConnectFirst()) {
        const int rc = mosquitto_loop_start(client);
        if (rc != MOSQ_ERR_SUCCESS)
            LogWriter::getLogCenter()->infoOutput("mqtt: cannot start the network thread: %s", mosquitto_strerror(rc));
    }

    std::vector<Item> batch;
    const auto takeBatch = [&](int limit) {
        while (connected && inFlight < limit && !queue.empty()) {
            batch.push_back(std::move(queue.front()));
            queue.pop_front();
            ++inFlight;
        }
    };
    while (!stopRequested) {
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            publisherWaiting = true;
            queueReady.wait_for(lock, std::chrono::milliseconds(kIdleWakeMs), [this] {
                return stopRequested || (connected && inFlight < kWindow && !queue.empty());
            });
            publisherWaiting = false;
            takeBatch(kWindow);
        }
        const bool published = !batch.empty();
        for (const Item &item : batch)
            mqttPublishItem(item);
        batch.clear();
        mqttLogDrops();
        if (published)
            std::this_thread::sleep_for(std::chrono::microseconds(kBatchGatherUs));
    }

    // What is queued still goes, then the retained "offline": a clean
    // disconnection does not make the broker publish the will.
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopping = true;
        takeBatch(kWindow + kQueueCapacity);
        if (connected)
            batch.push_back({QString(), kOffline, true});
    }
    for (const Item &item : batch)
        mqttPublishItem(item);
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    // Here, in the thread that joined the network thread, whose descriptors
    // this closes.
    std::lock_guard<std::mutex> lock(queueMutex);
    mosquitto_destroy(client);
    client = nullptr;
}

// libmosquitto's network thread reconnects by itself, but only once a first
// connection attempt got through; until then this thread retries.
bool MqttPublisher::mqttConnectFirst()
{
    int delaySeconds = kReconnectFirstSeconds;
    while (!stopRequested) {
        const int rc = mosquitto_connect_async(client, host.constData(), port, kKeepAliveSeconds);
        if (rc == MOSQ_ERR_SUCCESS)
            return true;
        std::unique_lock<std::mutex> lock(queueMutex);
        mqttSetLink(Link::Down, mosquitto_strerror(rc));
        queueReady.wait_for(lock, std::chrono::seconds(delaySeconds), [this] { return stopRequested.load(); });
        lock.unlock();
        mqttLogDrops();
        delaySeconds = qMin(delaySeconds * 2, kReconnectLastSeconds);
    }
    return false;
}

void MqttPublisher::mqttPublishItem(const Item &item)
{
    const QByteArray topic =
        item.tagId.isEmpty() ? statusTopic : mqttTopic(item.tagId.toLatin1() + QByteArrayLiteral("/position"));
    const int rc = mosquitto_publish(client, nullptr, topic.constData(), item.payload.size(), item.payload.constData(),
                                     qos, item.retain);
    if (rc == MOSQ_ERR_SUCCESS)
        return;
    std::lock_guard<std::mutex> lock(queueMutex);
    inFlight = qMax(0, inFlight - 1);
    ++counters.dropped;
    metrics::add(metrics::Counter::MqttDropped);
    ++droppedUnlogged;
}

void MqttPublisher::mqttLogDrops()
{
    quint64 count = 0;
    quint64 total = 0;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        const qint64 now = steadyMs();
        if (droppedUnlogged == 0 || (lastDropLineMs >= 0 && now - lastDropLineMs < kDropLinePeriodMs))
            return;
        count = droppedUnlogged;
        total = counters.dropped;
        droppedUnlogged = 0;
        lastDropLineMs = now;
    }
    LogWriter::getLogCenter()->infoOutput("mqtt: %llu messages dropped (broker slow or unreachable), %llu since start",
                                          static_cast<unsigned long long>(count),
                                          static_cast<unsigned long long>(total));
}

// Called with queueMutex held. One line per change of state; repeated failures
// of the same kind stay quiet.
void MqttPublisher::mqttSetLink(Link to, const char *detail)
{
    // A refused connection is also closed: that is no news.
    if (to == link || (to == Link::Down && link == Link::Refused))
        return;
    const Link from = link;
    link = to;
    metrics::set(metrics::Gauge::MqttConnected, to == Link::Up ? 1 : 0);
    LogWriter *log = LogWriter::getLogCenter();
    if (to == Link::Up)
        log->infoOutput("mqtt: connected to %s:%d", host.constData(), port);
    else if (to == Link::Refused)
        log->infoOutput("mqtt: %s:%d refused the connection (%s), retrying", host.constData(), port, detail);
    else if (from == Link::Up)
        log->infoOutput("mqtt: connection to %s:%d lost (%s), reconnecting", host.constData(), port, detail);
    else
        log->infoOutput("mqtt: broker %s:%d not reachable (%s), retrying", host.constData(), port, detail);
}

// The callbacks run in libmosquitto's network thread.
void MqttPublisher::onConnect(mosquitto *, void *self, int rc)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    {
        std::lock_guard<std::mutex> lock(publisher->queueMutex);
        if (rc != 0) {
            publisher->mqttSetLink(Link::Refused, mosquitto_connack_string(rc));
            return;
        }
        publisher->connected = true;
        // What the library held for the old connection is gone or resent; a
        // late acknowledgement only makes the count floor at 0.
        publisher->inFlight = 1; // "online", below
        publisher->mqttSetLink(Link::Up, nullptr);
    }
    publisher->mqttPublishItem({QString(), kOnline, true});
    publisher->queueReady.notify_one();
}

void MqttPublisher::onDisconnect(mosquitto *, void *self, int rc)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    std::lock_guard<std::mutex> lock(publisher->queueMutex);
    publisher->connected = false;
    // Unwritten QoS 0 messages die with the connection; QoS 1 ones are resent.
    if (publisher->qos == 0) {
        publisher->counters.dropped += quint64(publisher->inFlight);
        metrics::add(metrics::Counter::MqttDropped, quint64(publisher->inFlight));
        publisher->droppedUnlogged += quint64(publisher->inFlight);
        publisher->inFlight = 0;
    }
    if (!publisher->stopping)
        publisher->mqttSetLink(Link::Down, mosquitto_strerror(rc));
}

void MqttPublisher::onPublish(mosquitto *, void *self, int)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(publisher->queueMutex);
        publisher->inFlight = qMax(0, publisher->inFlight - 1);
        ++publisher->counters.published;
        metrics::add(metrics::Counter::MqttPublished);
        // The publishing thread waits for a full window to half empty.
        wake = publisher->inFlight == kWindow / 2 && !publisher->queue.empty();
    }
    if (wake)
        publisher->queueReady.notify_one();
}
