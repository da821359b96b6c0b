#include "app/mainwindow.h"
#include "common/global_data.h"
#include "ingest/anchor_record.h"
#include "store/tags.h"
#include "supervision/timer_thread.h"

#include "../support/test_support.h"
#include "site_ini.h"

#include <QDeadlineTimer>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <cmath>

// All workers of the program in one process, as main wires them, with traffic
// on every path at once: anchor datagrams through the socket into the
// consumer, position reports out through the API socket while requests are
// answered, the one-second maintenance pass dropping smoothing state, and the
// supervision cycle emptying the online sets; then the supervision heartbeat
// alone. Run under ThreadSanitizer.
class tst_System : public QObject
{
    Q_OBJECT
private slots:
    void allWorkersUnderTraffic();
    void reportsCountsAndEmptiesSets();
    void busyMutexDelaysCycle();

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

namespace {

QByteArray anchorId(int a) { return QByteArray::fromHex("A000000000") + char(a + 1); }

QByteArray tagId(int t) { return QByteArray::fromHex("E0000000") + char(0) + char(t + 1); }

} // namespace

void tst_System::allWorkersUnderTraffic()
{
    const quint16 anchorPort = freeUdpPort(), requestPort = freeUdpPort();
    UdpSink location, replies;
    ScopedConfig config(site::network(anchorPort, requestPort, location.port(), replies.port()) + site::hall()
                        + "[algorithm_config]\ns_enable=true\ns_length=3\ns_start_half_length=2\n"
                          "s_redundant=2\nactive_time=0\n");
    g_tags_object.delayWindow = 1;

    MainWindow window;
    QVERIFY(QObject::connect(&window.algorithmThread,
                             SIGNAL(algoThreadSendTagMsgToRemoteSignal(TAG_IMEI_t, double, double, double, QByteArray)),
                             &window.apiUdpSocketThread,
                             SLOT(apiSendTagMsgToRemoteSlot(TAG_IMEI_t, double, double, double, QByteArray)),
                             Qt::DirectConnection));
    window.timerThread.setPeriodForTesting(50);
    for (QThread *worker : std::initializer_list<QThread *>{&window.timerThread, &window.anchorUdpSocketThread,
                                                           &window.apiUdpSocketThread, &window.algorithmThread})
        worker->start();
    QTest::qWait(100);

    QUdpSocket sender;
    const QHostAddress loopback(QHostAddress::LocalHost);
    const int tags = 4, transmissions = 12;
    for (int j = 0; j < transmissions; ++j) {
        for (int t = 0; t < tags; ++t) {
            const double x = 4 + 3 * t + 0.05 * j, y = 5 + t;
            for (int a = 0; a < 6; ++a) {
                const double d = std::sqrt(std::pow(site::kAnchors[a][0] - x, 2) + std::pow(site::kAnchors[a][1] - y, 2)
                                           + std::pow(site::kAnchors[a][2] - 1.2, 2));
                const quint64 time = 5000000 + quint64(j) * 1000000 + quint64(std::llround(d / 0.00468));
                sender.writeDatagram(record::make(quint8(j), anchorId(a), time, tagId(t),
                                                  QByteArray(record::kTelemetrySize, char(60 + t))),
                                     loopback, anchorPort);
            }
        }
        sender.writeDatagram(QByteArray(R"({"REQUEST":"GetPANID"})"), loopback, requestPort);
        sender.writeDatagram(QByteArray(R"({"REQUEST":"GetAnchorsLists"})"), loopback, requestPort);
        if (j % 4 == 0)
            QMetaObject::invokeMethod(&window.apiUdpSocketThread, "apiSendHeartBeatSlot");
        QTest::qWait(120); // the event loop runs the anchor slot, the timer pass and heartbeats
    }
    QTest::qWait(1200); // at least one maintenance pass with active_time 0

    // Transmissions 1..10 of each tag are due; smoothing (length 3) holds back two at
    // first and after every maintenance pass (active_time 0), whenever those fell.
    const QList<QByteArray> reports = location.drain(500);
    QVERIFY2(reports.size() >= tags * 2 && reports.size() <= tags * (transmissions - 2 - 2),
             qPrintable(QString::number(reports.size())));
    QVERIFY2(replies.drain(300).size() >= transmissions, "requests were answered meanwhile");
    {
        std::lock_guard<std::mutex> lock(g_timer_1s_mutex);
        QVERIFY2(window.algorithmThread.algo.smoothLastTime.isEmpty(), "the maintenance pass ran");
    }
    window.mainWindowStop();
    QVERIFY(window.algorithmThread.isFinished() && window.apiUdpSocketThread.isFinished());
}

// The heartbeat goes to the built-in server address (loopback in test
// builds) on the fixed port 8888.
void tst_System::reportsCountsAndEmptiesSets()
{
    if (server.port() != TimerThread::kServerPort) // taken for a moment by another run on this machine
        server.socket.bind(QHostAddress::LocalHost, TimerThread::kServerPort);
    QVERIFY2(server.port() == TimerThread::kServerPort, "port 8888 must be free on 127.0.0.1");
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

void tst_System::busyMutexDelaysCycle()
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
    QVERIFY2(!datagram.isEmpty(), "the cycle waits for the algorithm thread, then counts the tag");
}

QTEST_GUILESS_MAIN(tst_System)
#include "tst_system.moc"
