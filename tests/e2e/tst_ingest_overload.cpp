#include "../app/site_ini.h"
#include "../support/test_support.h"
#include "ingest/anchor_datagram_batch.h"

#include <QDate>
#include <QElapsedTimer>
#include <QTest>

#include <random>

// solver_unit under anchor input it cannot keep up with.
class tst_IngestOverload : public QObject
{
    Q_OBJECT
private slots:
    void junkFloodThenSigterm();
    void fifoOverflowKeepsNewest();
    void oldRecordsGiveWayToFreshOnes();
};

namespace {

QString lostPacketFile(const QString &dir)
{
    return readFile(dir + QDate::currentDate().toString(QStringLiteral("/'log_lostPacket'yyyyMMdd'.log'")));
}

QString siteIni(quint16 anchor, quint16 location, const QString &extra = QString())
{
    return site::network(anchor, 0, location) + extra + site::hall() + site::debugOn()
           + "[algorithm_config]\ndelay_window_1908=2\n";
}

} // namespace

// Random datagrams as fast as this process sends them beside the simulator's
// tags: reports keep coming, bad-datagram lines and dumps stay within their
// rate, and SIGTERM right after a burst of 20,000 ends the program cleanly.
void tst_IngestOverload::junkFloodThenSigterm()
{
    const quint16 anchor = freeUdpPort();
    UdpSink location;
    ProgramRunner solver(QStringLiteral("solver_unit"), siteIni(anchor, location.port()));
    QVERIFY(solver.start() && solver.waitForLog(site::kWorkersRunning));
    ChildProcess sim(toolPath(QStringLiteral("solver_sim")));
    QVERIFY(sim.start(QStringLiteral("--config %1/config.ini --tags 2 --rate 20 --duration 3 --quiet").arg(solver.dir()).split(' ')));
    std::mt19937 random(5);
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; clock.elapsed() < 2500 || i < 20000; ++i) {
        sendUdp(anchor, QByteArray(int(20 + random() % 1300), char(random())));
        if (clock.elapsed() < 2500 && i % 500 == 0)
            QTest::qWait(1);
    }
    QCOMPARE(solver.terminate(), 0);
    QCOMPARE(sim.finish(), 0);
    // Queued before the program ended; nothing more can come.
    QVERIFY2(location.pending().size() > 20, "2 tags at 20 Hz kept reporting through 2.5 s of flood");
    const int limit = AnchorDatagramBatch::kBadDatagramLinesPerSecond * int(clock.elapsed() / 1000 + 2);
    const int lines = solver.log().count(QStringLiteral("Error Anchor UDP frame data!"));
    QVERIFY2(lines > 0 && lines <= limit, qPrintable(QString::number(lines)));
    const QString dumps = lostPacketFile(solver.dir());
    QVERIFY(dumps.contains(QStringLiteral("bad anchor datagrams not logged")) && dumps.count('\n') <= 2 * limit);
}

// One datagram of 108 transmissions beyond anchor_fifo_limit: the oldest make
// room, the drop line counts them, and only the 8 newest are solved.
void tst_IngestOverload::fifoOverflowKeepsNewest()
{
    const quint16 anchor = freeUdpPort();
    UdpSink location;
    ProgramRunner solver(QStringLiteral("solver_unit"), siteIni(anchor, location.port(), "anchor_fifo_limit=48\n"));
    QVERIFY(solver.start() && solver.waitForLog(site::kWorkersRunning));
    QByteArray datagram;
    for (int s = 0; s < 108; ++s)
        datagram += site::transmission(QByteArray::fromHex(s < 100 ? "0000000000A1" : "0000000000B2"), s % 100, 12, 8 + 0.05 * s);
    sendUdp(anchor, datagram);
    QVERIFY(solver.waitForLog(QStringLiteral("anchor FIFO over its limit of 48 records: dropped the 600 oldest")));
    // The first of the 8 makes the tag and its anchors known, the last two are never due.
    QList<QByteArray> reports = location.receive(5);
    QCOMPARE(solver.terminate(), 0);
    reports += location.pending(); // none more, once the program has ended
    QCOMPARE(reports.size(), 5);
    for (const QByteArray &report : reports)
        QVERIFY2(report.contains("0000000000B2"), report.constData());
}

// 120,000 records at once, far more than the solver takes within
// anchor_max_age_ms: the ones that waited too long are dropped with the
// once-a-second line, and a tag sending afterwards is reported in full.
void tst_IngestOverload::oldRecordsGiveWayToFreshOnes()
{
    const quint16 anchor = freeUdpPort();
    UdpSink location;
    ProgramRunner solver(QStringLiteral("solver_unit"),
                         siteIni(anchor, location.port(), "anchor_fifo_limit=1000000\nanchor_max_age_ms=50\n"));
    QVERIFY(solver.start() && solver.waitForLog(QStringLiteral("anchor record max age -> 50 ms")));
    QVERIFY(solver.waitForLog(site::kWorkersRunning));
    for (int d = 0, n = 0; d < 100; ++d) {
        QByteArray datagram; // 200 transmissions of 6 records, just below the largest datagram
        for (int t = 0; t < 200; ++t, ++n)
            datagram += site::transmission(
                QByteArray::fromHex(QByteArray::number(0xA0000000 + n / 256, 16).rightJustified(12, '0')), n % 256, 5 + n % 10, 5);
        sendUdp(anchor, datagram);
    }
    QVERIFY(solver.waitForLog(QStringLiteral("anchor records older than 50 ms when taken: dropped ")));
    QTest::qWait(1000); // what is left of the flood is dropped or solved by now
    location.pending();
    const QByteArray fresh = QByteArray::fromHex("0000000000B2");
    for (int s = 0; s < 10; ++s) {
        sendUdp(anchor, site::transmission(fresh, s, 12, 8 + 0.05 * s));
        QTest::qWait(20);
    }
    // The first makes the tag known, the last two are never due. No fresh
    // record was dropped: all 7 reports come.
    const QList<QByteArray> reports = location.receive(7);
    QCOMPARE(reports.size(), 7);
    for (const QByteArray &report : reports)
        QVERIFY2(report.contains("0000000000B2"), report.constData());
}

QTEST_GUILESS_MAIN(tst_IngestOverload)
#include "tst_ingest_overload.moc"
