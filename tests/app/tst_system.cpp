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

#include <atomic>
#include <cmath>

// All workers of the program in one process, as main wires them, with traffic on every path at once (anchor datagrams
// in, reports out while requests are answered, the maintenance pass, the supervision cycle); then the supervision
// heartbeat alone. Run under ThreadSanitizer.
class tst_System : public QObject
{
    Q_OBJECT
private slots:
    void allWorkersUnderTraffic();
    void reportsCountsAndEmptiesSets();

private:
    // The first heartbeat that holds `part`.
    QByteArray heartbeatWith(const char *part)
    {
        for (QDeadlineTimer deadline(5000); !deadline.hasExpired();)
            if (const QByteArray d = server.next(int(deadline.remainingTime())); d.contains(part))
                return d;
        return QByteArray();
    }
    UdpSink server; // the heartbeat server's port: 8888 in the program
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
                        + "[pan_id]\nPANID=1A2B\n[algorithm_config]\ns_enable=true\ns_length=3\ns_start_half_length=2\n"
                          "s_redundant=2\nactive_time=5\n");
    g_tags_object.delayWindow = 1;

    MainWindow window;
    QVERIFY(QObject::connect(&window.algorithmThread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal,
                             &window.apiUdpSocketThread, &ApiUdpSocketThread::apiSendTagMsgToRemoteSlot, Qt::DirectConnection));
    // The maintenance pass sees no time pass until the traffic is over.
    static std::atomic<qint64> clockMs{100000};
    window.algorithmThread.algo.setMonotonicClock([] { return clockMs.load(); });
    window.timerThread.setPeriodForTesting(50);
    window.timerThread.setServerPortForTesting(server.port());
    // The API and receiver threads empty the FIFO as they start: the API answers once past that, then the receiver.
    QUdpSocket sender;
    const QHostAddress loopback(QHostAddress::LocalHost);
    window.apiUdpSocketThread.start();
    sender.writeDatagram(QByteArray(R"({"REQUEST":"GetPANID"})"), loopback, requestPort);
    QVERIFY(!replies.next(10000).isNull());
    window.anchorUdpSocketThread.start();
    window.timerThread.start();
    window.algorithmThread.start();

    const int tags = 4, transmissions = 12;
    for (int j = 0; j < transmissions; ++j) {
        for (int t = 0; t < tags; ++t) {
            const double x = 4 + 3 * t + 0.05 * j, y = 5 + t;
            for (int a = 0; a < 6; ++a) {
                const double d = std::hypot(site::kAnchors[a][0] - x, site::kAnchors[a][1] - y, site::kAnchors[a][2] - 1.2);
                const quint64 time = 5000000 + quint64(j) * 1000000 + quint64(std::llround(d / 0.00468));
                const QByteArray telemetry(record::kTelemetrySize, char(60 + t));
                sender.writeDatagram(record::make(quint8(j), anchorId(a), time, tagId(t), telemetry), loopback, anchorPort);
            }
        }
        sender.writeDatagram(QByteArray(R"({"REQUEST":"GetPANID"})"), loopback, requestPort);
        sender.writeDatagram(QByteArray(R"({"REQUEST":"GetAnchorsLists"})"), loopback, requestPort);
        if (j % 4 == 0)
            QMetaObject::invokeMethod(&window.apiUdpSocketThread, "apiSendHeartBeatSlot");
        QTest::qWait(20); // the event loop sends heartbeats, runs the pass
    }
    // Transmissions 1..10 of each tag are due; smoothing (length 3) holds back the first two.
    const int reports = tags * (transmissions - 2 - 2), answers = 2 * transmissions + 3; // and 3 API heartbeats
    QCOMPARE(location.receive(reports).size(), reports);
    QCOMPARE(replies.receive(answers).size(), answers); // requests are answered meanwhile
    // Five seconds later the pass drops every tag's smoothing state.
    clockMs += 5000;
    const auto smoothingTracked = [&window] {
        std::lock_guard<std::mutex> lock(g_timer_1s_mutex);
        return window.algorithmThread.algo.smoothLastTime.size();
    };
    QTRY_COMPARE_WITH_TIMEOUT(smoothingTracked(), 0, 10000);
    window.mainWindowStop();
    QVERIFY(window.algorithmThread.isFinished() && window.apiUdpSocketThread.isFinished());
    QVERIFY2(location.pending().isEmpty() && replies.pending().isEmpty(), "nothing more was sent");
}

// The heartbeat goes to the built-in server address (loopback in test builds). A cycle waits for the algorithm
// thread's mutex rather than skip, then counts and empties the sets.
void tst_System::reportsCountsAndEmptiesSets()
{
    fifoClear();
    server.pending(); // the last test's heartbeats
    const QByteArray records[2] = {QByteArray(54, 'x'), QByteArray(54, 'y')};
    fifoAppend(records, 2);
    TimerThread timer;
    timer.setPeriodForTesting(20);
    timer.setServerPortForTesting(server.port());
    {
        std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
        g_tag_online_lists = {QByteArray(6, '\1'), QByteArray(6, '\2'), QByteArray(6, '\3')};
        g_anchor_online_lists = {QByteArray(6, 'a')};
        timer.start();
        QTest::qWait(200); // several periods pass while the algorithm thread "works"
        QCOMPARE(g_tag_online_lists.size(), 3);
    }
    const QByteArray datagram = heartbeatWith("tags_size=3#anchors_size=1#");
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

QTEST_GUILESS_MAIN(tst_System)
#include "tst_system.moc"
