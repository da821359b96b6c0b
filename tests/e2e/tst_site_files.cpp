#include "../app/site_ini.h"
#include "../support/test_support.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

// The program's files on a real host: a config.ini reached through symbolic
// links, and the lost-packet files of many days.
class tst_SiteFiles : public QObject
{
    Q_OBJECT
private slots:
    void linkedConfigWrittenThrough_data();
    void linkedConfigWrittenThrough();
    void oldLostPacketFilesRemoved_data();
    void oldLostPacketFilesRemoved();
};

namespace {

QString lostPacketName(int daysAgo)
{
    return QStringLiteral("log_lostPacket%1.log").arg(QDate::currentDate().addDays(-daysAgo).toString("yyyyMMdd"));
}

bool waitForBind(ProgramRunner &program)
{
    return program.waitForLog(QStringLiteral("bind local udp listen port for api request SUCESS!"));
}

} // namespace

// config.ini -> (links) -> site/site.ini: the request changes site.ini in
// place of the links, which stay; the file keeps its owner, group and mode.
void tst_SiteFiles::linkedConfigWrittenThrough_data()
{
    QTest::addColumn<QStringList>("links"); // config.ini's link target, then each further link's
    QTest::newRow("plain file") << QStringList();
    QTest::newRow("link to a file elsewhere") << QStringList{"<site>/site.ini"};
    QTest::newRow("two links, relative") << QStringList{"hop.ini", "../site/site.ini"};
}

void tst_SiteFiles::linkedConfigWrittenThrough()
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
    QFile file(site);
    QVERIFY(file.open(QIODevice::WriteOnly)
            && file.write(site::network(0, requestPort, 0, replies.port()).toUtf8() + "[pan_id]\nPANID=AB12\n") > 0);
    file.close();
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

    sendUdp(requestPort,
            R"({"REQUEST":"SetAnchorsXYZ","content":[{"anchor_imei":"0A1B2C3D4E5F","x":1.5,"y":-2,"z":3.254}]})");
    QCOMPARE(replies.next(), QByteArray(R"({"anchors_lists":[{"anchor_imei":"0A1B2C3D4E5F","x":1.5,"y":-2,"z":3.25}]})"));
    QCOMPARE(program.terminate(), 0);

    QCOMPARE(QFileInfo(run + "/config.ini").isSymLink(), !links.isEmpty());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY2(text.contains("0A1B2C3D4E5F=\"1.50,-2.00,3.25\"") && text.contains("PANID=AB12"), text.constData());
    struct stat after;
    QVERIFY(::stat(QFile::encodeName(site).constData(), &after) == 0);
    QCOMPARE(after.st_mode & 07777, mode_t(0640));
    QVERIFY(after.st_uid == owner && after.st_gid == group);
    for (const QString &dir : {run, siteDir}) // no temporary file left
        QVERIFY(QDir(dir).entryList({".*"}, QDir::Files | QDir::Hidden).isEmpty());
}

// At start, files dated lost_packet_keep_days or more before today go; the
// rest of the directory stays.
void tst_SiteFiles::oldLostPacketFilesRemoved_data()
{
    QTest::addColumn<QString>("setting"); // null: no key
    QTest::addColumn<QList<int>>("keptDaysAgo");
    QTest::newRow("absent: 14 days") << QString() << QList<int>{0, 1, 2, 13};
    QTest::newRow("3 days") << QStringLiteral("3") << QList<int>{0, 1, 2};
    QTest::newRow("1 day: today's only") << QStringLiteral("1") << QList<int>{0};
    QTest::newRow("0 keeps all") << QStringLiteral("0") << QList<int>{0, 1, 2, 13, 14, 400};
    QTest::newRow("not a number: 14 days") << QStringLiteral("two") << QList<int>{0, 1, 2, 13};
}

void tst_SiteFiles::oldLostPacketFilesRemoved()
{
    QFETCH(QString, setting);
    QFETCH(QList<int>, keptDaysAgo);
    QString ini = site::network(0, freeUdpPort());
    if (!setting.isNull())
        ini += "lost_packet_keep_days=" + setting + '\n';
    ProgramRunner program(QStringLiteral("solver_unit"), ini);
    const QList<int> present{0, 1, 2, 13, 14, 400};
    // Names that only look alike are never touched.
    const QStringList others{"log_lostPacket2020.log", "log_lostPacket20201340.log", "log_lostPacket19990101.txt",
                             "notes.log"};
    QStringList names = others;
    for (int daysAgo : present)
        names << lostPacketName(daysAgo);
    for (const QString &name : qAsConst(names)) {
        QFile file(program.dir() + '/' + name);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[01-01 00:00:00]: 2f2f\n") > 0);
    }
    QVERIFY(program.start());
    QVERIFY2(waitForBind(program), qPrintable(program.log()));
    QCOMPARE(program.terminate(), 0);

    const QStringList files = QDir(program.dir()).entryList(QDir::Files);
    for (const QString &name : others)
        QVERIFY2(files.contains(name), qPrintable(name));
    for (int daysAgo : present) {
        const bool kept = keptDaysAgo.contains(daysAgo);
        QVERIFY2(files.contains(lostPacketName(daysAgo)) == kept, qPrintable(lostPacketName(daysAgo)));
        const QString line = QStringLiteral("lost-packet file %1 removed: older than %2 days")
                                 .arg(lostPacketName(daysAgo))
                                 .arg(setting.toInt() > 0 ? setting.toInt() : 14);
        QCOMPARE(program.log().count(line), kept ? 0 : 1);
    }
}

QTEST_GUILESS_MAIN(tst_SiteFiles)
#include "tst_site_files.moc"
