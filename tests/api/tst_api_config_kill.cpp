// The real program is killed (SIGKILL) again and again while configuration
// requests rewrite config.ini: the file must always parse completely, keep
// every group, and hold at least every change that was acknowledged.

#include "tests/app/site_ini.h"
#include "tests/support/test_support.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSettings>
#include <QtTest>

namespace {

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

// The log is collected over every start: waits for the n-th bind line.
bool waitForBind(ProgramRunner &program, int n)
{
    const QString line = QStringLiteral("bind local udp listen port for api request SUCESS!");
    QDeadlineTimer deadline(10000);
    while (program.log().count(line) < n) {
        if (deadline.hasExpired() || program.process().state() == QProcess::NotRunning)
            return false;
        program.process().waitForReadyRead(50);
    }
    return true;
}

} // namespace

class tst_ApiConfigKill : public QObject
{
    Q_OBJECT

private slots:
    void killedWhileWriting();
};

void tst_ApiConfigKill::killedWhileWriting()
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
        QVERIFY2(waitForBind(program, round + 1), qPrintable(program.log()));
        // Requests flow for a random moment, then the process dies mid-stream.
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

QTEST_GUILESS_MAIN(tst_ApiConfigKill)
#include "tst_api_config_kill.moc"
