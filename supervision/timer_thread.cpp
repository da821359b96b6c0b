#include "supervision/timer_thread.h"

#include "common/global_data.h"
#include "common/logwriter.h"
#include "common/tsan_handoff.h"

#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUdpSocket>

#include <chrono>

#ifndef SOLVER_HEARTBEAT_SERVER
#define SOLVER_HEARTBEAT_SERVER "127.0.0.1"
#endif

TimerThread::TimerThread()
    : socket(new QUdpSocket(this)),
      serverAddress(QStringLiteral(SOLVER_HEARTBEAT_SERVER))
{
    connect(this, SIGNAL(timerSendHeartBeatSignal(QString)), this, SLOT(timerSendHeartBeatSlots(QString)));
    hostName = QHostInfo::localHostName();
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

// The text crosses to the main thread by a queued signal.
void TimerThread::timerPostHeartBeat(int fifoSize, int tagCount, int anchorCount)
{
    const QString text = heartBeatText(fifoSize, tagCount, anchorCount);
    tsan::handOff(this);
    emit timerSendHeartBeatSignal(text);
}

// Connected first (in the constructor), so this runs before any other slot
// of the main thread that receives the same text.
void TimerThread::timerSendHeartBeatSlots(QString text)
{
    tsan::takeOver(this);
    QJsonObject heartBeat;
    heartBeat.insert(hostName + QStringLiteral("-R740"), text);
    LogWriter::getLogCenter()->infoOutput("%s R740->%s", hostName.toUtf8().constData(), text.toUtf8().constData());
    socket->writeDatagram(QJsonDocument(heartBeat).toJson(QJsonDocument::Compact), serverAddress, serverPort);
}
