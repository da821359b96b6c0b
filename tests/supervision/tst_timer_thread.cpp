#include "common/global_data.h"
#include "supervision/timer_thread.h"
#include "tests/support/test_support.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

// The heartbeat goes to the built-in server address (loopback in test
// builds) on the fixed port 8888; the test listens there.
class tst_TimerThread : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(server.port() == TimerThread::kServerPort, "port 8888 must be free on 127.0.0.1");
    }
    void reportsCountsAndEmptiesSets();
    void busyMutexSkipsCycle();

private:
    // The first heartbeat that holds `part`: other test runs on this machine
    // may send theirs to the same port.
    QByteArray heartbeatWith(const char *part)
    {
        for (QDeadlineTimer deadline(5000); !deadline.hasExpired();)
            if (const QByteArray d = server.next(int(deadline.remainingTime())); d.contains(part))
                return d;
        return QByteArray();
    }
    UdpSink server{TimerThread::kServerPort};
};

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
    const QByteArray datagram = heartbeatWith("fifo_size=2#");
    timer.timerThreadStop();
    QVERIFY(timer.wait(2000));
    QVERIFY2(!datagram.contains(' ') && !datagram.contains('\n'), "compact JSON");
    const QJsonObject object = QJsonDocument::fromJson(datagram).object();
    QCOMPARE(object.keys(), QStringList{QHostInfo::localHostName() + QStringLiteral("-R740")});
    QCOMPARE(object.begin().value().toString(), QStringLiteral("fifo_size=2#tags_size=3#anchors_size=1#"));
    std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
    QVERIFY(g_tag_online_lists.isEmpty() && g_anchor_online_lists.isEmpty());
    fifoClear();
}

void tst_TimerThread::busyMutexSkipsCycle()
{
    TimerThread timer;
    timer.setPeriodForTesting(20);
    {
        std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
        g_tag_online_lists = {QByteArray(6, '\7')};
        timer.start();
        QTest::qWait(200); // several periods pass while the algorithm thread "works"
        QCOMPARE(g_tag_online_lists.size(), 1);
    }
    const QByteArray datagram = heartbeatWith("tags_size=1#");
    timer.timerThreadStop();
    QVERIFY(timer.wait(2000));
    QVERIFY2(!datagram.isEmpty(), "skipped cycles reset nothing: the tag is still counted");
}

QTEST_GUILESS_MAIN(tst_TimerThread)
#include "tst_timer_thread.moc"
