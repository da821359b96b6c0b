// weighted_solve: the weighted Taylor step against the unweighted one where
// the two must agree, and the setting's reading (only exactly "true" counts).
#include "engine/algorithm.h"
#include "engine_test_util.h"
#include "tests/support/test_support.h"

#include <QtTest>

using namespace enginetest;

namespace {

const QList<AnchorXYZ> kHall{{0, 0, 3}, {10, 0, 3}, {10, 10, 3}, {0, 10, 3}, {5, 12, 3}};
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
// (metres per anchor), then a set with unsynchronised clocks; each result to
// the last bit, and the log lines from the solver's construction on.
QStringList solve(const QList<AnchorXYZ> &hall, const QList<int> &anchors, const QList<double> &errors,
                  const QString &algorithmLines, QStringList *log = nullptr)
{
    LogCapture capture;
    ScopedConfig config(iniText(hall, 1.2, algorithmLines));
    algorithm algo;
    QStringList results;
    for (const TAG_XYZ_t &p : {kTag, TAG_XYZ_t{7, 2, 1.2}, TAG_XYZ_t{5, 9, 1.2}}) {
        algo.tagLastXyz.clear();
        const TAG_XYZ_t *r =
            algo.algoTaylor(tagId(1), anchorIds(anchors), receptionTimes(hall, anchors, p, 5555, errors));
        results << (r ? QString::asprintf("%.17g %.17g", r->x, r->y) : QStringLiteral("null"));
    }
    const unsigned long long late = 5555 + (unsigned long long)(200000.0 / kTick);
    results << (algo.algoTaylor(tagId(2), anchorIds({1, 2, 3}), {5555, late, 5555}) ? "solved" : "null");
    if (log)
        *log = capture.lines();
    return results;
}

} // namespace

class tst_WeightedSolve : public QObject
{
    Q_OBJECT

private slots:
    void sameAsUnweighted_data();
    void sameAsUnweighted();
    void onlyExactlyTrueWeights_data();
    void onlyExactlyTrueWeights();
};

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
    const QList<int> all{1, 2, 3, 4, 5};
    const QList<double> errors{0.05, -0.12, 0.08, 0.0, 0.15};
    QStringList withoutLog, withLog;
    const QStringList without = solve(kHall, all, errors, QString(), &withoutLog);
    const QStringList with = solve(kHall, all, errors, QStringLiteral("weighted_solve=") + value, &withLog);
    // The same log lines (the failure's among them) either way, and one more
    // at construction when on.
    QCOMPARE(withLog.removeAll(QStringLiteral("weighted solve -> on")), weighted ? 1 : 0);
    QCOMPARE(withLog, withoutLog);
    QVERIFY(withLog.contains(QStringLiteral("lock synchronize failed!!")) && with.last() == "null");
    // Errors of several centimetres: the weights move every position.
    for (int i = 0; i < 3; ++i)
        QCOMPARE(with[i] != without[i], weighted);
}

QTEST_GUILESS_MAIN(tst_WeightedSolve)
#include "tst_weighted_solve.moc"
