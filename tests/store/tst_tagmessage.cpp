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
    void sequenceIsUnsigned();
    void findAnchorGivesFirstReportOrder();
    void newTagMessageIsEmpty();
    void arrivalOverwriteCountsAnchorOnce();
    void arrivalColumnsSurviveNewAnchors();
    void arrivalClearTouchesOneNumberOnly();
    void copiesAreIndependent();
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

    QCOMPARE(anchor.seq, 5);
    QCOMPARE(anchor.storedCount(), 2);
    QVERIFY2(anchor.record(5) == second5, "the later record of a number replaces the earlier one");
    QVERIFY2(anchor.record(6) == six, "other numbers are untouched");
    QVERIFY2(anchor.record(7).isNull(), "a number never filled holds nothing");
    // Shared with the caller's array, not copied.
    QVERIFY2(anchor.record(5).constData() == second5.constData(), "the stored record shares its data");
}

void tst_TagMessage::sequenceIsUnsigned()
{
    AnchorMessage anchor;
    anchor.anchorMessageAddData(makeRecord(0xFF, sixBytes(1), sixBytes(9), 1));
    QCOMPARE(anchor.seq, 255);
    QVERIFY(!anchor.record(255).isNull());
}

void tst_TagMessage::findAnchorGivesFirstReportOrder()
{
    TagMessage tag(0);
    const QByteArray a = sixBytes(0xA1), b = sixBytes(0xB2), c = sixBytes(0xC3);
    for (const QByteArray &id : {a, b, c})
        tag.tagMessageAddAnchor(id, AnchorMessage());
    QCOMPARE(tag.findAnchor(a), 0);
    QCOMPARE(tag.findAnchor(b), 1);
    QCOMPARE(tag.findAnchor(c), 2);
    QCOMPARE(tag.findAnchor(sixBytes(0xD4)), -1);
    // Compared as raw bytes: the same bytes in another length are another id.
    QCOMPARE(tag.findAnchor(a.left(5)), -1);
    QCOMPARE(tag.anchorNum, 3);
    QCOMPARE(tag.anchorMessages.size(), 3);
}

void tst_TagMessage::newTagMessageIsEmpty()
{
    const TagMessage tag(0);
    QCOMPARE(tag.seqCount.size(), 256);
    QVERIFY2(std::all_of(tag.seqCount.cbegin(), tag.seqCount.cend(), [](int n) { return n == 0; }),
             "every counter starts at 0");
    QVERIFY(tag.seqArrivals.isEmpty());
    QCOMPARE(tag.anchorNum, 0);
    QVERIFY(tag.anchorIndexHash.isEmpty());
}

void tst_TagMessage::arrivalOverwriteCountsAnchorOnce()
{
    ArrivalTable table;
    table.arrivalRecord(10, 1, 100);
    table.arrivalRecord(10, 1, 250);
    QCOMPARE(table.arrivalAnchors(10), 1);
    QCOMPARE(table.arrivalAt(10, 1), qint64(250));
    QCOMPARE(table.arrivalAt(10, 0), ArrivalTable::kNoArrival);
    table.arrivalRecord(10, 0, 300);
    QCOMPARE(table.arrivalAnchors(10), 2);
    // A clock reading of 0 or below is an arrival like any other.
    table.arrivalRecord(11, 0, 0);
    table.arrivalRecord(11, 1, -5);
    QCOMPARE(table.arrivalAnchors(11), 2);
}

void tst_TagMessage::arrivalColumnsSurviveNewAnchors()
{
    ArrivalTable table;
    table.arrivalRecord(255, 0, 7);
    table.arrivalRecord(0, 1, 8);
    table.arrivalRecord(3, 9, 9); // an anchor index far beyond the others
    QCOMPARE(table.arrivalAt(255, 0), qint64(7));
    QCOMPARE(table.arrivalAt(0, 1), qint64(8));
    QCOMPARE(table.arrivalAt(3, 9), qint64(9));
    QCOMPARE(table.arrivalAt(3, 5), ArrivalTable::kNoArrival);
    QCOMPARE(table.arrivalAt(3, 200), ArrivalTable::kNoArrival);
    QCOMPARE(table.arrivalAnchors(3), 1);
    QCOMPARE(table.arrivalAnchors(4), 0);
}

void tst_TagMessage::arrivalClearTouchesOneNumberOnly()
{
    ArrivalTable table;
    for (int anchor = 0; anchor < 4; ++anchor) {
        table.arrivalRecord(20, anchor, anchor);
        table.arrivalRecord(21, anchor, anchor);
    }
    table.arrivalClear(20);
    QCOMPARE(table.arrivalAnchors(20), 0);
    for (int anchor = 0; anchor < 4; ++anchor) {
        QCOMPARE(table.arrivalAt(20, anchor), ArrivalTable::kNoArrival);
        QCOMPARE(table.arrivalAt(21, anchor), qint64(anchor));
    }
    QCOMPARE(table.arrivalAnchors(21), 4);
    table.arrivalClear(21);
    QVERIFY(table.isEmpty());
    // Re-use after clearing counts from zero.
    table.arrivalRecord(20, 2, 1);
    QCOMPARE(table.arrivalAnchors(20), 1);
}

void tst_TagMessage::copiesAreIndependent()
{
    TagMessage original(0);
    original.tagMessageAddAnchor(sixBytes(1), AnchorMessage());
    original.seqArrivals.arrivalRecord(1, 0, 5);
    TagMessage copy = original;
    copy.seqArrivals.arrivalRecord(1, 0, 6);
    copy.seqCount[1] = 3;
    copy.anchorMessages[0].anchorMessageAddData(makeRecord(1, sixBytes(1), sixBytes(2), 0));
    QCOMPARE(original.seqArrivals.arrivalAt(1, 0), qint64(5));
    QCOMPARE(original.seqCount.at(1), 0);
    QVERIFY(original.anchorMessages.at(0).record(1).isNull());
}

QTEST_APPLESS_MAIN(tst_TagMessage)
#include "tst_tagmessage.moc"
