#include "engine/algorithm.h"
#include "engine_test_util.h"
#include "store/tags.h"
#include "tests/support/test_support.h"

#include <QtTest>

using namespace enginetest;

Q_DECLARE_METATYPE(QList<AnchorXYZ>)

class tst_Algorithm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void centreAndRegion_data();
    void centreAndRegion();
    void duplicateKeysInTwoCases();
    void malformedEntriesAreSkipped_data();
    void malformedEntriesAreSkipped();
    void noAnchorsGivesNoPosition();
    void settings_data();
    void settings();
};

void tst_Algorithm::initTestCase()
{
    // The logger reads its debug switch once, from the first config it sees.
    ScopedConfig config(QStringLiteral("[token_msg]\nconsole=debugmsg\n"));
    QVERIFY(LogWriter::getLogCenter()->isDebugEnabled());
}

void tst_Algorithm::centreAndRegion_data()
{
    QTest::addColumn<QList<AnchorXYZ>>("anchors");
    QTest::addColumn<double>("cx");
    QTest::addColumn<double>("cy");
    QTest::addColumn<double>("minX");
    QTest::addColumn<double>("maxX");
    QTest::addColumn<double>("minY");
    QTest::addColumn<double>("maxY");
    QTest::newRow("square") << QList<AnchorXYZ>{{0, 0, 3}, {10, 0, 3}, {10, 10, 3}, {0, 10, 3}} << 5.0 << 5.0
                            << 0.0 << 10.0 << 0.0 << 10.0;
    // A first anchor that is neither the smallest nor the largest.
    QTest::newRow("all x negative") << QList<AnchorXYZ>{{-10, 0, 0}, {-1, 0, 0}, {-1, 4, 0}, {-10, 4, 0}} << -5.5
                                    << 2.0 << -10.0 << -1.0 << 0.0 << 4.0;
    QTest::newRow("ascending x") << QList<AnchorXYZ>{{1, 5, 0}, {2, -3, 0}, {3, 7, 0}, {4, 1, 0}} << 2.5 << 2.0
                                 << 1.0 << 4.0 << -3.0 << 7.0;
    QTest::newRow("descending x") << QList<AnchorXYZ>{{4, 1, 0}, {3, 7, 0}, {2, -3, 0}, {1, 5, 0}} << 2.5 << 2.0
                                  << 1.0 << 4.0 << -3.0 << 7.0;
    QTest::newRow("only the first four shape the centre")
        << QList<AnchorXYZ>{{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}, {-50, 80, 0}, {90, -70, 0}} << 5.0 << 5.0
        << 0.0 << 10.0 << 0.0 << 10.0;
    QTest::newRow("two anchors: from those present")
        << QList<AnchorXYZ>{{2, 8, 0}, {6, 4, 0}} << 4.0 << 6.0 << 2.0 << 6.0 << 4.0 << 8.0;
    QTest::newRow("one anchor") << QList<AnchorXYZ>{{3, -2, 1}} << 3.0 << -2.0 << 3.0 << 3.0 << -2.0 << -2.0;
}

void tst_Algorithm::centreAndRegion()
{
    QFETCH(QList<AnchorXYZ>, anchors);
    QFETCH(double, cx);
    QFETCH(double, cy);
    QFETCH(double, minX);
    QFETCH(double, maxX);
    QFETCH(double, minY);
    QFETCH(double, maxY);
    ScopedConfig config(iniText(anchors, 1.0));
    LogCapture log;
    algorithm algo;
    QCOMPARE(algo.anchorCount, anchors.size());
    QCOMPARE(g_tags_object.anchorTotal, anchors.size());
    QCOMPARE(algo.centerPoint.x, cx);
    QCOMPARE(algo.centerPoint.y, cy);
    QCOMPARE(algo.centerPoint.z, 0.0);
    QCOMPARE(algo.xMin, minX - 10000.0);
    QCOMPARE(algo.xMax, maxX + 10000.0);
    QCOMPARE(algo.yMin, minY - 10000.0);
    QCOMPARE(algo.yMax, maxY + 10000.0);
    QCOMPARE(log.contains(QStringLiteral("warning: only")), anchors.size() < 4);
    QVERIFY2(log.count(QStringLiteral("mac=%1 xyz=(%2,%3,%4)")
                           .arg(anchorKey(1))
                           .arg(anchors[0].x, 0, 'f', 2)
                           .arg(anchors[0].y, 0, 'f', 2)
                           .arg(anchors[0].z, 0, 'f', 2))
                 == 1,
             qPrintable(log.dump()));
}

void tst_Algorithm::duplicateKeysInTwoCases()
{
    ScopedConfig config(QStringLiteral("[anchor_coordinate]\n"
                                       "00000000AB01=\"1,2,3\"\n"
                                       "00000000ab01=\"4,5,6\"\n"
                                       "000000000002=\"7,8,9\"\n"));
    algorithm algo;
    // Keys sort as text: 000000000002, 00000000AB01, 00000000ab01.
    QCOMPARE(algo.anchorCount, 3);
    QCOMPARE(algo.anchorXyzMap.size(), 2);
    ANCHOR_IMEI_t dup{};
    dup.imei[4] = 0xAB;
    dup.imei[5] = 0x01;
    QVERIFY(algo.anchorImeiList.at(1) == dup && algo.anchorImeiList.at(2) == dup);
    const AnchorXYZ xyz = algo.anchorXyzMap.value(dup);
    QVERIFY2(xyz.x == 4 && xyz.y == 5 && xyz.z == 6, "the key visited later wins");
}

void tst_Algorithm::malformedEntriesAreSkipped_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("warning");
    QTest::newRow("key of five bytes") << QStringLiteral("0000000001=\"1,2,3\"")
                                       << QStringLiteral("does not decode to six bytes");
    QTest::newRow("key not hexadecimal") << QStringLiteral("anchor=\"1,2,3\"")
                                         << QStringLiteral("does not decode to six bytes");
    QTest::newRow("two parts") << QStringLiteral("000000000009=\"1,2\"") << QStringLiteral("is not three");
    // Unquoted commas make a list, which reads as empty text.
    QTest::newRow("unquoted value") << QStringLiteral("000000000009=1,2,3") << QStringLiteral("is not three");
}

void tst_Algorithm::malformedEntriesAreSkipped()
{
    QFETCH(QString, entry);
    QFETCH(QString, warning);
    ScopedConfig config(QStringLiteral("[anchor_coordinate]\n000000000001=\"1,2,3\"\n") + entry
                        + QStringLiteral("\n000000000002=\"3,6,3\"\n"));
    LogCapture log;
    algorithm algo;
    QCOMPARE(algo.anchorCount, 2);
    QCOMPARE(algo.centerPoint.x, 2.0);
    QCOMPARE(algo.centerPoint.y, 4.0);
    QVERIFY2(log.contains(warning), qPrintable(log.dump()));
}

void tst_Algorithm::noAnchorsGivesNoPosition()
{
    ScopedConfig config(QStringLiteral("[tag_high]\ntag1=1.5\n"));
    LogCapture log;
    algorithm algo;
    QCOMPARE(algo.anchorCount, 0);
    QCOMPARE(g_tags_object.anchorTotal, 0);
    QVERIFY(log.contains(QStringLiteral("warning: no anchors configured")));
    QVERIFY(!algo.algoTaylor(tagId(1), anchorIds({1, 2, 3}), {1, 2, 3}));
}

void tst_Algorithm::settings_data()
{
    QTest::addColumn<QString>("lines");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("half");
    QTest::addColumn<double>("redundant");
    QTest::addColumn<double>("tagHigh");
    QTest::addColumn<bool>("warned");
    QTest::newRow("all set") << QStringLiteral("s_enable=true\ns_length=11\ns_start_half_length=5\ns_redundant=3\n"
                                               "[tag_high]\ntag1=1.25")
                             << true << 11 << 5 << 3.0 << 1.25 << false;
    QTest::newRow("capital True is off")
        << QStringLiteral("s_enable=True\ns_length=11\ns_start_half_length=5\ns_redundant=3") << false << 11 << 5
        << 3.0 << 0.0 << false;
    QTest::newRow("fractional redundant reads 0")
        << QStringLiteral("s_enable=true\ns_length=3\ns_start_half_length=2\ns_redundant=10.5") << true << 3 << 2
        << 0.0 << 0.0 << false;
    QTest::newRow("length missing disables") << QStringLiteral("s_enable=true\ns_start_half_length=2\ns_redundant=1")
                                             << false << 0 << 2 << 1.0 << 0.0 << true;
    QTest::newRow("length 1 disables") << QStringLiteral("s_enable=true\ns_length=1\ns_start_half_length=1")
                                       << false << 1 << 1 << 0.0 << 0.0 << true;
    QTest::newRow("half length 0 disables") << QStringLiteral("s_enable=true\ns_length=5\ns_start_half_length=0")
                                            << false << 5 << 0 << 0.0 << 0.0 << true;
    QTest::newRow("disabled anyway: no warning") << QStringLiteral("s_enable=false") << false << 0 << 0 << 0.0 << 0.0
                                                 << false;
}

void tst_Algorithm::settings()
{
    QFETCH(QString, lines);
    QFETCH(bool, enabled);
    QFETCH(int, length);
    QFETCH(int, half);
    QFETCH(double, redundant);
    QFETCH(double, tagHigh);
    QFETCH(bool, warned);
    ScopedConfig config(QStringLiteral("[algorithm_config]\n") + lines + QStringLiteral("\n"));
    LogCapture log;
    algorithm algo;
    QCOMPARE(algo.smoothEnable, enabled);
    QCOMPARE(algo.smoothLength, length);
    QCOMPARE(algo.smoothStartHalfLength, half);
    QCOMPARE(algo.smoothRedundant, redundant);
    QCOMPARE(algo.tagHigh, tagHigh);
    QCOMPARE(log.contains(QStringLiteral("warning: smoothing disabled")), warned);
    QCOMPARE(log.count(QStringLiteral("tag high -> %1").arg(tagHigh, 0, 'f', 2)), 1);
}

QTEST_MAIN(tst_Algorithm)
#include "tst_algorithm.moc"
