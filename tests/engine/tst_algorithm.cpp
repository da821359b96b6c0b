#include "engine/algorithm.h"
#include "engine/anchor_clock.h"
#include "engine/matlib.h"
#include "engine_test_util.h"
#include "store/tags.h"
#include "tests/support/test_support.h"

#include <QtTest>
#include <QTemporaryDir>

#include <memory>

using namespace enginetest;

Q_DECLARE_METATYPE(QList<AnchorXYZ>)
Q_DECLARE_METATYPE(TAG_XYZ_t)

namespace {

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

const QString kAlgorithm = QStringLiteral("[algorithm_config]\n");
const QString kSmoothing = QStringLiteral("s_enable=true\ns_length=3\ns_start_half_length=2\ns_redundant=1\n");

QString pointsText(const QList<TAG_XYZ_t> &points)
{
    QStringList parts;
    for (const TAG_XYZ_t &p : points)
        parts << QStringLiteral("(%1,%2,%3)").arg(p.x, 0, 'g', 12).arg(p.y, 0, 'g', 12).arg(p.z, 0, 'g', 12);
    return parts.join(QLatin1Char(' '));
}

QVector<double> taken(double *m, int count)
{
    const std::unique_ptr<double, void (*)(void *)> owned(m, std::free);
    return m ? QVector<double>(m, m + count) : QVector<double>();
}

} // namespace

// The solver: its configuration, the Taylor solve, the smoothing filter and the matrix functions.
class tst_Algorithm : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void solvesExactInput_data();
    void solvesExactInput();
    void refusedSets_data();
    void refusedSets();
    void solvesTheUsedAnchorsOfASet_data();
    void solvesTheUsedAnchorsOfASet();
    void setSolveFitsAtItsPosition_data();
    void setSolveFitsAtItsPosition();
    void startingPointsAndDivergence();
    void rangesWithOffsetsTakenOff();
    void nlosStepKeepsTheTagsStart_data();
    void nlosStepKeepsTheTagsStart();
    void nlosSetsTakeTheirAnchorsCoordinates_data();
    void nlosSetsTakeTheirAnchorsCoordinates();
    void moreAnchorsThanTheOldFixedArrays();
    void configuration_data();
    void configuration();
    void smoothing_data();
    void smoothing();
    void matlib_arithmetic();
    void matlib_files_data();
    void matlib_files();

private:
    void configure(const QList<AnchorXYZ> &hall, double tagHigh = 1.2, const QString &algorithmLines = QString())
    {
        cleanup();
        config = std::make_unique<ScopedConfig>(iniText(hall, tagHigh, algorithmLines));
        algo = std::make_unique<algorithm>();
    }
    std::unique_ptr<ScopedConfig> config;
    std::unique_ptr<algorithm> algo;
};

void tst_Algorithm::cleanup()
{
    algo.reset();
    config.reset();
}

void tst_Algorithm::solvesExactInput_data()
{
    QTest::addColumn<QList<int>>("anchors");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<unsigned long long>("offset");
    QTest::addColumn<QString>("weighting");
    QTest::newRow("five anchors") << QList<int>{1, 2, 3, 4, 5} << 3.0 << 4.0 << kOffset << QString();
    QTest::newRow("five anchors, weighted") << QList<int>{1, 2, 3, 4, 5} << 3.0 << 4.0 << kOffset << "weighted_solve=true";
    QTest::newRow("three anchors") << QList<int>{1, 2, 4} << 2.0 << 3.0 << kOffset << QString();
    QTest::newRow("negative differences") << QList<int>{3, 1, 2, 4} << 2.0 << 1.5 << kOffset << QString();
    // The 40-bit clock wraps after the reference (closest) or before it (farthest): unwrapped, it reads as 5.1e9 m.
    QTest::newRow("clock wraps after the reference") << QList<int>{4, 1, 2, 3, 5} << 4.0 << 6.0
                                                     << ((1ULL << 40) - 1400) << QString();
    QTest::newRow("clock wraps before the reference") << QList<int>{1, 2, 3, 4, 5} << 7.0 << 2.0
                                                      << ((1ULL << 40) - 1500) << "weighted_solve=true";
}

void tst_Algorithm::solvesExactInput()
{
    QFETCH(QList<int>, anchors);
    QFETCH(double, x);
    QFETCH(double, y);
    QFETCH(unsigned long long, offset);
    QFETCH(QString, weighting);
    configure(kHall, 1.2, weighting);
    LogCapture log;
    const TAG_XYZ_t *p = algo->algoTaylor(tagId(2), anchorIds(anchors), receptionTimes(kHall, anchors, {x, y, 1.2}, offset));
    // Whole ticks put up to 2.3 mm on each range.
    QVERIFY2(near(p, x, y, 0.01), qPrintable(log.dump()));
    QCOMPARE(p->z, 1.2);
    QVERIFY(near(&algo->tagLastXyz[tagId(2)], p->x, p->y, 0));
}

void tst_Algorithm::refusedSets_data()
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

void tst_Algorithm::refusedSets()
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

// The NLOS step's solve of the used anchors of a set: the position algoTaylor finds from the lists of those anchors
// alone (the first used anchor the reference, whichever is left out), or none where algoTaylor refuses the set.
void tst_Algorithm::solvesTheUsedAnchorsOfASet_data()
{
    QTest::addColumn<QList<int>>("anchors");
    QTest::addColumn<QList<int>>("leftOut"); // indices into the set
    QTest::addColumn<QList<double>>("bias");  // metres per anchor of the set
    QTest::addColumn<unsigned long long>("offset");
    QTest::addColumn<QString>("lines");
    QTest::addColumn<bool>("solved");
    const QList<int> all{1, 2, 3, 4, 5};
    QTest::newRow("all used") << all << QList<int>{} << QList<double>{} << kOffset << QString() << true;
    QTest::newRow("reference left out") << all << QList<int>{0} << QList<double>{9} << kOffset << QString() << true;
    QTest::newRow("two left out, three remain") << all << QList<int>{0, 2} << QList<double>{0.5, 0, 3} << kOffset
                                                << QString() << true;
    QTest::newRow("weighted, one in the middle left out") << all << QList<int>{3} << QList<double>{0, 0, 0, 2} << kOffset
                                                          << "weighted_solve=true" << true;
    QTest::newRow("clock wraps, reference left out") << QList<int>{4, 1, 2, 3, 5} << QList<int>{0} << QList<double>{}
                                                     << ((1ULL << 40) - 1400) << QString() << true;
    QTest::newRow("two used") << all << QList<int>{1, 3, 4} << QList<double>{} << kOffset << QString() << false;
    QTest::newRow("more used than configured") << QList<int>{1, 2, 3, 4, 5, 1} << QList<int>{} << QList<double>{}
                                               << kOffset << QString() << false;
    QTest::newRow("unsynchronised past the left-out reference")
        << all << QList<int>{0} << QList<double>{0, 0, 200000} << kOffset << QString() << false;
}

void tst_Algorithm::solvesTheUsedAnchorsOfASet()
{
    QFETCH(QList<int>, anchors);
    QFETCH(QList<int>, leftOut);
    QFETCH(QList<double>, bias);
    QFETCH(unsigned long long, offset);
    QFETCH(QString, lines);
    QFETCH(bool, solved);
    configure(kHall, 1.2, lines);
    const TAG_XYZ_t truth{3, 4, 1.2};
    const QList<unsigned long long> times = receptionTimes(kHall, anchors, truth, offset, bias);
    FixAnchors set = fixAnchors(algo->algoGetAnchorXYZ(anchorIds(anchors)), times);
    QList<int> used;
    for (int i = 0; i < set.size(); ++i) {
        set[i].used = !leftOut.contains(i);
        if (set[i].used)
            used.append(anchors[i]);
    }
    QList<unsigned long long> usedTimes;
    for (int i = 0; i < times.size(); ++i)
        if (!leftOut.contains(i))
            usedTimes.append(times[i]);
    LogCapture log;
    FixResiduals fit;
    const TAG_XYZ_t *p = algo->algoTaylorSet(tagId(7), set, &fit);
    QCOMPARE(bool(p), solved);
    QCOMPARE(log.count(kLockFailed), int(bias.value(2) > 100000));
    if (!solved) {
        QVERIFY(!algo->algoTaylor(tagId(8), anchorIds(used), usedTimes));
        return;
    }
    const TAG_XYZ_t fromSet = *p;
    QVERIFY2(near(&fromSet, truth.x, truth.y, 0.01), qPrintable(log.dump()));
    QVERIFY(near(&algo->tagLastXyz[tagId(7)], fromSet.x, fromSet.y, 0));
    // The lists of the used anchors give the same position, from the same start (a new tag: the centre).
    QVERIFY(near(algo->algoTaylor(tagId(8), anchorIds(used), usedTimes), fromSet.x, fromSet.y, 1e-9));
}

// The set solve's residual fit, made from its last iteration's linearisation (which may end before a check
// iteration), against the fit made afresh at the position it gives, and that position against algoTaylor's
// converged solve of the used anchors: a tag whose last fix lies `start` metres off, timing errors `bias`.
void tst_Algorithm::setSolveFitsAtItsPosition_data()
{
    QTest::addColumn<double>("start");
    QTest::addColumn<QList<double>>("bias"); // metres per anchor of the set
    QTest::addColumn<QList<int>>("leftOut");
    QTest::addColumn<bool>("weighted");
    const QList<double> noise{0.03, -0.02, 0.045, -0.01, -0.04}, late{0.03, -0.02, 0.6, -0.01, -0.04};
    for (const bool w : {false, true}) {
        const auto row = [w](const char *name) {
            return &QTest::newRow(qPrintable(QString::fromLatin1(name) + (w ? " (weighted)" : "")));
        };
        *row(w ? "near fix" : "one step from a near fix") << 0.04 << noise << QList<int>{} << w;
        *row("a step of 15 cm") << 0.15 << noise << QList<int>{} << w;
        *row("from metres away") << 3.0 << noise << QList<int>{} << w;
        *row("late anchor in the fit") << 0.1 << late << QList<int>{} << w;
        *row("late anchor left out") << 0.1 << late << QList<int>{2} << w;
        *row("reference left out") << 0.04 << noise << QList<int>{0} << w;
        *row("one left out, one step") << 0.02 << noise << QList<int>{3} << w;
    }
}

void tst_Algorithm::setSolveFitsAtItsPosition()
{
    QFETCH(double, start);
    QFETCH(QList<double>, bias);
    QFETCH(QList<int>, leftOut);
    QFETCH(bool, weighted);
    configure(kHall, 1.2, weighted ? QStringLiteral("weighted_solve=true") : QString());
    QList<int> used{1, 2, 3, 4, 5};
    QList<unsigned long long> times = receptionTimes(kHall, used, {3, 4, 1.2}, kOffset, bias);
    FixAnchors set = fixAnchors(algo->algoGetAnchorXYZ(anchorIds(used)), times);
    for (int i = set.size() - 1; i >= 0; --i) {
        if ((set[i].used = !leftOut.contains(i)))
            continue;
        used.removeAt(i);
        times.removeAt(i);
    }
    algo->tagLastXyz.insert(tagId(7), TAG_XYZ_t{3 + start, 4 - 0.5 * start, 1.2});
    FixResiduals fit, fresh;
    const TAG_XYZ_t *p = algo->algoTaylorSet(tagId(7), set, &fit);
    QVERIFY(p);
    const TAG_XYZ_t solved = *p;
    // Rows named "one step" end after it, without the check iteration.
    QVERIFY(!QByteArray(QTest::currentDataTag()).contains("one step") || algo->lastIterationCount() == 1);
    const TAG_XYZ_t *converged = algo->algoTaylor(tagId(8), anchorIds(used), times);
    QVERIFY2(near(converged, solved.x, solved.y, 0.003), qPrintable(pointsText({solved, *converged})));
    QVERIFY(fixResiduals(set, solved, weighted, &fresh));
    QCOMPARE(fit.degrees, fresh.degrees);
    QVERIFY(std::fabs(fit.chiSquare - fresh.chiSquare) <= 0.01 * fresh.chiSquare + 1e-6);
    for (int i = 0; i < set.size(); ++i)
        QVERIFY2(std::fabs(fit.residual[i] - fresh.residual[i]) < 1e-3 && std::fabs(fit.anchors[i].error - fresh.anchors[i].error) < 2e-3
                     && std::fabs(fit.anchors[i].weight - fresh.anchors[i].weight) < 0.01, qPrintable(QString::number(i)));
    QVERIFY(std::fabs(fit.cxx - fresh.cxx) + std::fabs(fit.cxy - fresh.cxy) + std::fabs(fit.cyy - fresh.cyy)
            < 0.01 * (fresh.cxx + fresh.cyy));
}

void tst_Algorithm::startingPointsAndDivergence()
{
    // A refused set leaves tagXyz at the start: the centre, the tag's last solution, the centre after a divergence.
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

// Offsets taken off the ranges in metres (the NLOS step's with anchor_offset_correction) give the ranges of the times
// corrected by as many ticks, the 40-bit wrap included, plus what is finer than a tick; the reference's own too.
void tst_Algorithm::rangesWithOffsetsTakenOff()
{
    const qint64 ticks[4] = {-5, 21, -40, 3};
    for (const unsigned long long reference : {kOffset, (1ULL << 40) - 40}) {
        for (const double fraction : {0.0, 0.37}) {
            const QList<unsigned long long> times{reference, reference + 1000, reference + 25, reference + 2600};
            QList<unsigned long long> corrected;
            double offsets[4];
            for (int i = 0; i < 4; ++i) {
                corrected.append((times[i] - (unsigned long long)ticks[i]) & anchorclock::kClockMask);
                offsets[i] = anchorclock::ticksToRange(ticks[i]) + (i > 0 ? fraction * kTick : 0);
            }
            FixAnchors exact = fixAnchors(kHall.mid(0, 4), times), ticked = fixAnchors(kHall.mid(0, 4), corrected);
            exact[2].used = false; // every anchor gets its range, used or not
            fixRanges(exact, times, offsets);
            for (int i = 0; i < 4; ++i)
                QVERIFY(exact[i].used && std::fabs(exact[i].range - ticked[i].range + (i > 0 ? fraction * kTick : 0)) < 1e-9);
        }
    }
}

void tst_Algorithm::nlosStepKeepsTheTagsStart_data()
{
    QTest::addColumn<QString>("lines");
    QTest::newRow("nlos_rejection") << QStringLiteral("nlos_rejection=true\nrange_noise=0.03");
    QTest::newRow("every key") << QStringLiteral("nlos_rejection=true\ntrack_filter=true\nanchor_offset_correction=true");
}

// The NLOS step keeps a tag's accepted fix as its next start, another tag's its own; a diverged solve leaves none.
void tst_Algorithm::nlosStepKeepsTheTagsStart()
{
    QFETCH(QString, lines);
    configure(kHall, 1.2, lines);
    const QList<int> all{1, 2, 3, 4, 5};
    TAG_XYZ_t start{0, 0, 0};
    Fix fix = algo->algoLocate(tagId(3), anchorIds(all), receptionTimes(kHall, all, {3, 4, 1.2}, kOffset, {0, 0, 2.0}));
    QVERIFY(fix && fix.leftOut.size() == 1 && near(&fix.position, 3, 4, 0.02));
    QVERIFY(algo->nlos.nlosStart(tagId(3), &start) && near(&start, fix.position.x, fix.position.y, 0));
    QVERIFY(algo->algoLocate(tagId(4), anchorIds(all), receptionTimes(kHall, all, {8, 2, 1.2}, kOffset)));
    fix = algo->algoLocate(tagId(3), anchorIds(all), receptionTimes(kHall, all, {6, 6, 1.2}, kOffset + 99, {0, 0, 0, 2.0}));
    QVERIFY(fix && fix.leftOut.size() == 1);
    QVERIFY(algo->nlos.nlosStart(tagId(3), &start) && near(&start, fix.position.x, fix.position.y, 0));
    QVERIFY(algo->nlos.nlosStart(tagId(4), &start) && near(&start, 8, 2, 0.02));
    // A 30 m error on one of three ranges: the steps grow.
    const QList<int> three{1, 2, 3};
    QVERIFY(!algo->algoLocate(tagId(4), anchorIds(three), receptionTimes(kHall, three, {8, 2, 1.2}, kOffset, {0, 30})));
    QVERIFY(!algo->nlos.nlosStart(tagId(4), &start) && algo->nlos.nlosStart(tagId(3), &start));
    QVERIFY(algo->algoLocate(tagId(4), anchorIds(all), receptionTimes(kHall, all, {8, 2, 1.2}, kOffset + 7)));
    // A new anchor before the others in key order: the tags' entries take the new geometry's indices up.
    AnchorGeometry added{algo->anchorXyzMap, algo->anchorImeiList, algo->anchorCount + 1};
    added.anchorXyzMap.insert(anchorId(0), AnchorXYZ{6, -3, 3});
    added.anchorImeiList.prepend(anchorId(0));
    algo->algoApplyGeometry(added);
    fix = algo->algoLocate(tagId(4), anchorIds(all), receptionTimes(kHall, all, {9, 2, 1.2}, kOffset));
    QVERIFY2(fix && near(&fix.position, 9, 2, 0.02), qPrintable(pointsText({fix.position})));
}

void tst_Algorithm::nlosSetsTakeTheirAnchorsCoordinates_data()
{
    QTest::addColumn<QList<int>>("other"); // another tag's anchors, in its set's order
    QTest::addColumn<bool>("moved");       // anchor 2 moved half-way
    QTest::newRow("the same anchors") << QList<int>{1, 2, 3, 4, 5} << false;
    QTest::newRow("in another order") << QList<int>{5, 4, 3, 2, 1} << false;
    QTest::newRow("fewer") << QList<int>{2, 3, 4, 5} << false;
    QTest::newRow("one other") << QList<int>{1, 2, 3, 4, 6} << false;
    QTest::newRow("an anchor moved") << QList<int>{1, 2, 3, 4, 5} << true;
}

// Sets of two tags taking turns, each with its own anchors (or order): every
// set is solved with its own anchors' coordinates, those of the geometry now.
void tst_Algorithm::nlosSetsTakeTheirAnchorsCoordinates()
{
    QFETCH(QList<int>, other);
    QFETCH(bool, moved);
    QList<AnchorXYZ> hall = kHall;
    hall.append(AnchorXYZ{-2, 5, 3});
    configure(hall, 1.2, QStringLiteral("nlos_rejection=true\nrange_noise=0.03"));
    const QList<int> all{1, 2, 3, 4, 5};
    for (int round = 0; round < 4; ++round) {
        if (moved && round == 2) {
            hall[1] = AnchorXYZ{11, -1, 3};
            AnchorGeometry geometry{algo->anchorXyzMap, algo->anchorImeiList, algo->anchorCount};
            geometry.anchorXyzMap.insert(anchorId(2), hall[1]);
            algo->algoApplyGeometry(geometry);
        }
        const unsigned long long at = kOffset + 1000000000ULL * round;
        const Fix fix = algo->algoLocate(tagId(3), anchorIds(all), receptionTimes(hall, all, {3, 4, 1.2}, at));
        QVERIFY2(fix && fix.leftOut.isEmpty() && near(&fix.position, 3, 4, 0.02), qPrintable(QString::number(round)));
        const Fix next = algo->algoLocate(tagId(4), anchorIds(other), receptionTimes(hall, other, {8, 2, 1.2}, at));
        QVERIFY2(next && next.leftOut.isEmpty() && near(&next.position, 8, 2, 0.02), qPrintable(QString::number(round)));
    }
}

void tst_Algorithm::moreAnchorsThanTheOldFixedArrays()
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

void tst_Algorithm::configuration_data()
{
    // Malformed anchors are skipped, unusable smoothing settings disable it; the centre and region (x, y, then min x,
    // max x, min y, max y) come from the first four anchors, or from those present.
    QTest::addColumn<QString>("ini");
    QTest::addColumn<int>("anchors");
    QTest::addColumn<QList<double>>("region"); // empty: not checked
    QTest::addColumn<QString>("warning");
    const QString tag = QStringLiteral("\n[tag_high]\ntag1=1.25\n");
    const QString two = QStringLiteral("[anchor_coordinate]\n000000000001=\"1,2,3\"\n000000000002=\"3,6,3\"\n");
    QTest::newRow("only the first four shape the centre")
        << iniText({{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}, {-50, 80, 0}}, 1.25) << 5
        << QList<double>{5, 5, 0, 10, 0, 10} << QString();
    QTest::newRow("two anchors: from those present") << iniText({{2, 8, 0}, {6, 4, 0}}, 1.25) << 2
                                                     << QList<double>{4, 6, 2, 6, 4, 8} << "warning: only";
    QTest::newRow("none") << iniText({}, 1.25) << 0 << QList<double>{0, 0, 10000, -10000, 10000, -10000}
                          << "warning: no anchors configured";
    QTest::newRow("key of five bytes") << two + "0000000001=\"1,2,3\"" + tag << 2 << QList<double>{}
                                       << "does not decode to six bytes";
    // Unquoted commas make a list, which reads as empty text.
    QTest::newRow("unquoted value") << two + "000000000009=1,2,3" + tag << 2 << QList<double>{} << "is not three";
    QTest::newRow("length 1 disables") << kAlgorithm + "s_enable=true\ns_length=1\ns_start_half_length=1" + tag << 0
                                       << QList<double>{} << "warning: smoothing disabled";
    QTest::newRow("half length 0 disables") << kAlgorithm + "s_enable=true\ns_length=5" + tag << 0 << QList<double>{}
                                            << "warning: smoothing disabled";
}

void tst_Algorithm::configuration()
{
    QFETCH(QString, ini);
    QFETCH(int, anchors);
    QFETCH(QList<double>, region);
    QFETCH(QString, warning);
    ScopedConfig config(ini);
    LogCapture log;
    algorithm algo;
    QCOMPARE(algo.anchorCount, anchors);
    QCOMPARE(g_tags_object.anchorTotal, anchors);
    QVERIFY(!algo.smoothEnable);
    if (!region.isEmpty())
        QCOMPARE((QList<double>{algo.centerPoint.x, algo.centerPoint.y, algo.xMin + 10000, algo.xMax - 10000,
                                algo.yMin + 10000, algo.yMax - 10000}), region);
    QVERIFY2(log.contains(warning) && log.contains(QStringLiteral("tag high -> 1.25")), qPrintable(log.dump()));
    QCOMPARE(log.contains(QStringLiteral("warning: only")), anchors > 0 && anchors < 4);
    QCOMPARE(log.contains(QStringLiteral("warning: no anchors configured")), anchors == 0);
    if (anchors == 0)
        QVERIFY(!algo.algoTaylor(tagId(1), anchorIds({1, 2, 3}), {1, 2, 3}));
}

void tst_Algorithm::smoothing_data()
{
    // L = 3, S = 2, T = 1: positions fed in order, the result of the last call (none when empty), the window after.
    QTest::addColumn<QList<TAG_XYZ_t>>("positions");
    QTest::addColumn<QList<TAG_XYZ_t>>("result");
    QTest::addColumn<QList<TAG_XYZ_t>>("window");
    using P = QList<TAG_XYZ_t>;
    QTest::newRow("third position: mean of the two before")
        << P{{0, 0, 1}, {0.5, 0, 1}, {0.2, 0, 1}} << P{{0.25, 0, 1}} << P{{0.5, 0, 1}, {0.2, 0, 1}};
    QTest::newRow("third position strays: dropped") << P{{0, 0, 1}, {0.5, 0, 1}, {5, 0, 1}} << P{}
                                                    << P{{0, 0, 1}, {0.5, 0, 1}};
    QTest::newRow("inconsistent start empties the window") << P{{0, 0, 1}, {3, 0, 1}} << P{} << P{};
    // Exactly T (1.0, exact in binary) counts as straying, at the start check too.
    QTest::newRow("exactly T on z while running") << P{{0, 0, 1}, {0, 0, 1}, {0, 0, 2}} << P{}
                                                  << P{{0, 0, 1}, {0, 0, 1}};
    QTest::newRow("NaN while running") << P{{0, 0, 1}, {0, 0, 1}, {qQNaN(), 0, 1}} << P{} << P{{0, 0, 1}, {0, 0, 1}};
}

void tst_Algorithm::smoothing()
{
    QFETCH(QList<TAG_XYZ_t>, positions);
    QFETCH(QList<TAG_XYZ_t>, result);
    QFETCH(QList<TAG_XYZ_t>, window);
    ScopedConfig config(kAlgorithm + kSmoothing);
    algorithm algo;
    Fix p;
    for (const TAG_XYZ_t &position : positions)
        p = algo.algoSmoothAverageFilter(tagId(1), Fix::at(position));
    QCOMPARE(pointsText(p ? QList<TAG_XYZ_t>{p.position} : QList<TAG_XYZ_t>{}), pointsText(result));
    QVERIFY(p || p.failure == metrics::Counter::FailedSmoothing);
    QCOMPARE(pointsText(algo.smoothWindow.value(tagId(1))), pointsText(window));

    // Settings that would divide by zero pass positions through unchanged.
    algo.smoothLength = algo.smoothStartHalfLength = 0;
    QCOMPARE(algo.algoSmoothAverageFilter(tagId(2), Fix::at({1.5, -2, 1})).position.x, 1.5);
}

void tst_Algorithm::matlib_arithmetic()
{
    double a[] = {1, 2, 3, 4, 5, 6};
    double b[] = {7, 8, 9, 10, 11, 12};
    QCOMPARE(taken(MatMul_S(a, 2, 3, b, 3, 2), 4), (QVector<double>{58, 64, 139, 154}));
    QCOMPARE(taken(MatT_S(a, 2, 3), 6), (QVector<double>{1, 4, 2, 5, 3, 6}));
    // Unsymmetric: the adjugate is the transpose of the cofactors.
    double m[] = {1, 2, 3, 0, 1, 4, 5, 6, 0};
    QCOMPARE(taken(MatInv_S(m, 3, 3), 9), (QVector<double>{-24, 18, 5, 20, -15, -4, -5, 4, 1}));
    double singular[4] = {1, 2, 2, 4};
    QVERIFY(!MatMul_S(a, 2, 3, b, 2, 2) && !MatInv_S(singular, 2, 2));
}

// The library offers matrix files; nothing in the program uses them, so only this test keeps them honest.
void tst_Algorithm::matlib_files_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QVector<double>>("values");
    QTest::newRow("written by MatWrite_S") << QByteArray("1.000000,2.000000\n3.000000,4.000000\n")
                                           << QVector<double>{1, 2, 3, 4};
    QTest::newRow("short line leaves zeros, extra values dropped")
        << QByteArray("1,2,3\n4\n5,6,7,8\n") << QVector<double>{1, 2, 3, 4, 0, 0, 5, 6, 7};
    // A line longer than the buffer counts once; over-long value text reads 0.
    QTest::newRow("over-long line and value") << "5," + QByteArray(5000, '1') + ",9\n6,7\n"
                                              << QVector<double>{5, 0, 6, 7};
    QTest::newRow("empty file holds no matrix") << QByteArray() << QVector<double>();
}
void tst_Algorithm::matlib_files()
{
    QFETCH(QByteArray, content);
    QFETCH(QVector<double>, values);
    QTemporaryDir dir;
    QByteArray path = dir.filePath(QStringLiteral("m.csv")).toLocal8Bit();
    QFile file(QString::fromLocal8Bit(path));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    QCOMPARE(taken(MatRead_S(path.data()), values.size()), values);
    if (content.startsWith("1.000000")) {
        QCOMPARE(MatWrite_S(path.constData(), values.data(), 2, 2), 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("1.000000,2.000000\n3.000000,4.000000\n"));
    }
    double one = 1;
    QVERIFY2(MatWrite_S("/nonexistent-dir/m.csv", &one, 1, 1) != 0, "a failed write reports failure");
}

QTEST_MAIN(tst_Algorithm)
#include "tst_algorithm.moc"
