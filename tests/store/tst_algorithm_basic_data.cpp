#include "store/algorithm_basic_data.h"
#include "test_records.h"

#include <QtTest>

// Cutting the solver input out of the records of one transmission. Built for
// both record sizes.
class tst_AlgorithmBasicData : public QObject
{
    Q_OBJECT
private slots:
    void convertsThreeRecords();
    void fewerThanThreeStaysEmpty();
    void receptionTimeWidth_data();
    void receptionTimeWidth();
};

void tst_AlgorithmBasicData::convertsThreeRecords()
{
    AlgorithmBasicData set;
    set.recordList << makeRecord(1, sixBytes(0x11), sixBytes(0xEE), 0x10, 'a')
                   << makeRecord(1, sixBytes(0x22), sixBytes(0xEE), 0x20, 'b')
                   << makeRecord(1, sixBytes(0x33), sixBytes(0xEE), 0x0100000030ULL, 'c');
    set.algorithmBasicDataConvert();

    QCOMPARE(set.anchorList.size(), 3);
    const quint8 expected[3] = {0x11, 0x22, 0x33};
    for (int i = 0; i < 3; ++i) {
        for (quint8 b : set.anchorList.at(i).imei)
            QVERIFY2(b == expected[i], qPrintable(QStringLiteral("anchor %1 keeps record order").arg(i)));
    }
    QCOMPARE(set.timeList, (QList<unsigned long long>{16, 32, 4294967344ULL}));
    QVERIFY2(set.additionData == QByteArray(record::kTelemetrySize, 'a'),
             "the telemetry block is the first record's, whole and nothing else");
}

void tst_AlgorithmBasicData::fewerThanThreeStaysEmpty()
{
    AlgorithmBasicData set;
    for (int i = 0; i < 2; ++i)
        set.recordList << makeRecord(1, sixBytes(quint8(i)), sixBytes(0xEE), 5);
    set.algorithmBasicDataConvert();
    QVERIFY(set.anchorList.isEmpty() && set.timeList.isEmpty() && set.additionData.isEmpty());
}

void tst_AlgorithmBasicData::receptionTimeWidth_data()
{
    QTest::addColumn<quint64>("time");
    QTest::newRow("2^39 + 1") << ((quint64(1) << 39) + 1);
    QTest::newRow("largest, 2^40 - 1") << ((quint64(1) << 40) - 1);
}

void tst_AlgorithmBasicData::receptionTimeWidth()
{
    QFETCH(quint64, time);
    AlgorithmBasicData set;
    // The neighbouring bytes are all ones, so a read past the 5 bytes shows.
    for (int i = 0; i < 3; ++i)
        set.recordList << makeRecord(0xFF, sixBytes(0xFF), sixBytes(0xFF), time, char(0xFF));
    set.algorithmBasicDataConvert();
    QCOMPARE(set.timeList, (QList<unsigned long long>{time, time, time}));
}

QTEST_APPLESS_MAIN(tst_AlgorithmBasicData)
#include "tst_algorithm_basic_data.moc"
