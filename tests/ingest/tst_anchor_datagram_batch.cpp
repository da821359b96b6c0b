#include "common/global_data.h"
#include "common/logwriter.h"
#include "ingest/anchor_datagram_batch.h"
#include "ingest/anchor_record.h"
#include "tests/store/test_records.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// One receive batch: every datagram keeps its own classification, log lines
// and queuing rule, and the batch keeps arrival order in the FIFO and the log.
class tst_AnchorDatagramBatch : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void batchKeepsOrderAndRules();
    void floodIsRateLimitedAndFileCapped();
    void fifoLimitDropsOldest();

private:
    std::unique_ptr<ScopedConfig> config;
    std::unique_ptr<LogCapture> log;
    QTemporaryDir logDir;
};

namespace {

constexpr int R = record::kSize;

QList<QByteArray> takeFifo()
{
    std::unique_lock<std::shared_mutex> lock(g_udp_receive_fifo_lock);
    QList<QByteArray> items = g_udp_receive_fifo;
    g_udp_receive_fifo.clear();
    return items;
}

QByteArray recordNo(int i) { return makeRecord(i, sixBytes(0x0A), sixBytes(0xBB), quint64(i)); }

QStringList fileLines(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)
                                          : QStringList();
}

} // namespace

void tst_AnchorDatagramBatch::initTestCase()
{
    config.reset(new ScopedConfig(QStringLiteral("[token_msg]\nswitch=debugmsg\n")));
    QVERIFY(LogWriter::getLogCenter()->isDebugEnabled());
    LogWriter::getLogCenter()->setLogPath(logDir.path());
    log.reset(new LogCapture);
}

void tst_AnchorDatagramBatch::batchKeepsOrderAndRules()
{
    struct Row {
        const char *what;
        QByteArray datagram;
        QList<QByteArray> queued;
        QStringList lines;
    };
    const QString malformed = QStringLiteral("[AnchorUdpSocketThread info]:Error Anchor UDP frame data!");
    QByteArray notD = recordNo(9);
    notD[0] = 'X';
    QByteArray onePlus = recordNo(5);
    onePlus.insert(R - 2, 'x');
    const QByteArray three = recordNo(2) + recordNo(3) + recordNo(4);
    const QList<Row> rows = {
        {"R", recordNo(1), {recordNo(1)}, {}},
        {"3R, in order", three, {recordNo(2), recordNo(3), recordNo(4)}, {}},
        {"R + 1", onePlus, {}, {QStringLiteral("udp socket thread!! not %1*N Bytes!!!!").arg(R)}},
        {"10-byte heartbeat", QByteArray::fromHex("44480a1b2c3d4e5f0102"), {},
         {QStringLiteral("anchor heart beat mac -> 0A1B2C3D4E5F")}},
        {"2 bytes", "DW", {}, {QStringLiteral("data_size_not_enough"), malformed, QStringLiteral("error msg -> 4457")}},
        {"R, not D: malformed but queued", notD, {notD},
         {malformed, QStringLiteral("error msg -> ") + QString::fromLatin1(notD.toHex())}},
    };
    takeFifo();
    log->clear();
    AnchorDatagramBatch batch;
    QList<QByteArray> queued;
    QStringList lines;
    for (const Row &row : rows) {
        batch.add(row.datagram.constData(), row.datagram.size());
        queued += row.queued;
        lines += row.lines;
    }
    QCOMPARE(fifoSize(), 0); // nothing before the flush
    batch.flush();
    QCOMPARE(log->take(), lines);
    QVERIFY2(takeFifo() == queued, "records of the whole batch, in arrival order");
}

void tst_AnchorDatagramBatch::floodIsRateLimitedAndFileCapped()
{
    LogWriter *writer = LogWriter::getLogCenter();
    const QString file = writer->lostPacketFilePath();
    QFile::remove(file);
    log->clear();
    AnchorDatagramBatch batch;
    const QByteArray junk("junk");
    for (int i = 0; i < 100; ++i)
        batch.add(junk.constData(), junk.size());
    batch.flush();
    const int limit = AnchorDatagramBatch::kBadDatagramLinesPerSecond;
    QCOMPARE(log->lines().count(QStringLiteral("[AnchorUdpSocketThread info]:Error Anchor UDP frame data!")), limit);
    QVERIFY(log->lines().contains(QStringLiteral("[AnchorUdpSocketThread info]:%1 bad anchor datagrams not logged").arg(100 - limit)));
    QStringList lines = fileLines(file);
    QCOMPARE(lines.size(), limit + 1);
    QVERIFY(lines.last().endsWith(QStringLiteral("]: %1 bad anchor datagrams not logged").arg(100 - limit)));

    // The day's file stops at its limit with one note.
    const qint64 cap = QFileInfo(file).size() + 100;
    writer->setLostPacketFileLimitForTesting(cap);
    for (int i = 0; i < 10; ++i)
        writer->writeForMatlabLogLostPacket("%s", "0123456789abcdef0123456789abcdef");
    writer->setLostPacketFileLimitForTesting(LogWriter::kLostPacketFileLimit);
    lines = fileLines(file);
    QVERIFY2(QFileInfo(file).size() <= cap + 120, "past the limit only by the note");
    QCOMPARE(lines.filter(QStringLiteral("lost-packet log reached its limit of %1 bytes").arg(cap)).size(), 1);
    writer->writeForMatlabLogLostPacket("%s", "more");
    QCOMPARE(fileLines(file), lines);
    log->clear();
}

void tst_AnchorDatagramBatch::fifoLimitDropsOldest()
{
    takeFifo();
    fifoSetLimit(4);
    AnchorDatagramBatch batch;
    const QByteArray first = recordNo(1) + recordNo(2) + recordNo(3);
    const QByteArray second = recordNo(4) + recordNo(5) + recordNo(6);
    batch.add(first.constData(), first.size());
    batch.flush();
    batch.add(second.constData(), second.size());
    batch.flush();
    fifoSetLimit(0);
    QCOMPARE(fifoLimit(), kFifoDefaultLimit);
    QVERIFY(takeFifo() == (QList<QByteArray>{recordNo(3), recordNo(4), recordNo(5), recordNo(6)}));
    QCOMPARE(log->take(), QStringList{QStringLiteral("anchor FIFO over its limit of 4 records: dropped the 2 oldest")});
}

QTEST_GUILESS_MAIN(tst_AnchorDatagramBatch)
#include "tst_anchor_datagram_batch.moc"
