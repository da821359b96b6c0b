// weighted_solve: the weighted step against the planner's Cramer-Rao bound on seeded noise, against the unweighted
// step where the two must agree.
#include "engine/algorithm.h"
#include "engine_test_util.h"
#include "tests/support/test_support.h"
#include "tools/plan/accuracy_map.h"

#include <QtTest>

#include <random>

using namespace enginetest;

class tst_WeightedSolve : public QObject
{
    Q_OBJECT

private slots:
    void reachesTheCramerRaoBound();
    void refitIsTheWeightedSolve_data();
    void refitIsTheWeightedSolve();
};

// Five anchors, 10 cm of timing noise, every solve from the centre. The range differences share the reference's
// noise: weighted by their covariance the error meets the bound (with the ticks' rounding, tick^2 / 12, added to the
// noise), while the unweighted step stays above it. Three anchors give two differences for two unknowns: the
// system is square and weights cannot change its solution.
void tst_WeightedSolve::reachesTheCramerRaoBound()
{
    constexpr double kSigma = 0.1;
    constexpr int kTrials = 400;
    const double noise = std::sqrt(kSigma * kSigma + kTick * kTick / 12);
    const QList<int> all{1, 2, 3, 4, 5};
    ScopedConfig plainConfig(iniText(kHall, 1.2));
    algorithm plain;
    LogCapture log;
    ScopedConfig weightedConfig(iniText(kHall, 1.2, QStringLiteral("weighted_solve=true")));
    algorithm weighted;
    QCOMPARE(log.count(QStringLiteral("weighted solve -> on")), 1); // only exactly "true" is on: tst_mqtt's settings
    std::mt19937 random(20);
    std::normal_distribution<double> gauss(0, kSigma);
    double boundSum = 0, weightedSum = 0;
    for (const TAG_XYZ_t &p : {TAG_XYZ_t{5, 5, 1.2}, TAG_XYZ_t{8, 8, 1.2}, TAG_XYZ_t{3, 9, 1.2}}) {
        plan::Geometry geometry;
        for (const AnchorXYZ &a : kHall)
            geometry.add(a.x, a.y, a.z, p.x, p.y, p.z);
        double bound = 0;
        QVERIFY(geometry.error(noise, &bound));
        const QList<unsigned long long> three = receptionTimes(kHall, {3, 1, 5}, p, 5555, {0.07, -0.1, 0.04});
        plain.tagLastXyz.clear(), weighted.tagLastXyz.clear(); // each from the centre
        const TAG_XYZ_t *a = plain.algoTaylor(tagId(1), anchorIds({3, 1, 5}), three);
        const TAG_XYZ_t *b = weighted.algoTaylor(tagId(1), anchorIds({3, 1, 5}), three);
        QVERIFY2(a && b && std::hypot(a->x - b->x, a->y - b->y) < 1e-9, "three anchors: the same solution");
        double squared[2] = {0, 0}; // unweighted, weighted
        for (int trial = 0; trial < kTrials; ++trial) {
            QList<double> errors;
            for (int i = 0; i < all.size(); ++i)
                errors << gauss(random);
            const QList<unsigned long long> times = receptionTimes(kHall, all, p, 5000000000ULL, errors);
            algorithm *solvers[2] = {&plain, &weighted};
            for (int m = 0; m < 2; ++m) {
                solvers[m]->tagLastXyz.clear();
                const TAG_XYZ_t *r = solvers[m]->algoTaylor(tagId(1), anchorIds(all), times);
                QVERIFY2(r, "every set solves");
                squared[m] += (r->x - p.x) * (r->x - p.x) + (r->y - p.y) * (r->y - p.y);
            }
        }
        QVERIFY2(squared[1] < squared[0], qPrintable(QStringLiteral("at (%1, %2): squared errors %3 unweighted, %4 weighted")
                                                         .arg(p.x).arg(p.y).arg(squared[0]).arg(squared[1])));
        boundSum += bound * bound * kTrials;
        weightedSum += squared[1];
    }
    // Over 1200 trials the estimate itself scatters by about 2 %.
    const double ratio = std::sqrt(weightedSum / boundSum);
    QVERIFY2(ratio > 0.95 && ratio < 1.05, qPrintable(QStringLiteral("weighted RMSE / bound %1").arg(ratio)));
}

// The hall's anchor `late` reads 64 ticks (0.30 m) late. Two linear re-fits from the weighted solve of the whole set,
// the anchor weighted by `weight` and (weight above 0) its range taken down by the lateness, against the real
// weighted solve of the set they stand for: without the anchor, or of clean ranges. The covariance is the full set's
// at weight 1, the reduced set's at 0, in between otherwise.
void tst_WeightedSolve::refitIsTheWeightedSolve_data()
{
    QTest::addColumn<QPointF>("at");
    QTest::addColumn<int>("late");
    QTest::addColumn<double>("weight");
    QTest::newRow("reference left out") << QPointF(3, 4) << 0 << 0.0;
    QTest::newRow("corrected, full weight") << QPointF(3, 4) << 2 << 1.0;
    QTest::newRow("corrected, weighted down") << QPointF(7, 8) << 4 << 0.3;
    QTest::newRow("corrected, tag outside the hull") << QPointF(-2, 5) << 1 << 0.5;
}

void tst_WeightedSolve::refitIsTheWeightedSolve()
{
    QFETCH(QPointF, at);
    QFETCH(int, late);
    QFETCH(double, weight);
    const TAG_XYZ_t tag{at.x(), at.y(), 1.2};
    ScopedConfig config(iniText(kHall, 1.2, QStringLiteral("weighted_solve=true")));
    algorithm solver;
    QVector<double> weights{1, 1, 1, 1, 1}, correction(5);
    QList<double> bias{0, 0, 0, 0, 0};
    bias[late] = 64 * kTick;
    weights[late] = weight;
    correction[late] = weight > 0 ? bias[late] : 0;
    FixAnchors set = fixAnchors(kHall, receptionTimes(kHall, {1, 2, 3, 4, 5}, tag, 777, bias));
    const TAG_XYZ_t *solved = solver.algoTaylorSet(tagId(1), set);
    FixRefit refit;
    QVERIFY(solved && fixRefit(set, *solved, weights.constData(), correction.constData(), &refit));
    QVERIFY(fixRefit(set, refit.position, weights.constData(), correction.constData(), &refit));
    FixAnchors reference = weight > 0 ? fixAnchors(kHall, receptionTimes(kHall, {1, 2, 3, 4, 5}, tag, 777)) : set;
    reference[late].used = weight > 0;
    solver.tagLastXyz.clear();
    const TAG_XYZ_t *expected = solver.algoTaylorSet(tagId(1), reference);
    QVERIFY(expected && std::hypot(refit.position.x - expected->x, refit.position.y - expected->y) < 0.002);
    FixResiduals fit[2]; // without the anchor, with it
    for (int with = 0; with < 2; ++with) {
        reference[late].used = with;
        QVERIFY(fixResiduals(reference, *expected, true, &fit[with]));
    }
    const double trace = refit.cxx + refit.cyy, most = fit[0].cxx + fit[0].cyy, least = fit[1].cxx + fit[1].cyy;
    QVERIFY2(weight == 0 || weight == 1 ? std::fabs(trace - (weight > 0 ? least : most)) < 1e-3 * most
                                        : trace > least * 1.001 && trace < most * 0.999, qPrintable(QString::number(trace)));
}

QTEST_GUILESS_MAIN(tst_WeightedSolve)
#include "tst_weighted_solve.moc"
