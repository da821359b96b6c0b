#include "store/anchormessage.h"
#include "store/tagmessage.h"
#include "test_records.h"

#include <QtTest>

// AnchorMessage, TagMessage and the arrival bookkeeping they carry.
class tst_TagMessage : public QObject
{
    Q_OBJECT
private slots:
    void anchorMessageKeepsLastRecordPerNumber();
    void findAnchorGivesFirstReportOrder();
    void arrivalsSurviveNewAnchors();
};

void tst_TagMessage::anchorMessageKeepsLastRecordPerNumber()
{
    AnchorMessage anchor;
    const QByteArray first5 = makeRecord(5, sixBytes(1), sixBytes(9), 100);
    const QByteArray six = makeRecord(6, sixBytes(1), sixBytes(9), 200);
    const QByteArray second5 = makeRecord(5, sixBytes(1), sixBytes(9), 300);
    anchor.anchorMessageAddData(first5);
    anchor.anchorMessageAddData(six);
    anchor.anchorMessageAddData(second5);

    QCOMPARE(anchor.storedCount(), 2);
    QVERIFY2(anchor.record(5) == second5, "the later record of a number replaces the earlier one");
    QVERIFY2(anchor.record(6) == six, "other numbers are untouched");
    QVERIFY2(anchor.record(7).isNull(), "a number never filled holds nothing");
    // Shared with the caller's array, not copied.
    QVERIFY2(anchor.record(5).constData() == second5.constData(), "the stored record shares its data");
}

void tst_TagMessage::findAnchorGivesFirstReportOrder()
{
    TagMessage tag(0);
    const QByteArray a = sixBytes(0xA1), b = sixBytes(0xB2), c = sixBytes(0xC3);
    for (const QByteArray &id : {a, b, c})
        tag.tagMessageAddAnchor(id, AnchorMessage());
    QCOMPARE(tag.findAnchor(c), 2);
    QCOMPARE(tag.findAnchor(sixBytes(0xD4)), -1);
    // Compared as raw bytes: the same bytes in another length are another id.
    QCOMPARE(tag.findAnchor(a.left(5)), -1);
    QCOMPARE(tag.anchorNum, 3);
}

void tst_TagMessage::arrivalsSurviveNewAnchors()
{
    // Adding higher anchor indices widens the rows; nothing recorded moves.
    ArrivalTable table;
    table.arrivalRecord(255, 0, 7);
    table.arrivalRecord(0, 1, 8);
    table.arrivalRecord(3, 9, 9); // an anchor index far beyond the others
    table.arrivalRecord(3, 9, 10); // overwritten, still one anchor
    QCOMPARE(table.arrivalAt(255, 0), qint64(7));
    QCOMPARE(table.arrivalAt(0, 1), qint64(8));
    QCOMPARE(table.arrivalAt(3, 9), qint64(10));
    QCOMPARE(table.arrivalAt(3, 5), ArrivalTable::kNoArrival);
    QCOMPARE(table.arrivalAt(3, 200), ArrivalTable::kNoArrival);
    QCOMPARE(table.arrivalAnchors(3), 1);
    QCOMPARE(table.arrivalAnchors(4), 0);
    table.arrivalClear(3);
    QCOMPARE(table.arrivalAt(3, 9), ArrivalTable::kNoArrival);
    QCOMPARE(table.arrivalAt(255, 0), qint64(7));
}

QTEST_APPLESS_MAIN(tst_TagMessage)
#include "tst_tagmessage.moc"
