#include "../app/site_ini.h"
#include "../support/test_support.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

// The real program facing careless or hostile clients and config.ini typos: nothing is answered twice,
// nothing unsafe reaches the log; a config.ini reached through symbolic links, lost-packet files of many days.
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
};

namespace {

const QByteArray kInvalid = R"({"INVALID_PARAMETER":1010})";
const QByteArray kProbe = R"({"REQUEST":"GetPANID"})";

QByteArray setAnchor(const QByteArray &id)
{
    return R"({"REQUEST":"SetAnchorsXYZ","content":[{"anchor_imei":")" + id + R"(","x":1,"y":2,"z":3}]})";
}

QString lostPacketName(int daysAgo)
{
    return QStringLiteral("log_lostPacket%1.log").arg(QDate::currentDate().addDays(-daysAgo).toString("yyyyMMdd"));
}

bool waitForBind(ProgramRunner &program)
{
    return program.waitForLog(QStringLiteral("bind local udp listen port for api request SUCESS!"));
}

} // namespace

void tst_SiteSafety::requests_data()
{
    QTest::addColumn<QString>("ini");           // added to a site with PANID 1A2B, debug on
    QTest::addColumn<bool>("selfAddressed");    // replies go to the request port itself
    QTest::addColumn<QByteArray>("request");    // empty: none sent
    QTest::addColumn<QByteArray>("reply");      // the answer before the probe's; empty: none
    QTest::addColumn<QStringList>("logged");    // each once in the log
    QTest::addColumn<QStringList>("notLogged");

    const QStringList none;
    QTest::newRow("PANID with a quote: refused, stored one kept")
        << QString() << false << QByteArray(R"({"REQUEST":"SetPANID","content":[{"PANID":"a\"b"}]})") << kInvalid
        << QStringList{"PANID refused: a quote, backslash or control character cannot be sent back"} << none;
    QTest::newRow("anchor id with a control character: refused")
        << QString() << false << setAnchor(R"(0A1B2C\u001bD4E5F)") << kInvalid << QStringList{"anchor iemi error!"}
        << QStringList{"\x1b"};
    QTest::newRow("anchor id of 12 hexadecimal digits: stored") << QString() << false << setAnchor("0a1b2c3d4e5f")
        << QByteArray(R"({"anchors_lists":[{"anchor_imei":"0a1b2c3d4e5f","x":1,"y":2,"z":3}]})") << none << none;
    QTest::newRow("a reply document: not answered") << QString() << false << kInvalid << QByteArray()
        << QStringList{R"(a reply document {"INVALID_PARAMETER":1010} is not answered)"} << none;
    // Measured before: 40,000 exchanges with itself in 2 s.
    QTest::newRow("configuration endpoint is the request port: one answer")
        << QString() << true << QByteArray("not JSON") << QByteArray()
        << QStringList{"a datagram of our own reply socket (is the configuration endpoint this port?) is not answered",
                       "INVALID_PARAMETER 1010"}
        << none;
    QTest::newRow("control characters of a request escaped in the log")
        << QString() << false << QByteArray("\x1b[2J\r\nforged line\\") << kInvalid
        << QStringList{R"(api udp get request: \x1b[2J\x0d\x0aforged line\\)"} << QStringList{"\x1b", "\r"};
    QTest::newRow("FIFO limit above the maximum: clamped and logged")
        << QStringLiteral("anchor_fifo_limit=2000000000\n") << false << QByteArray() << QByteArray()
        << QStringList{"anchor_fifo_limit 2000000000 is above the maximum of 1000000 records: the maximum is used",
                       "anchor fifo limit -> 1000000 records"}
        << none;
}

void tst_SiteSafety::requests()
{
    QFETCH(QString, ini);
    QFETCH(bool, selfAddressed);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, notLogged);

    UdpSink configuration;
    const quint16 requestPort = freeUdpPort();
    ProgramRunner program(QStringLiteral("solver_unit"),
                          site::network(0, requestPort, 0, selfAddressed ? requestPort : configuration.port()) + ini
                              + "[pan_id]\nPANID=1A2B\n[token_msg]\ndebug=debugmsg\n");
    QVERIFY2(program.start() && waitForBind(program), qPrintable(program.log()));
    QUdpSocket requester;
    QVERIFY(requester.bind(QHostAddress(QHostAddress::LocalHost), 0));
    if (!request.isEmpty())
        requester.writeDatagram(request, QHostAddress(QHostAddress::LocalHost), requestPort);

    if (selfAddressed) {
        // Its own reply comes back once and is neither handled nor answered.
        QVERIFY2(program.waitForLog(logged.first()), qPrintable(program.log()));
        QTest::qWait(300);
        QCOMPARE(program.log().count(QStringLiteral("api udp get request: ")), 1);
    } else {
        // Requests are handled in order: the probe's answer comes last, and shows the PANID stored.
        requester.writeDatagram(kProbe, QHostAddress(QHostAddress::LocalHost), requestPort);
        QList<QByteArray> replies;
        do
            replies << configuration.next();
        while (!replies.last().isEmpty() && !replies.last().startsWith(R"({"PANID")"));
        // Byte for byte: every reply is the JSON expected, and none comes twice.
        QCOMPARE(replies, (reply.isEmpty() ? QList<QByteArray>() : QList<QByteArray>{reply})
                               << QByteArray(R"({"PANID":"1A2B"})"));
    }
    QVERIFY2(!requester.hasPendingDatagrams(), "a reply went back to the sender");
    const QString log = program.log();
    for (const QString &line : qAsConst(logged))
        QVERIFY2(log.count(line) == 1, qPrintable(line + QStringLiteral("\n---\n") + log));
    for (const QString &text : qAsConst(notLogged))
        QVERIFY2(!log.contains(text), qPrintable(log));
    QCOMPARE(program.terminate(), 0);
}


// config.ini -> (links) -> site/site.ini: the request changes site.ini in
// place of the links, which stay; the file keeps its owner, group and mode.
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
    // The program runs in run/, beside site/.
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
    QTest::newRow("1 day: today's only") << QStringLiteral("1") << 1;
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

QTEST_GUILESS_MAIN(tst_SiteSafety)
#include "tst_site_safety.moc"
