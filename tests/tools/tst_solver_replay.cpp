#include "../app/site_ini.h"
#include "../support/test_support.h"
#include "ingest/anchor_record.h"
#include "tools/common/site_config.h"
#include "tools/sim/anchor_simulator.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <QtEndian>

#include <pcap/pcap.h>
#include <unistd.h>

#include <cmath>

// solver_replay as a program: captures of every link type it reads and bad files, the live program's reports against
// the replay of a tcpdump capture of the same traffic, the simulator's truth, and determinism.
class tst_SolverReplay : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void linkTypesAndBadFiles_data();
    void linkTypesAndBadFiles();
    void replayNearTheTruth_data();
    void replayNearTheTruth();
    void deterministicAndFiltered();

private:
    QTemporaryDir dir;
    QString ini;
    QVector<QPair<qint64, QByteArray>> datagrams; // capture time (ns), anchor datagram
    QByteArray reference;                        // the reports of the Ethernet capture
};

namespace {

constexpr quint16 kAnchorPort = 29100;
constexpr int kDelay = 2;

QString replayPath() { return toolPath(QStringLiteral("solver_replay")); }

ToolRun replay(const QStringList &args) { return runTool(replayPath(), args, 60000); }

QString siteIni(quint16 anchor, quint16 request, quint16 location, const QString &algorithm)
{
    return site::network(anchor, request, location) + site::hall()
           + QStringLiteral("[algorithm_config]\ndelay_window_1908=%1\nactive_time=10\n").arg(kDelay) + algorithm
           + QStringLiteral("[coordinate_reference]\ncoordinate_reference_x=116.25\ncoordinate_reference_y=39.75\n");
}

QByteArray be16(quint16 v)
{
    uchar b[2];
    qToBigEndian(v, b);
    return QByteArray(reinterpret_cast<const char *>(b), 2);
}

QByteArray udp(quint16 dstPort, const QByteArray &payload)
{
    return be16(40000) + be16(dstPort) + be16(quint16(8 + payload.size())) + be16(0) + payload;
}

// 127.0.0.1 to itself; fragment: more fragments follow.
QByteArray ipv4(const QByteArray &payload, quint8 protocol = 17, bool fragment = false)
{
    return be16(0x4500) + be16(quint16(20 + payload.size())) + be16(0) + be16(fragment ? 0x2000 : 0) + char(64)
           + char(protocol) + be16(0) + QByteArray("\x7f\0\0\x01\x7f\0\0\x01", 8) + payload;
}

// ::1 to ::1.
QByteArray ipv6(const QByteArray &payload)
{
    const QByteArray loopback = QByteArray(15, '\0') + '\1';
    return be16(0x6000) + be16(0) + be16(quint16(payload.size())) + char(17) + char(64) + loopback + loopback + payload;
}

// The IP packet in the link layer of `link`; vlan: one 802.1Q tag (Ethernet).
QByteArray linkFrame(int link, const QByteArray &ip, bool vlan)
{
    const bool v6 = (ip.at(0) & 0xf0) == 0x60;
    const QByteArray type = be16(v6 ? 0x86dd : 0x0800);
    switch (link) {
    case DLT_EN10MB:
        return QByteArray(12, '\x02') + (vlan ? be16(0x8100) + be16(7) : QByteArray()) + type + ip;
    case DLT_LINUX_SLL:
        return be16(0) + be16(772) + be16(6) + QByteArray(8, '\0') + type + ip;
    case DLT_LINUX_SLL2:
        return type + be16(0) + QByteArray("\0\0\0\1", 4) + be16(772) + QByteArray("\0\6", 2) + QByteArray(8, '\0') + ip;
    default:
        return ip;
    }
}

// A pcap file through libpcap's own writer. caplen: the snap length (0: whole frames).
bool writePcap(const QString &path, int link, const QVector<QPair<qint64, QByteArray>> &frames, int caplen = 0)
{
    pcap_t *dead = pcap_open_dead_with_tstamp_precision(link, caplen ? caplen : 65535, PCAP_TSTAMP_PRECISION_NANO);
    pcap_dumper_t *out = pcap_dump_open(dead, QFile::encodeName(path).constData());
    if (!out)
        return false;
    for (const auto &f : frames) {
        pcap_pkthdr h{};
        h.ts.tv_sec = f.first / 1000000000;
        h.ts.tv_usec = f.first % 1000000000;
        h.len = bpf_u_int32(f.second.size());
        h.caplen = caplen ? qMin(h.len, bpf_u_int32(caplen)) : h.len;
        pcap_dump(reinterpret_cast<u_char *>(out), &h, reinterpret_cast<const u_char *>(f.second.constData()));
    }
    pcap_dump_close(out);
    pcap_close(dead);
    return true;
}

// A report with its locationTime value blanked, and that value.
QByteArray withoutTime(const QByteArray &report, QString *time = nullptr)
{
    static const QRegularExpression member(QStringLiteral("\"locationTime\":\"(\\d{8}T\\d{6})\""));
    QString text = QString::fromUtf8(report);
    const QRegularExpressionMatch m = member.match(text);
    if (time)
        *time = m.captured(1);
    return text.replace(member, QStringLiteral("\"locationTime\":\"\"")).toUtf8();
}

QList<QByteArray> lines(const QByteArray &text)
{
    QList<QByteArray> l = text.split('\n');
    if (!l.isEmpty() && l.last().isEmpty())
        l.removeLast();
    return l;
}

qint64 countIn(const QString &summary, const QString &what)
{
    const QRegularExpressionMatch m = QRegularExpression(QRegularExpression::escape(what) + " (\\d+)").match(summary);
    return m.hasMatch() ? m.captured(1).toLongLong() : -1;
}

// Every report within 0.5 m of where its tag was 1.5 s before to 2.5 s after its locationTime (whole seconds).
void nearTheTruth(const QList<QByteArray> &reports, const QString &truth)
{
    QFile file(truth);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QMultiHash<QString, QVector<double>> truthByTag; // tag -> {seconds, x, y}
    for (const QByteArray &row : lines(file.readAll()).mid(1)) {
        const QList<QByteArray> f = row.split(',');
        truthByTag.insert(QString::fromLatin1(f.at(1)), {f.at(0).toDouble() / 1e6, f.at(3).toDouble(), f.at(4).toDouble()});
    }
    for (const QByteArray &report : reports) {
        const QJsonObject indoor = QJsonDocument::fromJson(report).object().value("indoorLocationData").toObject();
        const double x = indoor.value("coordx").toDouble() / 100, y = indoor.value("coordy").toDouble() / 100;
        const double at = QDateTime::fromString(indoor.value("locationTime").toString(), "yyyyMMddThhmmss").toSecsSinceEpoch();
        double best = 1e9;
        for (const QVector<double> &t : truthByTag.values(indoor.value("tagID").toString())) {
            if (t[0] > at - 1.5 && t[0] < at + 2.5)
                best = qMin(best, std::hypot(t[1] - x, t[2] - y));
        }
        QVERIFY2(best < 0.5, report.constData());
    }
}

} // namespace

void tst_SolverReplay::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(QFile::exists(replayPath()), qPrintable(replayPath()));
    ini = dir.path() + "/config.ini";
    QVERIFY(writeFile(ini, siteIni(kAnchorPort, 0, 0, "s_enable=true\ns_length=4\ns_start_half_length=2\ns_redundant=2\n")));

    // Three tags at 10 Hz for 3 s, each record a datagram, 2 ms apart: whole milliseconds, which every format holds.
    SiteConfig site;
    QString error;
    QVERIFY2(SiteConfig::load(ini, &site, &error), qPrintable(error));
    sim::SimSettings settings;
    settings.tags = 3;
    settings.noiseMetres = 0.02;
    sim::AnchorSimulator simulator(site.anchors, site.tagHeight, settings);
    const qint64 start = qint64(1796640000) * 1000000000;
    for (int k = 0; k < 90; ++k) {
        const sim::Transmission tx = simulator.transmit(k % 3, k / 30.0);
        for (int i = 0; i < tx.records.size(); ++i)
            datagrams.append({start + qint64(k) * 33000000 + i * 2000000, tx.records.at(i)});
    }
    QVector<QPair<qint64, QByteArray>> frames;
    for (const auto &d : datagrams)
        frames.append({d.first, linkFrame(DLT_EN10MB, ipv4(udp(kAnchorPort, d.second)), false)});
    QVERIFY(writePcap(dir.path() + "/reference.pcap", DLT_EN10MB, frames));
    const ToolRun run = replay({"--fast", "--config", ini, dir.path() + "/reference.pcap"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    reference = run.out;
    // Every transmission but the last few (still within the delay window and the smoothing window's start) is reported.
    QVERIFY2(lines(reference).size() >= 90 - 3 * (kDelay + 1) - 3 * 4, qPrintable(run.err));
}

void tst_SolverReplay::linkTypesAndBadFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("link");
    QTest::addColumn<bool>("v6");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected"); // in the summary or the one error line
    QTest::newRow("ethernet vlan") << "pcap" << DLT_EN10MB << false << 0 << "other traffic 2, ip fragments 1";
    QTest::newRow("ethernet ipv6") << "pcap" << DLT_EN10MB << true << 0 << "other traffic 2, ip fragments 1";
    QTest::newRow("linux cooked") << "pcap" << DLT_LINUX_SLL << false << 0 << "link type LINUX_SLL,";
    QTest::newRow("linux cooked v2") << "pcap" << DLT_LINUX_SLL2 << true << 0 << "link type LINUX_SLL2,";
    QTest::newRow("raw ip") << "pcap" << DLT_RAW << false << 0 << "other traffic 2, ip fragments 1";
    QTest::newRow("raw ipv6") << "pcap" << DLT_RAW << true << 0 << "truncated 0";
    QTest::newRow("last packet cut") << "cut-last" << DLT_EN10MB << false << 0 << "ends inside its last packet";
    QTest::newRow("snap length 60") << "snap" << DLT_EN10MB << false << 0 << "snap length of 60 bytes";
    QTest::newRow("not a capture") << "text" << 0 << false << 2 << "is not a readable pcap or pcapng capture";
    QTest::newRow("empty file") << "empty" << 0 << false << 2 << "is not a readable pcap or pcapng capture";
    QTest::newRow("header cut short") << "cut-header" << DLT_EN10MB << false << 2 << "truncated dump file";
    QTest::newRow("wifi link type") << "pcap" << DLT_IEEE802_11 << false << 2 << "link type 105 (IEEE802_11)";
    QTest::newRow("no such file") << "missing" << 0 << false << 2 << "No such file or directory";
}

void tst_SolverReplay::linkTypesAndBadFiles()
{
    QFETCH(QString, kind);
    QFETCH(int, link);
    QFETCH(bool, v6);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    const QString path = dir.path() + "/" + QTest::currentDataTag() + ".cap";
    QVector<QPair<qint64, QByteArray>> frames;
    const auto ip = [v6](const QByteArray &payload) { return v6 ? ipv6(payload) : ipv4(payload); };
    for (int i = 0; i < datagrams.size(); ++i) {
        const qint64 t = datagrams.at(i).first;
        frames.append({t, linkFrame(link, ip(udp(kAnchorPort, datagrams.at(i).second)), i % 2 == 0)});
        if (i == 10) { // other traffic: another port, TCP (v4); a fragment
            frames.append({t, linkFrame(link, ip(udp(kAnchorPort + 1, "x")), false)});
            frames.append({t, linkFrame(link, v6 ? ipv6(udp(53, "y")) : ipv4(QByteArray(20, '\0'), 6), false)});
            QByteArray fragment = v6 ? ipv6(QByteArray(8, '\0')) : ipv4(udp(kAnchorPort, "z"), 17, true);
            if (v6)
                fragment[6] = 44; // fragment header next
            frames.append({t, linkFrame(link, fragment, false)});
        }
    }
    if (kind == "text" || kind == "empty")
        QVERIFY(writeFile(path, kind == "text" ? "this is not a capture\n" : ""));
    else if (kind != "missing")
        QVERIFY(writePcap(path, link, frames, kind == "snap" ? 60 : 0));
    if (kind == "cut-header" || kind == "cut-last") {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.resize(kind == "cut-header" ? 10 : f.size() - 20));
    }

    const ToolRun run = replay({"--fast", "--config", ini, path});
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(expected), qPrintable(run.err));
    if (exitCode != 0) {
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY(run.err.startsWith("solver_replay: "));
        QVERIFY(run.out.isEmpty());
        return;
    }
    // A snap length of 60 bytes cuts every anchor datagram (54 bytes of payload): none read. A cut last packet only
    // loses a datagram that completes nothing. Otherwise the same datagrams in any wrapping give the same reports,
    // byte for byte.
    const qint64 all = datagrams.size(), truncated = kind == "snap" ? all : kind == "cut-last" ? 1 : 0;
    QCOMPARE(countIn(run.err, "truncated"), truncated);
    QCOMPARE(countIn(run.err, "datagrams read"), kind == "snap" ? 0 : all - truncated);
    QCOMPARE(run.out, kind == "snap" ? QByteArray() : reference);
    if (kind == "pcap") {
        QCOMPARE(countIn(run.err, "other traffic"), qint64(2));
        QCOMPARE(countIn(run.err, "ip fragments"), qint64(1));
        QCOMPARE(countIn(run.err, "solver_records_received_total"), all);
    }
}

void tst_SolverReplay::replayNearTheTruth_data()
{
    QTest::addColumn<bool>("live");
    QTest::addColumn<QString>("algorithm");
    const QString accuracy = QStringLiteral("nlos_rejection=true\nrange_noise=0.05\ntrack_filter=true\nreport_accuracy=true\n");
    QTest::newRow("live program, smoothing") << true << "s_enable=true\ns_length=4\ns_start_half_length=2\ns_redundant=2\n";
    QTest::newRow("live program, nlos track accuracy") << true << accuracy;
    QTest::newRow("simulator's capture, nlos track accuracy") << false << accuracy;
}

// The simulator's traffic (3 tags at 10 Hz for 3 s) in a capture, replayed: every report near the truth. Either its
// traffic to the running program, captured with tcpdump on every interface (Linux cooked v2) as a site's installer
// would: the replay reports what the program reported, byte for byte but for locationTime, which differs by at most a
// second. Or the simulator's own capture (pcapng, read here as nowhere else; its simulated send times, spread over
// 2 ms): a report for every transmission the delay window let complete.
void tst_SolverReplay::replayNearTheTruth()
{
    QFETCH(bool, live);
    QFETCH(QString, algorithm);
    QString tcpdump;
    if (live) {
        SOLVER_REQUIRE_TOOL(tcpdump, "tcpdump");
        SOLVER_REQUIRE(::geteuid() == 0, "capturing with tcpdump needs root");
    }
    constexpr int kTags = 3, kSeconds = 3, kRate = 10;
    const int datagramCount = kTags * kSeconds * kRate * 6;
    // A tag's first records only make it and its anchors known.
    const int due = kTags * kSeconds * kRate - kTags * (1 + kDelay);
    const quint16 anchorPort = freeUdpPort();
    UdpSink sink;
    QVERIFY(sink.port() != 0);
    ProgramRunner solver(QStringLiteral("solver_unit"),
                         siteIni(anchorPort, freeUdpPort(), sink.port(), algorithm) + site::debugOn());
    const QString config = solver.dir() + "/config.ini", truth = solver.dir() + "/truth.csv";
    const QString capture = solver.dir() + (live ? "/live.pcap" : "/sim.pcapng");
    ChildProcess dump(tcpdump);
    if (live) {
        QVERIFY(solver.start());
        QVERIFY2(solver.waitForLog(site::kWorkersRunning), qPrintable(solver.log()));
        // Ends by itself once every datagram of the simulator is in the file.
        QVERIFY(dump.start({"-i", "any", "-s", "0", "-U", "-n", "-c", QString::number(datagramCount), "-w", capture,
                            "udp", "dst", "port", QString::number(anchorPort)}));
        QVERIFY2(dump.waitForLog("listening on"), qPrintable(dump.log()));
    }
    ChildProcess sim(toolPath(QStringLiteral("solver_sim")));
    QVERIFY(sim.start(QStringList{"--config", config, "--tags", QString::number(kTags), "--rate", QString::number(kRate),
                                  "--duration", QString::number(kSeconds), "--noise", "0.02", "--seed", "11", "--truth",
                                  truth, "--quiet"}
                      + (live ? QStringList() : QStringList{"--pcap", capture, "--spread", "2"})));
    QCOMPARE(sim.finish(60000), 0);
    QList<QByteArray> reported;
    if (live) {
        QCOMPARE(dump.finish(30000), 0);
        // Every due set solved (the debug line of each), then the program ends and what it sent is queued at the sink.
        QVERIFY2(solver.waitForLog("(taylor) -> tag_imei:", 20000, due), qPrintable(solver.log().right(2000)));
        QCOMPARE(solver.terminate(), 0);
        reported = sink.pending();
        QVERIFY(!reported.isEmpty());
    }

    const ToolRun run = replay({"--fast", "--config", config, capture});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(countIn(run.err, "datagrams read"), qint64(datagramCount));
    const QList<QByteArray> replayed = lines(run.out);
    QCOMPARE(replayed.size(), live ? reported.size() : due);
    QVERIFY2(!live || run.err.contains("link type LINUX_SLL2"), qPrintable(run.err));
    for (int i = 0; i < reported.size(); ++i) {
        QString liveTime, replayTime;
        QCOMPARE(withoutTime(replayed.at(i), &replayTime), withoutTime(reported.at(i), &liveTime));
        const QDateTime a = QDateTime::fromString(liveTime, "yyyyMMddThhmmss");
        const QDateTime b = QDateTime::fromString(replayTime, "yyyyMMddThhmmss");
        QVERIFY2(a.isValid() && b.isValid() && qAbs(a.secsTo(b)) <= 1, qPrintable(liveTime + " " + replayTime));
    }
    nearTheTruth(replayed, truth);
}

// A paced run gives the --fast run's bytes; --tag keeps that tag's reports, --from and --to drop what is outside.
void tst_SolverReplay::deterministicAndFiltered()
{
    const QString capture = dir.path() + "/reference.pcap";
    const QString out = dir.path() + "/paced.jsonl";
    const ToolRun paced = replay({"--speed", "50", "--config", ini, "--out", out, capture});
    QVERIFY(paced.exitCode == 0 && paced.out.isEmpty());
    QCOMPARE(readFile(out).toUtf8(), reference);

    const ToolRun one = replay({"--fast", "--config", ini, "--tag", "E00000000002", capture});
    QCOMPARE(one.exitCode, 0);
    QByteArray expected;
    for (const QByteArray &line : lines(reference)) {
        if (line.contains("\"tagID\":\"E00000000002\""))
            expected += line + '\n';
    }
    QVERIFY(!expected.isEmpty());
    QCOMPARE(one.out, expected);

    const ToolRun window = replay({"--fast", "--config", ini, "--from", "1", "--to", "2", capture});
    QCOMPARE(window.exitCode, 0);
    QVERIFY(!window.out.isEmpty() && lines(window.out).size() < lines(reference).size() / 2);
    QVERIFY2(countIn(window.err, "outside --from/--to") > qint64(datagrams.size()) / 2, qPrintable(window.err));
    // A capture whose clock jumps decades ahead: the engine's timers catch up at once, the replay ends.
    QVector<QPair<qint64, QByteArray>> jumping;
    for (int i = 0; i < datagrams.size(); ++i) {
        const qint64 t = datagrams.at(i).first + (i >= datagrams.size() - 6 ? qint64(30) * 365 * 86400 * 1000000000 : 0);
        jumping.append({t, linkFrame(DLT_EN10MB, ipv4(udp(kAnchorPort, datagrams.at(i).second)), false)});
    }
    QVERIFY(writePcap(dir.path() + "/jump.pcap", DLT_EN10MB, jumping));
    const ToolRun jump = replay({"--fast", "--config", ini, dir.path() + "/jump.pcap"});
    QCOMPARE(jump.exitCode, 0);
    QVERIFY(lines(reference).mid(0, 60) == lines(jump.out).mid(0, 60));
}

QTEST_GUILESS_MAIN(tst_SolverReplay)
#include "tst_solver_replay.moc"
