#include "supervision/timer_thread.h"

#include "common/config_file.h"
#include "common/global_data.h"
#include "common/logwriter.h"

#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QUdpSocket>

#include <chrono>
#include <sys/socket.h>
#include <unistd.h>

#ifndef SOLVER_HEARTBEAT_SERVER
#define SOLVER_HEARTBEAT_SERVER "127.0.0.1"
#endif

TimerThread::TimerThread()
    : socket(new QUdpSocket(this)),
      serverAddress(QStringLiteral(SOLVER_HEARTBEAT_SERVER))
{
    connect(this, SIGNAL(timerSendHeartBeatSignal(QString)), this, SLOT(timerSendHeartBeatSlots(QString)));
    hostName = QHostInfo::localHostName();

    // Absent: the build's server and 8888, as before these settings existed.
    const ConfigFile config;
    const QString group = QStringLiteral("network_setting");
    const QString ip = config.text(group, QStringLiteral("heartbeat_server_ip")).trimmed();
    LogWriter *log = LogWriter::getLogCenter();
    if (!ip.isEmpty() && !serverAddress.setAddress(ip)) {
        serverAddress.setAddress(QStringLiteral(SOLVER_HEARTBEAT_SERVER));
        log->infoOutput("heartbeat_server_ip %s is not an address, using %s", ip.toUtf8().constData(),
                        SOLVER_HEARTBEAT_SERVER);
    }
    const quint16 port = config.port(group, QStringLiteral("heartbeat_server_port"));
    serverPort = port != 0 ? port : kServerPort;
    log->infoOutput("heartbeat server -> %s:%d", serverAddress.toString().toUtf8().constData(), serverPort);

    // The texts cross to the main thread through a socket pair, as the
    // termination signals do, rather than as a queued signal: Qt guards its
    // queue of posted events with a lock ThreadSanitizer cannot see, so every
    // heartbeat was a reported race inside Qt, on no frame a suppression
    // could name. Without the pair the signal is emitted queued as before.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, wakePair) == 0) {
        auto *ready = new QSocketNotifier(wakePair[1], QSocketNotifier::Read, this);
        connect(ready, &QSocketNotifier::activated, this, &TimerThread::timerTakeHeartBeats);
    }
}

TimerThread::~TimerThread()
{
    for (int fd : wakePair)
        if (fd >= 0)
            ::close(fd);
}

void TimerThread::timerThreadStop()
{
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        stopRequested = true;
    }
    wake.notify_all();
}

QString TimerThread::heartBeatText(int fifoSize, int tagCount, int anchorCount)
{
    return QStringLiteral("fifo_size=%1#tags_size=%2#anchors_size=%3#").arg(fifoSize).arg(tagCount).arg(anchorCount);
}

void TimerThread::run()
{
    LogWriter::getLogCenter()->debugOutput("TimerThread running!");
    while (waitForNextCycle())
        supervisionCycle();
    quit();
}

// Sleeps one period; a stop request cuts the sleep short. Returns false on stop.
bool TimerThread::waitForNextCycle()
{
    std::unique_lock<std::mutex> lock(wakeMutex);
    return !wake.wait_for(lock, std::chrono::milliseconds(periodMs.load()), [this] { return stopRequested.load(); });
}

void TimerThread::supervisionCycle()
{
    int tags = 0, anchors = 0;
    const int fifo = fifoSize();
    {
        // Waits for the algorithm thread rather than skipping the cycle: it
        // holds the mutex for one record at a time (microseconds), but under
        // load for nearly all the time, so a single try missed one report in three.
        std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
        tags = g_tag_online_lists.size();
        g_tag_online_lists.clear();
        anchors = g_anchor_online_lists.size();
        g_anchor_online_lists.clear();
    }
    timerPostHeartBeat(fifo, tags, anchors);
}

void TimerThread::timerPostHeartBeat(int fifoSize, int tagCount, int anchorCount)
{
    const QString text = heartBeatText(fifoSize, tagCount, anchorCount);
    if (wakePair[0] < 0) {
        emit timerSendHeartBeatSignal(text);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(handOverMutex);
        handedOver.append(text);
    }
    // A full pair (the main thread far behind) already holds a wake-up.
    const char byte = 1;
    const ssize_t written = ::write(wakePair[0], &byte, 1);
    static_cast<void>(written);
}

// Main thread: the texts handed over, oldest first, to the heartbeat slot
// and whatever else is connected to the signal.
void TimerThread::timerTakeHeartBeats()
{
    char bytes[64];
    while (::read(wakePair[1], bytes, sizeof bytes) > 0) {
    }
    QStringList texts;
    {
        std::lock_guard<std::mutex> lock(handOverMutex);
        texts.swap(handedOver);
    }
    for (const QString &text : qAsConst(texts))
        emit timerSendHeartBeatSignal(text);
}

void TimerThread::timerSendHeartBeatSlots(QString text)
{
    QJsonObject heartBeat;
    heartBeat.insert(hostName + QStringLiteral("-R740"), text);
    LogWriter::getLogCenter()->infoOutput("%s R740->%s", hostName.toUtf8().constData(), text.toUtf8().constData());
    socket->writeDatagram(QJsonDocument(heartBeat).toJson(QJsonDocument::Compact), serverAddress, serverPort);
}
