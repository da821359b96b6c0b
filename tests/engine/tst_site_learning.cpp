// What the engine learns about the site: the timing noise (range_noise=auto), the anchors' constant offsets apart
// from one tag's obstacle, the degree-of-freedom rule of the per-tag evidence, the moving mean's accuracy, and the
// tracking filter's clock, estimate and covariance.
#include "common/metrics.h"
#include "engine/algorithm.h"
#include "engine/anchor_clock.h"
#include "engine/id_number.h"
#include "engine/track_filter.h"
#include "engine_test_util.h"
#include "tests/support/test_support.h"

#include <QtTest>

#include <cstring>
#include <memory>
#include <random>

using namespace enginetest;

namespace {

// Eight anchors: corners and wall middles of a 20 m x 15 m hall at 3 m.
const QList<AnchorXYZ> kRoom{{0, 0, 3},  {20, 0, 3},  {20, 15, 3}, {0, 15, 3},
                             {10, 0, 3}, {20, 7.5, 3}, {10, 15, 3}, {0, 7.5, 3}};
const QList<int> kAll{1, 2, 3, 4, 5, 6, 7, 8};

std::unique_ptr<algorithm> solver(const QString &lines) { return solverFor(kRoom, lines); }

quint64 number(int anchor) { return idNumber(anchorId(anchor).imei); }

// Anchor 2 learned 0.15 m late, the others on time.
void verifyOffsets(const algorithm &algo)
{
    for (int a = 1; a <= 8; ++a)
        QVERIFY2(std::fabs(algo.learning.anchorOffset(number(a)) - (a == 2 ? 0.15 : 0)) < 0.02,
                 qPrintable(QStringLiteral("anchor %1: %2").arg(a).arg(algo.learning.anchorOffset(number(a)))));
}

// What the correction takes off each anchor (and an anchor never heard), and what remains in its times, against
// the estimates as they stand: whole ticks of the offset, the rest (at most half a tick) left to the evidence.
void verifyCorrection(const algorithm &algo)
{
    QVector<quint64> ids;
    for (int a = 1; a <= 9; ++a)
        ids.append(number(a == 9 ? 99 : a));
    const int n = ids.size();
    QVector<qint64> ticks(n);
    QVector<double> applied(n), remaining(n), uncorrected(n), together(n);
    algo.learning.correction(ids.constData(), n, ticks.data(), applied.data(), together.data());
    algo.learning.remainingOffsets(ids.constData(), n, applied.constData(), remaining.data());
    algo.learning.remainingOffsets(ids.constData(), n, nullptr, uncorrected.data());
    for (int i = 0; i < n; ++i) {
        const double offset = algo.learning.anchorOffset(ids[i]);
        QCOMPARE(applied[i], anchorclock::ticksToRange(ticks[i]));
        QVERIFY2(std::fabs(remaining[i]) <= kTick / 2 + 1e-12, qPrintable(QString::number(remaining[i])));
        QCOMPARE(remaining[i], offset - applied[i]);
        QCOMPARE(together[i], remaining[i]);
        QCOMPARE(uncorrected[i], offset);
    }
}

// Receptions of a tag at p with Gaussian noise per anchor and an extra path per anchor (index 0 = anchor 1).
QList<unsigned long long> noisyTimes(const TAG_XYZ_t &p, double noise, const QVector<double> &extra,
                                     std::mt19937_64 &random, unsigned long long clock = 777777)
{
    std::normal_distribution<double> gauss(0.0, noise);
    QList<double> bias;
    for (int i = 0; i < kRoom.size(); ++i)
        bias.append(gauss(random) + extra.value(i));
    return receptionTimes(kRoom, kAll, p, clock, bias);
}

TAG_XYZ_t somewhere(std::mt19937_64 &random)
{
    std::uniform_real_distribution<double> x(2, 18), y(2, 13);
    return TAG_XYZ_t{x(random), y(random), 1.2};
}

} // namespace

class tst_SiteLearning : public QObject
{
    Q_OBJECT
private slots:
    void noiseConvergesAndIgnoresSpikes_data();
    void noiseConvergesAndIgnoresSpikes();
    void offsetApartFromOneTagsObstacle();
    void offsetLearnedAfterSettling_data();
    void offsetLearnedAfterSettling();
    void leftOutAnchorAcrossSetsOfOtherAnchors();
    void evidenceNeedsTwoDegreesOfFreedom_data();
    void evidenceNeedsTwoDegreesOfFreedom();
    void evidenceLeavesOutTheMostSignificant_data();
    void evidenceLeavesOutTheMostSignificant();
    void movingMeanAccuracy();
    void clockOfTheTrack_data();
    void clockOfTheTrack();
    void olderSetKeepsTheLaterClock();
    void predictionKeptForItsSet_data();
    void predictionKeptForItsSet();
    void fixSteppedAtItsPredictionsTime_data();
    void fixSteppedAtItsPredictionsTime();
    void trackerFollowsAWalk_data();
    void trackerFollowsAWalk();
    void trackCovarianceMatchesItsSpread();
    void trackUpdateIsTheKalmanUpdate_data();
    void trackUpdateIsTheKalmanUpdate();
};

// range_noise absent, 1,000 positions of tags at random places; a share of receptions carries a spike of metres.
void tst_SiteLearning::noiseConvergesAndIgnoresSpikes_data()
{
    QTest::addColumn<double>("noise");
    QTest::addColumn<double>("spikes");
    QTest::addColumn<QString>("lines");
    QTest::newRow("0.036 m, clean") << 0.036 << 0.0 << QString();
    QTest::newRow("0.05 m, 5% spikes, nlos") << 0.05 << 0.05 << QStringLiteral("nlos_rejection=true\n");
    QTest::newRow("0.05 m, 5% spikes, report only") << 0.05 << 0.05 << QStringLiteral("report_accuracy=true\n");
    QTest::newRow("0.02 m, 10% spikes, nlos") << 0.02 << 0.10 << QStringLiteral("nlos_rejection=true\n");
}

void tst_SiteLearning::noiseConvergesAndIgnoresSpikes()
{
    QFETCH(double, noise);
    QFETCH(double, spikes);
    QFETCH(QString, lines);
    const auto algo = solver(lines.isEmpty() ? QStringLiteral("report_accuracy=true\n") : lines);
    qint64 nowMs = 5000;
    algo->setMonotonicClock([&nowMs] { return nowMs; });
    algo->algoLogLeftOutAnchors(); // the minute starts
    QVERIFY(algo->learning.noiseLearned());
    QCOMPARE(algo->learning.noise(), 0.1); // the start
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> unit(0, 1);
    for (int k = 0; k < 1000; ++k) {
        QVector<double> extra(kRoom.size());
        for (double &e : extra)
            e = unit(random) < spikes ? 1 + 2 * unit(random) : 0;
        algo->algoLocate(tagId(k % 10), anchorIds(kAll), noisyTimes(somewhere(random), noise, extra, random));
    }
    // The clock's rounding adds 1.35 mm.
    const double truth = std::sqrt(noise * noise + kTick * kTick / 12);
    QVERIFY2(std::fabs(algo->learning.noise() / truth - 1) < 0.1, qPrintable(QString::number(algo->learning.noise())));
    // With the next maintenance passes: a line for the minute the noise moved by over 10%, none for the next.
    LogCapture log;
    nowMs += 60000;
    algo->algoLogLeftOutAnchors();
    const QStringList moved = log.lines().filter(QStringLiteral("range noise learned: "));
    const bool changed = std::fabs(algo->learning.noise() - 0.1) > 0.01;
    QCOMPARE(moved.size(), changed ? 1 : 0);
    QVERIFY2(!changed || moved.first().contains(QStringLiteral(" m (a minute ago 0.100 m), anchors ")),
             qPrintable(log.dump()));
    nowMs += 60000;
    algo->algoLogLeftOutAnchors();
    QCOMPARE(log.lines().filter(QStringLiteral("range noise learned: ")).size(), moved.size());
    for (int a = 1; a <= 8; ++a)
        QVERIFY2(std::fabs(algo->learning.anchorNoise(number(a)) / truth - 1) < 0.2,
                 qPrintable(QString::number(algo->learning.anchorNoise(number(a)))));
    QCOMPARE(metrics::rangeNoise(), algo->learning.noise());
    QVERIFY(std::fabs(metrics::anchorValue(metrics::AnchorGauge::RangeNoise, anchorId(3).imei)
                      - algo->learning.anchorNoise(number(3))) < 1e-12);
    const QByteArray text = metrics::exposition();
    QVERIFY(text.contains("\nsolver_range_noise_meters "));
    QVERIFY(text.contains("solver_anchor_range_noise_meters{anchor=\"" + anchorKey(3).toLatin1() + "\"} "));
}

// Anchor 2 reads 0.15 m late for every tag; anchor 5 is behind a cabinet for tag 1 only (0.3 m). The offset estimate
// names anchor 2 and not anchor 5, the correction takes it off, and tag 1's evidence, net of it, holds anchor 5.
void tst_SiteLearning::offsetApartFromOneTagsObstacle()
{
    const auto algo = solver(QStringLiteral("nlos_rejection=true\nrange_noise=0.04\nanchor_offset_correction=true\n"));
    qint64 nowMs = 1000;
    algo->setMonotonicClock([&nowMs] { return nowMs; });
    std::mt19937_64 random(5);
    LogCapture log;
    QVector<TAG_XYZ_t> places;
    for (int t = 0; t < 6; ++t)
        places.append(somewhere(random));
    for (int k = 0; k < 3000; ++k) {
        const int tag = k % 6;
        QVector<double> extra(kRoom.size());
        extra[1] = 0.15;
        if (tag == 1)
            extra[4] = 0.3;
        QVERIFY(algo->algoLocate(tagId(tag), anchorIds(kAll), noisyTimes(places[tag], 0.04, extra, random)));
        if (k % 100 == 99) {
            nowMs += 1000;
            algo->algoLogLeftOutAnchors();
        }
    }
    verifyOffsets(*algo);
    verifyCorrection(*algo);
    const double late = algo->learning.anchorOffset(number(2));
    const QStringList lines = log.lines().filter(QStringLiteral(" reads "));
    QVERIFY2(!lines.isEmpty() && lines.first().contains(QStringLiteral("anchor %1 reads 0.1").arg(anchorKey(2)))
                 && lines.first().contains(QStringLiteral(" m late (")) && lines.first().endsWith(" positions)"),
             qPrintable(lines.join('\n')));
    QVERIFY2(lines.filter(anchorKey(5)).isEmpty(), qPrintable(lines.join('\n')));
    QVERIFY(std::fabs(metrics::anchorValue(metrics::AnchorGauge::Offset, anchorId(2).imei) - late) < 0.01);
    QVERIFY(metrics::exposition().contains("solver_anchor_offset_meters{anchor=\"" + anchorKey(2).toLatin1() + "\"} 0.1"));
    // Tag 1 holds anchor 5 late, and not anchor 2; another tag holds neither.
    QVERIFY(algo->nlos.nlosEvidence(tagId(1), anchorId(5)).bias() > 0.2);
    QVERIFY(std::fabs(algo->nlos.nlosEvidence(tagId(1), anchorId(2)).bias()) < 0.05);
    QVERIFY(std::fabs(algo->nlos.nlosEvidence(tagId(3), anchorId(2)).bias()) < 0.05);
    QVERIFY(std::fabs(algo->nlos.nlosEvidence(tagId(3), anchorId(5)).bias()) < 0.05);
    // With the estimate taken off, the late anchor's tags are where they are.
    const Fix fix = algo->algoLocate(tagId(3), anchorIds(kAll), noisyTimes(places[3], 0.0, {0, 0.15}, random));
    QVERIFY(fix && std::hypot(fix.position.x - places[3].x, fix.position.y - places[3].y) < 0.02);
    // New anchor coordinates: the offsets start afresh, the noise stays.
    const double noise = algo->learning.noise();
    algo->algoApplyGeometry(AnchorGeometry{algo->anchorXyzMap, algo->anchorImeiList, algo->anchorCount});
    QCOMPARE(algo->learning.anchorOffset(number(2)), 0.0);
    verifyCorrection(*algo);
    QCOMPARE(algo->learning.noise(), noise);
}

// Settled anchors teach the offsets from a sample of the fixes: an offset that appears once they have settled (a
// cable changed) is still learned, on its own anchor, every position is counted however the sets take turns, and
// the anchors' noise lands on the anchor it belongs to.
void tst_SiteLearning::offsetLearnedAfterSettling_data()
{
    QTest::addColumn<QList<QList<int>>>("orders");
    QTest::addColumn<double>("late"); // anchor 6, from fix 3,000 on
    QTest::addColumn<int>("blocked");  // behind an obstacle (0.5 m) for tag 3 only; 0: none; -1: none, uncorrected
    QTest::newRow("one order, 0.15 m late") << QList<QList<int>>{kAll} << 0.15 << 0;
    QTest::newRow("orders taking turns, 0.10 m early")
        << QList<QList<int>>{kAll, {8, 7, 6, 5, 4, 3, 2, 1}, {3, 1, 2, 4, 7, 6, 5}} << -0.10 << 0;
    QTest::newRow("0.15 m late, another anchor left out for one tag") << QList<QList<int>>{kAll} << 0.15 << 4;
    // Without the correction the offsets are looked up only for the fixes the learning draws.
    QTest::newRow("orders taking turns, uncorrected") << QList<QList<int>>{kAll, {8, 7, 5, 4, 3, 2, 1}} << 0.0 << -1;
}

void tst_SiteLearning::offsetLearnedAfterSettling()
{
    QFETCH(QList<QList<int>>, orders);
    QFETCH(double, late);
    QFETCH(int, blocked);
    const auto algo = solver(QStringLiteral("nlos_rejection=true\nrange_noise=0.04\n")
                             + (blocked < 0 ? QString() : QStringLiteral("anchor_offset_correction=true\n")));
    std::mt19937_64 random(21);
    std::normal_distribution<double> gauss(0.0, 0.04);
    qint64 positions = 0; // of anchor 6: fits with two degrees of freedom or more
    int failed = 0;
    for (int k = 0; k < 18000; ++k) {
        const QList<int> &order = orders[(k / 7) % orders.size()];
        QList<double> bias;
        for (int a : order)
            bias.append(gauss(random) + (a == 6 && k >= 3000 ? late : 0) + (a == blocked && k % 11 == 3 ? 0.5 : 0));
        const Fix fix = algo->algoLocate(tagId(k % 11), anchorIds(order),
                                         receptionTimes(kRoom, order, somewhere(random), 7000 + 997ULL * k, bias));
        if (!fix) {
            ++failed;
            continue;
        }
        positions += order.contains(6) && order.size() - fix.leftOut.size() >= 5 ? 1 : 0;
        if (k % 6000 == 2999)
            verifyCorrection(*algo); // between the offsets' solves too
        if (k == 2999) {
            for (int a = 1; a <= 8; ++a)
                QVERIFY2(std::fabs(algo->learning.anchorOffset(number(a))) < 0.02, qPrintable(QString::number(a)));
        }
    }
    for (int a = 1; a <= 8; ++a)
        QVERIFY2(std::fabs(algo->learning.anchorOffset(number(a)) - (a == 6 ? late : 0)) < 0.02,
                 qPrintable(QStringLiteral("anchor %1: %2").arg(a).arg(algo->learning.anchorOffset(number(a)))));
    verifyCorrection(*algo);
    QCOMPARE(algo->learning.anchorPositions(number(6)), positions);
    algo->algoLogLeftOutAnchors(); // takes the anchors' noise, each on its own anchor whatever the order
    for (int a : {3, 8})
        QVERIFY2(std::fabs(algo->learning.anchorNoise(number(a)) / 0.04 - 1) < 0.2,
                 qPrintable(QStringLiteral("anchor %1: %2").arg(a).arg(algo->learning.anchorNoise(number(a)))));
    QVERIFY2(failed < 100, qPrintable(QString::number(failed)));
}

// A tag behind an obstacle to anchor 5 whose sets change size and order from fix to fix: each solve without
// anchor 5 gets exactly the set's other anchors and their times.
void tst_SiteLearning::leftOutAnchorAcrossSetsOfOtherAnchors()
{
    const auto algo = solver(QStringLiteral("nlos_rejection=true\nrange_noise=0.02\n"));
    std::mt19937_64 random(12);
    std::normal_distribution<double> gauss(0.0, 0.02);
    const QList<QList<int>> orders{kAll, {2, 5, 1, 4, 3, 6}, {8, 7, 6, 5, 4, 3, 2, 1}, {5, 6, 7, 8, 1, 2, 3}};
    for (int k = 0; k < 200; ++k) {
        const QList<int> &order = orders[k % orders.size()];
        const TAG_XYZ_t p{4 + 0.05 * k, 5 + 0.02 * k, 1.2};
        QList<double> bias;
        for (int a : order)
            bias.append(gauss(random) + (a == 5 ? 0.6 : 0));
        const QList<unsigned long long> times = receptionTimes(kRoom, order, p, 4000 + 1000003ULL * k, bias);
        const Fix fix = algo->algoLocate(tagId(1), anchorIds(order), times);
        QVERIFY2(fix && std::hypot(fix.position.x - p.x, fix.position.y - p.y) < 0.15, qPrintable(QString::number(k)));
    }
}

void tst_SiteLearning::evidenceNeedsTwoDegreesOfFreedom_data()
{
    QTest::addColumn<QList<int>>("anchors");
    QTest::addColumn<double>("extra"); // on anchor 3, m
    QTest::addColumn<bool>("evidence");
    QTest::newRow("four anchors, one late") << QList<int>{1, 2, 3, 4} << 0.2 << false;
    QTest::newRow("six anchors, one late: five used") << QList<int>{1, 2, 3, 4, 5, 6} << 0.2 << true;
    QTest::newRow("eight anchors, one late") << kAll << 0.2 << true;
}

void tst_SiteLearning::evidenceNeedsTwoDegreesOfFreedom()
{
    QFETCH(QList<int>, anchors);
    QFETCH(double, extra);
    QFETCH(bool, evidence);
    const auto algo = solver(QStringLiteral("nlos_rejection=true\nrange_noise=0.02\n"));
    std::mt19937_64 random(2);
    std::normal_distribution<double> gauss(0.0, 0.02);
    for (int k = 0; k < 30; ++k) {
        QList<double> bias;
        for (int a : anchors)
            bias.append(gauss(random) + (a == 3 ? extra : 0));
        QVERIFY(algo->algoLocate(tagId(1), anchorIds(anchors), receptionTimes(kRoom, anchors, {7, 6, 1.2}, 5000, bias)));
    }
    for (int a : anchors) {
        const NlosEvidence e = algo->nlos.nlosEvidence(tagId(1), anchorId(a));
        if (!evidence)
            QCOMPARE(e.weight, 0.0);
        else if (a == 3)
            QVERIFY2(e.weight > 0 && e.bias() > 0.1, qPrintable(QString::number(e.bias())));
        else
            QVERIFY2(e.bias() < 0.1, qPrintable(QStringLiteral("anchor %1: %2").arg(a).arg(e.bias())));
    }
}

using Extra = QMap<int, double>; // extra path by anchor, m

// A standing tracked tag with extra paths too small for the fit's own test: only the evidence leaves them out, at
// most three (without a track they are kept, corrected), the most significant ones wherever they stand in the set.
void tst_SiteLearning::evidenceLeavesOutTheMostSignificant_data()
{
    QTest::addColumn<Extra>("extra");
    QTest::addColumn<QList<int>>("leftOut"); // anchors, in the order of the set
    QTest::newRow("one") << Extra{{5, 0.06}} << QList<int>{5};
    QTest::newRow("two") << Extra{{3, 0.06}, {6, 0.07}} << QList<int>{3, 6};
    QTest::newRow("four, the least between the others")
        << Extra{{2, 0.07}, {4, 0.065}, {5, 0.04}, {7, 0.06}} << QList<int>{2, 4, 7};
}

void tst_SiteLearning::evidenceLeavesOutTheMostSignificant()
{
    QFETCH(Extra, extra);
    QFETCH(QList<int>, leftOut);
    const auto algo = solver(QStringLiteral("nlos_rejection=true\ntrack_filter=true\nrange_noise=0.02\n"));
    std::mt19937_64 random(4);
    std::normal_distribution<double> gauss(0.0, 0.02);
    int named = 0; // of the last ten fixes, those that left out the expected anchors
    for (int k = 0; k < 50; ++k) {
        QList<double> bias;
        for (int a : kAll)
            bias.append(gauss(random) + extra.value(a));
        algo->setMonotonicClock([k] { return qint64(k) * 100; });
        const auto times =
            receptionTimes(kRoom, kAll, {7, 6, 1.2}, (unsigned long long)(k * 0.1 * kTicksPerSecond), bias);
        const Fix fix = algo->algoLocate(tagId(1), anchorIds(kAll), times);
        QVERIFY(fix);
        algo->algoTrackFilter(tagId(1), fix, times.first()); // with a track, left out rather than kept corrected
        QList<int> anchors;
        for (int i : fix.leftOut)
            anchors.append(kAll.at(i));
        std::sort(anchors.begin(), anchors.end());
        named += k >= 40 && anchors == leftOut ? 1 : 0;
    }
    QVERIFY2(named >= 8, qPrintable(QString::number(named)));
}

// s_enable with report_accuracy: the mean's accuracy is that of a mean of s_length - 1 fixes (about half a fix's
// here), not the last fix's, and its covariance goes with it.
void tst_SiteLearning::movingMeanAccuracy()
{
    const auto algo = solver(QStringLiteral("s_enable=true\ns_length=5\ns_start_half_length=3\ns_redundant=2\n"
                                            "report_accuracy=true\nrange_noise=0.05\n"));
    std::mt19937_64 random(8);
    int means = 0;
    for (int k = 0; k < 20; ++k) {
        const TAG_XYZ_t p{3 + 0.7 * k, 4 + 0.3 * k, 1.2}; // accuracy varies with the place
        const Fix fix = algo->algoLocate(tagId(2), anchorIds(kAll), noisyTimes(p, 0.05, {}, random));
        QVERIFY(fix);
        const Fix mean = algo->algoSmoothAverageFilter(tagId(2), fix);
        if (!mean)
            continue;
        ++means;
        QVERIFY2(mean.accuracy < 0.7 * fix.accuracy, qPrintable(QString::number(mean.accuracy / fix.accuracy)));
        QVERIFY(std::fabs(mean.cxx + mean.cyy - mean.accuracy * mean.accuracy) < 1e-12);
    }
    QCOMPARE(means, 16);
}

void tst_SiteLearning::clockOfTheTrack_data()
{
    QTest::addColumn<double>("trueSeconds");
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<double>("seconds");
    QTest::addColumn<bool>("later");
    QTest::newRow("a tenth of a second") << 0.1 << qint64(100) << 0.1 << true;
    QTest::newRow("a wrap after 20 s of silence") << 20.05 << qint64(20000) << 20.05 << true;
    QTest::newRow("two wraps after 40 s") << 40.3 << qint64(40100) << 40.3 << true;
    QTest::newRow("just over half a wrap, on time") << 9.0 << qint64(9000) << 9.0 << true;
    QTest::newRow("processed late: the clock's step") << 12.0 << qint64(12800) << 12.0 << true;
    QTest::newRow("a set older than the last") << -0.05 << qint64(2) << 0.0 << false;
    QTest::newRow("a clock reset: elapsed time") << 5.0 << qint64(300) << 0.3 << true;
    QTest::newRow("silence beyond half a wrap: elapsed time") << 0.1 << qint64(9000) << 9.0 << true;
    QTest::newRow("a backlog worked off fast") << 0.5 << qint64(10) << 0.5 << true;
}

// The step from the 40-bit clock, whose wraps (17.2 s) are counted from the elapsed wall time.
void tst_SiteLearning::clockOfTheTrack()
{
    QFETCH(double, trueSeconds);
    QFETCH(qint64, elapsedMs);
    QFETCH(double, seconds);
    QFETCH(bool, later);
    const unsigned long long last = 0xFFFFF00000ULL;
    const unsigned long long now = (last + (unsigned long long)(long long)std::llround(trueSeconds * kTicksPerSecond))
                                   & ((1ULL << 40) - 1);
    bool isLater = !later;
    const double step = trackTimeStep(last, now, elapsedMs, &isLater);
    QVERIFY2(std::fabs(step - seconds) < 1e-6, qPrintable(QString::number(step, 'g', 10)));
    QCOMPARE(isLater, later);
}

// A set older than the last (a late anchor's records) is taken in without moving the track's clock back: the next
// step predicts from the later reading, so a tag walking at 1 m/s is not carried twice over the same interval.
void tst_SiteLearning::olderSetKeepsTheLaterClock()
{
    TrackFilter filter(1.0, 10000);
    const TAG_IMEI_t tag = tagId(4);
    const TrackState *state = nullptr;
    const auto ticksAt = [](double s) { return (unsigned long long)(5e6 + s * kTicksPerSecond); };
    qint64 nowMs = 1000;
    double t = 0;
    for (int k = 0; k < 40; ++k, t += 0.1, nowMs += 100)
        filter.trackFilterStep(tag, TrackFix{t, 5, 1e-4, 0, 1e-4}, ticksAt(t), nowMs, &state);
    const double lastT = t - 0.1;
    QCOMPARE(state->lastTicks, ticksAt(lastT));
    filter.trackFilterStep(tag, TrackFix{lastT - 0.05, 5, 1e-4, 0, 1e-4}, ticksAt(lastT - 0.05), nowMs - 90, &state);
    QCOMPARE(state->lastTicks, ticksAt(lastT));
    filter.trackFilterStep(tag, TrackFix{t, 5, 1e-4, 0, 1e-4}, ticksAt(t), nowMs, &state);
    QCOMPARE(state->lastTicks, ticksAt(t));
    QVERIFY2(std::fabs(state->s[0] - t) < 0.02, qPrintable(QString::number(state->s[0] - t)));
}

// The prediction's lookup and time step serve the fix of the same set only: asked about another set, fixed twice,
// forgotten or copied in between, the track is bit for bit that of a filter never asked.
void tst_SiteLearning::predictionKeptForItsSet_data()
{
    QTest::addColumn<int>("ahead");   // the set asked about, counted from the one fixed
    QTest::addColumn<bool>("twice");  // every set fixed twice
    QTest::addColumn<bool>("forget"); // the tag forgotten between asking and fixing
    QTest::addColumn<bool>("copy");   // the filter copied after asking; the copy fixes the set after it
    QTest::newRow("the same set") << 0 << false << false << false;
    QTest::newRow("the next set") << 1 << false << false << false;
    QTest::newRow("every set twice") << 0 << true << false << false;
    QTest::newRow("forgotten") << 0 << false << true << false;
    QTest::newRow("copied") << 0 << false << false << true;
}

void tst_SiteLearning::predictionKeptForItsSet()
{
    QFETCH(int, ahead);
    QFETCH(bool, twice);
    QFETCH(bool, forget);
    QFETCH(bool, copy);
    TrackFilter asked(1.0, 10000), plain(1.0, 10000);
    const TAG_IMEI_t tag = tagId(7);
    std::mt19937_64 random(3);
    std::normal_distribution<double> noise(0.0, 0.05);
    const auto ticksAt = [](int k) { return (unsigned long long)(5e6 + k * 0.1 * kTicksPerSecond); };
    for (int k = 0; k < 30; ++k) {
        const TrackFix fix{0.13 * k + noise(random), 2 + noise(random), 0.0025, 0.0005, 0.0016};
        const qint64 nowMs = 1000 + 100 * k;
        double x = 0, y = 0, variance = 0;
        asked.trackPrediction(tag, ticksAt(k + ahead), nowMs, &x, &y, &variance);
        if (forget) {
            asked.trackForgetTag(tag);
            plain.trackForgetTag(tag);
        }
        TrackFilter copied;
        if (copy)
            copied = asked;
        for (int n = 0; n < (twice ? 2 : 1); ++n) {
            const TrackState *a = nullptr, *b = nullptr, *c = nullptr;
            const auto outcome = asked.trackFilterStep(tag, fix, ticksAt(k), nowMs, &a);
            QCOMPARE(outcome, plain.trackFilterStep(tag, fix, ticksAt(k), nowMs, &b));
            QVERIFY(std::memcmp(a->s, b->s, sizeof b->s) == 0 && std::memcmp(a->p, b->p, sizeof b->p) == 0);
            QCOMPARE(a->calmShare, b->calmShare);
            if (copy && n == 0) {
                copied.trackFilterStep(tag, fix, ticksAt(k), nowMs, &c);
                QVERIFY(std::memcmp(c->p, b->p, sizeof b->p) == 0);
            }
        }
    }
}

// The fix of a set is stepped at the time its prediction read the clock, and only that set's: a set located again
// after a silence beyond active_time (its prediction finds no current track) starts a new track at its fix even
// where it repeats the earlier set's clock reading.
void tst_SiteLearning::fixSteppedAtItsPredictionsTime_data()
{
    QTest::addColumn<bool>("locatedAgain");
    QTest::newRow("the set predicted") << false;
    QTest::newRow("located again after the silence") << true;
}

void tst_SiteLearning::fixSteppedAtItsPredictionsTime()
{
    QFETCH(bool, locatedAgain);
    const auto algo = solver(QStringLiteral("nlos_rejection=true\ntrack_filter=true\nrange_noise=0.02\n"));
    qint64 nowMs = 1000;
    algo->setMonotonicClock([&nowMs] { return nowMs; });
    std::mt19937_64 random(6);
    QList<unsigned long long> times;
    Fix fix;
    for (int k = 0; k < 6; ++k, nowMs += 100) { // the last set's step waits
        const auto ticks = (unsigned long long)(7777777 + k * kTicksPerSecond / 10);
        times = noisyTimes({7 + 0.1 * k, 6, 1.2}, 0.02, {}, random, ticks);
        if ((fix = algo->algoLocate(tagId(3), anchorIds(kAll), times)) && k < 5)
            algo->algoTrackFilter(tagId(3), fix, times.first());
    }
    nowMs += 60000;
    if (locatedAgain)
        fix = algo->algoLocate(tagId(3), anchorIds(kAll), times);
    QVERIFY(fix);
    const Fix tracked = algo->algoTrackFilter(tagId(3), fix, times.first());
    QCOMPARE(tracked.position.x == fix.position.x && tracked.position.y == fix.position.y, locatedAgain);
}

// A tag walking a known path at 10 Hz: 1.3 m/s east for 10 s, a turn at a person's rate (or a stop of `pause`
// seconds, slowing and starting at 1.5 m/s^2), 10 s on. The track's estimate and its one-step prediction are nearer
// the truth than the fixes by the row's share, it never strays by more than `worst`; on the last straight leg the
// calm model carries the track, and within the turn the agile one.
void tst_SiteLearning::trackerFollowsAWalk_data()
{
    QTest::addColumn<double>("noise");
    QTest::addColumn<double>("turn");  // degrees
    QTest::addColumn<double>("rate");  // degrees per second
    QTest::addColumn<double>("pause"); // seconds
    QTest::addColumn<double>("share"); // track RMS over fix RMS, at most
    QTest::addColumn<double>("worst"); // m
    QTest::newRow("quarter turn in a second, 0.1 m") << 0.1 << 90.0 << 90.0 << 0.0 << 0.55 << 0.3;
    QTest::newRow("quarter turn, 0.036 m") << 0.036 << 90.0 << 90.0 << 0.0 << 0.55 << 0.1;
    QTest::newRow("about turn at 180 deg/s, 0.036 m") << 0.036 << 180.0 << 180.0 << 0.0 << 0.6 << 0.15;
    QTest::newRow("straight on, 0.036 m") << 0.036 << 0.0 << 90.0 << 0.0 << 0.45 << 0.07;
    QTest::newRow("a stop of 2 s, 0.036 m") << 0.036 << 0.0 << 90.0 << 2.0 << 0.6 << 0.15;
}

void tst_SiteLearning::trackerFollowsAWalk()
{
    QFETCH(double, noise);
    QFETCH(double, turn);
    QFETCH(double, rate);
    QFETCH(double, pause);
    QFETCH(double, share);
    QFETCH(double, worst);
    TrackFilter filter(1.0, 10000);
    const TAG_IMEI_t tag = tagId(5);
    std::mt19937_64 random(9);
    std::normal_distribution<double> gauss(0.0, noise);
    const double dt = 0.1, pace = 1.3, brake = 1.5;
    double x = 2, y = 2, heading = 0, speed = pace, turned = 0, still = 0, time = 0;
    double fixSquares = 0, trackSquares = 0, predictionSquares = 0, leastCalmInTurn = 1, worstSeen = 0;
    int counted = 0;
    bool stopping = false;
    const TrackState *state = nullptr;
    for (int k = 0; time < 21 + pause + 2 * pace / brake; ++k, time += dt) {
        const bool manoeuvring = time >= 10 && (turned < turn || (pause > 0 && still < pause));
        if (time >= 10 && turned < turn) {
            const double step = std::min(rate * dt, turn - turned);
            heading += step * M_PI / 180;
            turned += step;
        }
        if (time >= 10 && pause > 0 && still < pause) {
            stopping = true;
            speed = std::max(0.0, speed - brake * dt);
            if (speed == 0)
                still += dt;
        } else if (stopping) {
            speed = std::min(pace, speed + brake * dt);
        }
        x += speed * dt * std::cos(heading);
        y += speed * dt * std::sin(heading);
        const TrackFix fix{x + gauss(random), y + gauss(random), noise * noise, 0, noise * noise};
        double px = 0, py = 0;
        if (state) {
            px = state->s[0] + dt * state->s[2];
            py = state->s[1] + dt * state->s[3];
        }
        filter.trackFilterStep(tag, fix, (unsigned long long)(k * dt * kTicksPerSecond), 1000 + 100 * k, &state);
        if (k < 20)
            continue;
        ++counted;
        fixSquares += (fix.x - x) * (fix.x - x) + (fix.y - y) * (fix.y - y);
        trackSquares += (state->s[0] - x) * (state->s[0] - x) + (state->s[1] - y) * (state->s[1] - y);
        predictionSquares += (px - x) * (px - x) + (py - y) * (py - y);
        worstSeen = std::max(worstSeen, std::hypot(state->s[0] - x, state->s[1] - y));
        if (manoeuvring && turn > 0)
            leastCalmInTurn = std::min(leastCalmInTurn, state->calmShare);
    }
    const double fixRms = std::sqrt(fixSquares / counted), trackRms = std::sqrt(trackSquares / counted);
    QVERIFY2(trackRms < share * fixRms, qPrintable(QString::number(trackRms / fixRms)));
    QVERIFY2(std::sqrt(predictionSquares / counted) < 0.9 * fixRms,
             qPrintable(QString::number(std::sqrt(predictionSquares / counted) / fixRms)));
    QVERIFY2(worstSeen < worst, qPrintable(QString::number(worstSeen)));
    QVERIFY2(state->calmShare > 0.8, qPrintable(QString::number(state->calmShare)));
    QVERIFY2(turn == 0 || leastCalmInTurn < 0.5, qPrintable(QString::number(leastCalmInTurn)));
}

// Monte Carlo: tags whose motion is the filter's own model (white acceleration of track_accel per step), fixes with
// the covariance they claim. The spread of the track's error matches its covariance.
void tst_SiteLearning::trackCovarianceMatchesItsSpread()
{
    std::mt19937_64 random(12);
    std::normal_distribution<double> unit(0.0, 1.0);
    const double dt = 0.1, accel = 1.0, sigma = 0.08;
    double errorSquares = 0, covariance = 0, speedSquares = 0, speedCovariance = 0;
    const int runs = 400;
    for (int r = 0; r < runs; ++r) {
        TrackFilter filter(accel, 10000);
        const TrackState *state = nullptr;
        double x = 0, vx = 1.0, y = 0, vy = 0.5;
        for (int k = 0; k < 60; ++k) {
            const double ax = accel * unit(random), ay = accel * unit(random);
            x += vx * dt + 0.5 * ax * dt * dt;
            y += vy * dt + 0.5 * ay * dt * dt;
            vx += ax * dt;
            vy += ay * dt;
            const TrackFix fix{x + sigma * unit(random), y + sigma * unit(random), sigma * sigma, 0, sigma * sigma};
            filter.trackFilterStep(tagId(6), fix, (unsigned long long)(1e6 + k * dt * kTicksPerSecond), 100 * k, &state);
        }
        errorSquares += (state->s[0] - x) * (state->s[0] - x) + (state->s[1] - y) * (state->s[1] - y);
        covariance += state->p[0][0] + state->p[1][1];
        speedSquares += (state->s[2] - vx) * (state->s[2] - vx) + (state->s[3] - vy) * (state->s[3] - vy);
        speedCovariance += state->p[2][2] + state->p[3][3];
    }
    const double ratio = errorSquares / covariance, speedRatio = speedSquares / speedCovariance;
    QVERIFY2(ratio > 0.75 && ratio < 1.33, qPrintable(QString::number(ratio)));
    QVERIFY2(speedRatio > 0.75 && speedRatio < 1.33, qPrintable(QString::number(speedRatio)));
}

// trackUpdate against the Kalman update in its general form, (I - K H) P (I - K H)^T + K R K^T with
// K = P H^T S^-1, on tracks of random correlated covariance, some coasted long; beyond the gate nothing changes.
void tst_SiteLearning::trackUpdateIsTheKalmanUpdate_data()
{
    QTest::addColumn<int>("seed");
    QTest::addColumn<double>("coast"); // seconds predicted before the fix
    QTest::addColumn<double>("miss");  // the fix's distance from the track, m
    QTest::newRow("steady") << 1 << 0.1 << 0.05;
    QTest::newRow("correlated") << 2 << 0.5 << 0.2;
    QTest::newRow("coasted a minute") << 3 << 60.0 << 1.0;
    QTest::newRow("beyond the gate") << 4 << 0.1 << 50.0;
}

void tst_SiteLearning::trackUpdateIsTheKalmanUpdate()
{
    QFETCH(int, seed);
    QFETCH(double, coast);
    QFETCH(double, miss);
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(-0.3, 0.3);
    TrackModel track, b;
    double a[4][4], k[4][2] = {}, scale = 0;
    for (int x = 0; x < 16; ++x)
        a[x / 4][x % 4] = unit(random);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            track.p[i][j] = (i == j) * 0.0025 + a[i][0] * a[j][0] + a[i][1] * a[j][1] + a[i][2] * a[j][2] + a[i][3] * a[j][3];
    trackPredict(track, coast, 1.0);
    b = track;
    const double r[2][2] = {{0.004, 0.001}, {0.001, 0.002}}, n[2] = {miss, -0.5 * miss};
    double distance = 0;
    const bool taken = trackUpdate(track, TrackFix{b.s[0] + n[0], b.s[1] + n[1], 0.004, 0.001, 0.002}, &distance);
    const double sxx = b.p[0][0] + r[0][0], sxy = b.p[0][1] + r[0][1], syy = b.p[1][1] + r[1][1];
    const double det = sxx * syy - sxy * sxy, inv[2][2] = {{syy / det, -sxy / det}, {-sxy / det, sxx / det}};
    QVERIFY(std::fabs(distance - (inv[0][0] * n[0] * n[0] + 2 * inv[0][1] * n[0] * n[1] + inv[1][1] * n[1] * n[1])) < 1e-9 * distance);
    QCOMPARE(taken, distance <= kTrackGate);
    for (int i = 0; i < 4 && taken; ++i)
        for (int c = 0; c < 2; ++c)
            k[i][c] = b.p[i][0] * inv[0][c] + b.p[i][1] * inv[1][c];
    // (I - K H) P (I - K H)^T + K R K^T, with (I - K H)_ix = delta_ix - K_ix for x < 2.
    const auto ikh = [&k](int i, int x) { return (i == x) - (x < 2 ? k[i][x] : 0); };
    for (int x = 0; x < 16; ++x)
        scale = std::max(scale, std::fabs(b.p[x / 4][x % 4]));
    for (int i = 0; i < 4; ++i) {
        QVERIFY(std::fabs(track.s[i] - (b.s[i] + k[i][0] * n[0] + k[i][1] * n[1])) < 1e-9 * (1 + std::fabs(b.s[i])));
        for (int j = 0; j < 4; ++j) {
            double p = 0;
            for (int x = 0; x < 4; ++x)
                for (int y = 0; y < 4; ++y)
                    p += ikh(i, x) * b.p[x][y] * ikh(j, y) + (x < 2 && y < 2 ? k[i][x] * r[x][y] * k[j][y] : 0);
            QVERIFY2(std::fabs(track.p[i][j] - p) < 1e-9 * scale, qPrintable(QStringLiteral("%1 %2").arg(i).arg(j)));
            QCOMPARE(track.p[i][j], track.p[j][i]);
        }
    }
}

QTEST_GUILESS_MAIN(tst_SiteLearning)
#include "tst_site_learning.moc"
