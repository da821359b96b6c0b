// The anchor traffic in Wireshark: solver_sim --pcap writes captures that
// tcpdump (libpcap) and tshark read, with valid checksums and the truth
// file's send times; the Lua dissector shows every record's fields as the
// program's own readers decode them, marks datagrams of a wrong length or
// framing with the reason, and hands the configuration port to JSON.
#include "../support/test_support.h"
#include "api/api_addition_message.h"
#include "ingest/anchor_record.h"
#include "tools/sim/pcapng_writer.h"

#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

const QString kScript = QStringLiteral(SOLVER_SOURCE_DIR "/packaging/wireshark/solver_unit.lua");
const QString kSample = QStringLiteral(SOLVER_SOURCE_DIR "/config.ini.sample");

using Packet = QHash<QString, QStringList>; // field name -> its values in the packet

// Runs a program to its end; false (and the reason) unless it exits with `expectedCode`.
bool run(const QString &program, const QStringList &args, QByteArray *out, QString *why, int expectedCode = 0)
{
    ChildProcess p(program, expectedCode);
    if (!p.start(args)) {
        *why = program + QStringLiteral(" did not start");
        return false;
    }
    const int code = p.finish(120000);
    *out = p.process().readAllStandardOutput();
    *why = QStringLiteral("%1 %2 exited with %3: %4").arg(program, args.join(' ')).arg(code).arg(p.log());
    return code == expectedCode;
}

// tshark -T fields over a capture: one Packet a frame. With the dissector unless `withScript` is false.
bool tsharkFields(const QString &tshark, const QString &capture, const QStringList &fields, QVector<Packet> *packets,
                  QString *why, const QStringList &options = {}, bool withScript = true)
{
    QStringList args{"-n", "-r", capture, "-T", "fields", "-E", "occurrence=a", "-E", "aggregator=|"};
    if (withScript)
        args << "-X" << QStringLiteral("lua_script:") + kScript;
    args << options;
    for (const QString &f : fields)
        args << "-e" << f;
    QByteArray out;
    if (!run(tshark, args, &out, why))
        return false;
    packets->clear();
    for (const QByteArray &line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> values = line.split('\t');
        Packet p;
        for (int i = 0; i < fields.size(); ++i) {
            const QString v = i < values.size() ? QString::fromUtf8(values[i]) : QString();
            p[fields[i]] = v.isEmpty() ? QStringList() : v.split('|');
        }
        packets->append(p);
    }
    return true;
}

// Microseconds of a tshark epoch time "s.nnnnnnnnn", without going through a double.
qint64 epochMicros(const QString &text)
{
    const QStringList parts = text.split('.');
    return parts.value(0).toLongLong() * 1000000 + parts.value(1).leftJustified(9, '0').left(6).toLongLong();
}

QByteArray hexBytes(const char *hex) { return QByteArray::fromHex(hex); }

// The worked example of the telemetry block: heart rate 75, VO2 35, ... period calories 12.
const QByteArray kTelemetry = hexBytes("4B002300D200B80BC800E110DC05200325032A032F032C030C00");

QByteArray record72(quint8 heartRate)
{
    QByteArray r(72, '\0');
    r[0] = 'D';
    r[1] = 'W';
    r[2] = 9;
    r.replace(3, 6, hexBytes("A00000000007"));
    r.replace(14, 6, hexBytes("E0000000002A"));
    r[26 + 4] = char(heartRate);
    r[70] = '\r';
    r[71] = '\n';
    return r;
}

const QStringList kRecordFields{
    "solver_unit.kind", "solver_unit.record_size", "solver_unit.records", "solver_unit.sequence",
    "solver_unit.anchor_id", "solver_unit.reception_time", "solver_unit.reception_metres", "solver_unit.tag_id",
    "solver_unit.telemetry.heart_rate", "solver_unit.telemetry.vo2", "solver_unit.telemetry.calorie",
    "solver_unit.telemetry.speed", "solver_unit.telemetry.signal_quality", "solver_unit.telemetry.signal_percent",
    "solver_unit.telemetry.signal_bad", "solver_unit.telemetry.step", "solver_unit.telemetry.distance",
    "solver_unit.telemetry.rri_interval", "solver_unit.telemetry.rri", "solver_unit.telemetry.period_calorie",
    "solver_unit.telemetry.heartrate", "solver_unit.telemetry.hrv", "solver_unit.heartbeat.anchor_id",
    "_ws.expert.message", "_ws.col.Info"};

// The dissector's field for each member of the report's additionMessage.
const QList<QPair<QString, QString>> kMembers{
    {"solver_unit.telemetry.heart_rate", "heart_rate"}, {"solver_unit.telemetry.vo2", "VO2"},
    {"solver_unit.telemetry.calorie", "calorie"},       {"solver_unit.telemetry.speed", "speed"},
    {"solver_unit.telemetry.signal_quality", "signal_quality"}, {"solver_unit.telemetry.step", "step"},
    {"solver_unit.telemetry.distance", "distance"},     {"solver_unit.telemetry.rri", "RRI"},
    {"solver_unit.telemetry.period_calorie", "period_calorie"}};

} // namespace

class tst_WiresharkDissector : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void simulatorCapture_data();
    void simulatorCapture();
    void craftedDatagrams();
    void configurationPortIsJson_data();
    void configurationPortIsJson();
    void captureThatCannotBeWritten();

private:
    QString tshark;
    QString tcpdump;
    QTemporaryDir dir;
};

void tst_WiresharkDissector::initTestCase()
{
    SOLVER_REQUIRE_TOOL(tshark, "tshark");
    SOLVER_REQUIRE_TOOL(tcpdump, "tcpdump");
    QVERIFY(QFile::exists(kScript));
    QVERIFY(QFile::copy(kSample, dir.filePath(QStringLiteral("config.ini"))));
}

void tst_WiresharkDissector::simulatorCapture_data()
{
    QTest::addColumn<QString>("simulator");
    QTest::addColumn<int>("recordSize");
    QTest::addColumn<int>("perDatagram");
    QTest::addColumn<double>("spreadMs");
    QTest::addColumn<int>("port"); // 0: the config's 9100, the dissector's default

    QTest::newRow("54-byte records, one a datagram") << "solver_sim" << 54 << 1 << 0.0 << 0;
    QTest::newRow("54-byte records, three a datagram, spread") << "solver_sim" << 54 << 3 << 5.0 << 0;
    QTest::newRow("72-byte records, two a datagram") << "solver_sim_hr" << 72 << 2 << 0.0 << 0;
    QTest::newRow("anchor port 9200 by preference") << "solver_sim" << 54 << 6 << 0.0 << 9200;
}

// Every record of a simulated run, as the dissector shows it, equals what the
// program's record readers and telemetry decoder make of its bytes; the
// capture's time stamps are the truth file's send times on the simulated
// schedule, and libpcap reads the file with good checksums.
void tst_WiresharkDissector::simulatorCapture()
{
    QFETCH(QString, simulator);
    QFETCH(int, recordSize);
    QFETCH(int, perDatagram);
    QFETCH(double, spreadMs);
    QFETCH(int, port);
    const QString capture = dir.filePath(QStringLiteral("sim.pcapng"));
    const QString truthFile = dir.filePath(QStringLiteral("truth.csv"));
    // 3 tags at 10 Hz for 2 s, six anchors; the 40-bit clock wraps about a second in.
    QStringList simArgs{"--config", dir.filePath(QStringLiteral("config.ini")), "--tags", "3", "--duration", "2",
                        "--noise", "0.05", "--seed", "7", "--clock-start", "0xF100000000", "--anchors-per-datagram",
                        QString::number(perDatagram), "--spread", QString::number(spreadMs), "--pcap", capture,
                        "--truth", truthFile, "--quiet"};
    if (port)
        simArgs << "--port" << QString::number(port);
    QByteArray out;
    QString why;
    QVERIFY2(run(toolPath(simulator), simArgs, &out, &why), qPrintable(why));
    const int transmissions = 60, anchors = 6;
    const int datagramsPerTx = (anchors + perDatagram - 1) / perDatagram;

    // libpcap: every packet read, every UDP checksum right.
    QVERIFY2(run(tcpdump, {"-r", capture, "-nn", "-vv"}, &out, &why), qPrintable(why));
    QCOMPARE(out.count("[udp sum ok]"), transmissions * datagramsPerTx);
    QCOMPARE(out.count(QByteArray("127.0.0.2.50000 > 127.0.0.1.") + QByteArray::number(port ? port : 9100)),
             transmissions * datagramsPerTx);

    // The bytes as sent, with Wireshark's own checks of the headers.
    QVector<Packet> raw;
    QVERIFY2(tsharkFields(tshark, capture,
                          {"frame.time_epoch", "ip.checksum.status", "udp.checksum.status", "udp.payload"}, &raw, &why,
                          {"-o", "ip.check_checksum:TRUE", "-o", "udp.check_checksum:TRUE"}, false),
             qPrintable(why));
    QCOMPARE(raw.size(), transmissions * datagramsPerTx);

    QStringList options;
    if (port)
        options << "-o" << QStringLiteral("solver_unit.anchor_port:%1").arg(port);
    QVector<Packet> shown;
    QVERIFY2(tsharkFields(tshark, capture, kRecordFields, &shown, &why, options), qPrintable(why));
    QCOMPARE(shown.size(), raw.size());

    QHash<QString, qint64> firstSeen; // "tag/seq" -> capture time of its first datagram, us
    int records = 0;
    for (int i = 0; i < raw.size(); ++i) {
        const Packet &p = shown[i];
        QCOMPARE(raw[i]["ip.checksum.status"], QStringList{"1"});
        QCOMPARE(raw[i]["udp.checksum.status"], QStringList{"1"});
        const QByteArray payload = QByteArray::fromHex(raw[i]["udp.payload"].value(0).toLatin1());
        const int count = payload.size() / recordSize;
        QCOMPARE(p["solver_unit.kind"], QStringList{"measurement"});
        QCOMPARE(p["solver_unit.record_size"], QStringList{QString::number(recordSize)});
        QCOMPARE(p["solver_unit.records"], QStringList{QString::number(count)});
        QVERIFY2(p["_ws.expert.message"].isEmpty(), qPrintable(p["_ws.expert.message"].join(" / ")));
        QCOMPARE(p["solver_unit.tag_id"].size(), count);
        for (int k = 0; k < count; ++k) {
            const QByteArray r = payload.mid(k * recordSize, recordSize);
            const QString tag = QString::fromLatin1(record::tagKey(r).toHex().toUpper());
            QCOMPARE(p["solver_unit.tag_id"][k], tag);
            QCOMPARE(p["solver_unit.anchor_id"][k], QString::fromLatin1(record::anchorKey(r).toHex().toUpper()));
            QCOMPARE(p["solver_unit.sequence"][k].toInt(), record::sequence(r));
            const quint64 ticks = record::receptionTime(r);
            QCOMPARE(p["solver_unit.reception_time"][k].toULongLong(), ticks);
            const double metres = p["solver_unit.reception_metres"][k].toDouble();
            QVERIFY2(std::fabs(metres - double(ticks) * 0.00468) <= 1e-9 * std::max(1.0, metres),
                     qPrintable(p["solver_unit.reception_metres"][k]));
            const QByteArray block = r.mid(26, recordSize - 28);
            if (recordSize == 54) {
                ApiAdditionMessage decoded;
                decoded.setMessage(block);
                const QJsonObject members = decoded.json();
                for (const auto &m : kMembers)
                    QCOMPARE(p[m.first].value(k).toInt(), members.value(m.second).toInt());
            } else {
                ApiAdditionMessage decoded;
                decoded.setHeartRateMessage(QString::fromLatin1(block.toHex().toUpper()));
                QCOMPARE(p["solver_unit.telemetry.heartrate"].value(k).toInt(),
                         decoded.json().value(QStringLiteral("heartrate")).toInt());
                QCOMPARE(p["solver_unit.telemetry.hrv"].value(k),
                         decoded.json().value(QStringLiteral("HRV")).toString());
            }
            const QString key = tag + '/' + QString::number(record::sequence(r));
            if (!firstSeen.contains(key))
                firstSeen.insert(key, epochMicros(raw[i]["frame.time_epoch"].value(0)));
            ++records;
        }
    }
    QCOMPARE(records, transmissions * anchors);

    // The truth file's send time of each transmission is its first datagram's capture time.
    QFile truth(truthFile);
    QVERIFY(truth.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(truth.readLine().trimmed(), QByteArray("sent_us,tag,seq,x,y,z"));
    int rows = 0;
    while (!truth.atEnd()) {
        const QList<QByteArray> row = truth.readLine().trimmed().split(',');
        const QString key = QString::fromLatin1(row.value(1)) + '/' + QString::fromLatin1(row.value(2));
        QVERIFY2(firstSeen.contains(key), qPrintable(key));
        QCOMPARE(firstSeen.value(key), row.value(0).toLongLong());
        ++rows;
    }
    QCOMPARE(rows, transmissions);

    // The capture spans the simulated run: the last transmission is due at 59/30 s, its datagrams up to the spread later.
    const qint64 span = epochMicros(raw.last()["frame.time_epoch"].value(0))
                        - epochMicros(raw.first()["frame.time_epoch"].value(0));
    QVERIFY2(span >= 1966666 && span <= 1966667 + qint64(spreadMs * 1000), qPrintable(QString::number(span)));
}

// Hand-made datagrams, one a frame: known field values, heartbeats, and every
// kind of wrong length or framing with its reason.
void tst_WiresharkDissector::craftedDatagrams()
{
    const QByteArray known =
        record::make(255, hexBytes("010203040506"), (quint64(1) << 40) - 1, hexBytes("AABBCCDDEEFF"), kTelemetry);
    QByteArray noMark = known;
    noMark[0] = 'X';
    QByteArray secondUnended = known + known;
    secondUnended[2 * 54 - 1] = '\r';
    struct Row {
        const char *name;
        QByteArray datagram;
        QString kind;
        QStringList experts; // every expert message of the frame, in order
        QList<QPair<QString, QString>> fields;
    };
    const QString drops = QStringLiteral("; the program drops it");
    const QString badDatagram =
        QStringLiteral("Datagram does not start \"DW\" or does not end CR LF: the program logs it as malformed");
    const QList<Row> rows{
        {"heartbeat", hexBytes("4448") + hexBytes("A00000000003") + hexBytes("0102"), "heartbeat", {},
         {{"solver_unit.heartbeat.anchor_id", "A00000000003"}, {"_ws.col.Info", "Heartbeat, anchor A00000000003"}}},
        {"heartbeat of 12 bytes", hexBytes("4448") + hexBytes("A00000000003") + hexBytes("01020304"), "malformed",
         {"heartbeat of 12 bytes (10 expected)" + drops}, {}},
        {"two bytes", QByteArray("DW"), "malformed", {"2 bytes: too short for any anchor datagram" + drops}, {}},
        {"a record and one byte", known + '\n', "malformed",
         {"55 bytes: not a whole number of 54 or 72-byte records" + drops}, {}},
        {"known 54-byte record", known, "measurement", {},
         {{"solver_unit.record_size", "54"},
          {"solver_unit.sequence", "255"},
          {"solver_unit.anchor_id", "010203040506"},
          {"solver_unit.reception_time", "1099511627775"},
          {"solver_unit.tag_id", "AABBCCDDEEFF"},
          {"solver_unit.telemetry.heart_rate", "75"},
          {"solver_unit.telemetry.vo2", "35"},
          {"solver_unit.telemetry.calorie", "210"},
          {"solver_unit.telemetry.speed", "3000"},
          {"solver_unit.telemetry.signal_quality", "200"},
          {"solver_unit.telemetry.signal_percent", "100"},
          {"solver_unit.telemetry.signal_bad", "0"},
          {"solver_unit.telemetry.step", "4321"},
          {"solver_unit.telemetry.distance", "1500"},
          {"solver_unit.telemetry.rri_interval", "800|805|810|815|812"},
          {"solver_unit.telemetry.rri", "812"},
          {"solver_unit.telemetry.period_calorie", "12"}}},
        {"known 72-byte record", record72(0x48), "measurement", {},
         {{"solver_unit.record_size", "72"},
          {"solver_unit.sequence", "9"},
          {"solver_unit.anchor_id", "A00000000007"},
          {"solver_unit.tag_id", "E0000000002A"},
          {"solver_unit.telemetry.heartrate", "72"},
          {"solver_unit.telemetry.hrv", "95"},
          {"solver_unit.telemetry.heart_rate", ""}}},
        {"record without DW", noMark, "measurement",
         {badDatagram, "Record 1 of 1 starts 0x5857, not \"DW\"; the program queues it all the same"},
         {{"solver_unit.sequence", "255"}}},
        {"second of two records without CR LF", secondUnended, "measurement",
         {badDatagram, "Record 2 of 2 ends 0x0D0D, not CR LF; the program queues it all the same"},
         {{"solver_unit.records", "2"}, {"solver_unit.sequence", "255|255"}}},
        {"216 bytes as four 54-byte records", known + known + known + known, "measurement", {},
         {{"solver_unit.record_size", "54"}, {"solver_unit.records", "4"}}},
        {"216 bytes as three 72-byte records", record72(1) + record72(2) + record72(3), "measurement", {},
         {{"solver_unit.record_size", "72"}, {"solver_unit.records", "3"}, {"solver_unit.telemetry.heartrate", "1|2|3"}}},
    };

    const QString capture = dir.filePath(QStringLiteral("crafted.pcapng"));
    PcapngWriter writer;
    QString why;
    QVERIFY2(writer.open(capture, 0x7f000001, 9100, QStringLiteral("test"), &why), qPrintable(why));
    for (int i = 0; i < rows.size(); ++i) {
        writer.queue(rows[i].datagram);
        bool ok = false;
        QCOMPARE(writer.flush(qint64(i + 1) * 1000000000, &ok), 0);
        QVERIFY(ok);
    }
    QVERIFY(writer.close());

    QVector<Packet> shown;
    QVERIFY2(tsharkFields(tshark, capture, kRecordFields, &shown, &why), qPrintable(why));
    QCOMPARE(shown.size(), rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        const Packet &p = shown[i];
        const QString name = QString::fromLatin1(row.name);
        QVERIFY2(p["solver_unit.kind"] == QStringList{row.kind}, qPrintable(name + ": " + p["solver_unit.kind"].join('|')));
        QVERIFY2(p["_ws.expert.message"] == row.experts,
                 qPrintable(name + ": " + p["_ws.expert.message"].join(" / ")));
        for (const auto &field : row.fields) {
            const QString value = p[field.first].join('|');
            QVERIFY2(value == field.second, qPrintable(QStringLiteral("%1: %2 is \"%3\", not \"%4\"")
                                                           .arg(name, field.first, value, field.second)));
        }
        if (row.kind == QLatin1String("malformed"))
            QVERIFY2(p["_ws.col.Info"].join('|').startsWith(QLatin1String("Malformed: ")), qPrintable(name));
    }
    // The largest time stamp, in metres.
    QVERIFY(std::fabs(shown[4]["solver_unit.reception_metres"].value(0).toDouble() - 1099511627775.0 * 0.00468) < 1e-3);
}

void tst_WiresharkDissector::configurationPortIsJson_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("json");
    QTest::newRow("default port 9101") << 9101 << QStringList() << true;
    QTest::newRow("port 9201 by preference") << 9201 << QStringList{"-o", "solver_unit.config_port:9201"} << true;
    QTest::newRow("9101 with the preference at 0") << 9101 << QStringList{"-o", "solver_unit.config_port:0"} << false;
}

// A configuration request on the configuration port reaches Wireshark's JSON dissector.
void tst_WiresharkDissector::configurationPortIsJson()
{
    QFETCH(int, port);
    QFETCH(QStringList, options);
    QFETCH(bool, json);
    const QString capture = dir.filePath(QStringLiteral("config.pcapng"));
    PcapngWriter writer;
    QString why;
    QVERIFY2(writer.open(capture, 0x7f000001, quint16(port), QStringLiteral("test"), &why), qPrintable(why));
    writer.queue(R"({"REQUEST":"SetPANID","content":[{"PANID":"hall7"}]})");
    bool ok = false;
    writer.flush(1000000000, &ok);
    QVERIFY(ok && writer.close());
    QVector<Packet> shown;
    QVERIFY2(tsharkFields(tshark, capture, {"frame.protocols", "json.member_with_value"}, &shown, &why, options),
             qPrintable(why));
    QCOMPARE(shown.size(), 1);
    const QString protocols = shown[0]["frame.protocols"].value(0);
    QCOMPARE(protocols.endsWith(QLatin1String("udp:solver_unit_config:json")), json);
    if (json)
        QVERIFY2(shown[0]["json.member_with_value"].contains(QStringLiteral("PANID:hall7")),
                 qPrintable(shown[0]["json.member_with_value"].join('|')));
}

void tst_WiresharkDissector::captureThatCannotBeWritten()
{
    ChildProcess sim(toolPath(QStringLiteral("solver_sim")), 2);
    QVERIFY(sim.start({"--config", dir.filePath(QStringLiteral("config.ini")), "--duration", "1", "--pcap",
                       dir.filePath(QStringLiteral("no such directory/capture.pcapng"))}));
    QCOMPARE(sim.finish(), 2);
    QVERIFY2(sim.log().contains(QLatin1String("solver_sim: cannot write")), qPrintable(sim.log()));
}

QTEST_GUILESS_MAIN(tst_WiresharkDissector)
#include "tst_wireshark_dissector.moc"
