#include "../app/site_ini.h"
#include "../support/test_support.h"
#include "common/config_file.h"
#include "ingest/anchor_datagram_batch.h"

#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QTest>

#include <cmath>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

// The real program facing careless or hostile clients, config.ini typos and symbolic links, lost-packet files of many
// days, anchor input it cannot keep up with; who may configure it, and how many anchors and writes it takes.
class tst_SiteSafety : public QObject
{
    Q_OBJECT
private slots:
    void requests_data();
    void requests();
    void linkedConfigWrittenThrough_data();
    void linkedConfigWrittenThrough();
    void oldLostPacketFilesRemoved_data();
    void oldLostPacketFilesRemoved();
    void junkFloodThenSigterm();
    void fifoOverflowKeepsNewest();
    void oldRecordsGiveWayToFreshOnes();
    void anchorLimit_data();
    void anchorLimit();
    void writeRate();
};

namespace {

const QByteArray kInvalid = R"({"INVALID_PARAMETER":1010})";
const QByteArray kProbe = R"({"REQUEST":"GetAnchorsLists"})";
const QByteArray kNoAnchors = R"({"anchors_lists":[]})";
const char kAbsent[] = "<absent>";

using Settings = QMap<QString, QString>; // "group/key" -> value, or kAbsent

QByteArray setAnchors(const QByteArray &elements)
{
    return R"({"REQUEST":"SetAnchorsXYZ","content":[)" + elements + "]}";
}

QByteArray setAnchor(const QByteArray &id)
{
    return setAnchors(R"({"anchor_imei":")" + id + R"(","x":1,"y":2,"z":3})");
}

QString lostPacketName(int daysAgo)
{
    return QStringLiteral("log_lostPacket%1.log").arg(QDate::currentDate().addDays(-daysAgo).toString("yyyyMMdd"));
}

QString siteIni(quint16 anchor, quint16 location, const QString &extra = QString())
{
    return site::network(anchor, 0, location) + extra + site::hall() + site::debugOn()
           + "[algorithm_config]\ndelay_window_1908=2\n";
}

// The program with its replies to `replies`, its metrics endpoint and the debug log on; started and listening.
struct Program : ProgramRunner {
    Program(quint16 replyPort, const QString &ini, quint16 requestPort = freeUdpPort())
        : ProgramRunner("solver_unit", site::network(0, requestPort, 0, replyPort) + ini
                                           + "[metrics]\nmetrics_listen=127.0.0.1:0\n[token_msg]\ndebug=debugmsg\n"),
          port(requestPort)
    {
    }
    bool started() { return start() && waitForLog("request SUCESS!") && waitForLog("/metrics\n"); }
    // A sample of the metrics endpoint, or -1.
    qint64 metric(const QString &key)
    {
        const quint16 at = QRegularExpression("metrics at http://[0-9.]+:(\\d+)/").match(log()).captured(1).toUShort();
        const double value = metricSample(QString::fromUtf8(httpGet(at, "/metrics").body), key);
        return std::isnan(value) ? -1 : qint64(value);
    }
    const quint16 port;
};

QString anchorId(int n) { return QStringLiteral("A%1").arg(n, 11, 10, QLatin1Char('0')); }

int listed(const QByteArray &reply)
{
    const QJsonValue list = QJsonDocument::fromJson(reply).object().value("anchors_lists");
    return list.isArray() ? list.toArray().size() : -1;
}

bool waitForBind(ProgramRunner &program)
{
    return program.waitForLog(QStringLiteral("bind local udp listen port for api request SUCESS!"));
}

} // namespace

// Every request kind and its reply at the configuration endpoint (never at the sender), byte for byte and none
// twice, and what lands in config.ini; requests of careless or hostile clients, and who may configure.
void tst_SiteSafety::requests_data()
{
    QTest::addColumn<QString>("ini");               // after the [network_setting] keys of the ports; debug on
    QTest::addColumn<QString>("to");                // the address requests are sent to
    QTest::addColumn<QString>("from");              // the sender's
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QList<QByteArray>>("replies"); // the probe's answer last; none: replies go to the request port
    QTest::addColumn<Settings>("settings");         // in config.ini afterwards
    QTest::addColumn<QStringList>("logged");        // each once in the log; "!text": never
    QTest::addColumn<QString>("ignored");           // the reason of solver_requests_ignored_total counting one datagram
    const QString v4 = QStringLiteral("127.0.0.1"), other = QStringLiteral("127.0.0.2");
    const QString pan = QStringLiteral("[pan_id]\nPANID=1a2b\n");
    const QString anchors = QStringLiteral("[anchor_coordinate]\n000000000001=\"1,2,3\"\n"
                                           "000000000002=\"abc,2,3\"\n000000000003=\"5\"\n");
    const QByteArray anchorList = R"({"anchors_lists":[{"anchor_imei":"000000000001","x":1,"y":2,"z":3},)"
                                  R"({"anchor_imei":"000000000002","x":0,"y":2,"z":3},)"
                                  R"({"anchor_imei":"000000000003","x":5,"y":0,"z":0}]})";
    const QByteArray valid = R"({"anchor_imei":"0A1B2C3D4E5F","x":1.5,"y":-2,"z":3.254})";
    const QByteArray validList = R"({"anchors_lists":[{"anchor_imei":"0A1B2C3D4E5F","x":1.5,"y":-2,"z":3.25}]})";
    const QString validKey = QStringLiteral("anchor_coordinate/0A1B2C3D4E5F"), panKey = QStringLiteral("pan_id/PANID");
    const QList<QByteArray> refused{kInvalid, kNoAnchors}, silence{kNoAnchors};
    const auto twice = [](const QByteArray &reply) { return QList<QByteArray>{reply, reply}; }; // the probe's the same
    const QByteArray set = R"({"REQUEST":"SetPANID","content":[{"PANID":"BEEF"}]})";
    const QList<QByteArray> taken{R"({"PANID":"BEEF"})", kNoAnchors};
    const QString handled = "api udp get request: " + set, notHandled = '!' + handled;
    const auto row = [&](const char *name, const QString &ini, const QByteArray &request, const QList<QByteArray> &replies,
                         const Settings &settings = {}, const QStringList &logged = {}, const QString &ignored = {},
                         const QString &to = QStringLiteral("127.0.0.1"), const QString &from = QStringLiteral("127.0.0.1")) {
        QTest::newRow(name) << ini << to << from << request << replies << settings << logged << ignored;
    };
    row("GetPANID in upper case", pan, R"({"REQUEST":"GetPANID"})", {R"({"PANID":"1A2B"})", kNoAnchors});
    row("GetPANID without identifier: silence", "", R"({"REQUEST":"GetPANID"})", silence);
    row("wrong case", pan, R"({"REQUEST":"getpanid"})", refused);
    row("no REQUEST", pan, R"({"content":[]})", refused);
    // Also: above the maximum, anchor_fifo_limit is clamped and logged.
    row("empty datagram: silence", "anchor_fifo_limit=2000000000\n", "", silence, {},
        {"anchor_fifo_limit 2000000000 is above the maximum of 1000000 records: the maximum is used",
         "anchor fifo limit -> 1000000 records"});
    row("stored anchors listed", anchors, kProbe, twice(anchorList));
    row("SetAnchorsXYZ", "", setAnchors(valid), twice(validList), {{validKey, "1.50,-2.00,3.25"}});
    row("11 characters after a valid one", "", setAnchors(valid + R"(,{"anchor_imei":"0A1B2C3D4E5","x":1})"), refused,
        {{validKey, kAbsent}, {"anchor_coordinate/0A1B2C3D4E5", kAbsent}});
    row("SetAnchorsXYZ empty: current list", anchors, setAnchors(""), twice(anchorList));
    // Refused like a wrong length: the list reply, sent without backslashes, could not carry it as JSON.
    row("quote in key refused", "", setAnchors(R"({"anchor_imei":"0A1B2C\"D4E5F","x":1})"), refused,
        {{"anchor_coordinate/0A1B2C\"D4E5F", kAbsent}});
    row("anchor id with a control character: refused", "", setAnchor(R"(0A1B2C\u001bD4E5F)"), refused, {},
        {"anchor iemi error!", "!\x1b"});
    row("anchor id of 12 hexadecimal digits: stored", "", setAnchor("0a1b2c3d4e5f"),
        twice(R"({"anchors_lists":[{"anchor_imei":"0a1b2c3d4e5f","x":1,"y":2,"z":3}]})"));
    row("overflowing number is 0", "", setAnchors(R"({"anchor_imei":"0A1B2C3D4E5F","x":1e999,"y":2,"z":-1e999})"),
        twice(R"({"anchors_lists":[{"anchor_imei":"0A1B2C3D4E5F","x":0,"y":2,"z":0}]})"),
        {{validKey, "0.00,2.00,0.00"}});
    row("SetPANID, last one stays", pan, R"({"REQUEST":"SetPANID","content":[{"PANID":"ab12"},{"PANID":"cd34"}]})",
        {R"({"PANID":"CD34"})", kNoAnchors}, {{panKey, "CD34"}});
    row("SetPANID without content", pan, R"({"REQUEST":"SetPANID"})", refused, {{panKey, "1a2b"}});
    row("SetPANID beyond the BMP, one character", pan, R"({"REQUEST":"SetPANID","content":[{"PANID":"\ud83d\ude00a1"}]})",
        {"{\"PANID\":\"\xF0\x9F\x98\x80" "A1\"}", kNoAnchors}, {{panKey, QString::fromUtf8("\xF0\x9F\x98\x80" "A1")}});
    row("SetPANID, half a character refused", pan, R"({"REQUEST":"SetPANID","content":[{"PANID":"\ud83dA"}]})", refused,
        {{panKey, "1a2b"}});
    row("PANID with a quote: refused, stored one kept", pan, R"({"REQUEST":"SetPANID","content":[{"PANID":"a\"b"}]})",
        refused, {{panKey, "1a2b"}}, {"PANID refused: a quote, backslash or control character cannot be sent back"});
    row("malformed line and comment kept", "; site file\nthis line is no setting\n" + pan,
        R"({"REQUEST":"SetPANID","content":[{"PANID":"ab"}]})", {R"({"PANID":"AB"})", kNoAnchors}, {{panKey, "AB"}});
    row("a reply document: not answered", "", kInvalid, silence, {},
        {R"(a reply document {"INVALID_PARAMETER":1010} is not answered)"}, "reply_document");
    // Measured before: 40,000 exchanges with itself in 2 s.
    row("configuration endpoint is the request port: one answer", "", "not JSON", {}, {},
        {"a datagram of our own reply socket (is the configuration endpoint this port?) is not answered",
         "INVALID_PARAMETER 1010"},
        "own_reply_socket");
    row("control characters of a request escaped in the log", "", "\x1b[2J\r\nforged line\\", refused, {},
        {R"(api udp get request: \x1b[2J\x0d\x0aforged line\\)", "!\x1b", "!\r"});
    // Who may configure: senders of the endpoint's address, or of those allowed; a sender ignored is not parsed (the
    // debug line of a handled request never shows it).
    row("endpoint's address", pan, set, taken, {{panKey, "BEEF"}}, {handled});
    row("127.0.0.2 ignored, named, counted", pan, set, silence, {{panKey, "1a2b"}},
        {"datagrams of senders not allowed to configure ignored: 1 so far, the last from 127.0.0.2", notHandled},
        "source", v4, other);
    row("allowed by address", "parameters_configuration_allow=127.0.0.2\n", set, taken, {{panKey, "BEEF"}},
        {"configuration requests taken from -> 127.0.0.1/32, 127.0.0.2/32", handled}, {}, v4, other);
    row("allowed by prefix, bad part refused", "parameters_configuration_allow=\"fd00::/64, 127.0.0.0/30,no.such/8\"\n",
        set, taken, {{panKey, "BEEF"}}, {"parameters_configuration_allow: \"no.such/8\" refused", handled}, {}, v4, other);
    row("another network allowed", "parameters_configuration_allow=10.0.0.0/8\n", set, silence, {{panKey, kAbsent}},
        {"the last from 127.0.0.2", notHandled}, "source", v4, other);
    row("IPv6 ignored", "", set, silence, {{panKey, kAbsent}}, {"the last from ::1", notHandled}, "source", "::1", "::1");
    row("IPv6 allowed", "parameters_configuration_allow=::1\n", set, taken, {{panKey, "BEEF"}}, {handled}, {}, "::1",
        "::1");
    row("bound to 127.0.0.2", "local_udp_listen_parameters_configuration_ip=127.0.0.2\n", set, taken, {{panKey, "BEEF"}},
        {"configuration ip -> 127.0.0.2", handled}, {}, other, v4);
}

void tst_SiteSafety::requests()
{
    QFETCH(QString, ini);
    QFETCH(QString, to);
    QFETCH(QString, from);
    QFETCH(QByteArray, request);
    QFETCH(QList<QByteArray>, replies);
    QFETCH(Settings, settings);
    QFETCH(QStringList, logged);
    QFETCH(QString, ignored);

    QUdpSocket requester, prober;
    if (!requester.bind(QHostAddress(from), 0))
        QSKIP(qPrintable("no " + from + " here"));
    UdpSink sink;
    const quint16 requestPort = freeUdpPort();
    Program program(replies.isEmpty() ? requestPort : sink.port(), ini, requestPort);
    const QString config = program.dir() + "/config.ini", before = readFile(config);
    QVERIFY2(program.started(), qPrintable(program.log()));
    requester.writeDatagram(request, QHostAddress(to), requestPort);
    if (replies.isEmpty()) {
        // Its own reply comes back once and is neither handled nor answered.
        QVERIFY2(program.waitForLog(logged.first()), qPrintable(program.log()));
        QTest::qWait(300);
        QCOMPARE(program.log().count(QStringLiteral("api udp get request: ")), 1);
    } else {
        // Requests are handled in order: the probe's answer comes last. It is sent from the endpoint's address (an
        // IPv6 socket takes IPv4 as well unless bound).
        QVERIFY(prober.bind(QHostAddress(QHostAddress::LocalHost), 0));
        prober.writeDatagram(kProbe, QHostAddress(to == "::1" ? "127.0.0.1" : to), requestPort);
        QCOMPARE(sink.receive(replies.size(), 5000), replies);
        QVERIFY(sink.drain(200).isEmpty());
    }
    QVERIFY2(!requester.hasPendingDatagrams() && !prober.hasPendingDatagrams(), "a reply went back to the sender");
    const QString log = program.log();
    for (const QString &line : qAsConst(logged)) {
        const bool never = line.startsWith('!');
        QVERIFY2(log.count(line.mid(never ? 1 : 0)) == (never ? 0 : 1), qPrintable(line + "\n---\n" + log));
    }
    for (const char *reason : {"source", "reply_document", "own_reply_socket"})
        QCOMPARE(program.metric(QStringLiteral("solver_requests_ignored_total{reason=\"%1\"}").arg(reason)),
                 qint64(ignored == reason));
    QCOMPARE(program.terminate(), 0);
    if (settings.isEmpty() && replies.value(0) == kInvalid)
        QVERIFY2(readFile(config) == before, "an invalid request changed config.ini");
    QVERIFY2(readFile(config).contains(ini.section(QLatin1Char('['), 0, 0)), "lines the request does not set are kept");
    for (auto it = settings.cbegin(); it != settings.cend(); ++it)
        QCOMPARE(ConfigFile(config).settings().value(it.key(), kAbsent).toString(), it.value());
}

// config.ini -> (links) -> site/site.ini: site.ini changes, the links stay; it keeps its owner, group and mode.
void tst_SiteSafety::linkedConfigWrittenThrough_data()
{
    QTest::addColumn<QStringList>("links"); // config.ini's link target, then each further link's
    QTest::newRow("plain file") << QStringList();
    QTest::newRow("link to a file elsewhere") << QStringList{"<site>/site.ini"};
    QTest::newRow("two links, relative") << QStringList{"hop.ini", "../site/site.ini"};
}

void tst_SiteSafety::linkedConfigWrittenThrough()
{
    QFETCH(QStringList, links);
    UdpSink replies;
    const quint16 requestPort = freeUdpPort();
    ProgramRunner program(QStringLiteral("solver_unit"));
    const QString run = program.dir() + "/run", siteDir = program.dir() + "/site";
    QVERIFY(QDir().mkpath(run) && QDir().mkpath(siteDir)
            && QFile::rename(program.dir() + "/solver_unit", run + "/solver_unit"));
    const QString site = links.isEmpty() ? run + "/config.ini" : siteDir + "/site.ini";
    QVERIFY(writeFile(site, site::network(0, requestPort, 0, replies.port()) + "[pan_id]\nPANID=AB12\n"));
    QString from = run + "/config.ini";
    for (QString to : qAsConst(links)) {
        to.replace("<site>", siteDir);
        QVERIFY(QFile::link(to, from));
        from = QFileInfo(from).absolutePath() + '/' + to;
    }
    // Another owner and group where the test may give them (as root).
    const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
    const gid_t group = ::geteuid() == 0 ? 65534 : ::getegid();
    QVERIFY(::chown(QFile::encodeName(site).constData(), owner, group) == 0
            && ::chmod(QFile::encodeName(site).constData(), 0640) == 0);
    program.process().setWorkingDirectory(run);
    program.process().start(run + "/solver_unit", QStringList());
    QVERIFY2(waitForBind(program), qPrintable(program.log()));

    sendUdp(requestPort, setAnchor("0A1B2C3D4E5F"));
    QCOMPARE(replies.next(), QByteArray(R"({"anchors_lists":[{"anchor_imei":"0A1B2C3D4E5F","x":1,"y":2,"z":3}]})"));
    QCOMPARE(program.terminate(), 0);

    QCOMPARE(QFileInfo(run + "/config.ini").isSymLink(), !links.isEmpty());
    const QString text = readFile(site);
    QVERIFY2(text.contains("0A1B2C3D4E5F=\"1.00,2.00,3.00\"") && text.contains("PANID=AB12"), qPrintable(text));
    struct stat after;
    QVERIFY(::stat(QFile::encodeName(site).constData(), &after) == 0);
    QCOMPARE(after.st_mode & 07777, mode_t(0640));
    QVERIFY(after.st_uid == owner && after.st_gid == group);
    for (const QString &dir : {run, siteDir}) { // no temporary file left; the writers' lock file stays
        const QStringList hidden = QDir(dir).entryList({".*"}, QDir::Files | QDir::Hidden);
        const QString lock = '.' + QFileInfo(site).fileName() + ".lock";
        QVERIFY2(hidden.isEmpty() || (dir == QFileInfo(site).path() && hidden == QStringList{lock}),
                 qPrintable(hidden.join(' ')));
    }
}

// At start, files dated lost_packet_keep_days or more before today go; the rest of the directory stays.
void tst_SiteSafety::oldLostPacketFilesRemoved_data()
{
    QTest::addColumn<QString>("setting"); // null: no key
    QTest::addColumn<int>("keep");        // days kept, today's included; 0: all
    QTest::newRow("absent: 14 days") << QString() << 14;
    QTest::newRow("3 days") << QStringLiteral("3") << 3;
    QTest::newRow("0 keeps all") << QStringLiteral("0") << 0;
    QTest::newRow("not a number: 14 days") << QStringLiteral("two") << 14;
}

void tst_SiteSafety::oldLostPacketFilesRemoved()
{
    QFETCH(QString, setting);
    QFETCH(int, keep);
    const QString keepDays = setting.isNull() ? QString() : "lost_packet_keep_days=" + setting + '\n';
    ProgramRunner program(QStringLiteral("solver_unit"), site::network(0, freeUdpPort()) + keepDays);
    const QList<int> present{0, 1, 2, 13, 14, 400};
    // Names that only look alike are never touched.
    const QStringList others{"log_lostPacket2020.log", "log_lostPacket20201340.log", "log_lostPacket19990101.txt",
                             "notes.log"};
    QStringList names = others;
    for (int daysAgo : present)
        names << lostPacketName(daysAgo);
    for (const QString &name : qAsConst(names))
        QVERIFY(writeFile(program.dir() + '/' + name, "[01-01 00:00:00]: 2f2f\n"));
    QVERIFY2(program.start() && waitForBind(program), qPrintable(program.log()));
    QCOMPARE(program.terminate(), 0);

    const QStringList files = QDir(program.dir()).entryList(QDir::Files);
    for (const QString &name : others)
        QVERIFY2(files.contains(name), qPrintable(name));
    for (int daysAgo : present) {
        const bool kept = keep == 0 || daysAgo < keep;
        QVERIFY2(files.contains(lostPacketName(daysAgo)) == kept, qPrintable(lostPacketName(daysAgo)));
        const QString line =
            QStringLiteral("lost-packet file %1 removed: older than %2 days").arg(lostPacketName(daysAgo)).arg(keep);
        QCOMPARE(program.log().count(line), kept ? 0 : 1);
    }
}

// Random datagrams as fast as this process sends them beside the simulator's tags: reports keep coming, bad-datagram
// lines and dumps stay within their rate, and SIGTERM right after a burst of 20,000 ends the program cleanly.
void tst_SiteSafety::junkFloodThenSigterm()
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
    const QString dumps = readFile(solver.dir() + '/' + lostPacketName(0));
    QVERIFY(dumps.contains(QStringLiteral("bad anchor datagrams not logged")) && dumps.count('\n') <= 2 * limit);
}

// One datagram of 108 transmissions beyond anchor_fifo_limit: the oldest make room, counted; the 8 newest are solved.
void tst_SiteSafety::fifoOverflowKeepsNewest()
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

// 120,000 records at once, far more than the solver takes within anchor_max_age_ms: the ones that waited too long are
// dropped with the once-a-second line, and a tag sending afterwards is reported in full.
void tst_SiteSafety::oldRecordsGiveWayToFreshOnes()
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
    // The first makes the tag known, the last two are never due. No fresh record was dropped: all 7 reports come.
    const QList<QByteArray> reports = location.receive(7);
    QCOMPARE(reports.size(), 7);
    for (const QByteArray &report : reports)
        QVERIFY2(report.contains("0000000000B2"), report.constData());
}

void tst_SiteSafety::anchorLimit_data()
{
    QTest::addColumn<int>("inFile"); // anchors in config.ini at start
    QTest::addColumn<int>("first");  // the request sets anchors first.. (below inFile: moved)
    QTest::addColumn<int>("count");  // 0: no request
    QTest::addColumn<int>("listed"); // by GetAnchorsLists afterwards
    QTest::addColumn<QString>("logged");

    QTest::newRow("999 and 2 more: refused whole") << 999 << 999 << 2 << 999
        << "SetAnchorsXYZ refused: 1001 anchors would pass the limit of 1000; nothing of the request stored";
    QTest::newRow("999 and 1 more: 1000 in one datagram") << 999 << 999 << 1 << 1000 << "";
    QTest::newRow("1000, two moved") << 1000 << 10 << 2 << 1000 << "";
    QTest::newRow("1003 by hand: 1000 used, the rest named") << 1003 << 0 << 0 << 1000
        << "warning: more than 1000 anchors configured, 3 left out: A00000001000 A00000001001 A00000001002";
}

void tst_SiteSafety::anchorLimit()
{
    QFETCH(int, inFile);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(int, listed);
    QFETCH(QString, logged);

    QString ini = "[anchor_coordinate]\n";
    for (int i = 0; i < inFile; ++i)
        ini += QString("%1=\"%2,%3,3.50\"\n").arg(anchorId(i)).arg(i % 40 * 25.37, 0, 'f', 2).arg(i / 40 * 37.11, 0, 'f', 2);
    UdpSink replies;
    Program program(replies.port(), ini);
    QVERIFY2(program.started(), qPrintable(program.log()));
    QJsonArray content;
    for (int i = first; i < first + count; ++i)
        content.append(QJsonObject{{"anchor_imei", anchorId(i)}, {"x", 512.25}, {"y", 256.5}, {"z", 2.75}});
    const bool refused = first + count > qMax(inFile, 1000);
    if (count > 0) {
        sendUdp(program.port, QJsonDocument(QJsonObject{{"REQUEST", "SetAnchorsXYZ"}, {"content", content}}).toJson());
        const QByteArray reply = replies.next();
        QVERIFY(refused ? reply == kInvalid : ::listed(reply) == listed);
    }
    sendUdp(program.port, R"({"REQUEST":"GetAnchorsLists"})");
    QCOMPARE(::listed(replies.next()), listed);
    QVERIFY2(logged.isEmpty() || program.log().count(logged) == 1, qPrintable(program.log()));
    QCOMPARE(program.metric(R"(solver_config_writes_refused_total{reason="anchor_limit"})"), qint64(refused));
    QCOMPARE(program.terminate(), 0);
}

// A storm of set requests: 50 taken at once, then 50 a second; the rest refused and counted.
void tst_SiteSafety::writeRate()
{
    constexpr int kSent = 120;
    UdpSink replies;
    replies.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 1 << 20);
    Program program(replies.port(), site::hall());
    QVERIFY2(program.started(), qPrintable(program.log()));
    QElapsedTimer clock;
    clock.start();
    QUdpSocket requester;
    QVERIFY(requester.bind(QHostAddress(QHostAddress::LocalHost), 0));
    // Nothing to store: the disk does not set the pace.
    for (int i = 0; i < kSent; ++i)
        requester.writeDatagram(R"({"REQUEST":"SetAnchorsXYZ","content":[]})", QHostAddress::LocalHost, program.port);
    const QList<QByteArray> got = replies.receive(kSent, 5000);
    QCOMPARE(got.size(), kSent);
    const int refused = int(got.count(kInvalid));
    QVERIFY2(kSent - refused >= 50 && kSent - refused <= 51 + clock.elapsed() / 20, qPrintable(QString::number(refused)));
    QCOMPARE(program.log().count("configuration write refused: more than 50 a second"), 1);
    QCOMPARE(program.metric(R"(solver_config_writes_refused_total{reason="rate"})"), qint64(refused));
    QCOMPARE(program.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_SiteSafety)
#include "tst_site_safety.moc"
