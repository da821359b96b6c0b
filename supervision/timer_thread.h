#ifndef TIMER_THREAD_H
#define TIMER_THREAD_H

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class QUdpSocket;

// Every 30 s reports the FIFO length and the numbers of tags and anchors heard
// since the last report to the outside heartbeat server, then empties the two
// sets. The server is network_setting/heartbeat_server_ip and _port, by
// default the build's SOLVER_HEARTBEAT_SERVER and kServerPort.
class TimerThread : public QThread
{
    Q_OBJECT
public:
    static constexpr int kReportPeriodMs = 30000;
    static constexpr quint16 kServerPort = 8888;

    TimerThread();
    ~TimerThread() override;
    Q_DISABLE_COPY(TimerThread)

    void timerThreadStop();

    // Tests shorten the period and send to a port of their own (other runs
    // on the machine may hold 8888); the program never calls these.
    void setPeriodForTesting(int ms) { periodMs = ms; }
    void setServerPortForTesting(quint16 port) { serverPort = port; }

    // "fifo_size=N#tags_size=N#anchors_size=N#"
    static QString heartBeatText(int fifoSize, int tagCount, int anchorCount);

signals:
    void timerSendHeartBeatSignal(QString text);

public slots:
    void timerSendHeartBeatSlots(QString text);

protected:
    void run() override;

private:
    bool waitForNextCycle();
    void supervisionCycle();
    void timerPostHeartBeat(int fifoSize, int tagCount, int anchorCount);
    void timerTakeHeartBeats();

    std::atomic<bool> stopRequested{false};
    std::atomic<int> periodMs{kReportPeriodMs};
    std::mutex wakeMutex;
    std::condition_variable wake;

    QString hostName;
    QUdpSocket *socket;
    QHostAddress serverAddress;
    quint16 serverPort = kServerPort;

    // Heartbeat texts on their way from the supervision thread to the main
    // thread, which a byte on the socket pair (written to [0]) wakes.
    std::mutex handOverMutex;
    QStringList handedOver;
    int wakePair[2] = {-1, -1};
};

#endif // TIMER_THREAD_H
