// weighted_solve: the weighted Taylor step against the unweighted one where
// the two must agree, and the setting's reading (only exactly "true" counts).
#include "engine/algorithm.h"
#include "engine_test_util.h"
#include "tests/support/test_support.h"

#include <QtTest>

using namespace enginetest;

Q_DECLARE_METATYPE(QList<int>)
Q_DECLARE_METATYPE(QList<double>)
Q_DECLARE_METATYPE(QList<AnchorXYZ>)

namespace {

const QList<AnchorXYZ> kHall{{0, 0, 3}, {10, 0, 3}, {10, 10, 3}, {0, 10, 3}, {5, 12, 3}};
const unsigned long long kOffset = 987654321ULL;
const QString kWeightedOn = QStringLiteral("weighted solve -> on");

// The hall with every anchor moved along its line of sight to the tag so that
// its distance is a whole number of ticks: reception times without any error.
QList<AnchorXYZ> exactHall(const TAG_XYZ_t &tag)
{
    QList<AnchorXYZ> moved;
    for (const AnchorXYZ &a : kHall) {
        const double d = std::sqrt((a.x - tag.x) * (a.x - tag.x) + (a.y - tag.y) * (a.y - tag.y)
                                   + (a.z - tag.z) * (a.z - tag.z));
        const double scale = std::round(d / kTick) * kTick / d;
        moved.append(AnchorXYZ{tag.x + (a.x - tag.x) * scale, tag.y + (a.y - tag.y) * scale,
                               tag.z + (a.z - tag.z) * scale});
    }
    return moved;
}

struct Run {
    QStringList results; // every coordinate to the last bit, or "null"
    QStringList log;
};

// Solves of one tag over a few positions with range errors, and a set with
// unsynchronised clocks, under the given algorithm_config lines.
Run solveScenario(const QString &algorithmLines)
{
    LogCapture capture;
    ScopedConfig config(iniText(kHall, 1.2, algorithmLines));
    algorithm algo;
    Run run;
    const QList<double> errors{0.05, -0.12, 0.08, 0.0, 0.15};
    for (const TAG_XYZ_t &p : {TAG_XYZ_t{3, 4, 1.2}, TAG_XYZ_t{7, 2, 1.2}, TAG_XYZ_t{5, 9, 1.2}}) {
        const TAG_XYZ_t *r =
            algo.algoTaylor(tagId(1), anchorIds({1, 2, 3, 4, 5}), receptionTimes(kHall, {1, 2, 3, 4, 5}, p, kOffset, errors));
        run.results << (r ? QString::asprintf("%a %a %a", r->x, r->y, r->z) : QStringLiteral("null"));
    }
    const QList<unsigned long long> unsynchronised{kOffset, kOffset + (unsigned long long)(200000.0 / kTick), kOffset};
    run.results << (algo.algoTaylor(tagId(2), anchorIds({1, 2, 3}), unsynchronised) ? "solved" : "null");
    run.log = capture.lines();
    return run;
}

} // namespace

class tst_WeightedSolve : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameAsUnweighted_data();
    void sameAsUnweighted();
    void onlyExactlyTrueWeights_data();
    void onlyExactlyTrueWeights();
};

void tst_WeightedSolve::initTestCase()
{
    ScopedConfig first(QStringLiteral("[token_msg]\nconsole=debugmsg\n"));
    QVERIFY(LogWriter::getLogCenter()->isDebugEnabled());
}

void tst_WeightedSolve::sameAsUnweighted_data()
{
    QTest::addColumn<QList<AnchorXYZ>>("hall");
    QTest::addColumn<QList<int>>("anchors");
    QTest::addColumn<QList<double>>("errors");
    QTest::addColumn<double>("tolerance");
    const TAG_XYZ_t tag{3, 4, 1.2};
    // Three anchors: one difference pair each way, the system is square and
    // weights cannot change its solution.
    QTest::newRow("three anchors") << kHall << QList<int>{1, 2, 4} << QList<double>{0.07, -0.1, 0.04} << 1e-9;
    QTest::newRow("three anchors, far reference")
        << kHall << QList<int>{3, 1, 5} << QList<double>{-0.2, 0.1, 0.3} << 1e-9;
    // No error at all: both reach the true position.
    QTest::newRow("five anchors, no error") << exactHall(tag) << QList<int>{1, 2, 3, 4, 5} << QList<double>{} << 1e-6;
    QTest::newRow("four anchors, no error, far reference")
        << exactHall(tag) << QList<int>{3, 1, 2, 5} << QList<double>{} << 1e-6;
}

void tst_WeightedSolve::sameAsUnweighted()
{
    QFETCH(QList<AnchorXYZ>, hall);
    QFETCH(QList<int>, anchors);
    QFETCH(QList<double>, errors);
    QFETCH(double, tolerance);
    const TAG_XYZ_t truth{3, 4, 1.2};
    const QList<unsigned long long> times = receptionTimes(hall, anchors, truth, kOffset, errors);
    TAG_XYZ_t result[2];
    for (int weighted = 0; weighted < 2; ++weighted) {
        ScopedConfig config(iniText(hall, 1.2, weighted ? QStringLiteral("weighted_solve=true") : QString()));
        algorithm algo;
        QCOMPARE(algo.weightedSolve, bool(weighted));
        const TAG_XYZ_t *p = algo.algoTaylor(tagId(1), anchorIds(anchors), times);
        QVERIFY(p);
        result[weighted] = *p;
    }
    const QString text = QStringLiteral("unweighted (%1, %2), weighted (%3, %4)")
                             .arg(result[0].x, 0, 'g', 17)
                             .arg(result[0].y, 0, 'g', 17)
                             .arg(result[1].x, 0, 'g', 17)
                             .arg(result[1].y, 0, 'g', 17);
    QVERIFY2(std::fabs(result[0].x - result[1].x) < tolerance && std::fabs(result[0].y - result[1].y) < tolerance,
             qPrintable(text));
    if (errors.isEmpty())
        QVERIFY2(std::hypot(result[1].x - truth.x, result[1].y - truth.y) < tolerance, qPrintable(text));
}

void tst_WeightedSolve::onlyExactlyTrueWeights_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("weighted");
    QTest::newRow("true") << "true" << true;
    QTest::newRow("True") << "True" << false;
    QTest::newRow("TRUE") << "TRUE" << false;
    QTest::newRow("1") << "1" << false;
    QTest::newRow("false") << "false" << false;
    QTest::newRow("empty") << "" << false;
}

void tst_WeightedSolve::onlyExactlyTrueWeights()
{
    QFETCH(QString, value);
    QFETCH(bool, weighted);
    const Run without = solveScenario(QString());
    Run with = solveScenario(QStringLiteral("weighted_solve=") + value);
    QCOMPARE(with.log.removeAll(kWeightedOn), weighted ? 1 : 0);
    // The same log lines (the failure's among them) either way.
    QCOMPARE(with.log, without.log);
    QCOMPARE(with.results.last(), QStringLiteral("null"));
    if (weighted) {
        // Errors of several centimetres: the weights move every position.
        for (int i = 0; i < 3; ++i)
            QVERIFY2(with.results[i] != without.results[i], qPrintable(with.results[i]));
    } else {
        QCOMPARE(with.results, without.results);
    }
}

QTEST_GUILESS_MAIN(tst_WeightedSolve)
#include "tst_weighted_solve.moc"
