#include "engine/algorithm_thread.h"
#include "store/tags.h"

#include "../support/test_support.h"
#include "engine_test_util.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace enginetest;

class tst_AlgorithmThread : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void registrationThenOneSolvePerSet();
    void maintenancePassDropsIdleTags_data();
    void maintenancePassDropsIdleTags();

private:
    QScopedPointer<ScopedConfig> config;
};

void tst_AlgorithmThread::init()
{
    config.reset(new ScopedConfig(iniText(kHall, 1.2, QStringLiteral("active_time=5\n"))));
    g_tags_object.delayWindow = 1;
    fifoClear();
    std::lock_guard<std::mutex> lock(g_timer_thread_mutex);
    g_anchor_online_lists.clear();
    g_tag_online_lists.clear();
}

void tst_AlgorithmThread::registrationThenOneSolvePerSet()
{
    AlgorithmThread thread;
    QSignalSpy spy(&thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal);
    LogCapture log;
    const TAG_IMEI_t tag = tagId(1);
    // Transmission 9 carries one timestamp 200 km out of line: no position.
    const QVector<QByteArray> records = hallTransmission(tag, 7) + hallTransmission(tag, 8)
                                        + hallTransmission(tag, 9, {0, 0, 200000.0, 0, 0})
                                        + hallTransmission(tag, 10).mid(0, 1);
    for (const QByteArray &r : records)
        thread.pollFifoData(r);
    QCOMPARE(log.count("NEW TAG -> " + idText(tag.imei)), 1);
    QCOMPARE(log.count("new anchor add -> " + anchorKey(2) + ' '), 1);
    QCOMPARE(g_anchor_online_lists.size(), 5);
    QCOMPARE(g_tag_online_lists, QSet<QByteArray>({idBytes(tag)}));
    QCOMPARE(log.count("lock synchronize failed!!"), 1);
    QCOMPARE(log.count("algoTaylor divergence!!!"), 1);

    // Registration records never count: only transmission 8 gave a position.
    QCOMPARE(spy.size(), 1);
    const QList<QVariant> args = spy.takeFirst();
    QCOMPARE(idBytes(args.at(0).value<TAG_IMEI_t>()), idBytes(tag));
    QVERIFY(qAbs(args.at(1).toDouble() - 3) < 0.001 && qAbs(args.at(2).toDouble() - 4) < 0.001);
    QCOMPARE(args.at(3).toDouble(), 1.2);
    QCOMPARE(args.at(4).toByteArray(), record::telemetry(records.at(5)));
    QString anchors;
    for (int n = 1; n <= 5; ++n)
        anchors += anchorKey(n) + ' ';
    QCOMPARE(log.count(QStringLiteral("(taylor) -> tag_imei:%1 = (3.00,4.00), anchors = 5 lists = %2")
                           .arg(idText(tag.imei), anchors)), 1);
}

void tst_AlgorithmThread::maintenancePassDropsIdleTags_data()
{
    QTest::addColumn<int>("activeTime");
    QTest::addColumn<qint64>("idleMs");
    QTest::addColumn<bool>("dropped");
    QTest::newRow("idle exactly active_time") << 5 << qint64(5000) << true;
    QTest::newRow("idle 4 s of 5") << 5 << qint64(4000) << false;
    // Whole seconds are compared: 95.001 s and 100.000 s are seconds 95 and 100.
    QTest::newRow("idle 4.999 s of 5 across five seconds") << 5 << qint64(4999) << true;
    QTest::newRow("active_time 0 drops at once") << 0 << qint64(0) << true;
    // The monotonic clock does not care about midnight: a day later is idle.
    QTest::newRow("a day idle") << 5 << qint64(24 * 3600 * 1000) << true;
}

void tst_AlgorithmThread::maintenancePassDropsIdleTags()
{
    QFETCH(int, activeTime);
    QFETCH(qint64, idleMs);
    QFETCH(bool, dropped);
    AlgorithmThread thread;
    thread.timer1s->stop(); // passes are driven by hand
    thread.activeTime = activeTime;
    qint64 now = 100000;
    thread.algo.setMonotonicClock([&now] { return now; });
    const TAG_IMEI_t idle = tagId(30), fresh = tagId(31);
    thread.algo.smoothWindow[idle] = thread.algo.smoothWindow[fresh] = {TAG_XYZ_t{3, 4, 1.2}};
    thread.algo.smoothLastTime[idle] = now - idleMs;
    thread.algo.smoothLastTime[fresh] = now + 1; // just accepted
    LogCapture log;
    {
        std::lock_guard<std::mutex> busy(g_timer_1s_mutex);
        thread.timer1sUpDate(); // a busy filter makes the pass skip, never wait
    }
    QCOMPARE(thread.algo.smoothLastTime.size(), 2);
    thread.timer1sUpDate();
    QCOMPARE(!thread.algo.smoothLastTime.contains(idle) && !thread.algo.smoothWindow.contains(idle), dropped);
    QVERIFY(thread.algo.smoothLastTime.contains(fresh) || activeTime == 0);
    QCOMPARE(log.count(QStringLiteral("%1s have not xyz, current active_len=2, then remove tag:%2")
                           .arg(activeTime).arg(idText(idle.imei))), dropped ? 1 : 0);
    QCOMPARE(log.count("tag virtual removed: " + idText(idle.imei)), dropped ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_AlgorithmThread)
#include "tst_algorithm_thread.moc"
