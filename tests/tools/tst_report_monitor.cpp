// The monitor's understanding of position reports of both programs, and the
// pairing of reports with the simulator's truth on cases small enough to
// work out by hand.
#include "tools/monitor/report_parser.h"
#include "tools/monitor/svg_writer.h"
#include "tools/monitor/truth_scorer.h"

#include <QTest>
#include <QXmlStreamReader>

#include <cmath>

namespace {

// A solver_unit report as the program writes it (compact, keys sorted).
const QByteArray kPlainReport =
    R"({"indoorLocationData":{"additionMessage":{"RRI":812,"VO2":35,"calorie":210,"distance":1500,)"
    R"("heart_rate":75,"period_calorie":12,"signal_quality":200,"speed":3000,"step":4321},)"
    R"("coordinateReference":{"angle_x":0,"angle_z":0,"ocs":{"description":"reference","name":"WGS84"},)"
    R"("x":116.25,"y":39.75,"z":0},"coordx":1225,"coordy":550,"locationTime":"20200103T150808",)"
    R"("qualityInfo":{"horizAccuracy":0.25,"qualityIndicator":1,"unit":"m","vertAccuracy":0.5},)"
    R"("tagID":"0A1B2C3D4E5F"}})";

// The same position from solver_unit_hr.
const QByteArray kHrReport =
    R"({"indoorLocationData":{"additionMessage":{"HRV":"95","heartrate":72},)"
    R"("coordinateReference":{"angle_x":0,"angle_z":0,"ocs":{"description":"","name":""},"x":0,"y":0,"z":0},)"
    R"("coordx":-300,"coordy":200,"locationTime":"20200103T150808",)"
    R"("qualityInfo":{"horizAccuracy":0,"qualityIndicator":0,"unit":"","vertAccuracy":0},"tagID":"0001020A0BFF"},)"
    R"("outdoorLocationData":{"coordinateReference":{"angle_x":0,"angle_z":0,"ocs":{"description":"","name":""},)"
    R"("x":0,"y":0,"z":0},"lat":0,"locationTime":"20200103T150800","log":0,)"
    R"("qualityInfo":{"horizAccuracy":0,"qualityIndicator":0,"unit":"","vertAccuracy":0}}})";

TruthRow row(qint64 us, int seq, double x, double y)
{
    TruthRow r;
    r.sentUs = us;
    r.sequence = seq;
    r.x = x;
    r.y = y;
    r.z = 1.2;
    return r;
}

} // namespace

class tst_ReportMonitor : public QObject
{
    Q_OBJECT

private slots:
    void parsesBothPrograms_data();
    void parsesBothPrograms();
    void refusesWhatIsNotAReport_data();
    void refusesWhatIsNotAReport();
    void truthFile();
    void pairing_data();
    void pairing();
    void scoreOfSmallRun();
    void svgDrawsEverythingInside();
};

void tst_ReportMonitor::parsesBothPrograms_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<bool>("hr");
    QTest::addColumn<int>("heartRate");
    QTest::addColumn<int>("telemetryMembers");
    QTest::newRow("solver_unit") << kPlainReport << "0A1B2C3D4E5F" << 12.25 << 5.5 << false << 75 << 9;
    QTest::newRow("solver_unit_hr") << kHrReport << "0001020A0BFF" << -3.0 << 2.0 << true << 72 << 2;
}

void tst_ReportMonitor::parsesBothPrograms()
{
    QFETCH(QByteArray, datagram);
    PositionReport r;
    QString why;
    QVERIFY2(parseReport(datagram, &r, &why), qPrintable(why));
    QTEST(r.tag, "tag");
    QTEST(r.x, "x");
    QTEST(r.y, "y");
    QTEST(r.hrBuild, "hr");
    QTEST(r.heartRate, "heartRate");
    QTEST(int(r.telemetry.size()), "telemetryMembers");
    QCOMPARE(r.locationTime, QStringLiteral("20200103T150808"));
}

void tst_ReportMonitor::refusesWhatIsNotAReport_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::newRow("cut short") << kPlainReport.left(kPlainReport.size() / 2);
    QTest::newRow("API heartbeat") << QByteArray(R"({"ANCHOR":"","REPORT":"clientHeartBeat"})");
    QTest::newRow("array") << QByteArray(R"([{"indoorLocationData":{}}])");
    QTest::newRow("tag id in lower case") << QByteArray(R"({"indoorLocationData":{"coordx":1,"coordy":2,"tagID":"0a1b2c3d4e5f"}})");
    QTest::newRow("tag id too short") << QByteArray(R"({"indoorLocationData":{"coordx":1,"coordy":2,"tagID":"0A1B"}})");
    QTest::newRow("coordinate as text") << QByteArray(R"({"indoorLocationData":{"coordx":"1","coordy":2,"tagID":"0A1B2C3D4E5F"}})");
    QTest::newRow("no coordinates") << QByteArray(R"({"indoorLocationData":{"tagID":"0A1B2C3D4E5F"}})");
}

void tst_ReportMonitor::refusesWhatIsNotAReport()
{
    QFETCH(QByteArray, datagram);
    PositionReport r;
    QString why;
    QVERIFY2(!parseReport(datagram, &r, &why), "accepted as a report");
    QVERIFY2(!why.isEmpty(), "no reason given");
}

void tst_ReportMonitor::truthFile()
{
    Truth truth;
    QString error;
    QVERIFY2(parseTruth("sent_us,tag,seq,x,y,z\n100,e00000000001,255,1.5,2.5,1.2\n200,E00000000001,0,1.6,2.4,1.2\n"
                        "150,E00000000002,7,3,4,1.2\n",
                        &truth, &error),
             qPrintable(error));
    QCOMPARE(truth.size(), 2);
    const QVector<TruthRow> rows = truth.value(QStringLiteral("E00000000001"));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0].sentUs, 100);
    QCOMPARE(rows[0].sequence, 255);
    QCOMPARE(rows[1].sequence, 0);
    QCOMPARE(rows[1].x, 1.6);
    QVERIFY2(!parseTruth("100,E00000000001,1,1.5,2.5\n", &truth, &error), "five columns accepted");
    QVERIFY2(error.contains(QLatin1String("line 1")), qPrintable(error));
    QVERIFY2(!parseTruth("100,E00000000001,1,x,2.5,1\n", &truth, &error), "a letter accepted as a number");
}

void tst_ReportMonitor::pairing_data()
{
    // One tag sends every 100 ms; positions 0, 1, 2, ... m along x.
    QTest::addColumn<qint64>("arrivalUs");
    QTest::addColumn<int>("delay");
    QTest::addColumn<int>("smooth");
    QTest::addColumn<bool>("paired");
    QTest::addColumn<double>("referenceX");
    QTest::addColumn<qint64>("latencyUs");
    QTest::newRow("delay 1: triggered by row 3, describes row 2") << qint64(300400) << 1 << 0 << true << 2.0 << qint64(400);
    QTest::newRow("delay 2: describes row 1") << qint64(300400) << 2 << 0 << true << 1.0 << qint64(400);
    QTest::newRow("arrival exactly at the trigger's send time") << qint64(300000) << 1 << 0 << true << 2.0 << qint64(0);
    QTest::newRow("before any transmission") << qint64(-5) << 1 << 0 << false << 0.0 << qint64(0);
    QTest::newRow("trigger is the first row: nothing before it") << qint64(50) << 1 << 0 << false << 0.0 << qint64(0);
    QTest::newRow("smoothing 3: mean of rows 3 and 4 for row 5") << qint64(600900) << 1 << 3 << true << 3.5 << qint64(900);
    QTest::newRow("smoothing 3: too early for a full window") << qint64(200100) << 1 << 3 << false << 0.0 << qint64(0);
}

void tst_ReportMonitor::pairing()
{
    QFETCH(qint64, arrivalUs);
    QFETCH(int, delay);
    QFETCH(int, smooth);
    QFETCH(bool, paired);
    QVector<TruthRow> rows;
    for (int i = 0; i < 10; ++i)
        rows.append(row(i * 100000, i, i, 0));
    ScoreOptions options;
    options.delayWindow = delay;
    options.smoothLength = smooth;
    QPointF reference;
    qint64 latency = -1;
    QCOMPARE(referenceFor(rows, arrivalUs, options, &reference, &latency), paired);
    if (!paired)
        return;
    QTEST(reference.x(), "referenceX");
    QTEST(latency, "latencyUs");
}

void tst_ReportMonitor::scoreOfSmallRun()
{
    Truth truth;
    truth[QStringLiteral("E00000000001")] = {row(0, 0, 0, 0), row(100000, 1, 1, 0), row(200000, 2, 2, 0)};
    truth[QStringLiteral("E00000000002")] = {row(50000, 0, 5, 5), row(150000, 1, 5, 6)};
    // Errors 0.3 m and 0.4 m; one report of an unknown tag.
    const QVector<ReceivedReport> reports{
        {100500, QStringLiteral("E00000000001"), 0.3, 0.0},
        {200700, QStringLiteral("E00000000001"), 1.0, 0.4},
        {150300, QStringLiteral("E00000000002"), 5.0, 5.0},
        {150300, QStringLiteral("E00000000009"), 1.0, 1.0},
    };
    ScoreOptions options;
    options.delayWindow = 1;
    const Score score = scoreReports(truth, reports, options);
    QCOMPARE(score.paired, 3);
    QCOMPARE(score.unpaired, 1);
    QVERIFY2(std::abs(score.rmse() - std::sqrt((0.09 + 0.16) / 3)) < 1e-12, qPrintable(QString::number(score.rmse())));
    QVERIFY2(std::abs(score.tags.value(QStringLiteral("E00000000001")).rmse() - std::sqrt(0.125)) < 1e-12, "per-tag RMSE");
    QCOMPARE(score.tags.value(QStringLiteral("E00000000001")).transmissions, 3);
    QCOMPARE(score.tags.value(QStringLiteral("E00000000009")).reports, 1);
    QCOMPARE(score.latenciesUs, (QVector<qint64>{300, 500, 700}));
    QCOMPARE(score.latencyPercentile(50), 500);
    QCOMPARE(score.latencyPercentile(99), 700);
    QCOMPARE(Score().latencyPercentile(50), -1);
}

void tst_ReportMonitor::svgDrawsEverythingInside()
{
    QVector<SiteAnchor> anchors;
    for (const QPointF &p : {QPointF(0, 0), QPointF(20, 0), QPointF(20, 15), QPointF(0, 15)}) {
        SiteAnchor a;
        a.key = QStringLiteral("A0000000000%1").arg(anchors.size() + 1);
        a.x = p.x();
        a.y = p.y();
        anchors.append(a);
    }
    Truth truth;
    truth[QStringLiteral("E00000000001")] = {row(0, 0, 5, 5), row(1, 1, 6, 5)};
    const QVector<ReceivedReport> reports{{1, QStringLiteral("E00000000001"), 5.1, 5.0},
                                          {2, QStringLiteral("E00000000001"), 6.0, 5.2},
                                          {3, QStringLiteral("E00000000001"), 3000.0, 5.0}};
    const QByteArray svg = renderSvg(anchors, truth, reports);
    QXmlStreamReader xml(svg);
    int circles = 0, polylines = 0, anchorLabels = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        circles += xml.name() == QLatin1String("circle");
        polylines += xml.name() == QLatin1String("polyline");
        if (xml.name() == QLatin1String("text") && xml.readElementText().startsWith(QLatin1String("A000")))
            ++anchorLabels;
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(circles, 2); // the report 3 km away is counted, not drawn
    QCOMPARE(polylines, 1);
    QCOMPARE(anchorLabels, 4);
    QVERIFY2(svg.contains("1 reports outside the hall"), "stray report not mentioned");
}

QTEST_GUILESS_MAIN(tst_ReportMonitor)
#include "tst_report_monitor.moc"
