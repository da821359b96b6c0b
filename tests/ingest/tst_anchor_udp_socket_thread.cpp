#include "common/config_file.h"
#include "common/global_data.h"
#include "common/logwriter.h"
#include "ingest/anchor_record.h"
#include "ingest/anchor_udp_socket_thread.h"
#include "tests/store/test_records.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <mutex>

namespace {

constexpr int R = record::kSize;

QList<QByteArray> takeFifo()
{
    std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
    QList<QByteArray> items = g_udp_receive_fifo;
    g_udp_receive_fifo.clear();
    return items;
}

// `count` whole records back to back, each distinguishable by its sequence number.
QByteArray records(int count)
{
    QByteArray all;
    for (int i = 0; i < count; ++i)
        all += makeRecord(i + 1, sixBytes(0x0A), sixBytes(0xBB), quint64(i));
    return all;
}

QByteArray heartbeat(const QByteArray &id) { return QByteArray("DH") + id + QByteArray("\x01\x02", 2); }

QString malformedLine() { return QStringLiteral("[AnchorUdpSocketThread info]:Error Anchor UDP frame data!"); }

QString fileTail(const QString &path, qint64 from)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.seek(from) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

// The anchor receiver on a real loopback socket: how each datagram is
// classified, logged and queued.
class tst_AnchorUdpSocketThread : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void construction_data();
    void construction();
    void datagram_data();
    void datagram();
    void burstIsReadCompletely();
    void runEmptiesFifoAndEndsOnStop();

private:
    // Sends `datagram`, then a heartbeat as a marker, and runs the event loop
    // until the marker's line shows: everything sent before it has been handled.
    bool sendAndSettle(const QByteArray &datagram);

    std::unique_ptr<LogCapture> log;
    std::unique_ptr<ScopedConfig> config;
    QTemporaryDir logDir;
    quint16 port = 0;
    std::unique_ptr<AnchorUdpSocketThread> receiver;
    int markers = 0;
};

void tst_AnchorUdpSocketThread::initTestCase()
{
    log.reset(new LogCapture);
    port = freeUdpPort();
    config.reset(new ScopedConfig(QStringLiteral("[token_msg]\nswitch=debugmsg\n[network_setting]\n"
                                                 "local_udp_listen_anchor_port=%1\n")
                                      .arg(port)));
    AnchorUdpSocketThread::setBindAddressForTesting(QHostAddress(QHostAddress::LocalHost));
    QVERIFY2(LogWriter::getLogCenter()->isDebugEnabled(), "the logger must be created with the test's config.ini");
    QVERIFY(logDir.isValid());
    LogWriter::getLogCenter()->setLogPath(logDir.path());
    receiver.reset(new AnchorUdpSocketThread);
    QCOMPARE(receiver->localPort(), port);
    log->clear();
    fifoClear();
}

void tst_AnchorUdpSocketThread::cleanupTestCase()
{
    receiver.reset();
    AnchorUdpSocketThread::setBindAddressForTesting(QHostAddress());
    log.reset();
}

void tst_AnchorUdpSocketThread::construction_data()
{
    QTest::addColumn<QString>("setting"); // "free", "taken", "none" or a literal value
    QTest::addColumn<bool>("bound");
    QTest::newRow("free port") << "free" << true;
    QTest::newRow("port taken by another socket") << "taken" << false;
    QTest::newRow("no port: the system picks one") << "none" << true;
    QTest::newRow("port beyond 16 bits reads as 0") << "70000" << true;
}

void tst_AnchorUdpSocketThread::construction()
{
    QFETCH(QString, setting);
    QFETCH(bool, bound);
    QUdpSocket blocker;
    quint16 expectedPort = 0;
    QString ini = QStringLiteral("[network_setting]\n");
    if (setting == QLatin1String("free") || setting == QLatin1String("taken")) {
        expectedPort = freeUdpPort();
        ini += QStringLiteral("local_udp_listen_anchor_port=%1\n").arg(expectedPort);
        if (setting == QLatin1String("taken"))
            QVERIFY(blocker.bind(QHostAddress(QHostAddress::LocalHost), expectedPort, QAbstractSocket::DontShareAddress));
    } else if (setting != QLatin1String("none")) {
        ini += QStringLiteral("local_udp_listen_anchor_port=%1\n").arg(setting);
    }
    {
        const ScopedConfig scoped(ini);
        log->clear();
        const AnchorUdpSocketThread other;
        const QStringList lines = log->take();
        QCOMPARE(lines.size(), 5);
        QVERIFY2(lines.at(0).startsWith(QStringLiteral("local ip -> ")), qPrintable(lines.at(0)));
        QCOMPARE(lines.at(1), QStringLiteral("local udp listen anchor port -> %1").arg(expectedPort));
        QCOMPARE(lines.at(2), QStringLiteral("anchor fifo limit -> %1 records").arg(kFifoDefaultLimit));
        QVERIFY2(lines.at(4).startsWith(QStringLiteral("anchor socket receive buffer -> ")), qPrintable(lines.at(4)));
        QCOMPARE(lines.at(3), bound ? QStringLiteral("bind local udp listen port for anchors SUCESS!")
                                    : QStringLiteral("bind local udp listen port for anchors FAILED!"));
        if (bound && expectedPort == 0)
            QVERIFY2(other.localPort() != 0, "port 0 binds to a port of the system's choice");
    }
    ConfigFile::setExecutableDirForTesting(config->dir());
}

bool tst_AnchorUdpSocketThread::sendAndSettle(const QByteArray &datagram)
{
    const QByteArray id = QByteArray::fromHex(QByteArray::number(0xFEED000000ULL + quint64(++markers), 16).rightJustified(12, '0'));
    const QString markerLine = QStringLiteral("anchor heart beat mac -> ") + QString::fromLatin1(id.toHex().toUpper());
    QUdpSocket sender;
    sender.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), port);
    sender.writeDatagram(heartbeat(id), QHostAddress(QHostAddress::LocalHost), port);
    QDeadlineTimer deadline(10000);
    while (log->count(markerLine) == 0) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return log->removeAll(markerLine) == 1;
}

void tst_AnchorUdpSocketThread::datagram_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QList<QByteArray>>("queued");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("lostPacket");

    const QString notWhole = QStringLiteral("udp socket thread!! not %1*N Bytes!!!!").arg(R);
    const QByteArray one = records(1);
    const QByteArray three = records(3);
    QTest::newRow("one record") << one << QList<QByteArray>{one} << QStringList() << false;
    QTest::newRow("three records, in order")
        << three << QList<QByteArray>{three.left(R), three.mid(R, R), three.mid(2 * R)} << QStringList() << false;

    QByteArray oneMore = one;
    oneMore.insert(R - 2, 'x'); // still "DW" ... CR LF
    QTest::newRow("R + 1 bytes") << oneMore << QList<QByteArray>() << QStringList{notWhole} << false;

    QByteArray notD = one;
    notD[0] = 'X';
    QTest::newRow("R bytes not starting with D")
        << notD << QList<QByteArray>{notD}
        << QStringList{malformedLine(), QStringLiteral("error msg -> ") + QString::fromLatin1(notD.toHex())} << true;

    QByteArray noCrLf = one;
    noCrLf[R - 1] = '\0';
    QTest::newRow("R bytes without the closing LF")
        << noCrLf << QList<QByteArray>{noCrLf}
        << QStringList{malformedLine(), QStringLiteral("error msg -> ") + QString::fromLatin1(noCrLf.toHex())} << true;

    QTest::newRow("heartbeat") << heartbeat(QByteArray::fromHex("0a1b2c3d4e5f")) << QList<QByteArray>()
                               << QStringList{QStringLiteral("anchor heart beat mac -> 0A1B2C3D4E5F")} << false;

    const QByteArray longBeat = heartbeat(QByteArray::fromHex("0a1b2c3d4e5f")) + "zz";
    QTest::newRow("12 bytes starting DH")
        << longBeat << QList<QByteArray>()
        << QStringList{malformedLine(), QStringLiteral("error msg -> ") + QString::fromLatin1(longBeat.toHex())} << true;

    const QStringList tooShort = {QStringLiteral("data_size_not_enough"), malformedLine()};
    QTest::newRow("2 bytes") << QByteArray("DW") << QList<QByteArray>()
                             << (tooShort + QStringList{QStringLiteral("error msg -> 4457")}) << true;
    QTest::newRow("empty") << QByteArray("") << QList<QByteArray>()
                           << (tooShort + QStringList{QStringLiteral("error msg -> ")}) << true;
    QTest::newRow("smallest framed, below R") << QByteArray("DW\r\n") << QList<QByteArray>() << QStringList() << false;

    // The largest UDP payload that holds whole records.
    const QByteArray most = records(65507 / R);
    QList<QByteArray> mostItems;
    for (int at = 0; at < most.size(); at += R)
        mostItems << most.mid(at, R);
    QTest::newRow("largest datagram of whole records") << most << mostItems << QStringList() << false;
}

void tst_AnchorUdpSocketThread::datagram()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QList<QByteArray>, queued);
    QFETCH(QStringList, lines);
    QFETCH(bool, lostPacket);

    const QString lostFile = LogWriter::getLogCenter()->lostPacketFilePath();
    const qint64 before = QFileInfo(lostFile).size();
    log->clear();
    takeFifo();
    QVERIFY2(sendAndSettle(datagram), "the marker sent after the datagram was handled");

    QCOMPARE(log->take(), lines);
    const QList<QByteArray> items = takeFifo();
    QCOMPARE(items.size(), queued.size());
    QVERIFY2(items == queued, "the records in the FIFO are the datagram's pieces, in order");

    const QString appended = fileTail(lostFile, before);
    if (lostPacket) {
        const QRegularExpression entry(QStringLiteral("^\\[\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]: %1\n$")
                                           .arg(QString::fromLatin1(datagram.toHex())));
        QVERIFY2(entry.match(appended).hasMatch(), qPrintable(QStringLiteral("lost-packet entry: ") + appended));
    } else {
        QVERIFY2(appended.isEmpty(), qPrintable(QStringLiteral("unexpected lost-packet entry: ") + appended));
    }
}

void tst_AnchorUdpSocketThread::burstIsReadCompletely()
{
    // Many datagrams behind one notification: all are read without a further arrival.
    const int count = 1031;
    takeFifo();
    QUdpSocket sender;
    for (int i = 0; i < count; ++i)
        sender.writeDatagram(makeRecord(i, sixBytes(1), sixBytes(2), quint64(i)), QHostAddress(QHostAddress::LocalHost), port);
    QDeadlineTimer deadline(20000);
    while (fifoSize() < count && !deadline.hasExpired())
        QTest::qWait(5);
    const QList<QByteArray> items = takeFifo();
    QCOMPARE(items.size(), count);
    for (int i = 0; i < count; ++i)
        QVERIFY2(record::receptionTime(items.at(i)) == quint64(i), "in the order sent");
    log->clear();
}

void tst_AnchorUdpSocketThread::runEmptiesFifoAndEndsOnStop()
{
    const QByteArray stale = records(1);
    fifoAppend(&stale, 1);
    log->clear();
    receiver->start();
    receiver->anchorUdpSocketThreadStop();
    QVERIFY2(receiver->wait(10000), "a stop request ends the start-up pause");
    QCOMPARE(fifoSize(), 0);
    QVERIFY(log->take().contains(QStringLiteral("AnchorUdpSocketThread running!")));
}

QTEST_GUILESS_MAIN(tst_AnchorUdpSocketThread)
#include "tst_anchor_udp_socket_thread.moc"
