// solver_sim and solver_monitor as programs, over loopback: what they send,
// write and summarise for the options a test or a benchmark will give them.
#include "../app/site_ini.h"
#include "../support/test_support.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>

namespace {

// The monitor pairs with delay window 1.
QString siteIni(quint16 anchorPort, quint16 locationPort)
{
    return site::network(anchorPort, 0, locationPort) + site::hall() + "[algorithm_config]\ndelay_window_1908=1\n";
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Command-line arguments from one text (the temporary paths hold no spaces).
QStringList words(const QString &text) { return text.split(QLatin1Char(' '), Qt::SkipEmptyParts); }

qint64 nowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

QByteArray plainReport(const QString &tag, double x, double y)
{
    return QStringLiteral(R"({"indoorLocationData":{"additionMessage":{"RRI":800,"VO2":30,"calorie":5,"distance":12,)"
                          R"("heart_rate":91,"period_calorie":1,"signal_quality":200,"speed":900,"step":16},)"
                          R"("coordx":%1,"coordy":%2,"locationTime":"20260101T120000","tagID":"%3"}})")
        .arg(x * 100)
        .arg(y * 100)
        .arg(tag)
        .toUtf8();
}

} // namespace

class tst_ToolPrograms : public QObject
{
    Q_OBJECT

private slots:
    void simulatorSendsWhatItWasAskedFor_data();
    void simulatorSendsWhatItWasAskedFor();
    void simulatorRefusesBadOptions_data();
    void simulatorRefusesBadOptions();
    void monitorSummarises();
};

void tst_ToolPrograms::simulatorSendsWhatItWasAskedFor_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<int>("recordSize");
    QTest::addColumn<int>("perDatagram");
    QTest::addColumn<QList<int>>("sizesPerTransmission");
    QTest::newRow("solver_unit, one record a datagram") << SOLVER_SIM << 54 << 1 << QList<int>{54, 54, 54, 54, 54, 54};
    QTest::newRow("solver_unit, four a datagram") << SOLVER_SIM << 54 << 4 << QList<int>{216, 108};
    QTest::newRow("solver_unit_hr, all in one") << SOLVER_SIM_HR << 72 << 6 << QList<int>{432};
}

void tst_ToolPrograms::simulatorSendsWhatItWasAskedFor()
{
    QFETCH(QString, program);
    QFETCH(int, recordSize);
    QFETCH(int, perDatagram);
    QFETCH(QList<int>, sizesPerTransmission);
    UdpSink sink;
    sink.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("config.ini")), siteIni(sink.port(), 0).toUtf8()));

    QProcess sim;
    sim.start(program, words(QStringLiteral("--config %1 --tags 2 --rate 20 --duration 1 --anchors-per-datagram %2 "
                                            "--seq-start 250 --truth %3")
                                 .arg(dir.filePath(QStringLiteral("config.ini")))
                                 .arg(perDatagram)
                                 .arg(dir.filePath(QStringLiteral("truth.csv")))));
    QVERIFY2(sim.waitForFinished(10000), "simulator did not finish");
    QCOMPARE(sim.exitCode(), 0);
    const QList<QByteArray> datagrams = sink.drain(300);

    // 2 tags x 20 Hz x 1 s = 40 transmissions, the datagrams of each in a row.
    QCOMPARE(datagrams.size(), 40 * sizesPerTransmission.size());
    for (int i = 0; i < datagrams.size(); ++i) {
        const QByteArray &d = datagrams[i];
        QCOMPARE(d.size(), sizesPerTransmission[i % sizesPerTransmission.size()]);
        for (int r = 0; r < d.size(); r += recordSize)
            QVERIFY2(d.mid(r, 2) == "DW" && d.mid(r + recordSize - 2, 2) == "\r\n", d.toHex().constData());
    }
    const QList<QByteArray> truth = readFile(dir.filePath(QStringLiteral("truth.csv"))).trimmed().split('\n');
    QCOMPARE(truth.size(), 41);
    QCOMPARE(truth[0], QByteArray("sent_us,tag,seq,x,y,z"));
    // Tags alternate; each counts 250..255 then wraps to 0.
    QVERIFY2(truth[1].contains(",E00000000001,250,") && truth[2].contains(",E00000000002,250,"), truth[1].constData());
    QVERIFY2(truth[13].contains(",E00000000001,0,"), truth[13].constData());
    QVERIFY2(truth[40].contains(",E00000000002,13,"), truth[40].constData());
}

void tst_ToolPrograms::simulatorRefusesBadOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("no tags") << words("--tags 0") << "--tags";
    QTest::newRow("negative noise") << words("--noise -1") << "--noise";
    QTest::newRow("clock beyond 40 bits") << words("--clock-start 0x10000000000") << "2^40";
    QTest::newRow("rate not a number") << words("--rate fast") << "--rate";
    QTest::newRow("config missing") << words("--config /nonexistent/config.ini") << "no such file";
}

void tst_ToolPrograms::simulatorRefusesBadOptions()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("config.ini")), siteIni(freeUdpPort(), 0).toUtf8()));
    QProcess sim;
    sim.setWorkingDirectory(dir.path());
    sim.start(QStringLiteral(SOLVER_SIM), args + words("--duration 0.2"));
    QVERIFY(sim.waitForFinished(10000));
    const QString err = QString::fromUtf8(sim.readAllStandardError());
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY2(err.contains(message), qPrintable(err));
}

void tst_ToolPrograms::monitorSummarises()
{
    QTemporaryDir dir;
    const quint16 port = freeUdpPort();
    QVERIFY(writeFile(dir.filePath(QStringLiteral("config.ini")), siteIni(0, port).toUtf8()));
    // Tag 1 sent three transmissions; its report arrives after the third and,
    // with delay window 1, describes the second: (6, 5), reported 0.5 m off.
    const qint64 t = nowUs();
    QVERIFY(writeFile(dir.filePath(QStringLiteral("truth.csv")),
                      QStringLiteral("sent_us,tag,seq,x,y,z\n%1,E00000000001,0,5,5,1.2\n%2,E00000000001,1,6,5,1.2\n"
                                     "%3,E00000000001,2,7,5,1.2\n")
                          .arg(t - 300000)
                          .arg(t - 200000)
                          .arg(t - 100000)
                          .toUtf8()));
    QProcess monitor;
    monitor.start(QStringLiteral(SOLVER_MONITOR),
                  words(QStringLiteral("--config %1/config.ini --duration 1.5 --truth %1/truth.csv "
                                       "--json-summary %1/summary.json --svg %1/run.svg --quiet")
                            .arg(dir.path())));
    monitor.setReadChannel(QProcess::StandardError);
    QVERIFY2(monitor.waitForReadyRead(5000), "monitor did not say it listens");
    sendUdp(port, plainReport(QStringLiteral("E00000000001"), 6.3, 5.4));
    sendUdp(port, plainReport(QStringLiteral("E00000000007"), 1, 2));
    sendUdp(port, "DW garbage");
    QVERIFY2(monitor.waitForFinished(10000), "monitor did not stop after --duration");
    QCOMPARE(monitor.exitCode(), 0);
    const QString out = QString::fromUtf8(monitor.readAllStandardOutput());
    QVERIFY2(out.contains(QLatin1String("summary: 2 reports")), qPrintable(out));

    const QJsonObject s = QJsonDocument::fromJson(readFile(dir.filePath(QStringLiteral("summary.json")))).object();
    QCOMPARE(s.value(QStringLiteral("reports")).toInt(), 2);
    QCOMPARE(s.value(QStringLiteral("invalid")).toInt(), 1);
    QCOMPARE(s.value(QStringLiteral("paired")).toInt(), 1);
    QCOMPARE(s.value(QStringLiteral("unpaired")).toInt(), 1);
    QVERIFY2(std::abs(s.value(QStringLiteral("rmse_m")).toDouble() - 0.5) < 1e-9, qPrintable(out));
    const QJsonObject tag = s.value(QStringLiteral("tags")).toObject().value(QStringLiteral("E00000000001")).toObject();
    QCOMPARE(tag.value(QStringLiteral("transmissions")).toInt(), 3);
    QCOMPARE(tag.value(QStringLiteral("telemetry")).toObject().value(QStringLiteral("heart_rate")).toInt(), 91);
    QVERIFY2(readFile(dir.filePath(QStringLiteral("run.svg"))).contains("<circle"), "picture without reports");
}

QTEST_GUILESS_MAIN(tst_ToolPrograms)
#include "tst_tool_programs.moc"
