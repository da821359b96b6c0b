#ifndef LOCAL_BROKER_H
#define LOCAL_BROKER_H

// A mosquitto broker of one's own on a free loopback port, from a generated
// configuration in a temporary directory (never the system's service), and a
// subscriber to it: for the tests and the benchmark of MQTT publishing.

#include <QFile>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <mosquitto.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <mutex>

#include <pthread.h>

class LocalBroker
{
public:
    explicit LocalBroker(const QString &mosquitto = QStandardPaths::findExecutable(QStringLiteral("mosquitto"),
                                                                                   {"/usr/sbin", "/usr/bin"}))
        : program(mosquitto)
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port = probe.serverPort();
        QFile conf(dir.filePath(QStringLiteral("broker.conf")));
        if (conf.open(QIODevice::WriteOnly))
            conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n").arg(port).toUtf8());
    }
    ~LocalBroker() { stop(); }
    Q_DISABLE_COPY(LocalBroker)

    // Starts it and waits (up to 5 s) until it accepts connections.
    bool start()
    {
        process.start(program, {QStringLiteral("-c"), dir.filePath(QStringLiteral("broker.conf"))});
        for (int i = 0; i < 100 && process.waitForStarted(); ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(50))
                return true;
            QThread::msleep(50);
        }
        return false;
    }
    // A broker that dies (SIGKILL).
    void kill()
    {
        process.kill();
        process.waitForFinished();
    }
    // SIGTERM: the exit code, -1 when it crashed or did not end within 10 s.
    int stop()
    {
        if (process.state() == QProcess::NotRunning)
            return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        ::kill(pid_t(process.processId()), SIGTERM);
        if (!process.waitForFinished(10000)) {
            kill();
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    qint64 pid() const { return process.processId(); }

    quint16 port = 0;

private:
    const QString program;
    QTemporaryDir dir;
    QProcess process;
};

// Subscribes to filter (again after a reconnection) and counts what arrives;
// with keep, also keeps each message as "topic payload", in arrival order.
class LocalSubscriber
{
public:
    LocalSubscriber(quint16 port, const char *topicFilter, bool keepMessages = true)
        : filter(topicFilter), keep(keepMessages), client(mosquitto_new(nullptr, true, this))
    {
        mosquitto_connect_callback_set(client, [](mosquitto *m, void *self, int) {
            mosquitto_subscribe(m, nullptr, static_cast<LocalSubscriber *>(self)->filter.constData(), 1);
        });
        mosquitto_message_callback_set(client, [](mosquitto *, void *self, const mosquitto_message *m) {
            static_cast<LocalSubscriber *>(self)->received(m);
        });
        mosquitto_reconnect_delay_set(client, 1, 1, false);
        mosquitto_connect(client, "127.0.0.1", port, 30);
        mosquitto_loop_start(client);
    }
    ~LocalSubscriber()
    {
        mosquitto_disconnect(client);
        mosquitto_loop_stop(client, false);
        mosquitto_destroy(client);
    }
    Q_DISABLE_COPY(LocalSubscriber)

    // The kept messages that contain part.
    QList<QByteArray> messages(const QByteArray &part)
    {
        std::lock_guard<std::mutex> lock(mutex);
        QList<QByteArray> found;
        for (const QByteArray &m : kept)
            if (m.contains(part))
                found << m;
        return found;
    }
    long count() const { return counted; }
    // CPU time of the library's thread that delivers the messages.
    double cpuSeconds() const
    {
        clockid_t clock;
        timespec t = {};
        if (!threadKnown || pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0)
            return 0;
        return double(t.tv_sec) + t.tv_nsec / 1e9;
    }

private:
    void received(const mosquitto_message *m)
    {
        if (!threadKnown) {
            thread = pthread_self();
            threadKnown = true;
        }
        ++counted;
        if (keep) {
            std::lock_guard<std::mutex> lock(mutex);
            kept << QByteArray(m->topic) + ' ' + QByteArray(static_cast<const char *>(m->payload), m->payloadlen);
        }
    }

    const QByteArray filter;
    const bool keep;
    mosquitto *client;
    std::mutex mutex;
    QList<QByteArray> kept;
    std::atomic<long> counted{0};
    std::atomic<bool> threadKnown{false};
    pthread_t thread{};
};

#endif // LOCAL_BROKER_H
