#include "store/algorithm_basic_data.h"
#include "test_records.h"

#include <QtTest>

// Cutting the solver input out of the records of one transmission. Built for
// both record sizes.
class tst_AlgorithmBasicData : public QObject
{
    Q_OBJECT
private slots:
    void convert();
};

void tst_AlgorithmBasicData::convert()
{
    // Every other byte is all ones, so a read past the 5 bytes of a time shows.
    const QList<quint64> times{(quint64(1) << 39) + 1, (quint64(1) << 40) - 1, 0x10};
    AlgorithmBasicData set;
    for (int i = 0; i < 3; ++i)
        set.recordList << makeRecord(0xFF, sixBytes(quint8(0x11 * (i + 1))), sixBytes(0xFF), times[i], char(0xF0 + i));
    set.algorithmBasicDataConvert();
    QCOMPARE(set.timeList, times);
    QCOMPARE(set.anchorList.size(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(set.anchorList.at(i).imei), 6), sixBytes(quint8(0x11 * (i + 1))));
    QCOMPARE(set.additionData, QByteArray(record::kTelemetrySize, char(0xF0)));

    AlgorithmBasicData two;
    two.recordList = set.recordList.mid(0, 2);
    two.algorithmBasicDataConvert();
    QVERIFY(two.anchorList.isEmpty() && two.timeList.isEmpty() && two.additionData.isEmpty());
}

QTEST_APPLESS_MAIN(tst_AlgorithmBasicData)
#include "tst_algorithm_basic_data.moc"
