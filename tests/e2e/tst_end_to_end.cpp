#include "../app/site_ini.h"
#include "../support/test_support.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

// solver_unit and solver_unit_hr started as a site runs them, fed by the anchor simulator over loopback and scored by
// the report monitor against the simulator's truth.
class tst_EndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void reportsEveryCompletedTransmission_data();
    void reportsEveryCompletedTransmission();
    void waitsWithoutConfigThenToleratesAMalformedOne();
    void killedWhileWriting();
};

namespace {

constexpr int kDelay = 2;
constexpr int kSmoothLength = 4;
constexpr double kTicksPerSecond = 299792458.0 / 0.00468;

struct Ports {
    quint16 anchor = freeUdpPort();
    quint16 request = freeUdpPort();
    quint16 location = freeUdpPort();
    quint16 reply = freeUdpPort();
};

// Debug on: its lines tell when the workers run and every due set is solved.
QString siteIni(const Ports &ports, bool smoothing)
{
    QString ini = site::network(ports.anchor, ports.request, ports.location, ports.reply) + site::hall()
                  + site::debugOn() + "[pan_id]\nPANID=1A2B\n[coordinate_reference]\ncoordinate_reference_x=116.25\n"
                    "coordinate_reference_y=39.75\n"
                  + QStringLiteral("[algorithm_config]\ndelay_window_1908=%1\nactive_time=10\n").arg(kDelay);
    if (smoothing)
        ini += QStringLiteral("s_enable=true\ns_length=%1\ns_start_half_length=2\ns_redundant=2\n").arg(kSmoothLength);
    return ini;
}

// Command-line arguments from one text (the temporary paths hold no spaces).
QStringList words(const QString &text) { return text.split(QLatin1Char(' '), Qt::SkipEmptyParts); }

// The simulator's traffic (3 tags at 20 Hz for 3 s, 3 cm of timing noise, plus `simArgs`) to the started program,
// scored by the monitor: its summary, once every due set was solved (the solver's debug lines count them) and the
// program and the monitor have ended; empty when one of them failed.
constexpr int kTags = 3, kRate = 20;
constexpr double kSeconds = 3.0, kNoise = 0.03;
QJsonObject simulate(ProgramRunner &solver, bool hr, const QStringList &simArgs = {})
{
    const QString config = solver.dir() + QStringLiteral("/config.ini");
    const QString truth = solver.dir() + QStringLiteral("/truth.csv");
    const QString summary = solver.dir() + QStringLiteral("/summary.json");
    ChildProcess monitor(toolPath(QStringLiteral("solver_monitor")));
    if (!monitor.start(words(QStringLiteral("--config %1 --truth %2 --json-summary %3 --quiet").arg(config, truth, summary)))
        || !monitor.waitForLog(QStringLiteral("solver_monitor: listening on")))
        return {};
    ChildProcess sim(toolPath(hr ? QStringLiteral("solver_sim_hr") : QStringLiteral("solver_sim")));
    if (!sim.start(words(QStringLiteral("--config %1 --tags %2 --rate %3 --noise %4 --duration %5 --seed 7 "
                                        "--truth %6 --quiet")
                             .arg(config).arg(kTags).arg(kRate).arg(kNoise).arg(kSeconds).arg(truth))
                   + simArgs)
        || sim.finish(int(kSeconds * 1000) + 20000) != 0)
        return {};
    // The reports of the last sets leave before the program ends, and the monitor reads what is queued when it ends.
    const int due = readFile(truth).count('\n') - 1 - kTags * (1 + kDelay); // a row per transmission after the header
    if (!solver.waitForLog(QStringLiteral("(taylor) -> tag_imei:"), 20000, due) || solver.terminate() != 0
        || monitor.terminate() != 0)
        return {};
    return QJsonDocument::fromJson(readFile(summary).toUtf8()).object();
}

constexpr int kRounds = 8;
constexpr int kAnchors = 40;

QString anchorId(int i) { return QStringLiteral("0000000000%1").arg(i, 2, 10, QLatin1Char('0')); }

// Every anchor set to x = value: a file of a few kilobytes per write.
QByteArray setAllAnchors(int value)
{
    QJsonArray content;
    for (int i = 0; i < kAnchors; ++i)
        content.append(QJsonObject{{"anchor_imei", anchorId(i)}, {"x", value}, {"y", i}, {"z", 1.25}});
    return QJsonDocument(QJsonObject{{"REQUEST", "SetAnchorsXYZ"}, {"content", content}}).toJson(QJsonDocument::Compact);
}

} // namespace

void tst_EndToEnd::reportsEveryCompletedTransmission_data()
{
    QTest::addColumn<bool>("hr");
    QTest::addColumn<bool>("smoothing");
    QTest::addColumn<QString>("keys"); // more of [algorithm_config]
    QTest::addColumn<QString>("simArgs");
    QTest::addColumn<double>("least"); // of the RMSE, m
    QTest::addColumn<double>("most");
    // 3 cm timestamp noise: about 5 cm per solution; 0.15 m leaves room without hiding a bias.
    QTest::newRow("solver_unit") << false << false << QString() << QString() << 0.0 << 0.15;
    // The 40-bit clock wraps half-way through the run.
    QTest::newRow("solver_unit_hr smoothing clock wrap")
        << true << true << QString()
        << "--clock-start " + QString::number((quint64(1) << 40) - quint64(kSeconds / 2 * kTicksPerSecond)) << 0.0 << 0.15;
    // One anchor misreads every tag for the whole run: through a metal cabinet (0.18 to 0.58 m of extra path), or 0.3 m
    // late (a calibration error). Either pulls the plain solve's reports off the truth by several times what 3 cm of
    // noise alone gives (about 4 cm). nlos_rejection leaves the blocked anchor out or keeps it corrected by its
    // evidence, and the accuracy it reports (report_accuracy) is of the size of the measured error; the learning names
    // the late anchor in the log with its offset, and anchor_offset_correction takes its pull off.
    const QString blocked = "--obstacles 600 --obstacle-seconds 60 --obstacle-at " + site::anchorKey(4);
    const QString late = "--rate 50 --duration 12 --anchor-late " + site::anchorKey(4) + "=0.3";
    const QString learning = QStringLiteral("report_accuracy=true\nrange_noise=auto\n");
    QTest::newRow("blocked, plain solve") << false << false << QString() << blocked << 0.08 << 1.0;
    QTest::newRow("blocked, nlos_rejection")
        << false << false << "nlos_rejection=true\nrange_noise=0.03\nreport_accuracy=true\n" << blocked << 0.0 << 0.08;
    QTest::newRow("late, named") << false << false << learning << late << 0.07 << 1.0;
    QTest::newRow("late, named and corrected")
        << false << false << learning + "anchor_offset_correction=true\n" << late << 0.0 << 0.06;
}

void tst_EndToEnd::reportsEveryCompletedTransmission()
{
    QFETCH(bool, hr);
    QFETCH(bool, smoothing);
    QFETCH(QString, keys);
    QFETCH(QString, simArgs);
    QFETCH(double, least);
    QFETCH(double, most);
    const Ports ports;
    ProgramRunner solver(hr ? QStringLiteral("solver_unit_hr") : QStringLiteral("solver_unit"),
                         siteIni(ports, smoothing) + keys);
    QVERIFY(solver.start());
    QVERIFY2(solver.waitForLog(site::kWorkersRunning), qPrintable(solver.log()));
    // The build time and version lines, the version also in the lost-packet file.
    const QString version = QStringLiteral("]: version:%1\n").arg(hr ? "1.0.0" : "2.0.0");
    QVERIFY2(solver.log().contains(QRegularExpression(R"(\]: build time:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \[\d+\]\n)"))
                 && solver.log().contains(version) && !solver.log().contains("config file lost!"),
             qPrintable(solver.log()));
    QVERIFY(readFile(solver.dir() + "/log_lostPacket" + QDate::currentDate().toString("yyyyMMdd") + ".log").contains(version));

    const QJsonObject result = simulate(solver, hr, words(simArgs));
    QVERIFY2(!result.isEmpty(), qPrintable(solver.log().right(3000)));
    QCOMPARE(result.value(QStringLiteral("invalid")).toInt(), 0);
    QCOMPARE(result.value(QStringLiteral("hr_reports")).toBool(), hr);
    const double rmse = result.value(QStringLiteral("rmse_m")).toDouble(-1);
    const double reported = result.value(QStringLiteral("reported_accuracy_rms_m")).toDouble(-1);
    QVERIFY2(result.value(QStringLiteral("paired")).toInt() > 100, qPrintable(QString::number(rmse)));
    QVERIFY2(rmse >= least && rmse < most, qPrintable(QStringLiteral("rmse %1").arg(rmse)));
    if (keys.isEmpty())
        QCOMPARE(reported, 0.0); // the configured constant, here absent
    if (keys.contains("nlos"))
        QVERIFY2(reported > 0.5 * rmse && reported < 2 * rmse, qPrintable(QStringLiteral("reported %1").arg(reported)));
    const QJsonObject perTag = result.value(QStringLiteral("tags")).toObject();
    QCOMPARE(perTag.size(), kTags);
    for (const QString &tag : perTag.keys()) {
        const QJsonObject t = perTag.value(tag).toObject();
        const int sent = t.value(QStringLiteral("transmissions")).toInt();
        // The first registers the tag and its anchors, the last `delay` are never due, smoothing swallows L - 1.
        const int expected = sent - 1 - kDelay - (smoothing ? kSmoothLength - 1 : 0);
        QCOMPARE(t.value(QStringLiteral("reports")).toInt(), expected);
        const double tagRmse = t.value(QStringLiteral("rmse_m")).toDouble(-1);
        QVERIFY2(tagRmse >= 0 && (tagRmse < 0.15 || least > 0), qPrintable(QStringLiteral("%1 rmse %2").arg(tag).arg(tagRmse)));
        const QJsonObject telemetry = t.value(QStringLiteral("telemetry")).toObject();
        if (hr) {
            QCOMPARE(telemetry.keys(), QStringList({QStringLiteral("HRV"), QStringLiteral("heartrate")}));
            QCOMPARE(telemetry.value(QStringLiteral("HRV")).toString(), QStringLiteral("95"));
        } else {
            QCOMPARE(telemetry.size(), 9);
        }
        const int heartRate = telemetry.value(hr ? QStringLiteral("heartrate") : QStringLiteral("heart_rate")).toInt();
        QVERIFY2(heartRate >= 60 && heartRate <= 180, qPrintable(QString::number(heartRate)));
    }
    if (!simArgs.contains("late"))
        return;
    const QRegularExpression named(QStringLiteral("anchor %1 reads 0\\.(2[5-9]|3[0-4]) m late \\(\\d+ positions\\)")
                                       .arg(site::anchorKey(4)),
                                   QRegularExpression::CaseInsensitiveOption);
    const QString anchorLines = solver.log().split('\n').filter(QStringLiteral("]: anchor ")).join('\n');
    QVERIFY2(solver.log().contains(named), qPrintable(anchorLines));
    QVERIFY2(!solver.log().contains(QRegularExpression(QStringLiteral("anchor A0000000000[12346] reads"))),
             qPrintable(anchorLines));
}

void tst_EndToEnd::waitsWithoutConfigThenToleratesAMalformedOne()
{
    ProgramRunner runner(QStringLiteral("solver_unit"));
    QVERIFY(QDir(runner.dir()).mkdir(QStringLiteral("config.ini"))); // reads as missing
    QVERIFY(runner.start());
    QVERIFY(runner.waitForLog(QStringLiteral("config file lost!")));
    // A file appearing later does not let it go on: only a restart does.
    QVERIFY(QDir(runner.dir()).rmdir(QStringLiteral("config.ini")));
    QFile file(runner.dir() + QStringLiteral("/config.ini"));
    QVERIFY(file.open(QIODevice::WriteOnly)
            && file.write("\xff\xfe garbage [[[\n=\n[network_setting\nlocal_udp_listen_anchor_port=70000\n") > 0);
    file.close();
    const QString lost = QStringLiteral("config file lost!");
    QVERIFY(runner.waitForLog(lost, 10000, runner.log().count(lost) + 1)); // still waiting a round later
    QVERIFY(!runner.log().contains("STARTUP SUCESS!"));
    QCOMPARE(runner.terminate(), 0); // a service manager may stop it while it waits
    // Unreadable lines and an out-of-range port are passed over, not fatal.
    QVERIFY(runner.start());
    QVERIFY2(runner.waitForLog(QStringLiteral("STARTUP SUCESS!")), qPrintable(runner.log()));
    QCOMPARE(runner.terminate(3000), 0);
}

// The real program is killed (SIGKILL) again and again while configuration requests rewrite config.ini: the file must
// always parse completely, keep every group, and hold at least every change that was acknowledged.
void tst_EndToEnd::killedWhileWriting()
{
    UdpSink replies;
    const quint16 requestPort = freeUdpPort();
    const QString ini = site::network(0, requestPort, 0, replies.port())
                        + "[algorithm_config]\ns_enable=true\ns_length=5\n[tag_high]\ntag1=1.2\n[pan_id]\nPANID=AB12\n";
    ProgramRunner program(QStringLiteral("solver_unit"), ini);
    QUdpSocket requester;

    int acknowledged = -1; // highest value whose reply arrived
    int sent = 0;
    for (int round = 0; round < kRounds; ++round) {
        QVERIFY(program.start());
        // The log is collected over every start: the bind line of this one.
        QVERIFY2(program.waitForLog(QStringLiteral("bind local udp listen port for api request SUCESS!"), 10000, round + 1),
                 qPrintable(program.log()));
        QDeadlineTimer window(QRandomGenerator::global()->bounded(30, 300));
        while (!window.hasExpired()) {
            requester.writeDatagram(setAllAnchors(sent++), QHostAddress(QHostAddress::LocalHost), requestPort);
            const QJsonObject reply = QJsonDocument::fromJson(replies.next(5)).object();
            const QJsonArray list = reply.value(QStringLiteral("anchors_lists")).toArray();
            if (!list.isEmpty())
                acknowledged = qMax(acknowledged, list.at(0).toObject().value(QStringLiteral("x")).toInt());
        }
        program.kill();

        // A copy under a new name: no cached parse of an earlier round is reused.
        const QString copy = program.dir() + QStringLiteral("/check%1.ini").arg(round);
        QVERIFY(QFile::copy(program.dir() + QStringLiteral("/config.ini"), copy));
        QSettings file(copy, QSettings::IniFormat);
        QCOMPARE(file.status(), QSettings::NoError);
        QVERIFY(file.value("network_setting/local_udp_listen_parameters_configuration_port").toInt() == requestPort
                && file.value("algorithm_config/s_length") == 5 && file.value("tag_high/tag1") == "1.2"
                && file.value("pan_id/PANID") == "AB12");
        file.beginGroup(QStringLiteral("anchor_coordinate"));
        const QStringList keys = file.allKeys();
        QVERIFY2(keys.isEmpty() || keys.size() == kAnchors, qPrintable(keys.join(QLatin1Char(','))));
        for (const QString &key : keys) {
            const QStringList xyz = file.value(key).toString().split(QLatin1Char(','));
            QVERIFY2(xyz.size() == 3 && xyz.at(2) == QLatin1String("1.25"), qPrintable(key));
            QVERIFY2(xyz.at(0).toDouble() >= acknowledged, qPrintable(key + " lost an acknowledged write"));
        }
    }
    QVERIFY2(acknowledged >= 0, "no request was ever answered");
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_end_to_end.moc"
