#include "../app/site_ini.h"
#include "../support/test_support.h"
#include "ingest/anchor_record.h"

#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <cmath>
#include <random>

// solver_unit under input it cannot keep up with: a flood of junk beside live
// traffic, and a burst beyond the FIFO limit.
class tst_IngestOverload : public QObject
{
    Q_OBJECT
private slots:
    void junkFloodThenSigterm();
    void fifoOverflowKeepsNewest();
};

namespace {

struct Ports {
    quint16 anchor = freeUdpPort();
    quint16 request = freeUdpPort();
    quint16 location = freeUdpPort();
};

QString siteIni(const Ports &ports, const QString &extra = QString())
{
    return site::network(ports.anchor, ports.request, ports.location) + extra + site::hall()
           + QStringLiteral("[algorithm_config]\ndelay_window_1908=2\nactive_time=10\n");
}

bool startSolver(ProgramRunner &solver)
{
    if (!solver.start() || !solver.waitForLog(QStringLiteral("STARTUP SUCESS!")))
        return false;
    QTest::qWait(300);
    return true;
}

// Records of one transmission of `tag` at `x`, `y` (the hall's tag height),
// one per anchor, with reception times that put it there.
QByteArray transmission(const QByteArray &tag, int sequence, double x, double y)
{
    constexpr double kRangePerTick = 0.00468;
    QByteArray all;
    for (int a = 0; a < 6; ++a) {
        const double *p = site::kAnchors[a];
        const double range = std::sqrt((p[0] - x) * (p[0] - x) + (p[1] - y) * (p[1] - y) + (p[2] - 1.2) * (p[2] - 1.2));
        const quint64 time = quint64(1000000) * quint64(sequence + 1) + quint64(std::llround(range / kRangePerTick));
        all += record::make(quint8(sequence), QByteArray::fromHex(site::anchorKey(a).toLatin1()), time, tag,
                            QByteArray(record::kTelemetrySize, '\0'));
    }
    return all;
}

int lostPacketLines(const QString &dir, const QString &part)
{
    QFile file(dir + QStringLiteral("/log_lostPacket") + QDate::currentDate().toString(QStringLiteral("yyyyMMdd"))
               + QStringLiteral(".log"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return QString::fromUtf8(file.readAll()).count(part);
}

} // namespace

// Random datagrams as fast as this process sends them, while the simulator's
// tags move: their reports keep coming, the bad-datagram lines and dumps stay
// within their rate, and SIGTERM in the middle of the flood ends the program
// cleanly.
void tst_IngestOverload::junkFloodThenSigterm()
{
    const Ports ports;
    ProgramRunner solver(QStringLiteral("solver_unit"), siteIni(ports));
    QVERIFY(startSolver(solver));
    UdpSink location(ports.location);
    QProcess sim;
    sim.start(qEnvironmentVariable("SOLVER_BUILD_DIR") + QStringLiteral("/tools/solver_sim"),
              {QStringLiteral("--config"), solver.dir() + QStringLiteral("/config.ini"), QStringLiteral("--tags"),
               QStringLiteral("2"), QStringLiteral("--rate"), QStringLiteral("20"), QStringLiteral("--duration"),
               QStringLiteral("3"), QStringLiteral("--quiet")});
    QVERIFY(sim.waitForStarted());

    std::mt19937 random(5);
    QUdpSocket sender;
    QByteArray junk(1400, Qt::Uninitialized);
    for (char &c : junk)
        c = char(random());
    QElapsedTimer clock;
    clock.start();
    qint64 sent = 0;
    while (clock.elapsed() < 2500) {
        for (int i = 0; i < 500; ++i, ++sent)
            sender.writeDatagram(junk.constData() + random() % 64, 20 + random() % 1300,
                                 QHostAddress(QHostAddress::LocalHost), ports.anchor);
        QTest::qWait(1);
    }
    const qint64 seconds = clock.elapsed() / 1000 + 2;
    for (int i = 0; i < 20000; ++i)
        sender.writeDatagram(junk.constData(), 20 + i % 1300, QHostAddress(QHostAddress::LocalHost), ports.anchor);
    QCOMPARE(solver.terminate(2000), 0);
    QVERIFY(sim.waitForFinished(10000));

    const int reports = location.drain(200).size();
    // 2 tags x 20 Hz for the 2.5 s of the flood, less the registering start.
    QVERIFY2(reports > 60, qPrintable(QStringLiteral("%1 reports during a flood of %2 datagrams").arg(reports).arg(sent)));
    const QString log = solver.log();
    const int limit = 20 * int(seconds + 1);
    const int consoleLines = log.count(QStringLiteral("Error Anchor UDP frame data!"));
    QVERIFY2(consoleLines > 0 && consoleLines <= limit, qPrintable(QString::number(consoleLines)));
    QVERIFY(log.contains(QStringLiteral("bad anchor datagrams not logged")));
    // Every dump is 40 hex digits at least; the version line is the only other short one.
    const int dumps = lostPacketLines(solver.dir(), QStringLiteral("]: ")) - 1;
    const int summaries = lostPacketLines(solver.dir(), QStringLiteral("bad anchor datagrams not logged"));
    QVERIFY2(summaries >= 1 && dumps - summaries <= limit, qPrintable(QStringLiteral("%1 dumps").arg(dumps)));
    QVERIFY2(!log.contains(QStringLiteral("Sanitizer")), qPrintable(log.right(3000)));
}

// One datagram of many transmissions beyond anchor_fifo_limit: the oldest
// records make room, the drop line counts them, and only the newest
// transmissions are solved.
void tst_IngestOverload::fifoOverflowKeepsNewest()
{
    const Ports ports;
    const int newest = 8;
    ProgramRunner solver(QStringLiteral("solver_unit"),
                         siteIni(ports, QStringLiteral("anchor_fifo_limit=%1\n").arg(newest * 6)));
    QVERIFY(startSolver(solver));
    UdpSink location(ports.location);
    const QByteArray oldTag = QByteArray::fromHex("0000000000A1");
    const QByteArray newTag = QByteArray::fromHex("0000000000B2");
    QByteArray datagram;
    for (int s = 0; s < 100; ++s)
        datagram += transmission(oldTag, s, 5 + 0.05 * s, 5);
    for (int s = 0; s < newest; ++s)
        datagram += transmission(newTag, s, 12, 8 + 0.05 * s);
    sendUdp(ports.anchor, datagram);

    QVERIFY2(solver.waitForLog(QStringLiteral("anchor FIFO over its limit of 48 records: dropped the 600 oldest")),
             qPrintable(solver.log()));
    const QList<QByteArray> reports = location.drain(1000);
    QCOMPARE(solver.terminate(), 0);
    // The first transmission makes the tag and its anchors known, the last two are never due.
    QCOMPARE(reports.size(), newest - 3);
    for (const QByteArray &report : reports)
        QVERIFY2(report.contains("0000000000B2") && !report.contains("0000000000A1"), report.constData());
}

QTEST_GUILESS_MAIN(tst_IngestOverload)
#include "tst_ingest_overload.moc"
