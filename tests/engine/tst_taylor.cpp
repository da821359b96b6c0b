#include "engine/algorithm.h"
#include "engine_test_util.h"
#include "tests/support/test_support.h"

#include <QtTest>

#include <algorithm>

using namespace enginetest;

Q_DECLARE_METATYPE(QList<int>)
Q_DECLARE_METATYPE(QList<double>)

namespace {

// The hall of the worked example: a 10 m square and a fifth anchor, all at 3 m.
const QList<AnchorXYZ> kHall{{0, 0, 3}, {10, 0, 3}, {10, 10, 3}, {0, 10, 3}, {5, 12, 3}};
const unsigned long long kOffset = 123456789ULL;
const QString kLockFailed = QStringLiteral("lock synchronize failed!!");
const QString kDivergence = QStringLiteral("iteration divergence!! tag is recoverying");

QString pointText(const TAG_XYZ_t &p) { return QStringLiteral("(%1, %2, %3)").arg(p.x).arg(p.y).arg(p.z); }

bool samePoint(const TAG_XYZ_t &a, const TAG_XYZ_t &b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

// Timestamps whose true range difference is 200 km: refused before any
// iteration, leaving tagXyz at the starting point of the solve.
QList<unsigned long long> unsynchronised()
{
    return {kOffset, kOffset + (unsigned long long)(200000.0 / kTick), kOffset + 10};
}

} // namespace

class tst_Taylor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void fiveAnchorsConvergeInThirdIteration();
    void solvesExactInput_data();
    void solvesExactInput();
    void refusedSetSizes_data();
    void refusedSetSizes();
    void unsynchronisedClocks();
    void startingPoints();
    void tenIterationsWithoutConvergence();
    void unconfiguredAnchorGivesNoPosition();
    void singularNormalMatrix();
    void estimateOnAnAnchorIsNotFinite();
    void convergedOutsideRegionIsKept();
    void moreAnchorsThanTheOldFixedArrays();

private:
    void reconfigure(const QList<AnchorXYZ> &hall, double tagHigh)
    {
        cleanup();
        config = new ScopedConfig(iniText(hall, tagHigh));
        algo = new algorithm;
    }
    ScopedConfig *config = nullptr;
    algorithm *algo = nullptr;
};

void tst_Taylor::initTestCase()
{
    ScopedConfig first(QStringLiteral("[token_msg]\nconsole=debugmsg\n"));
    QVERIFY(LogWriter::getLogCenter()->isDebugEnabled());
}

void tst_Taylor::init()
{
    config = new ScopedConfig(iniText(kHall, 1.2));
    algo = new algorithm;
}

void tst_Taylor::cleanup()
{
    delete algo;
    delete config;
    algo = nullptr;
    config = nullptr;
}

void tst_Taylor::fiveAnchorsConvergeInThirdIteration()
{
    const TAG_IMEI_t tag = tagId(1);
    const TAG_XYZ_t *p =
        algo->algoTaylor(tag, anchorIds({1, 2, 3, 4, 5}), receptionTimes(kHall, {1, 2, 3, 4, 5}, {3, 4, 1.2}, kOffset));
    QVERIFY(p);
    QCOMPARE(algo->lastIterationCount(), 3);
    QVERIFY2(std::fabs(p->x - 3) < 0.001 && std::fabs(p->y - 4) < 0.001, qPrintable(pointText(*p)));
    QCOMPARE(p->z, 1.2);
    QVERIFY(samePoint(algo->tagLastXyz.value(tag), *p));
}

void tst_Taylor::solvesExactInput_data()
{
    QTest::addColumn<QList<int>>("anchors");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<unsigned long long>("offset");
    // Whole ticks put up to 2.3 mm on each range, hence the 1 cm bound.
    QTest::newRow("three anchors, exactly determined") << QList<int>{1, 2, 4} << 2.0 << 3.0 << kOffset;
    // Reference anchor farthest away: every difference is negative.
    QTest::newRow("negative differences") << QList<int>{3, 1, 2, 4} << 2.0 << 1.5 << kOffset;
    // The clock wraps between the reference and the others (each tick 4.68 mm,
    // wrap every 2^40 ticks): without unwrapping this reads as 5.1e9 m.
    // Reference closest (5.9 m, 1269 ticks): it stays below the wrap, the
    // anchors beyond 6.55 m land after it.
    QTest::newRow("clock wraps after the reference")
        << QList<int>{4, 1, 2, 3, 5} << 4.0 << 6.0 << ((1ULL << 40) - 1400);
    // Reference farthest (7.5 m, 1602 ticks): it lands after the wrap, the
    // anchors within 7.0 m stay below it.
    QTest::newRow("clock wraps before the reference")
        << QList<int>{1, 2, 3, 4, 5} << 7.0 << 2.0 << ((1ULL << 40) - 1500);
}

void tst_Taylor::solvesExactInput()
{
    QFETCH(QList<int>, anchors);
    QFETCH(double, x);
    QFETCH(double, y);
    QFETCH(unsigned long long, offset);
    const QList<unsigned long long> ticks = receptionTimes(kHall, anchors, {x, y, 1.2}, offset);
    if (offset > (1ULL << 39)) {
        const int wrapped = int(std::count_if(ticks.begin(), ticks.end(), [&](auto t) { return t < offset; }));
        QVERIFY2(wrapped > 0 && wrapped < ticks.size(), "premise: the set straddles a wrap of the clock");
    }
    LogCapture log;
    const TAG_XYZ_t *p = algo->algoTaylor(tagId(2), anchorIds(anchors), ticks);
    QVERIFY2(p, qPrintable(log.dump()));
    QVERIFY2(std::fabs(p->x - x) < 0.01 && std::fabs(p->y - y) < 0.01, qPrintable(pointText(*p)));
    QCOMPARE(p->z, 1.2);
    QCOMPARE(log.count(kLockFailed), 0);
}

void tst_Taylor::refusedSetSizes_data()
{
    QTest::addColumn<QList<int>>("anchors");
    QTest::addColumn<int>("timestamps");
    QTest::newRow("two anchors") << QList<int>{1, 2} << 2;
    QTest::newRow("none") << QList<int>{} << 0;
    QTest::newRow("more than configured") << QList<int>{1, 2, 3, 4, 5, 1} << 6;
    QTest::newRow("fewer timestamps than anchors") << QList<int>{1, 2, 3, 4} << 3;
}

void tst_Taylor::refusedSetSizes()
{
    QFETCH(QList<int>, anchors);
    QFETCH(int, timestamps);
    QList<unsigned long long> ticks;
    for (int i = 0; i < timestamps; ++i)
        ticks.append(kOffset + 100 * i);
    LogCapture log;
    QVERIFY(!algo->algoTaylor(tagId(3), anchorIds(anchors), ticks));
    QVERIFY2(log.lines().isEmpty(), qPrintable(log.dump()));
    QVERIFY(algo->tagLastXyz.isEmpty());
}

void tst_Taylor::unsynchronisedClocks()
{
    const TAG_IMEI_t tag = tagId(4);
    const TAG_XYZ_t before{1, 2, 1.2};
    algo->tagLastXyz.insert(tag, before);
    LogCapture log;
    QVERIFY(!algo->algoTaylor(tag, anchorIds({1, 2, 3}), unsynchronised()));
    QCOMPARE(log.count(kLockFailed), 1);
    QVERIFY(samePoint(algo->tagLastXyz.value(tag), before));
    QCOMPARE(algo->lastIterationCount(), 0);

    // Just inside the bound: a 99 km difference is not a clock failure.
    log.clear();
    algo->algoTaylor(tag, anchorIds({1, 2, 3}),
                     {kOffset, kOffset + (unsigned long long)(99000.0 / kTick), kOffset + 10});
    QCOMPARE(log.count(kLockFailed), 0);
}

void tst_Taylor::startingPoints()
{
    // A refused set leaves tagXyz at the starting point: the centre first,
    // then the tag's last solution, and the centre again after a divergence.
    const TAG_IMEI_t tag = tagId(5);
    const TAG_XYZ_t centre{5, 5, 1.2};
    QVERIFY(!algo->algoTaylor(tag, anchorIds({1, 2, 3}), unsynchronised()));
    QVERIFY2(samePoint(algo->tagXyz, centre), qPrintable(pointText(algo->tagXyz)));

    const TAG_XYZ_t *p =
        algo->algoTaylor(tag, anchorIds({1, 2, 3}), receptionTimes(kHall, {1, 2, 3}, {3, 4, 1.2}, kOffset));
    QVERIFY(p);
    const TAG_XYZ_t first = *p;
    QVERIFY(!algo->algoTaylor(tag, anchorIds({1, 2, 3}), unsynchronised()));
    QVERIFY2(samePoint(algo->tagXyz, first), qPrintable(pointText(algo->tagXyz)));
    // Another tag is not affected by the first one's solution.
    QVERIFY(!algo->algoTaylor(tagId(6), anchorIds({1, 2, 3}), unsynchronised()));
    QVERIFY(samePoint(algo->tagXyz, centre));

    // A 30 m error on one range: no hyperbola pair meets, the steps grow.
    LogCapture log;
    QVERIFY(!algo->algoTaylor(tag, anchorIds({1, 2, 3}),
                              receptionTimes(kHall, {1, 2, 3}, {3, 4, 1.2}, kOffset, {0, 30, 0})));
    QCOMPARE(log.count(kDivergence), 1);
    QVERIFY2(!algo->tagLastXyz.contains(tag), "a diverged tag forgets its last solution");
    QVERIFY(!algo->algoTaylor(tag, anchorIds({1, 2, 3}), unsynchronised()));
    QVERIFY2(samePoint(algo->tagXyz, centre), qPrintable(pointText(algo->tagXyz)));
}

void tst_Taylor::tenIterationsWithoutConvergence()
{
    const TAG_IMEI_t tag = tagId(8);
    // Grossly inconsistent ranges (-10 m and +14 m): Gauss-Newton creeps
    // towards the least-squares point and is still moving after ten steps.
    const QList<unsigned long long> ticks =
        receptionTimes(kHall, {1, 2, 3, 4, 5}, {3, 4, 1.2}, kOffset, {0, -10, 14, 0, 0});
    const TAG_XYZ_t stored{5, 5, 1.2}; // the same start as a first solve
    algo->tagLastXyz.insert(tag, stored);
    LogCapture log;
    const TAG_XYZ_t *p = algo->algoTaylor(tag, anchorIds({1, 2, 3, 4, 5}), ticks);
    QVERIFY2(p, qPrintable(log.dump()));
    QCOMPARE(algo->lastIterationCount(), 10);
    QVERIFY2(std::fabs(algo->lastDelta[0]) >= 0.01 || std::fabs(algo->lastDelta[1]) >= 0.01,
             "premise: the last step is not a converged one");
    QVERIFY2(samePoint(algo->tagLastXyz.value(tag), stored), "no convergence, no new last solution");
    QVERIFY(log.lines().isEmpty());
}

void tst_Taylor::unconfiguredAnchorGivesNoPosition()
{
    const TAG_IMEI_t tag = tagId(9);
    QList<ANCHOR_IMEI_t> ids = anchorIds({1, 2, 3, 4});
    ids[2] = anchorId(77);
    LogCapture log;
    QVERIFY(!algo->algoTaylor(tag, ids, receptionTimes(kHall, {1, 2, 3, 4}, {3, 4, 1.2}, kOffset)));
    QVERIFY(log.contains(anchorKey(77)));
    QVERIFY(!algo->tagLastXyz.contains(tag));
}

void tst_Taylor::singularNormalMatrix()
{
    // All anchors and the start on the line y = 0, z = 0: every y derivative
    // is exactly 0, so the normal matrix has determinant 0.0.
    reconfigure({{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {30, 0, 0}}, 0.0);
    const TAG_IMEI_t tag = tagId(10);
    StdoutCapture out;
    const TAG_XYZ_t *p = algo->algoTaylor(tag, anchorIds({1, 2, 3}), {kOffset, kOffset + 500, kOffset + 900});
    const QString printed = out.text();
    QVERIFY(!p);
    QVERIFY2(printed.contains(QStringLiteral("矩阵不可逆!")), qPrintable(printed));
    QVERIFY(!algo->tagLastXyz.contains(tag));
}

void tst_Taylor::estimateOnAnAnchorIsNotFinite()
{
    // The centre of the square lies exactly on anchor 5 at the tag height:
    // a zero distance, so the first Jacobian divides by zero.
    const QList<AnchorXYZ> hall{{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}, {5, 5, 0}};
    reconfigure(hall, 0.0);
    const TAG_IMEI_t fresh = tagId(11);
    const QList<unsigned long long> ticks = receptionTimes(hall, {5, 1, 2, 3}, {3, 4, 0}, kOffset);
    QVERIFY(!algo->algoTaylor(fresh, anchorIds({5, 1, 2, 3}), ticks));
    QVERIFY2(!algo->tagLastXyz.contains(fresh), "no non-finite last solution");

    const TAG_IMEI_t known = tagId(12);
    const TAG_XYZ_t onAnchor{5, 5, 0};
    algo->tagLastXyz.insert(known, onAnchor);
    QVERIFY(!algo->algoTaylor(known, anchorIds({5, 1, 2, 3}), ticks));
    QVERIFY2(samePoint(algo->tagLastXyz.value(known), onAnchor), "the last solution is not replaced");
}

void tst_Taylor::convergedOutsideRegionIsKept()
{
    // The region comes from the first four anchors only (x up to 10010);
    // three far anchors make a tag at x = 10500 well determined.
    const QList<AnchorXYZ> hall =
        kHall.mid(0, 4) + QList<AnchorXYZ>{{10400, -200, 3}, {10700, 150, 3}, {10450, 300, 3}};
    reconfigure(hall, 1.2);
    const TAG_IMEI_t tag = tagId(13);
    algo->tagLastXyz.insert(tag, TAG_XYZ_t{10502, 4, 1.2});
    const QList<int> numbers{5, 6, 7, 1};
    LogCapture log;
    QVERIFY(!algo->algoTaylor(tag, anchorIds(numbers), receptionTimes(hall, numbers, {10500, 5, 1.2}, kOffset)));
    QVERIFY2(log.lines().isEmpty(), qPrintable(log.dump()));
    QVERIFY2(algo->tagLastXyz.contains(tag), "converged, then refused by the region");
    const TAG_XYZ_t last = algo->tagLastXyz.value(tag);
    QVERIFY2(std::fabs(last.x - 10500) < 0.05 && std::fabs(last.y - 5) < 0.05, qPrintable(pointText(last)));
}

void tst_Taylor::moreAnchorsThanTheOldFixedArrays()
{
    // 60 anchors on a ring: a set of 55 exceeds 50 rows of 2 values.
    QList<AnchorXYZ> ring;
    QList<int> numbers;
    for (int i = 0; i < 60; ++i)
        ring.append({50 + 40 * std::cos(i * 0.1047), 50 + 40 * std::sin(i * 0.1047), 4});
    for (int i = 1; i <= 55; ++i)
        numbers.append(i);
    reconfigure(ring, 1.0);
    const TAG_XYZ_t *p =
        algo->algoTaylor(tagId(14), anchorIds(numbers), receptionTimes(ring, numbers, {55, 42, 1}, kOffset));
    QVERIFY(p);
    QVERIFY2(std::fabs(p->x - 55) < 0.01 && std::fabs(p->y - 42) < 0.01, qPrintable(pointText(*p)));
}

QTEST_MAIN(tst_Taylor)
#include "tst_taylor.moc"
