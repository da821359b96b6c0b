#include "common/global_data.h"
#include "common/metrics.h"
#include "store/tags.h"
#include "test_records.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

#include <QDir>
#include <QRandomGenerator>
#include <QSet>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>


namespace {

qint64 g_nowMs = 0;
qint64 fakeClock() { return g_nowMs; }

const QByteArray kTag = sixBytes(0x7A);
QByteArray anchorId(int index) { return sixBytes(quint8(0xA0 + index)); }

// Makes the tag and anchors 0..count-1 known with records that only register them and never count towards a set.
void prime(Tags &tags, const QByteArray &tagId, int count)
{
    for (int i = 0; i < count; ++i)
        tags.tagsFileRecord(makeRecord(100, anchorId(i), tagId, 0));
}

} // namespace

// The tag store's release rule: when a transmission is due, with which records (the solver input), when discarded.
class tst_Tags : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void releaseRule_data();
    void releaseRule();
    void boundedUnderAnyOrder_data();
    void boundedUnderAnyOrder();
    void delayWindowOutOfRange_data();
    void delayWindowOutOfRange();
};

void tst_Tags::initTestCase() { Tags::setArrivalClock(fakeClock); }

void tst_Tags::cleanupTestCase() { Tags::setArrivalClock(nullptr); }

void tst_Tags::releaseRule_data()
{
    // Steps "a<anchor index>:<sequence>[@<arrival ms>]". The record of step k carries reception time k, so a set
    // reads back as its steps. Expected: every released set as "s<step>:<sequence>=<steps of its records>". A number
    // given up goes with its records and bookkeeping (nothing would read them again): none of number `gone` is held
    // at the end, only the last step's record, and `givenUp` records are counted as passed by the window.
    QTest::addColumn<int>("delay");
    QTest::addColumn<int>("anchorTotal");
    QTest::addColumn<int>("anchors");
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("gone"); // -1: not checked
    QTest::addColumn<int>("givenUp");
    const auto row = [](const char *name, int delay, int anchorTotal, const QString &steps, const QString &expected,
                        int gone = -1, int givenUp = 0, int anchors = 3) {
        QTest::newRow(name) << delay << anchorTotal << anchors << steps << expected << gone << givenUp;
    };
    row("number 0 makes 255 due", 1, 8, "a0:255 a1:255 a2:255 a0:0", "s4:255=1,2,3");
    row("delay 3 across the wrap", 3, 8, "a0:254 a1:254 a2:254 a0:1", "s4:254=1,2,3");
    row("anchor index order, not arrival order", 1, 8, "a2:10 a0:10 a1:10 a1:11", "s4:10=2,3,1");
    row("eight anchors", 1, 8, "a3:10 a1:10 a7:10 a0:10 a2:10 a6:10 a4:10 a5:10 a5:11", "s9:10=4,2,5,1,7,8,6,3", -1, 0, 8);
    row("repeat of an anchor replaces its record", 1, 4, "a0:10 a0:10 a1:10 a2:10 a0:11", "s5:10=2,3,4");
    row("more records than configured anchors reset the number", 1, 3, "a0:10 a1:10 a2:10 a0:10 a0:11", "", 10);
    row("transmission after the next one is given up, not kept for a record of the next", 1, 8,
        "a0:11 a1:11 a2:11 a0:10 a1:10 a2:10 a0:12 a0:11", "s7:11=1,2,3", -1, 3);
    row("first record overtaken by the next transmission's, within the window", 2, 8,
        "a0:9 a1:9 a2:9 a0:10 a1:10 a2:10 a0:12 a0:11 a1:11 a2:11 a1:12 a2:12 a0:13 a0:14",
        "s7:10=4,5,6 s8:9=1,2,3 s13:11=8,9,10 s14:12=7,11,12");
    row("anchor registered while a transmission is pending joins the next", 1, 8,
        "a0:10 a1:10 a3:10 a2:10 a0:11 a3:11 a1:11 a2:11 a0:12", "s5:10=1,2,4 s9:11=5,7,8,6");
    row("delay 0 never yields a set", 0, 8, "a0:10 a1:10 a2:10 a0:11 a1:11 a2:11 a0:12", "");
    row("two anchors", 1, 8, "a0:10 a1:10 a0:11", "", 10);
    // Arrival spread, on a monotonic millisecond clock.
    row("4.999 s apart pass", 1, 8, "a0:10@0 a1:10@4999 a2:10@10 a0:11@4999", "s4:10=1,2,3");
    row("5 s apart fail", 1, 8, "a0:10@0 a1:10@1000 a2:10@5000 a0:11@5000", "", 10);
    row("milliseconds apart across a minute boundary pass", 1, 8, "a0:10@59990 a1:10@60005 a2:10@60010 a0:11@60020",
        "s4:10=1,2,3");
    row("a record 5 s before the first fails", 1, 8, "a1:10@0 a0:10@5000 a2:10@5000 a0:11@5000", "");
    row("a discarded set leaves the next one alone", 1, 8,
        "a0:10@0 a1:10@1000 a2:10@5000 a0:11@5000 a1:11@5000 a2:11@5000 a0:12@5000", "s7:11=4,5,6");
    row("11 lost: 12 gives 10 up at once, not 256 numbers later", 1, 8, "a0:10 a1:10 a2:10 a0:12", "", 10, 3);
}

void tst_Tags::releaseRule()
{
    QFETCH(int, delay);
    QFETCH(int, anchorTotal);
    QFETCH(int, anchors);
    QFETCH(QString, steps);
    QFETCH(QString, expected);
    QFETCH(int, gone);
    QFETCH(int, givenUp);
    Tags tags(delay);
    tags.anchorTotal = anchorTotal;
    prime(tags, kTag, anchors);

    static const QRegularExpression stepPattern(QStringLiteral("^a(\\d+):(\\d+)(?:@(\\d+))?$"));
    QStringList released;
    const QStringList list = steps.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (int k = 1; k <= list.size(); ++k) {
        const QRegularExpressionMatch m = stepPattern.match(list.at(k - 1));
        QVERIFY2(m.hasMatch(), qPrintable(list.at(k - 1)));
        g_nowMs = m.captured(3).toLongLong();
        const QByteArray r = makeRecord(m.captured(2).toInt(), anchorId(m.captured(1).toInt()), kTag, quint64(k));
        const AlgorithmBasicData set = tags.tagsFileRecord(r);
        if (!tags.dataReady)
            continue;
        QVERIFY2(set.anchorList.size() == set.recordList.size() && set.tagImei == tagOf(r), "solver input of this tag");
        QStringList times;
        for (unsigned long long t : qAsConst(set.timeList))
            times << QString::number(t);
        released << QStringLiteral("s%1:%2=%3").arg(k).arg(set.seq).arg(times.join(QLatin1Char(',')));
    }
    QCOMPARE(released.join(QLatin1Char(' ')), expected);
    QCOMPARE(tags.droppedBehindWindow, quint64(givenUp));
    if (gone < 0)
        return;
    const ArrivalTable &table = tags.tagMessages.at(0).seqArrivals;
    QCOMPARE(table.arrivalRow(gone), -1);
    QVERIFY2(table.storedCount() == 1, "only the record of the last step is kept");
}

void tst_Tags::boundedUnderAnyOrder_data()
{
    QTest::addColumn<int>("delay");
    QTest::addColumn<QString>("order");
    QTest::newRow("descending, delay 2") << 2 << "descending";
    QTest::newRow("random, delay 2") << 2 << "random";
    QTest::newRow("descending, every record twice, delay 3") << 3 << "twice";
}

// Three cycles of sequence numbers from 8 anchors in an order that never completes a transmission in time: the
// records kept per anchor never exceed the window's rows, what is given up is counted and logged once a minute, and
// an ascending tag is solved again at once.
void tst_Tags::boundedUnderAnyOrder()
{
    QFETCH(int, delay);
    QFETCH(QString, order);
    constexpr int kAnchors = 8;
    Tags tags(delay);
    tags.anchorTotal = kAnchors;
    prime(tags, kTag, kAnchors);
    const int rowLimit = Tags::pendingRowLimit(delay);
    const ArrivalTable &table = tags.tagMessages.at(0).seqArrivals;
    LogCapture log;
    g_nowMs = 0;
    using metrics::Counter;
    const auto counted = [] { return metrics::value(Counter::DroppedPendingEvicted) + metrics::value(Counter::DroppedBehindWindow); };
    const quint64 countedBefore = counted();
    QRandomGenerator random(7);
    int filed = 0;
    for (int n = 0; n < 3 * 256; ++n) {
        const int sequence = order == QLatin1String("random") ? int(random.bounded(256)) : 255 - n % 256;
        for (int a = 0; a < kAnchors; ++a) {
            for (int copy = order == QLatin1String("twice") ? 2 : 1; copy > 0; --copy, ++filed)
                tags.tagsFileRecord(makeRecord(sequence, anchorId(a), kTag, quint64(n)));
        }
        QVERIFY2(table.rowCount() <= rowLimit && table.storedCount() <= rowLimit * kAnchors,
                 qPrintable(QStringLiteral("after %1: %2 rows, %3 records").arg(n + 1).arg(table.rowCount()).arg(table.storedCount())));
    }
    const quint64 givenUp = tags.droppedPendingEvicted + tags.droppedBehindWindow;
    QVERIFY2(givenUp > 0 && givenUp + quint64(table.storedCount()) <= quint64(filed), "given up records are counted");
    QCOMPARE(counted() - countedBefore, givenUp);
    QCOMPARE(log.lines().filter(QStringLiteral("records of unfinished transmissions given up: ")).size(), 1);
    QVERIFY(log.contains(QStringLiteral(" tags ") + QString::fromLatin1(kTag.toHex().toUpper())));

    // From a number clear of the rows still held (a held number would take the new records as repeats).
    int start = 0;
    for (int sequence = 0; sequence < start + 10; ++sequence) {
        if (table.arrivalRow(sequence) >= 0)
            start = sequence + 1;
    }
    QSet<int> released;
    for (int sequence = start; sequence < start + 10; ++sequence) {
        for (int a = 0; a < kAnchors; ++a) {
            const AlgorithmBasicData set = tags.tagsFileRecord(makeRecord(sequence, anchorId(a), kTag, 1));
            if (tags.dataReady && set.anchorList.size() == kAnchors)
                released.insert(set.seq);
        }
    }
    for (int sequence = start; sequence < start + 10 - delay; ++sequence)
        QVERIFY2(released.contains(sequence), qPrintable(QStringLiteral("set %1 released").arg(sequence)));
}

void tst_Tags::delayWindowOutOfRange_data()
{
    QTest::addColumn<QString>("ini"); // null: no config.ini in the working directory
    QTest::addColumn<int>("used");
    QTest::newRow("value") << "[algorithm_config]\ndelay_window_1908=3\n" << 3;
    QTest::newRow("no file") << QString() << 0;
    QTest::newRow("300") << "[algorithm_config]\ndelay_window_1908=300\n" << 44;
    QTest::newRow("-1") << "[algorithm_config]\ndelay_window_1908=-1\n" << 255;
    QTest::newRow("smallest int") << "[algorithm_config]\ndelay_window_1908=-2147483648\n" << 0;
}

void tst_Tags::delayWindowOutOfRange()
{
    QFETCH(QString, ini);
    QFETCH(int, used);
    QTemporaryDir dir;
    QVERIFY(ini.isNull() || writeFile(dir.filePath(QStringLiteral("config.ini")), ini));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    LogCapture log;
    const Tags tags;
    QDir::setCurrent(previous);
    QCOMPARE(tags.delayWindow, used);
    const int configured = ini.section(QLatin1Char('='), 1).toInt();
    const QString line = QStringLiteral("delay_window_1908 = %1 is outside 0 to 255, using %2").arg(configured).arg(used);
    QCOMPARE(log.lines(), configured == used ? QStringList() : QStringList{line});
}

QTEST_GUILESS_MAIN(tst_Tags)
#include "tst_tags.moc"
