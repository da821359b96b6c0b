#include "api/mqtt_publisher.h"

#include "common/config_file.h"
#include "common/config_keys.h"
#include "common/logwriter.h"
#include "common/metrics.h"

#include <QDir>
#include <QFileInfo>

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char kGroup[] = "mqtt";
const QByteArray kOnline = QByteArrayLiteral("online");
const QByteArray kOffline = QByteArrayLiteral("offline");

// The broker publishes the will when it has heard nothing for 1.5 keep-alive
// periods; a process that dies closes its socket and the will goes at once.
// The same period ends a connection attempt that gets no CONNACK.
constexpr int kKeepAliveSeconds = 30;
// Reconnection back-off, doubling from the first to the last value: a broker
// that comes back is found again within 8 s.
constexpr int kReconnectFirstSeconds = 1;
constexpr int kReconnectLastSeconds = 8;
// The publishing thread looks at the drop count and the keep-alive at least
// this often.
constexpr int kIdleWakeMs = 1000;
// After publishing, the thread lets this long pass before it takes the next
// batch, so that under load it is not woken for every report (a wake-up is a
// system call in the caller's thread); reports wait at most this much longer.
constexpr int kBatchGatherMs = 1;
// While a connection is being set up the library's own loop waits in
// select() at most this long, so a stop request waits no longer.
constexpr int kConnectingWaitMs = 100;
// At most one drop line per minute.
constexpr qint64 kDropLinePeriodMs = 60000;

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum class Lookup { Found, Unknown, NotNow };

// Only an answer that the name does not exist (or has no address) makes it a
// bad setting. A resolver that is not up yet at boot, unreachable or failing
// is asked again at each connection attempt, like a broker that is down.
Lookup lookUp(const QByteArray &host, const char **detail)
{
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.constData(), nullptr, &hints, &found);
    if (found)
        freeaddrinfo(found);
    if (rc == 0)
        return Lookup::Found;
    *detail = gai_strerror(rc);
    return rc == EAI_NONAME || rc == EAI_NODATA ? Lookup::Unknown : Lookup::NotNow;
}

// The text of a libmosquitto result; MOSQ_ERR_ERRNO leaves the cause in errno.
const char *resultText(int rc) { return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc); }

} // namespace

MqttPublisher::MqttPublisher() : wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    enabled = wakeFd >= 0 && mqttConfigure();
    if (!enabled && client) {
        mosquitto_destroy(client);
        client = nullptr;
    }
}

MqttPublisher::~MqttPublisher()
{
    mqttPublisherStop();
    wait();
    // wait() synchronises inside Qt, where ThreadSanitizer does not see it;
    // the lock shows it that run() is done with the client.
    mosquitto *left = nullptr;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        std::swap(left, client);
    }
    if (left) // run() never ran
        mosquitto_destroy(left);
    if (wakeFd >= 0)
        ::close(wakeFd);
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
    port = configkeys::mqttPort(value("mqtt_port"));
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
    const char *lookupDetail = "";
    Lookup lookup = Lookup::Found;
    QString problem;
    problem = configkeys::mqttProblem({QString::fromUtf8(host), value("mqtt_port"), qosText, value("mqtt_topic_prefix"), cafile});
    if (problem.isEmpty() && (lookup = lookUp(host, &lookupDetail)) == Lookup::Unknown)
        problem = QStringLiteral("mqtt_host \"%1\" is not a known host").arg(QString::fromUtf8(host));
    if (!problem.isEmpty()) {
        log->infoOutput("mqtt: %s, running without MQTT", problem.toUtf8().constData());
        return false;
    }
    if (lookup == Lookup::NotNow)
        log->infoOutput("mqtt: mqtt_host \"%s\" cannot be looked up now (%s), asking again at each connection attempt",
                        host.constData(), lookupDetail);

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
    mqttWake();
}

void MqttPublisher::mqttWake()
{
    const quint64 one = 1;
    const ssize_t written = ::write(wakeFd, &one, sizeof one);
    (void)written; // a full counter wakes the poll() just as well
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
        mqttWake();
}

void MqttPublisher::run()
{
    LogWriter::getLogCenter()->debugOutput("MqttPublisher running!");
    if (!client)
        return;
    retrySeconds = kReconnectFirstSeconds;
    std::vector<Item> batch;
    while (!stopRequested) {
        mqttConnectWhenDue();
        if (onlineDue) { // before the reports of the new connection
            onlineDue = false;
            mqttPublishItem({QString(), kOnline, true});
        }
        bool idle = false;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            takeBatch(batch, kWindow);
            idle = batch.empty();
            publisherWaiting = idle;
        }
        for (const Item &item : batch)
            mqttPublishItem(item);
        batch.clear();
        mqttLogDrops();
        mqttPump(idle ? kIdleWakeMs : kBatchGatherMs);
    }
    mqttFinish(batch);
}

// With queueMutex held: queued items up to `limit` in flight, while connected.
void MqttPublisher::takeBatch(std::vector<Item> &batch, int limit)
{
    while (connected && inFlight < limit && !queue.empty()) {
        batch.push_back(std::move(queue.front()));
        queue.pop_front();
        ++inFlight;
    }
}

// What is queued still goes, then the retained "offline" (a clean
// disconnection does not make the broker publish the will), for at most
// kStopGraceMs; whatever the socket has not taken by then is dropped.
void MqttPublisher::mqttFinish(std::vector<Item> &batch)
{
    bool wasConnected = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopping = true;
        takeBatch(batch, kWindow + kQueueCapacity);
        wasConnected = connected;
        if (connected)
            batch.push_back({QString(), kOffline, true});
    }
    for (const Item &item : batch)
        mqttPublishItem(item);
    if (wasConnected && mosquitto_disconnect(client) == MOSQ_ERR_SUCCESS) {
        // The library closes the socket once DISCONNECT is written.
        const qint64 end = steadyMs() + kStopGraceMs;
        while (mosquitto_socket(client) >= 0 && mosquitto_want_write(client)) {
            const qint64 left = end - steadyMs();
            pollfd out = {mosquitto_socket(client), POLLOUT, 0};
            if (left <= 0 || (::poll(&out, 1, int(left)) > 0 && mosquitto_loop_write(client, 1) != MOSQ_ERR_SUCCESS))
                break;
        }
    }
    mosquitto *done = nullptr;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        done = client;
        client = nullptr;
    }
    mosquitto_destroy(done); // closes a socket still open
}

// Starts a connection attempt when none is under way and its time has come.
// The TCP connect does not block; a host name is looked up here, in this
// thread.
void MqttPublisher::mqttConnectWhenDue()
{
    if (mosquitto_socket(client) >= 0 || steadyMs() < nextAttemptMs)
        return;
    const int rc = mosquitto_connect_async(client, host.constData(), port, kKeepAliveSeconds);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(client) >= 0)
        return;
    mqttLost(resultText(rc));
}

// The socket is gone (or never came): the next attempt after the back-off.
// `detail` names the cause when the library's disconnect callback did not.
void MqttPublisher::mqttLost(const char *detail)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        connected = false;
        if (detail)
            mqttSetLink(Link::Down, detail);
    }
    nextAttemptMs = steadyMs() + qint64(retrySeconds) * 1000;
    retrySeconds = qMin(retrySeconds * 2, kReconnectLastSeconds);
}

// Waits up to timeoutMs for the socket, a wake-up or the next connection
// attempt, and lets the library read, write and keep the connection alive.
void MqttPublisher::mqttPump(int timeoutMs)
{
    const int socket = mosquitto_socket(client);
    bool up = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        up = connected;
    }
    if (socket >= 0 && !up) {
        // Connecting: the library's loop completes the TCP and TLS handshakes
        // and reads the CONNACK (the callback then marks the link up).
        const int rc = mosquitto_loop(client, kConnectingWaitMs, 1);
        if (mosquitto_socket(client) < 0)
            mqttLost(rc == MOSQ_ERR_SUCCESS ? nullptr : resultText(rc));
        return;
    }
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {socket, POLLIN, 0}};
    int wait = timeoutMs;
    if (socket < 0)
        wait = int(qBound<qint64>(0, nextAttemptMs - steadyMs(), timeoutMs));
    else if (mosquitto_want_write(client))
        fds[1].events |= POLLOUT;
    if (::poll(fds, socket >= 0 ? 2 : 1, wait) > 0 && (fds[0].revents & POLLIN)) {
        quint64 count = 0;
        const ssize_t got = ::read(wakeFd, &count, sizeof count);
        (void)got;
    }
    if (socket < 0)
        return;
    int rc = MOSQ_ERR_SUCCESS;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
        rc = mosquitto_loop_read(client, 1);
    if (rc == MOSQ_ERR_SUCCESS && (fds[1].revents & POLLOUT) && mosquitto_socket(client) >= 0)
        rc = mosquitto_loop_write(client, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(client) >= 0)
        rc = mosquitto_loop_misc(client); // keep-alive: PINGREQ, or the end of a silent connection
    if (mosquitto_socket(client) < 0)
        mqttLost(rc == MOSQ_ERR_SUCCESS ? nullptr : resultText(rc));
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

// The callbacks run in the publishing thread, inside the library's calls.
void MqttPublisher::onConnect(mosquitto *, void *self, int rc)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    {
        std::lock_guard<std::mutex> lock(publisher->queueMutex);
        if (rc != 0) {
            publisher->mqttSetLink(Link::Refused, mosquitto_connack_string(rc));
            return;
        }
        // A retained "online" sent now could outlive the "offline" of the
        // stop: the link stays down, and the stop sends nothing.
        if (publisher->stopRequested || publisher->stopping)
            return;
        publisher->connected = true;
        publisher->retrySeconds = kReconnectFirstSeconds;
        // What the library held for the old connection is gone or resent; a
        // late acknowledgement only makes the count floor at 0.
        publisher->inFlight = 1; // "online"
        publisher->mqttSetLink(Link::Up, nullptr);
    }
    // Published by run() once the library's call has returned: publishing
    // from inside a callback takes the library's locks in another order.
    publisher->onlineDue = true;
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
    std::lock_guard<std::mutex> lock(publisher->queueMutex);
    publisher->inFlight = qMax(0, publisher->inFlight - 1);
    ++publisher->counters.published;
    metrics::add(metrics::Counter::MqttPublished);
}
