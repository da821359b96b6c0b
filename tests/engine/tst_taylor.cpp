#include "engine/algorithm.h"
#include "engine_test_util.h"
#include "tests/support/test_support.h"

#include <QtTest>

using namespace enginetest;

Q_DECLARE_METATYPE(QList<int>)

namespace {

// The hall of the worked example: a 10 m square and a fifth anchor, all at 3 m.
const QList<AnchorXYZ> kHall{{0, 0, 3}, {10, 0, 3}, {10, 10, 3}, {0, 10, 3}, {5, 12, 3}};
const unsigned long long kOffset = 123456789ULL;
const QString kLockFailed = QStringLiteral("lock synchronize failed!!");

bool near(const TAG_XYZ_t *p, double x, double y, double tolerance)
{
    return p && std::fabs(p->x - x) <= tolerance && std::fabs(p->y - y) <= tolerance;
}

// A true range difference of `metres` between the first two anchors.
QList<unsigned long long> apart(double metres)
{
    return {kOffset, kOffset + (unsigned long long)(metres / kTick), kOffset + 10};
}

} // namespace

class tst_Taylor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void solvesExactInput_data();
    void solvesExactInput();
    void refusedSets_data();
    void refusedSets();
    void startingPointsAndDivergence();
    void nonFiniteEstimateIsNotKept();
    void moreAnchorsThanTheOldFixedArrays();

private:
    void configure(const QList<AnchorXYZ> &hall, double tagHigh = 1.2)
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
    configure(kHall);
    QVERIFY(LogWriter::getLogCenter()->isDebugEnabled());
}

void tst_Taylor::cleanup()
{
    delete algo;
    delete config;
    algo = nullptr;
    config = nullptr;
}

void tst_Taylor::solvesExactInput_data()
{
    QTest::addColumn<QList<int>>("anchors");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<unsigned long long>("offset");
    QTest::addColumn<int>("iterations"); // 0: not checked
    QTest::newRow("five anchors: third iteration") << QList<int>{1, 2, 3, 4, 5} << 3.0 << 4.0 << kOffset << 3;
    QTest::newRow("three anchors") << QList<int>{1, 2, 4} << 2.0 << 3.0 << kOffset << 0;
    QTest::newRow("negative differences") << QList<int>{3, 1, 2, 4} << 2.0 << 1.5 << kOffset << 0;
    // The 40-bit clock wraps inside the set: after the reference (closest),
    // and before it (farthest). Without unwrapping this reads as 5.1e9 m.
    QTest::newRow("clock wraps after the reference") << QList<int>{4, 1, 2, 3, 5} << 4.0 << 6.0
                                                     << ((1ULL << 40) - 1400) << 0;
    QTest::newRow("clock wraps before the reference") << QList<int>{1, 2, 3, 4, 5} << 7.0 << 2.0
                                                      << ((1ULL << 40) - 1500) << 0;
}

void tst_Taylor::solvesExactInput()
{
    QFETCH(QList<int>, anchors);
    QFETCH(double, x);
    QFETCH(double, y);
    QFETCH(unsigned long long, offset);
    QFETCH(int, iterations);
    configure(kHall);
    LogCapture log;
    const TAG_XYZ_t *p = algo->algoTaylor(tagId(2), anchorIds(anchors), receptionTimes(kHall, anchors, {x, y, 1.2}, offset));
    // Whole ticks put up to 2.3 mm on each range.
    QVERIFY2(near(p, x, y, iterations ? 0.001 : 0.01), qPrintable(log.dump()));
    QCOMPARE(p->z, 1.2);
    QVERIFY(near(&algo->tagLastXyz[tagId(2)], p->x, p->y, 0));
    QVERIFY(!iterations || algo->lastIterationCount() == iterations);
}

void tst_Taylor::refusedSets_data()
{
    QTest::addColumn<QList<int>>("anchors"); // 77: not configured
    QTest::addColumn<QList<unsigned long long>>("ticks");
    QTest::addColumn<QString>("line");
    const QList<unsigned long long> four{kOffset, kOffset + 100, kOffset + 200, kOffset + 300};
    QTest::newRow("two anchors") << QList<int>{1, 2} << four.mid(0, 2) << QString();
    QTest::newRow("more than configured") << QList<int>{1, 2, 3, 4, 5, 1} << (four + four.mid(0, 2)) << QString();
    QTest::newRow("fewer timestamps than anchors") << QList<int>{1, 2, 3, 4} << four.mid(0, 3) << QString();
    QTest::newRow("unconfigured anchor") << QList<int>{1, 2, 77, 4} << four << anchorKey(77);
    QTest::newRow("unsynchronised clocks") << QList<int>{1, 2, 3} << apart(200000) << kLockFailed;
}

void tst_Taylor::refusedSets()
{
    QFETCH(QList<int>, anchors);
    QFETCH(QList<unsigned long long>, ticks);
    QFETCH(QString, line);
    configure(kHall);
    LogCapture log;
    QVERIFY(!algo->algoTaylor(tagId(3), anchorIds(anchors), ticks));
    QVERIFY2(line.isEmpty() ? log.lines().isEmpty() : log.contains(line), qPrintable(log.dump()));
    QVERIFY(algo->tagLastXyz.isEmpty());
    algo->algoTaylor(tagId(3), anchorIds({1, 2, 3}), apart(99000)); // 99 km is no clock failure
    QCOMPARE(log.count(kLockFailed), int(line == kLockFailed));
}

void tst_Taylor::startingPointsAndDivergence()
{
    // A refused set leaves tagXyz at the starting point: the centre first,
    // then the tag's last solution, and the centre again after a divergence.
    configure(kHall);
    const TAG_IMEI_t tag = tagId(5);
    const TAG_XYZ_t first = *algo->algoTaylor(tag, anchorIds({1, 2, 3}), receptionTimes(kHall, {1, 2, 3}, {3, 4, 1.2}, kOffset));
    algo->algoTaylor(tag, anchorIds({1, 2, 3}), apart(200000));
    QVERIFY(near(&algo->tagXyz, first.x, first.y, 0));
    algo->algoTaylor(tagId(6), anchorIds({1, 2, 3}), apart(200000));
    QVERIFY2(near(&algo->tagXyz, 5, 5, 0), "another tag starts from the centre");
    // A 30 m error on one range: no hyperbola pair meets, the steps grow.
    LogCapture log;
    QVERIFY(!algo->algoTaylor(tag, anchorIds({1, 2, 3}), receptionTimes(kHall, {1, 2, 3}, {3, 4, 1.2}, kOffset, {0, 30, 0})));
    QCOMPARE(log.count(QStringLiteral("iteration divergence!! tag is recoverying")), 1);
    QVERIFY2(!algo->tagLastXyz.contains(tag), "a diverged tag forgets its last solution");
    algo->algoTaylor(tag, anchorIds({1, 2, 3}), apart(200000));
    QVERIFY(near(&algo->tagXyz, 5, 5, 0));
}

void tst_Taylor::nonFiniteEstimateIsNotKept()
{
    // The centre lies exactly on anchor 5 at the tag height: the first
    // Jacobian divides by zero.
    const QList<AnchorXYZ> hall{{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}, {5, 5, 0}};
    configure(hall, 0.0);
    const QList<unsigned long long> ticks = receptionTimes(hall, {5, 1, 2, 3}, {3, 4, 0}, kOffset);
    QVERIFY(!algo->algoTaylor(tagId(11), anchorIds({5, 1, 2, 3}), ticks));
    algo->tagLastXyz.insert(tagId(12), TAG_XYZ_t{5, 5, 0});
    QVERIFY(!algo->algoTaylor(tagId(12), anchorIds({5, 1, 2, 3}), ticks));
    QCOMPARE(algo->tagLastXyz.size(), 1);
    QVERIFY(near(&algo->tagLastXyz[tagId(12)], 5, 5, 0));
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
    configure(ring, 1.0);
    QVERIFY(near(algo->algoTaylor(tagId(14), anchorIds(numbers), receptionTimes(ring, numbers, {55, 42, 1}, kOffset)), 55, 42, 0.01));
}

QTEST_MAIN(tst_Taylor)
#include "tst_taylor.moc"
