// The anchor traffic in Wireshark: solver_sim --pcap writes captures that tcpdump (libpcap) and tshark read, with good
// checksums and the truth file's send times; the Lua dissector shows every record as the program's own readers decode
// it.
#include "../support/test_support.h"
#include "api/api_addition_message.h"
#include "ingest/anchor_record.h"

#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <cmath>

namespace {

const QString kScript = QStringLiteral(SOLVER_SOURCE_DIR "/packaging/wireshark/solver_unit.lua");

// Field name (without "solver_unit." for the dissector's) -> its values in one frame.
using Packet = QHash<QString, QStringList>;

// tshark -T fields over a capture, with the dissector: one Packet a frame.
bool tsharkFields(const QString &tshark, const QString &capture, const QString &fields, QVector<Packet> *packets,
                  QString *why, const QStringList &options = {})
{
    QStringList args{"-n", "-r", capture, "-X", "lua_script:" + kScript, "-T", "fields", "-E", "aggregator=|"};
    const QStringList names = fields.split(' ');
    for (const QString &f : names)
        args << "-e" << (QRegularExpression("^(_ws|frame|udp|json)\\.").match(f).hasMatch() ? f : "solver_unit." + f);
    const ToolRun run = runTool(tshark, args + options);
    *why = run.err;
    packets->clear();
    for (const QByteArray &line : run.out.split('\n')) {
        const QList<QByteArray> values = line.split('\t');
        if (values.size() != names.size())
            continue;
        Packet &p = *packets->insert(packets->end(), Packet());
        for (int i = 0; i < names.size(); ++i)
            p[names[i]] = values[i].isEmpty() ? QStringList() : QString::fromUtf8(values[i]).split('|');
    }
    return run.exitCode == 0;
}

qint64 epochMicros(const QString &text) // "s.nnnnnnnnn", without a double's rounding
{
    return text.section('.', 0, 0).toLongLong() * 1000000 + text.section('.', 1).left(6).toLongLong();
}

QString hexId(const QByteArray &id) { return QString::fromLatin1(id.toHex().toUpper()); }

const QString kRecordFields = QStringLiteral(
    "kind record_size records sequence anchor_id reception_time reception_metres tag_id telemetry.heart_rate "
    "telemetry.vo2 telemetry.calorie telemetry.speed telemetry.signal_quality telemetry.step telemetry.distance "
    "telemetry.rri telemetry.period_calorie telemetry.signal_percent telemetry.rri_interval telemetry.heartrate "
    "telemetry.hrv heartbeat.anchor_id _ws.expert.message frame.time_epoch udp.checksum.status udp.payload");

} // namespace

class tst_WiresharkDissector : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void simulatorCapture_data();
    void simulatorCapture();

private:
    QString tshark, tcpdump;
    QTemporaryDir dir;
};

void tst_WiresharkDissector::initTestCase()
{
    SOLVER_REQUIRE_TOOL(tshark, "tshark");
    SOLVER_REQUIRE_TOOL(tcpdump, "tcpdump");
    QVERIFY(QFile::copy(QStringLiteral(SOLVER_SOURCE_DIR "/config.ini.sample"), dir.filePath("config.ini")));
}

void tst_WiresharkDissector::simulatorCapture_data()
{
    QTest::addColumn<QString>("simulator");
    QTest::addColumn<int>("recordSize");
    QTest::addColumn<int>("perDatagram");
    QTest::addColumn<int>("port"); // the config's 9100 is the dissector's default; others by preference
    QTest::newRow("54-byte records, one a datagram") << "solver_sim" << 54 << 1 << 9100;
    QTest::newRow("72-byte records, three a datagram, port 9200") << "solver_sim_hr" << 72 << 3 << 9200;
}

// Every record of a simulated run as the dissector shows it equals what the program's record readers and telemetry
// decoder make of its bytes; each truth row's send time is its first datagram's capture time.
void tst_WiresharkDissector::simulatorCapture()
{
    QFETCH(QString, simulator);
    QFETCH(int, recordSize);
    QFETCH(int, perDatagram);
    QFETCH(int, port);
    const QString capture = dir.filePath("sim.pcapng"), truthFile = dir.filePath("truth.csv");
    // 3 tags at 10 Hz for 2 s, six anchors, records spread over 5 ms; the 40-bit clock wraps a second in.
    ToolRun run = runTool(toolPath(simulator),
                          {"--config", dir.filePath("config.ini"), "--tags", "3", "--duration", "2", "--noise", "0.05",
                           "--clock-start", "0xF100000000", "--anchors-per-datagram", QString::number(perDatagram),
                           "--spread", "5", "--port", QString::number(port), "--pcap", capture, "--truth", truthFile,
                           "--quiet"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    const int datagrams = 60 * (6 / perDatagram);
    run = runTool(tcpdump, {"-r", capture, "-nn", "-vv"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QString why;
    QCOMPARE(run.out.count("127.0.0.2.50000 > 127.0.0.1." + QByteArray::number(port) + ": [udp sum ok]"), datagrams);

    QVector<Packet> shown;
    QVERIFY2(tsharkFields(tshark, capture, kRecordFields, &shown, &why,
                          {"-o", "udp.check_checksum:TRUE", "-o", QStringLiteral("solver_unit.anchor_port:%1").arg(port)}),
             qPrintable(why));
    QCOMPARE(shown.size(), datagrams);
    QHash<QString, qint64> firstSeen; // "tag,seq" -> capture time of its first datagram
    for (const Packet &p : qAsConst(shown)) {
        QCOMPARE(p["udp.checksum.status"], QStringList{"1"});
        QCOMPARE(p["record_size"], QStringList{QString::number(recordSize)});
        QVERIFY2(p["_ws.expert.message"].isEmpty(), qPrintable(p["_ws.expert.message"].join(" / ")));
        const QByteArray payload = QByteArray::fromHex(p["udp.payload"].value(0).toLatin1());
        QCOMPARE(p["tag_id"].size(), perDatagram);
        for (int k = 0; k < perDatagram; ++k) {
            const QByteArray r = payload.mid(k * recordSize, recordSize);
            QCOMPARE(p["tag_id"][k], hexId(record::tagKey(r)));
            QCOMPARE(p["anchor_id"][k], hexId(record::anchorKey(r)));
            QCOMPARE(p["sequence"][k].toInt(), record::sequence(r));
            QCOMPARE(p["reception_time"][k].toULongLong(), record::receptionTime(r));
            QVERIFY(std::fabs(p["reception_metres"][k].toDouble() - record::receptionTime(r) * 0.00468) < 1e-6);
            const QByteArray block = r.mid(26, recordSize - 28);
            ApiAdditionMessage decoded;
            if (recordSize == 54)
                decoded.setMessage(block);
            else
                decoded.setHeartRateMessage(QString::fromLatin1(block.toHex().toUpper()));
            const QJsonObject members = decoded.json();
            QCOMPARE(members.size(), recordSize == 54 ? 9 : 2);
            for (auto m = members.begin(); m != members.end(); ++m)
                QCOMPARE(p["telemetry." + m.key().toLower()].value(k), m.value().toVariant().toString());
            firstSeen.insert(p["tag_id"][k] + ',' + p["sequence"][k],
                             std::min(firstSeen.value(p["tag_id"][k] + ',' + p["sequence"][k], LLONG_MAX),
                                      epochMicros(p["frame.time_epoch"].value(0))));
        }
    }
    const QStringList rows = readFile(truthFile).split('\n', Qt::SkipEmptyParts).mid(1);
    QCOMPARE(rows.size(), 60);
    for (const QString &row : rows)
        QCOMPARE(firstSeen.value(row.section(',', 1, 2), -1), row.section(',', 0, 0).toLongLong());
    // The capture spans the simulated run: the last transmission is due at 59/30 s; the spread shifts either end.
    const qint64 span = epochMicros(shown.last()["frame.time_epoch"][0]) - epochMicros(shown[0]["frame.time_epoch"][0]);
    QVERIFY2(std::abs(span - 1966667) <= 5000, qPrintable(QString::number(span)));
}

QTEST_GUILESS_MAIN(tst_WiresharkDissector)
#include "tst_wireshark_dissector.moc"
