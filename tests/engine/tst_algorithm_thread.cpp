#include "engine/algorithm_thread.h"

#include "../store/test_records.h"
#include "../support/test_support.h"
#include "engine_test_util.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <mutex>

using namespace enginetest;

namespace {

// The five-anchor hall of the solver's worked example; the tag stands at (3, 4).
const QList<AnchorXYZ> kAnchors = {{0, 0, 3}, {10, 0, 3}, {10, 10, 3}, {0, 10, 3}, {5, 12, 3}};
const TAG_XYZ_t kAt34{3, 4, 1.2};

template <typename Id> QByteArray idBytes(const Id &id) { return QByteArray(reinterpret_cast<const char *>(id.imei), 6); }

// The records of one transmission of `tag` at `where`, anchors 1..5 in order;
// anchor n's telemetry block is filled with the byte 'a' + n.
QVector<QByteArray> transmission(const TAG_IMEI_t &tag, int sequence, const TAG_XYZ_t &where,
                               quint64 offset = 1000000, const QList<double> &bias = {})
{
    const QList<int> numbers = {1, 2, 3, 4, 5};
    const QList<unsigned long long> times = receptionTimes(kAnchors, numbers, where, offset, bias);
    QVector<QByteArray> records;
    for (int k = 0; k < numbers.size(); ++k)
        records.append(makeRecord(sequence, idBytes(anchorId(numbers[k])), idBytes(tag), times[k],
                                  char('a' + numbers[k])));
    return records;
}

// Collects emissions from whatever thread emits them.
struct Receiver {
    std::mutex lock;
    QList<QPair<QByteArray, QByteArray>> reports; // tag id bytes, telemetry block
    QList<TAG_XYZ_t> positions;
    void take(TAG_IMEI_t tag, double x, double y, double z, QByteArray health)
    {
        std::lock_guard<std::mutex> guard(lock);
        reports.append({idBytes(tag), health});
        positions.append({x, y, z});
    }
    int count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return reports.size();
    }
};

// Stops and joins the thread however the test ends.
struct Joined {
    AlgorithmThread &thread;
    ~Joined()
    {
        thread.algoThreadStop();
        thread.wait();
    }
};

} // namespace

class tst_AlgorithmThread : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void registrationThenOneSolvePerSet();
    void divergenceEmitsNothingAndNextSetSolves();
    void smoothingFailuresThenSmoothedPosition();
    void consumerDrainsInOrderAndWakesWhenIdle();
    void stopEndsAfterRecordInHand();
    void maintenancePassDropsIdleTags_data();
    void maintenancePassDropsIdleTags();

private:
    QScopedPointer<ScopedConfig> config;
};

void tst_AlgorithmThread::init()
{
    config.reset(new ScopedConfig(iniText(kAnchors, 1.2, QStringLiteral("active_time=5\n"))));
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

    for (const QByteArray &r : transmission(tag, 7, kAt34))
        thread.pollFifoData(r);
    QCOMPARE(log.count(QStringLiteral("NEW TAG -> ") + idText(tag.imei)), 1);
    QCOMPARE(log.count(QStringLiteral("new anchor add -> ") + anchorKey(2) + QLatin1Char(' ')), 1);
    QCOMPARE(g_anchor_online_lists.size(), 5);
    QCOMPARE(g_tag_online_lists, QSet<QByteArray>({idBytes(tag)}));

    const QVector<QByteArray> set8 = transmission(tag, 8, kAt34);
    for (const QByteArray &r : set8)
        thread.pollFifoData(r);
    QVERIFY2(spy.isEmpty(), "registration records never count towards a set");

    thread.pollFifoData(transmission(tag, 9, kAt34).first());
    QCOMPARE(spy.size(), 1);
    const QList<QVariant> args = spy.takeFirst();
    QCOMPARE(idBytes(args.at(0).value<TAG_IMEI_t>()), idBytes(tag));
    QVERIFY2(qAbs(args.at(1).toDouble() - 3) < 0.001 && qAbs(args.at(2).toDouble() - 4) < 0.001,
             qPrintable(QStringLiteral("%1,%2").arg(args.at(1).toDouble()).arg(args.at(2).toDouble())));
    QCOMPARE(args.at(3).toDouble(), 1.2);
    QCOMPARE(args.at(4).toByteArray(), record::telemetry(set8.first()));
    QString anchors;
    for (int n = 1; n <= 5; ++n)
        anchors += anchorKey(n) + QLatin1Char(' ');
    QCOMPARE(log.count(QStringLiteral("(taylor) -> tag_imei:%1 = (3.00,4.00), anchors = 5 lists = %2")
                           .arg(idText(tag.imei), anchors)),
             1);
    QVERIFY2(!log.contains(QStringLiteral("(smooth)")), "smoothing is off");
}

void tst_AlgorithmThread::divergenceEmitsNothingAndNextSetSolves()
{
    AlgorithmThread thread;
    QSignalSpy spy(&thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal);
    LogCapture log;
    const TAG_IMEI_t tag = tagId(2);
    for (int seq = 20; seq <= 21; ++seq)
        for (const QByteArray &r : transmission(tag, seq, kAt34))
            thread.pollFifoData(r);
    // Transmission 22 carries one timestamp 200 km out of line: no position.
    for (const QByteArray &r : transmission(tag, 22, kAt34, 1000000, {0, 0, 200000.0, 0, 0}))
        thread.pollFifoData(r);
    QCOMPARE(spy.size(), 1); // 21, completed by the first record of 22
    for (const QByteArray &r : transmission(tag, 23, kAt34))
        thread.pollFifoData(r);
    QCOMPARE(log.count(QStringLiteral("lock synchronize failed!!")), 1);
    QCOMPARE(log.count(QStringLiteral("algoTaylor divergence!!!")), 1);
    QCOMPARE(spy.size(), 1);
    thread.pollFifoData(transmission(tag, 24, kAt34).first());
    QCOMPARE(spy.size(), 2);
}

void tst_AlgorithmThread::smoothingFailuresThenSmoothedPosition()
{
    config.reset(new ScopedConfig(iniText(
        kAnchors, 1.2, QStringLiteral("s_enable=true\ns_length=3\ns_start_half_length=2\ns_redundant=1\n"))));
    AlgorithmThread thread;
    QVERIFY(thread.algo.smoothEnable);
    QSignalSpy spy(&thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal);
    LogCapture log;
    const TAG_IMEI_t tag = tagId(3);
    for (int seq = 30; seq <= 34; ++seq)
        for (const QByteArray &r : transmission(tag, seq, kAt34))
            thread.pollFifoData(r);
    // Sets 31, 32, 33 were solved: two fill the window, the third is smoothed.
    QCOMPARE(log.count(QStringLiteral("smooth filter failed!!!")), 2);
    QCOMPARE(log.count(QStringLiteral("(smooth) -> tag_imei:%1 = (3.00,4.00)").arg(idText(tag.imei))), 1);
    QCOMPARE(spy.size(), 1);
}

void tst_AlgorithmThread::consumerDrainsInOrderAndWakesWhenIdle()
{
    AlgorithmThread thread;
    Receiver receiver;
    connect(&thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal, &thread,
            [&receiver](TAG_IMEI_t t, double x, double y, double z, QByteArray h) { receiver.take(t, x, y, z, h); },
            Qt::DirectConnection);
    const TAG_IMEI_t a = tagId(10), b = tagId(11);
    QVector<QByteArray> records;
    for (int seq = 0; seq < 6; ++seq) {
        records += transmission(a, seq, kAt34);
        records += transmission(b, seq, TAG_XYZ_t{6, 7, 1.2});
    }
    fifoAppend(records.constData(), records.size());
    Joined joined{thread};
    thread.start();
    // Sets 1..4 of each tag, interleaved a, b, a, b, ...
    QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), 8, 10000);
    QTest::qWait(150); // the consumer now sleeps on an empty FIFO
    const QVector<QByteArray> late = transmission(a, 6, kAt34);
    fifoAppend(late.constData(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.count(), 9, 10000);
    thread.algoThreadStop();
    QVERIFY(thread.wait(5000));

    for (int i = 0; i < 8; ++i)
        QCOMPARE(receiver.reports.at(i).first, idBytes(i % 2 == 0 ? a : b));
    QVERIFY(qAbs(receiver.positions.at(1).x - 6) < 0.001 && qAbs(receiver.positions.at(1).y - 7) < 0.001);
    QCOMPARE(receiver.reports.at(8).first, idBytes(a));
    QCOMPARE(fifoSize(), 0);
}

void tst_AlgorithmThread::stopEndsAfterRecordInHand()
{
    AlgorithmThread thread;
    int emitted = 0;
    // Stops from inside the first emission: that record is finished, no other is taken.
    connect(&thread, &AlgorithmThread::algoThreadSendTagMsgToRemoteSignal, &thread,
            [&thread, &emitted](TAG_IMEI_t, double, double, double, QByteArray) {
                ++emitted;
                thread.algoThreadStop();
            },
            Qt::DirectConnection);
    const TAG_IMEI_t tag = tagId(20);
    QVector<QByteArray> records;
    for (int seq = 0; seq < 5; ++seq)
        records += transmission(tag, seq, kAt34);
    fifoAppend(records.constData(), records.size());
    Joined joined{thread};
    thread.start();
    QVERIFY(thread.wait(10000));
    QCOMPARE(emitted, 1);
    // The first emission comes with the first record of transmission 2.
    QCOMPARE(fifoSize(), records.size() - 11);
    fifoClear();
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
    thread.algo.smoothWindow[idle] = {kAt34};
    thread.algo.smoothLastTime[idle] = now - idleMs;
    thread.algo.smoothWindow[fresh] = {kAt34};
    thread.algo.smoothLastTime[fresh] = now + 1; // just accepted
    LogCapture log;
    thread.timer1sUpDate();
    QCOMPARE(!thread.algo.smoothLastTime.contains(idle), dropped);
    QCOMPARE(!thread.algo.smoothWindow.contains(idle), dropped);
    QVERIFY(thread.algo.smoothLastTime.contains(fresh) || activeTime == 0);
    QCOMPARE(log.count(QStringLiteral("%1s have not xyz, current active_len=2, then remove tag:%2")
                           .arg(activeTime)
                           .arg(idText(idle.imei))),
             dropped ? 1 : 0);
    QCOMPARE(log.count(QStringLiteral("tag virtual removed: ") + idText(idle.imei)), dropped ? 1 : 0);

    // A busy filter makes the pass skip, never wait.
    thread.algo.smoothLastTime[idle] = now - 100000;
    {
        std::lock_guard<std::mutex> busy(g_timer_1s_mutex);
        thread.timer1sUpDate();
    }
    QVERIFY(thread.algo.smoothLastTime.contains(idle));
}

QTEST_GUILESS_MAIN(tst_AlgorithmThread)
#include "tst_algorithm_thread.moc"
