// weighted_solve: the weighted Taylor step against the Cramer-Rao bound of
// time-difference positioning (the planner's, tools/plan/accuracy_map), on
// seeded noise; against the unweighted step where the two must agree; and
// the setting's reading (only exactly "true" counts).
#include "engine/algorithm.h"
#include "engine_test_util.h"
#include "tests/support/test_support.h"
#include "tools/plan/accuracy_map.h"

#include <QtTest>

#include <random>

using namespace enginetest;

namespace {

const TAG_XYZ_t kTag{3, 4, 1.2};

// The hall with every anchor moved along its line of sight to kTag so that
// its distance is a whole number of ticks: reception times without any error.
QList<AnchorXYZ> exactHall()
{
    QList<AnchorXYZ> moved;
    for (const AnchorXYZ &a : kHall) {
        const double d = std::hypot(std::hypot(a.x - kTag.x, a.y - kTag.y), a.z - kTag.z);
        const double s = std::round(d / kTick) * kTick / d;
        moved.append({kTag.x + (a.x - kTag.x) * s, kTag.y + (a.y - kTag.y) * s, kTag.z + (a.z - kTag.z) * s});
    }
    return moved;
}

// Solves of tag 1 from kTag and two other points, with the given range errors
// (metres per anchor), each result to the last bit.
QStringList solve(const QList<AnchorXYZ> &hall, const QList<int> &anchors, const QList<double> &errors,
                  const QString &algorithmLines)
{
    ScopedConfig config(iniText(hall, 1.2, algorithmLines));
    algorithm algo;
    QStringList results;
    for (const TAG_XYZ_t &p : {kTag, TAG_XYZ_t{7, 2, 1.2}, TAG_XYZ_t{5, 9, 1.2}}) {
        algo.tagLastXyz.clear();
        const TAG_XYZ_t *r =
            algo.algoTaylor(tagId(1), anchorIds(anchors), receptionTimes(hall, anchors, p, 5555, errors));
        results << (r ? QString::asprintf("%.17g %.17g", r->x, r->y) : QStringLiteral("null"));
    }
    return results;
}

} // namespace

class tst_WeightedSolve : public QObject
{
    Q_OBJECT

private slots:
    void reachesTheCramerRaoBound();
    void sameAsUnweighted_data();
    void sameAsUnweighted();
    void onlyExactlyTrueWeights_data();
    void onlyExactlyTrueWeights();
};

// All five anchors, 10 cm of timing noise, a few hundred trials at each of
// three points, every solve from the centre as for a new tag. The range
// differences share the reference's noise; weighting by their covariance
// makes the solve efficient, so its error meets the bound (the planner's,
// with the ticks' rounding, tick^2 / 12, added to the noise), while the
// unweighted step, blind to that correlation, stays above it.
void tst_WeightedSolve::reachesTheCramerRaoBound()
{
    constexpr double kSigma = 0.1;
    constexpr int kTrials = 400;
    const double noise = std::sqrt(kSigma * kSigma + kTick * kTick / 12);
    const QList<int> all{1, 2, 3, 4, 5};
    ScopedConfig plainConfig(iniText(kHall, 1.2));
    algorithm plain;
    ScopedConfig weightedConfig(iniText(kHall, 1.2, QStringLiteral("weighted_solve=true")));
    algorithm weighted;
    std::mt19937 random(20);
    std::normal_distribution<double> gauss(0, kSigma);
    double boundSum = 0, weightedSum = 0;
    for (const TAG_XYZ_t &p : {TAG_XYZ_t{5, 5, 1.2}, TAG_XYZ_t{8, 8, 1.2}, TAG_XYZ_t{3, 9, 1.2}}) {
        plan::Geometry geometry;
        for (const AnchorXYZ &a : kHall)
            geometry.add(a.x, a.y, a.z, p.x, p.y, p.z);
        double bound = 0;
        QVERIFY(geometry.error(noise, &bound));
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
        const QString figures = QStringLiteral("at (%1, %2): bound %3 m, unweighted %4 m, weighted %5 m")
                                    .arg(p.x).arg(p.y).arg(bound)
                                    .arg(std::sqrt(squared[0] / kTrials)).arg(std::sqrt(squared[1] / kTrials));
        QVERIFY2(squared[1] < squared[0], qPrintable(figures));
        boundSum += bound * bound * kTrials;
        weightedSum += squared[1];
    }
    // Over 1200 trials the estimate itself scatters by about 2 %.
    const double ratio = std::sqrt(weightedSum / boundSum);
    QVERIFY2(ratio > 0.95 && ratio < 1.05, qPrintable(QStringLiteral("weighted RMSE / bound %1").arg(ratio)));
}

void tst_WeightedSolve::sameAsUnweighted_data()
{
    QTest::addColumn<bool>("exact");
    QTest::addColumn<QList<int>>("anchors");
    QTest::addColumn<QList<double>>("errors");
    // Three anchors: one difference pair each way, the system is square and
    // weights cannot change its solution.
    QTest::newRow("three anchors, far reference") << false << QList<int>{3, 1, 5} << QList<double>{0.07, -0.1, 0.04};
    // No error at all: both reach the true position.
    QTest::newRow("five anchors, no error") << true << QList<int>{1, 2, 3, 4, 5} << QList<double>{};
    QTest::newRow("four anchors, no error, far reference") << true << QList<int>{3, 1, 2, 5} << QList<double>{};
}

void tst_WeightedSolve::sameAsUnweighted()
{
    QFETCH(bool, exact);
    QFETCH(QList<int>, anchors);
    QFETCH(QList<double>, errors);
    const QList<AnchorXYZ> hall = exact ? exactHall() : kHall;
    const QStringList plain = solve(hall, anchors, errors, QString());
    const QStringList weighted = solve(hall, anchors, errors, QStringLiteral("weighted_solve=true"));
    const double tolerance = exact ? 1e-6 : 1e-9;
    const auto gap = [](const QString &a, const QString &b) {
        const QStringList p = a.split(' ') + QStringList{"nan", "nan"}, q = b.split(' ') + QStringList{"nan", "nan"};
        return std::hypot(p[0].toDouble() - q[0].toDouble(), p[1].toDouble() - q[1].toDouble());
    };
    // The exact hall is exact for kTag only, the first solve.
    for (int i = 0; i < (exact ? 1 : 3); ++i)
        QVERIFY2(gap(plain[i], weighted[i]) < tolerance, qPrintable(plain[i] + " / " + weighted[i]));
    if (exact)
        QVERIFY2(gap(weighted[0], QStringLiteral("3 4")) < tolerance, qPrintable(weighted[0]));
}

void tst_WeightedSolve::onlyExactlyTrueWeights_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("weighted");
    for (const char *off : {"True", "TRUE", "1", "false", ""})
        QTest::newRow(off) << off << false;
    QTest::newRow("true") << "true" << true;
}

void tst_WeightedSolve::onlyExactlyTrueWeights()
{
    QFETCH(QString, value);
    QFETCH(bool, weighted);
    ScopedConfig config(iniText(kHall, 1.2, QStringLiteral("weighted_solve=") + value));
    LogCapture log;
    const algorithm algo;
    QCOMPARE(algo.weightedSolve, weighted);
    QCOMPARE(log.count(QStringLiteral("weighted solve -> on")), weighted ? 1 : 0);
}

QTEST_GUILESS_MAIN(tst_WeightedSolve)
#include "tst_weighted_solve.moc"
