#include "common/global_data.h"
#include "supervision/timer_thread.h"

#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QUdpSocket>

// The heartbeat goes to the built-in server address (loopback in test
// builds) on the fixed port 8888; the test listens there.
class tst_TimerThread : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void reportsCountsAndEmptiesSets();
    void busyMutexSkipsCycle();
    void stopEndsWaitAtOnce();

private:
    QByteArray nextDatagram(int timeoutMs);
    QUdpSocket server;
};

void tst_TimerThread::initTestCase()
{
    QVERIFY2(server.bind(QHostAddress(QStringLiteral(SOLVER_HEARTBEAT_SERVER)), TimerThread::kServerPort),
             "port 8888 must be free on the heartbeat server address");
}

QByteArray tst_TimerThread::nextDatagram(int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!server.hasPendingDatagrams() && t.elapsed() < timeoutMs)
        QTest::qWait(10);
    if (!server.hasPendingDatagrams())
        return QByteArray();
    QByteArray d(int(server.pendingDatagramSize()), Qt::Uninitialized);
    server.readDatagram(d.data(), d.size());
    return d;
}

void tst_TimerThread::reportsCountsAndEmptiesSets()
{
    fifoClear();
    const QByteArray records[2] = {QByteArray(54, 'x'), QByteArray(54, 'y')};
    fifoAppend(records, 2);
    {
        std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
        g_tag_online_lists = {QByteArray(6, '\1'), QByteArray(6, '\2'), QByteArray(6, '\3')};
        g_anchor_online_lists = {QByteArray(6, 'a')};
    }
    TimerThread timer;
    timer.setPeriodForTesting(50);
    timer.start();
    const QByteArray datagram = nextDatagram(5000);
    timer.timerThreadStop();
    QVERIFY(timer.wait(2000));

    QVERIFY2(!datagram.isEmpty(), "a heartbeat arrives");
    QVERIFY2(!datagram.contains(' ') && !datagram.contains('\n'), "compact JSON");
    const QJsonObject object = QJsonDocument::fromJson(datagram).object();
    QCOMPARE(object.size(), 1);
    const QString member = QHostInfo::localHostName() + QStringLiteral("-R740");
    QCOMPARE(object.value(member).toString(), QStringLiteral("fifo_size=2#tags_size=3#anchors_size=1#"));
    std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
    QVERIFY(g_tag_online_lists.isEmpty());
    QVERIFY(g_anchor_online_lists.isEmpty());
    fifoClear();
}

void tst_TimerThread::busyMutexSkipsCycle()
{
    while (!nextDatagram(200).isEmpty()) {
    }
    TimerThread timer;
    timer.setPeriodForTesting(20);
    {
        std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
        g_tag_online_lists = {QByteArray(6, '\7')};
        timer.start();
        QTest::qWait(200); // several periods pass while the algorithm thread "works"
        QCOMPARE(g_tag_online_lists.size(), 1);
    }
    const QByteArray datagram = nextDatagram(5000);
    timer.timerThreadStop();
    QVERIFY(timer.wait(2000));
    QVERIFY2(datagram.contains("tags_size=1#"), "skipped cycles reset nothing: the tag is still counted");
}

void tst_TimerThread::stopEndsWaitAtOnce()
{
    TimerThread timer; // default 30 s period
    timer.start();
    QTest::qWait(20);
    timer.timerThreadStop();
    QVERIFY2(timer.wait(1000), "a stop cuts the 30 s sleep short");
}

QTEST_GUILESS_MAIN(tst_TimerThread)
#include "tst_timer_thread.moc"
