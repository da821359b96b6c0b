#include "../app/site_ini.h"
#include "../support/test_support.h"
#include "ingest/anchor_record.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTest>

#include <random>

// solver_unit and solver_unit_hr started as a site runs them, fed by the
// anchor simulator over loopback and scored by the report monitor against the
// simulator's truth.
class tst_EndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void reportsEveryCompletedTransmission_data();
    void reportsEveryCompletedTransmission();
    void badInputDuringTraffic();
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

QString siteIni(const Ports &ports, bool smoothing)
{
    QString ini = site::network(ports.anchor, ports.request, ports.location, ports.reply) + site::hall()
                  + "[pan_id]\nPANID=1A2B\n[coordinate_reference]\ncoordinate_reference_x=116.25\n"
                    "coordinate_reference_y=39.75\n"
                  + QStringLiteral("[algorithm_config]\ndelay_window_1908=%1\nactive_time=10\n").arg(kDelay);
    if (smoothing)
        ini += QStringLiteral("s_enable=true\ns_length=%1\ns_start_half_length=2\ns_redundant=2\n").arg(kSmoothLength);
    return ini;
}

QString buildDir() { return qEnvironmentVariable("SOLVER_BUILD_DIR"); }

// Command-line arguments from one text (the temporary paths hold no spaces).
QStringList words(const QString &text) { return text.split(QLatin1Char(' '), Qt::SkipEmptyParts); }

QByteArray randomBytes(std::mt19937 &random, int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(random());
    return bytes;
}

QJsonObject readJson(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

} // namespace

void tst_EndToEnd::reportsEveryCompletedTransmission_data()
{
    QTest::addColumn<bool>("hr");
    QTest::addColumn<bool>("smoothing");
    QTest::addColumn<bool>("clockWrap");
    QTest::newRow("solver_unit") << false << false << false;
    QTest::newRow("solver_unit smoothing") << false << true << false;
    QTest::newRow("solver_unit clock wrap mid-run") << false << false << true;
    QTest::newRow("solver_unit_hr") << true << false << false;
    QTest::newRow("solver_unit_hr smoothing clock wrap") << true << true << true;
}

void tst_EndToEnd::reportsEveryCompletedTransmission()
{
    QFETCH(bool, hr);
    QFETCH(bool, smoothing);
    QFETCH(bool, clockWrap);
    const Ports ports;
    ProgramRunner solver(hr ? QStringLiteral("solver_unit_hr") : QStringLiteral("solver_unit"),
                         siteIni(ports, smoothing));
    QVERIFY(solver.start());
    QVERIFY2(solver.waitForLog(QStringLiteral("STARTUP SUCESS!")), qPrintable(solver.log()));
    QTest::qWait(300);

    const double seconds = 3.0, noise = 0.03;
    const int tags = 3, rate = 20;
    const QString config = solver.dir() + QStringLiteral("/config.ini");
    const QString truth = solver.dir() + QStringLiteral("/truth.csv");
    const QString summary = solver.dir() + QStringLiteral("/summary.json");

    QProcess monitor;
    monitor.start(buildDir() + QStringLiteral("/tools/solver_monitor"),
                  words(QStringLiteral("--config %1 --duration %2 --truth %3 --json-summary %4 --quiet")
                            .arg(config).arg(seconds + 2.5).arg(truth, summary)));
    QVERIFY(monitor.waitForStarted());
    QTest::qWait(300);

    QStringList simArgs = words(QStringLiteral("--config %1 --tags %2 --rate %3 --noise %4 --duration %5 --seed 7 "
                                               "--truth %6 --quiet")
                                    .arg(config).arg(tags).arg(rate).arg(noise).arg(seconds).arg(truth));
    if (clockWrap) {
        // The 40-bit clock wraps half-way through the run.
        const quint64 start = (quint64(1) << 40) - quint64(seconds / 2 * kTicksPerSecond);
        simArgs << QStringLiteral("--clock-start") << QString::number(start);
    }
    QProcess sim;
    sim.start(buildDir() + (hr ? QStringLiteral("/tools/solver_sim_hr") : QStringLiteral("/tools/solver_sim")),
              simArgs);
    QVERIFY(sim.waitForFinished(int(seconds * 1000) + 20000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(monitor.waitForFinished(20000));
    QCOMPARE(monitor.exitCode(), 0);
    QCOMPARE(solver.terminate(), 0);

    const QJsonObject result = readJson(summary);
    QVERIFY2(!result.isEmpty(), qPrintable(QString::fromUtf8(monitor.readAllStandardError())));
    QCOMPARE(result.value(QStringLiteral("invalid")).toInt(), 0);
    QCOMPARE(result.value(QStringLiteral("hr_reports")).toBool(), hr);
    const QJsonObject perTag = result.value(QStringLiteral("tags")).toObject();
    QCOMPARE(perTag.size(), tags);
    for (const QString &tag : perTag.keys()) {
        const QJsonObject t = perTag.value(tag).toObject();
        const int sent = t.value(QStringLiteral("transmissions")).toInt();
        // The first transmission registers the tag and its anchors, the last
        // `delay` ones are never due, and a smoothing window swallows L - 1.
        const int expected = sent - 1 - kDelay - (smoothing ? kSmoothLength - 1 : 0);
        QVERIFY2(t.value(QStringLiteral("reports")).toInt() == expected,
                 qPrintable(QStringLiteral("%1: %2 reports for %3 sent, expected %4\n%5")
                                .arg(tag)
                                .arg(t.value(QStringLiteral("reports")).toInt())
                                .arg(sent)
                                .arg(expected)
                                .arg(solver.log().right(3000))));
        // Six anchors with 3 cm timestamp noise put a single solution within
        // about 5 cm (1 sigma); 0.15 m RMSE leaves room without hiding a bias.
        const double rmse = t.value(QStringLiteral("rmse_m")).toDouble(-1);
        QVERIFY2(rmse >= 0 && rmse < 0.15, qPrintable(QStringLiteral("%1 rmse %2").arg(tag).arg(rmse)));
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
    QVERIFY2(!solver.log().contains(QStringLiteral("Sanitizer")), qPrintable(solver.log()));
}

// Garbage and truncated anchor datagrams, a flood of records from unknown
// tags, configuration requests and a restart, all during live traffic: valid
// transmissions keep producing reports and config.ini stays whole.
void tst_EndToEnd::badInputDuringTraffic()
{
    const Ports ports;
    ProgramRunner solver(QStringLiteral("solver_unit"), siteIni(ports, false));
    QVERIFY(solver.start());
    QVERIFY(solver.waitForLog(QStringLiteral("STARTUP SUCESS!")));
    QTest::qWait(300);
    const QString config = solver.dir() + QStringLiteral("/config.ini");
    UdpSink location(ports.location);

    QProcess sim;
    const QString simulator = buildDir() + QStringLiteral("/tools/solver_sim");
    sim.start(simulator, words(QStringLiteral("--config %1 --tags 2 --rate 20 --duration 4 --quiet").arg(config)));
    QVERIFY(sim.waitForStarted());

    std::mt19937 random(11);
    QUdpSocket sender;
    const QHostAddress loopback(QHostAddress::LocalHost);
    int requests = 0;
    for (int round = 0; round < 60; ++round) {
        // Random bytes of random sizes, some of them whole record multiples.
        for (int i = 0; i < 20; ++i) {
            const int size = (i % 4 == 0) ? record::kSize * (1 + int(random() % 3)) : int(random() % 300);
            sender.writeDatagram(randomBytes(random, size), loopback, ports.anchor);
        }
        // Records of tags nobody configured, heard by anchors nobody configured.
        for (int i = 0; i < 20; ++i) {
            const QByteArray r = record::make(quint8(random()), randomBytes(random, 6), random(), randomBytes(random, 6),
                                              randomBytes(random, record::kTelemetrySize));
            sender.writeDatagram(r, loopback, ports.anchor);
        }
        // Rewrites an anchor with its own coordinates: the simulator reads the
        // anchors when it starts, and an anchor the running program does not
        // know would make every transmission count more records than there
        // are anchors, which discards it.
        if (round % 5 == 0) {
            const QByteArray request = (round % 10 == 0)
                                           ? QByteArray(R"({"REQUEST":"SetAnchorsXYZ","content":[{"anchor_imei":"A00000000006","x":10,"y":15,"z":3}]})")
                                           : QByteArray(R"({"REQUEST":"GetAnchorsLists"})");
            sender.writeDatagram(request, loopback, ports.request);
            ++requests;
        }
        QTest::qWait(50);
    }
    QVERIFY(sim.waitForFinished(30000));
    const QList<QByteArray> reports = location.drain(1000);
    // Most of 4 s x 20 Hz x 2 tags.
    QVERIFY2(reports.size() > 2 * 20 * 2, qPrintable(QString::number(reports.size())));
    for (const QByteArray &report : reports)
        QVERIFY(QJsonDocument::fromJson(report).object().contains(QStringLiteral("indoorLocationData")));
    QVERIFY(solver.process().state() == QProcess::Running);

    // A restart in the middle of traffic: the new process picks up at once.
    QCOMPARE(solver.terminate(), 0);
    QVERIFY(solver.start());
    QVERIFY(solver.waitForLog(QStringLiteral("STARTUP SUCESS!")));
    QTest::qWait(300);
    QProcess again;
    again.start(simulator, words(QStringLiteral("--config %1 --tags 2 --rate 20 --duration 1.5 --quiet").arg(config)));
    QVERIFY(again.waitForFinished(30000));
    QVERIFY2(location.drain(1000).size() > 20, "reports resume after the restart");
    QCOMPARE(solver.terminate(), 0);

    QSettings settings(config, QSettings::IniFormat);
    QCOMPARE(settings.status(), QSettings::NoError);
    QCOMPARE(settings.value(QStringLiteral("anchor_coordinate/A00000000006")).toString(),
             QStringLiteral("10.00,15.00,3.00"));
    QCOMPARE(settings.value(QStringLiteral("network_setting/local_udp_listen_anchor_port")).toInt(), int(ports.anchor));
    QCOMPARE(settings.value(QStringLiteral("pan_id/PANID")).toString(), QStringLiteral("1A2B"));
    QVERIFY2(!solver.log().contains(QStringLiteral("Sanitizer")), qPrintable(solver.log()));
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_end_to_end.moc"
