#include "engine/algorithm.h"

#include "common/common_function.h"
#include "common/config_file.h"
#include "common/config_keys.h"
#include "common/logwriter.h"
#include "engine/anchor_clock.h"
#include "engine/fix_residuals.h"
#include "engine/id_number.h"
#include "store/tags.h"

#include <QByteArray>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <time.h>

namespace {

const QString kAlgorithmGroup = QStringLiteral("algorithm_config");
const QString kAnchorGroup = QStringLiteral("anchor_coordinate");
const QString kTagHighGroup = QStringLiteral("tag_high");

using namespace fixsolve; // the iteration limits, shared with the NLOS step's solve
// The margin of the accepted region around the first four anchors.
constexpr double kRegionMargin = 10000.0;
constexpr int kFewestAnchors = 3;
constexpr int kCentreAnchors = 4;

QString anchorText(const ANCHOR_IMEI_t &id) { return idText(id.imei); }

// The monotonic clock at its coarse resolution (a few ms), which costs less
// than half of a fine reading; it is read for every tracked position.
qint64 steadyMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

algorithm::algorithm() : clock(steadyMs)
{
    for (double &d : lastDelta)
        d = kFirstDelta;

    LogWriter *log = LogWriter::getLogCenter();
    ConfigFile config;

    smoothEnable = config.isWord(kAlgorithmGroup, QStringLiteral("s_enable"), QStringLiteral("true"));
    smoothLength = config.integer(kAlgorithmGroup, QStringLiteral("s_length"));
    smoothStartHalfLength = config.integer(kAlgorithmGroup, QStringLiteral("s_start_half_length"));
    smoothRedundant = config.integer(kAlgorithmGroup, QStringLiteral("s_redundant"));
    if (smoothEnable && !smoothSettingsUsable()) {
        // The averages would divide by zero or a negative count.
        log->infoOutput("warning: smoothing disabled, s_length=%d needs at least 2 and "
                        "s_start_half_length=%d at least 1",
                        smoothLength, smoothStartHalfLength);
        smoothEnable = false;
    }

    weightedSolve = config.isWord(kAlgorithmGroup, QStringLiteral("weighted_solve"), QStringLiteral("true"));
    if (weightedSolve)
        log->debugOutput("weighted solve -> on");

    algoReadAccuracySettings();
    algoApplyGeometry(algoReadGeometry(true));

    tagHigh = config.real(kTagHighGroup, QStringLiteral("tag1"));
    log->debugOutput("tag high -> %.2lf", tagHigh);

    if (anchorCount == 0)
        log->infoOutput("warning: no anchors configured, no position can be solved");
    else if (anchorCount < kCentreAnchors)
        log->infoOutput("warning: only %d anchors configured, centre point and region taken from those",
                        anchorCount);

    log->infoOutput("%s", "");
    log->infoOutput("%s", "");
}

algorithm::~algorithm() = default;

void algorithm::algoReadAccuracySettings()
{
    const ConfigFile config;
    const auto on = [&config](const char *key) {
        return config.isWord(kAlgorithmGroup, QLatin1String(key), QStringLiteral("true"));
    };
    nlosEnable = on("nlos_rejection");
    trackEnable = on("track_filter");
    reportAccuracy = on("report_accuracy");
    offsetCorrection = on("anchor_offset_correction");
    // "auto", or nothing: learned (0 here). Any other text means what it always meant.
    const QString noiseText = config.text(kAlgorithmGroup, QStringLiteral("range_noise"));
    rangeNoise = configkeys::rangeNoiseLearned(noiseText)
                     ? 0
                     : configkeys::rangeNoise(config.real(kAlgorithmGroup, QStringLiteral("range_noise")));
    learning = SiteLearning(rangeNoise);
    const double accel = config.real(kAlgorithmGroup, QStringLiteral("track_accel"));
    const int silence = config.integer(kAlgorithmGroup, QStringLiteral("active_time"));
    nlos = NlosRejection(learning.noise());
    track = TrackFilter(configkeys::trackAccel(accel), 1000 * qint64(configkeys::trackSilenceSeconds(silence)));
    if (nlosEnable || trackEnable || reportAccuracy || offsetCorrection)
        LogWriter::getLogCenter()->debugOutput("nlos_rejection -> %d, track_filter -> %d, report_accuracy -> %d, "
                                               "anchor_offset_correction -> %d, range_noise -> %s",
                                               int(nlosEnable), int(trackEnable), int(reportAccuracy),
                                               int(offsetCorrection),
                                               rangeNoise > 0 ? qPrintable(QString::number(rangeNoise, 'f', 3) + " m")
                                                              : "auto");
}

AnchorGeometry algorithm::algoReadGeometry(bool logAnchors)
{
    LogWriter *log = LogWriter::getLogCenter();
    const ConfigFile config;
    AnchorGeometry geometry;
    QStringList beyondLimit;
    for (const QString &key : config.keys(kAnchorGroup)) {
        // Stored by a configuration request (or by hand): printed escaped.
        const QByteArray keyUtf8 = logPrintable(key);
        // A longer key is taken by its first six bytes; a shorter one cannot
        // name an anchor.
        const QByteArray id = configkeys::anchorIdBytes(key);
        if (id.size() != int(sizeof(ANCHOR_IMEI_t::imei))) {
            log->infoOutput("warning: anchor key %s skipped, it does not decode to six bytes",
                            keyUtf8.constData());
            continue;
        }
        const QString value = config.text(kAnchorGroup, key);
        double parts[3];
        if (!configkeys::anchorCoordinates(value, parts)) {
            log->infoOutput("warning: anchor %s skipped, its value \"%s\" is not three comma-separated numbers",
                            keyUtf8.constData(), logPrintable(value).constData());
            continue;
        }
        if (geometry.anchorCount >= kAnchorLimit) {
            beyondLimit.append(QString::fromLatin1(keyUtf8));
            continue;
        }
        const AnchorXYZ xyz{parts[0], parts[1], parts[2]};
        if (logAnchors)
            log->infoOutput("mac=%s xyz=(%.2lf,%.2lf,%.2lf)", keyUtf8.constData(), xyz.x, xyz.y, xyz.z);

        ANCHOR_IMEI_t anchor;
        std::memcpy(anchor.imei, id.constData(), sizeof anchor.imei);
        geometry.anchorXyzMap.insert(anchor, xyz);
        geometry.anchorImeiList.append(anchor);
        ++geometry.anchorCount;
    }
    if (!beyondLimit.isEmpty())
        log->infoOutput("warning: more than %d anchors configured, %lld left out: %s", kAnchorLimit,
                        qint64(beyondLimit.size()), beyondLimit.join(QLatin1Char(' ')).toUtf8().constData());
    return geometry;
}

void algorithm::algoApplyGeometry(const AnchorGeometry &geometry)
{
    anchorXyzMap = geometry.anchorXyzMap;
    anchorImeiList = geometry.anchorImeiList;
    anchorCount = geometry.anchorCount;
    centerPoint = algoSetCenterPoint(anchorImeiList);
    sizeWorkingArrays();
    nlos.nlosSetGeometry(anchorXyzMap);
    learning.forgetOffsets();
    {
        std::lock_guard<std::mutex> lock(g_timer_10s_mutex);
        g_tags_object.anchorTotal = anchorCount;
    }
}

void algorithm::algoForgetTags(const QList<TAG_IMEI_t> &tags)
{
    for (const TAG_IMEI_t &tag : tags) {
        tagLastXyz.remove(tag);
        nlos.nlosForgetTag(tag);
        track.trackForgetTag(tag);
    }
    std::lock_guard<std::mutex> lock(g_timer_1s_mutex);
    for (const TAG_IMEI_t &tag : tags) {
        smoothWindow.remove(tag);
        smoothVariance.remove(tag);
        smoothLastTime.remove(tag);
    }
}

void algorithm::sizeWorkingArrays()
{
    const size_t rows = anchorCount > 1 ? size_t(anchorCount - 1) : 0;
    anchorDistance.assign(size_t(anchorCount), 0.0);
    matrixH.assign(2 * rows, 0.0);
    matrixZ.assign(rows, 0.0);
    rangeDifference.assign(rows, 0.0);
}

// Every range difference carries the reference anchor's noise, so with equal
// noise s at each anchor the n differences have covariance s^2 Q, Q = I + 1 1^T,
// whose inverse is I - 1 1^T / (n + 1). Its square root W = I - a 1 1^T with
// a = (1 - 1 / sqrt(n + 1)) / n turns the rows into uncorrelated ones:
// (WH)^T (WH) = H^T Q^-1 H and (WH)^T (WZ) = H^T Q^-1 Z, so the unchanged
// least-squares step on WH and WZ is the weighted step, at the cost of three
// sums per iteration. With n = 2 (three anchors) H is square and the step is
// the same as without weights.
void algorithm::algoWhitenDifferences(int rows)
{
    const double a = (1.0 - 1.0 / std::sqrt(double(rows + 1))) / double(rows);
    double sumX = 0.0, sumY = 0.0, sumZ = 0.0;
    for (int i = 0; i < rows; ++i) {
        sumX += matrixH[size_t(2 * i)];
        sumY += matrixH[size_t(2 * i + 1)];
        sumZ += matrixZ[size_t(i)];
    }
    for (int i = 0; i < rows; ++i) {
        matrixH[size_t(2 * i)] -= a * sumX;
        matrixH[size_t(2 * i + 1)] -= a * sumY;
        matrixZ[size_t(i)] -= a * sumZ;
    }
}

QList<AnchorXYZ> algorithm::algoGetAnchorXYZ(QList<ANCHOR_IMEI_t> anchors)
{
    QList<AnchorXYZ> xyz;
    xyz.reserve(anchors.size());
    for (const ANCHOR_IMEI_t &anchor : qAsConst(anchors)) {
        const auto it = anchorXyzMap.constFind(anchor);
        if (it != anchorXyzMap.constEnd())
            xyz.append(it.value());
    }
    return xyz;
}

// The centre of the first four anchors of the list (of those present when
// fewer), and the accepted region around them.
TAG_XYZ_t algorithm::algoSetCenterPoint(QList<ANCHOR_IMEI_t> anchors)
{
    // Coordinates are finite, so the first anchor present replaces the infinities.
    double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
    int used = 0;
    for (int i = 0; i < anchors.size() && i < kCentreAnchors; ++i) {
        const auto it = anchorXyzMap.constFind(anchors.at(i));
        if (it == anchorXyzMap.constEnd())
            continue;
        const AnchorXYZ &a = it.value();
        minX = qMin(minX, a.x);
        maxX = qMax(maxX, a.x);
        minY = qMin(minY, a.y);
        maxY = qMax(maxY, a.y);
        ++used;
    }
    if (used == 0) {
        // No anchors: no set is ever accepted, the region stays empty.
        xMin = xMax = yMin = yMax = 0.0;
        return TAG_XYZ_t{0.0, 0.0, 0.0};
    }
    xMin = minX - kRegionMargin;
    xMax = maxX + kRegionMargin;
    yMin = minY - kRegionMargin;
    yMax = maxY + kRegionMargin;
    return TAG_XYZ_t{minX + 0.5 * (maxX - minX), minY + 0.5 * (maxY - minY), 0.0};
}

double algorithm::algoDistanceSqr(const AnchorXYZ &anchor, const TAG_XYZ_t &tag)
{
    const double dx = anchor.x - tag.x;
    const double dy = anchor.y - tag.y;
    const double dz = anchor.z - tag.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

const TAG_XYZ_t *algorithm::algoTaylor(TAG_IMEI_t tag, QList<ANCHOR_IMEI_t> anchors,
                                       QList<unsigned long long> timestamps)
{
    LogWriter *log = LogWriter::getLogCenter();
    iterationsRun = 0;
    const int n = anchors.size();
    solveAnchorNum = n;
    solveFailure = metrics::Counter::FailedTooFewAnchors;
    // n <= anchorCount also keeps every index inside the working arrays.
    if (anchorCount < n || n < kFewestAnchors || timestamps.size() != n)
        return nullptr;

    // algoGetAnchorXYZ in place: the list's nodes of the last solve are
    // reused rather than allocated anew for every anchor of every solve.
    while (solveAnchorXyz.size() > n)
        solveAnchorXyz.removeLast();
    while (solveAnchorXyz.size() < n)
        solveAnchorXyz.append(AnchorXYZ{0.0, 0.0, 0.0});
    for (int i = 0; i < n; ++i) {
        const auto it = anchorXyzMap.constFind(anchors.at(i));
        if (it == anchorXyzMap.constEnd()) {
            // The coordinates would no longer line up with the timestamps.
            log->debugOutput("taylor: anchor %s has no configured coordinates, no position",
                             anchorText(anchors.at(i)).toUtf8().constData());
            solveAnchorXyz = algoGetAnchorXYZ(anchors);
            return nullptr;
        }
        solveAnchorXyz[i] = it.value();
    }

    algoStartFrom(tag);

    // The timestamps do not change between iterations: the range differences
    // and their plausibility are settled once, before the first iteration.
    const unsigned long long reference = timestamps.at(0);
    for (int i = 1; i < n; ++i) {
        const double d = anchorclock::rangeDifference(timestamps.at(i), reference);
        if (std::fabs(d) > kMaxRangeDifference) {
            log->debugOutput("lock synchronize failed!!");
            solveFailure = metrics::Counter::FailedClockSync;
            return nullptr;
        }
        rangeDifference[size_t(i - 1)] = d;
    }

    return algoIterate(tag, n, [this](int i) -> const AnchorXYZ & { return solveAnchorXyz.at(i); });
}

inline void algorithm::algoStartFrom(const TAG_IMEI_t &tag)
{
    const auto last = tagLastXyz.constFind(tag);
    tagXyz = last != tagLastXyz.constEnd() ? last.value() : TAG_XYZ_t{centerPoint.x, centerPoint.y, tagHigh};
    for (double &d : lastDelta)
        d = kFirstDelta;
}

const TAG_XYZ_t *algorithm::algoTaylorSet(const TAG_IMEI_t &tag, const FixAnchors &set, FixResiduals *fit)
{
    auto last = tagLastXyz.find(tag);
    FixSolve solve;
    const TAG_XYZ_t *p = algoSolveSet(set, last != tagLastXyz.end() ? &*last : nullptr, nullptr, fit, &solve);
    // A converged solve is the next start (even outside the region), a
    // diverged one leaves none.
    if (solve.outcome == FixSolve::Diverged && last != tagLastXyz.end())
        tagLastXyz.erase(last);
    else if (solve.outcome == FixSolve::Solved && solve.converged && solve.used <= anchorCount)
        tagLastXyz.insert(tag, solve.position);
    return p;
}

const TAG_XYZ_t *algorithm::algoSolveSet(const FixAnchors &set, const TAG_XYZ_t *start, const double *reciprocal,
                                         FixResiduals *fit, FixSolve *result)
{
    tagXyz = start ? *start : TAG_XYZ_t{centerPoint.x, centerPoint.y, tagHigh};
    fixSolve(set, tagXyz, weightedSolve, fit ? fit : &solveRows, reciprocal, result);
    const FixSolve &solve = *result;
    iterationsRun = solve.iterations;
    solveAnchorNum = solve.used;
    solveFailure = metrics::Counter::FailedTooFewAnchors;
    if (anchorCount < solve.used)
        return nullptr;
    solveFailure = metrics::Counter::FailedDivergence;
    switch (solve.outcome) {
    case FixSolve::Solved:
        break;
    case FixSolve::TooFew:
        solveFailure = metrics::Counter::FailedTooFewAnchors;
        return nullptr;
    case FixSolve::Unsynchronised:
        LogWriter::getLogCenter()->debugOutput("lock synchronize failed!!");
        solveFailure = metrics::Counter::FailedClockSync;
        return nullptr;
    case FixSolve::Singular:
        LogWriter::getLogCenter()->debugOutput("taylor: normal matrix singular, no position");
        return nullptr;
    case FixSolve::NotFinite:
        LogWriter::getLogCenter()->debugOutput("taylor: correction not finite, no position");
        return nullptr;
    case FixSolve::Diverged:
        LogWriter::getLogCenter()->debugOutput("iteration divergence!! tag is recoverying");
        return nullptr;
    }
    tagXyz = solve.position;
    solveFailure = metrics::Counter::FailedOutsideRegion;
    if (tagXyz.x < xMin || tagXyz.x > xMax || tagXyz.y < yMin || tagXyz.y > yMax)
        return nullptr;
    // A fit that fails after a good solve (a geometry that leaves the
    // position undetermined) fails numerically, not by region.
    solveFailure = metrics::Counter::FailedDivergence;
    return !fit || fixFit(set, solve.sums, weightedSolve, fit) ? &tagXyz : nullptr;
}

template <typename Xyz>
const TAG_XYZ_t *algorithm::algoIterate(const TAG_IMEI_t &tag, int n, const Xyz &xyz)
{
    LogWriter *log = LogWriter::getLogCenter();
    const int rows = n - 1;
    solveFailure = metrics::Counter::FailedDivergence;
    for (int iteration = 1; iteration <= kMaxIterations; ++iteration) {
        iterationsRun = iteration;
        const double x = tagXyz.x;
        const double y = tagXyz.y;
        for (int i = 0; i < n; ++i)
            anchorDistance[size_t(i)] = algoDistanceSqr(xyz(i), tagXyz);
        const AnchorXYZ &a0 = xyz(0);
        const double r0 = anchorDistance[0];
        for (int i = 1; i < n; ++i) {
            const AnchorXYZ &ai = xyz(i);
            const double ri = anchorDistance[size_t(i)];
            matrixZ[size_t(i - 1)] = rangeDifference[size_t(i - 1)] - (ri - r0);
            matrixH[size_t(2 * (i - 1))] = (a0.x - x) / r0 - (ai.x - x) / ri;
            matrixH[size_t(2 * (i - 1) + 1)] = (a0.y - y) / r0 - (ai.y - y) / ri;
        }
        if (weightedSolve)
            algoWhitenDifferences(rows);

        // Correction = (H^T H)^-1 H^T Z, of the whitened rows when weighted,
        // in closed form for the 2 x 2 normal matrix: the same operations in
        // the same order as the general matrix routines performed (sums from
        // 0.0 in row order, the determinant's two products, the adjugate
        // divided by it), so the same bits, without their five allocations.
        double n00 = 0.0, n01 = 0.0, n10 = 0.0, n11 = 0.0;
        for (int k = 0; k < rows; ++k) {
            const double h0 = matrixH[size_t(2 * k)];
            const double h1 = matrixH[size_t(2 * k + 1)];
            n00 += h0 * h0;
            n01 += h0 * h1;
            n10 += h1 * h0;
            n11 += h1 * h1;
        }
        const double det = (0.0 + n00 * n11) + (-1.0 * n01) * n10;
        if (det == 0.0) {
            log->debugOutput("taylor: normal matrix singular, no position");
            return nullptr;
        }
        const double i00 = (0.0 + n11) / det;
        const double i01 = -(0.0 + n01) / det;
        const double i10 = -(0.0 + n10) / det;
        const double i11 = (0.0 + n00) / det;
        double dx = 0.0, dy = 0.0;
        for (int k = 0; k < rows; ++k) {
            const double h0 = matrixH[size_t(2 * k)];
            const double h1 = matrixH[size_t(2 * k + 1)];
            const double z = matrixZ[size_t(k)];
            dx += ((0.0 + i00 * h0) + i01 * h1) * z;
            dy += ((0.0 + i10 * h0) + i11 * h1) * z;
        }

        // An estimate on top of an anchor (zero distance) or a nearly singular
        // normal matrix gives inf or NaN, which every ordered test below would
        // let through to the tenth iteration.
        if (!std::isfinite(dx) || !std::isfinite(dy)) {
            log->debugOutput("taylor: correction not finite, no position");
            return nullptr;
        }
        if (std::fabs(dx) > std::fabs(lastDelta[0]) && std::fabs(dy) > std::fabs(lastDelta[1])) {
            tagLastXyz.remove(tag);
            log->debugOutput("iteration divergence!! tag is recoverying");
            return nullptr;
        }
        tagXyz.x += dx;
        tagXyz.y += dy;
        lastDelta[0] = dx;
        lastDelta[1] = dy;
        if (!std::isfinite(tagXyz.x) || !std::isfinite(tagXyz.y)) {
            log->debugOutput("taylor: correction not finite, no position");
            return nullptr;
        }
        if (std::fabs(dx) < kConvergedStep && std::fabs(dy) < kConvergedStep) {
            tagLastXyz.insert(tag, tagXyz);
            break;
        }
    }

    solveFailure = metrics::Counter::FailedOutsideRegion;
    if (tagXyz.x < xMin || tagXyz.x > xMax || tagXyz.y < yMin || tagXyz.y > yMax)
        return nullptr;
    // A step after a good solve (the residual fit of a set whose geometry
    // leaves the position undetermined) fails numerically, not by region.
    solveFailure = metrics::Counter::FailedDivergence;
    return &tagXyz;
}

Fix algorithm::algoLocate(TAG_IMEI_t tag, const QList<ANCHOR_IMEI_t> &anchors,
                          const QList<unsigned long long> &timestamps)
{
    if (!nlosEnable && !trackEnable && !reportAccuracy && !offsetCorrection) {
        const TAG_XYZ_t *solved = algoTaylor(tag, anchors, timestamps);
        return solved ? Fix::at(*solved, anchors.size()) : Fix::failed(solveFailure);
    }
    const int n = anchors.size();
    QVarLengthArray<quint64, 16> ids(n);
    for (int i = 0; i < n; ++i)
        ids[i] = idNumber(anchors.at(i).imei);
    // The anchors' offsets relative to their median (m). With the correction
    // on, the NLOS step takes them off the ranges exactly, so that nothing of
    // them remains for the evidence and the learning to be net of; without
    // it, the evidence sees an offset anchor as late (it is left out rather
    // than pulling every position), the learning is net of them (null: it
    // looks them up for the fixes it samples).
    const double *offsets = offsetCorrection && nlosEnable ? learning.remainingOffsets(ids.constData(), n) : nullptr;
    QVarLengthArray<double, 16> shift; // what the correction left, without the NLOS step
    const double sigma = learning.noise();

    // The last set's working storage: its arrays keep their size, and
    // nothing of them is set up per set.
    NlosFix &fix = located;
    const double *net = nullptr; // the fit's residuals are net of the offsets
    if (nlosEnable) {
        nlos.nlosSetRangeNoise(sigma);
        // From where the NLOS step says: the track's expectation, else the
        // tag's start, which it keeps (no lookup of tagLastXyz).
        const auto solve = [this](const FixAnchors &set, const NlosStart &start, FixResiduals *fit,
                                  FixSolve *outcome) {
            return algoSolveSet(set, start.point, start.reciprocal, fit, outcome);
        };
        // With the tracking filter the track's expectation helps pick the
        // anchors to leave out.
        NlosPrior prior;
        const bool tracked = trackEnable && !timestamps.isEmpty()
                             && track.trackPrediction(tag, timestamps.first(), clock(), &prior.x, &prior.y,
                                                      &prior.variance);
        prior.z = tagHigh;
        // A set refused before any solve (an anchor without coordinates) is
        // counted as such, not by the last failed solve's reason.
        solveFailure = metrics::Counter::FailedTooFewAnchors;
        if (!nlos.nlosLocateTag(tag, anchors, timestamps, weightedSolve, solve, &fix,
                                tracked ? &prior : nullptr, ids.constData(), offsets))
            return Fix::failed(solveFailure);
        if (offsetCorrection)
            net = fix.fit.residual.constData();
    } else {
        // The offsets taken off the times in whole ticks, the rest of them
        // (under half a tick) what the learning is net of. Into the last
        // set's list, which keeps its storage: no allocation per set.
        QList<unsigned long long> &corrected = correctedTimes;
        if (offsetCorrection && timestamps.size() == n) {
            QVarLengthArray<qint64, 16> ticks(n);
            QVarLengthArray<double, 16> applied(n);
            shift.resize(n);
            learning.correction(ids.constData(), n, ticks.data(), applied.data(), shift.data());
            while (corrected.size() > n)
                corrected.removeLast();
            while (corrected.size() < n)
                corrected.append(0);
            // Through an iterator: the list is detached once, not per element.
            auto out = corrected.begin();
            for (int i = 0; i < n; ++i, ++out)
                *out = (timestamps[i] - (unsigned long long)ticks[i]) & anchorclock::kClockMask;
        } else if (offsetCorrection) {
            corrected.clear();
        }
        const QList<unsigned long long> &times = offsetCorrection ? corrected : timestamps;
        fix.leftOut.clear();
        fix.biasXx = fix.biasXy = fix.biasYy = 0;
        // The residuals of the solved position of all the set's anchors.
        const TAG_XYZ_t *solved = algoTaylor(tag, anchors, times);
        if (!solved)
            return Fix::failed(solveFailure);
        fix.set = fixAnchors(solveAnchorXyz, times);
        if (!fixResiduals(fix.set, *solved, weightedSolve, &fix.fit)) {
            LogWriter::getLogCenter()->debugOutput("fix: anchors' geometry leaves the position undetermined, no position");
            return Fix::failed(solveFailure);
        }
        fix.position = *solved;
    }
    Fix out = Fix::at(fix.position, n - fix.leftOut.size());
    if (!fix.leftOut.isEmpty()) // (assigning an empty list reallocates)
        out.leftOut = fix.leftOut;
    fixScaleCovariance(fix.fit, sigma, &out);
    if (fix.biasXx + fix.biasYy > 0)
        out.setCovariance(out.cxx + fix.biasXx, out.cxy + fix.biasXy, out.cyy + fix.biasYy);
    learning.learn(ids.constData(), fix.set, fix.fit, shift.isEmpty() ? offsets : shift.constData(), net);
    return out;
}

Fix algorithm::algoTrackFilter(TAG_IMEI_t tag, const Fix &fix, unsigned long long ticks)
{
    const TrackState *state = nullptr;
    // The set's time as its prediction read it, else read now.
    qint64 now = 0;
    if (!track.trackAskedAt(tag, ticks, &now))
        now = clock();
    track.trackFilterStep(tag, TrackFix{fix.position.x, fix.position.y, fix.cxx, fix.cxy, fix.cyy}, ticks, now, &state);
    Fix out = fix;
    out.position = TAG_XYZ_t{state->s[0], state->s[1], fix.position.z};
    // The track's covariance believes its fixes; while they keep missing it
    // by more than they claim (late ranges the NLOS step could not name),
    // the running mean of the innovation distance over its expectation says
    // by how much, and the reported accuracy grows with it.
    const double understated = std::max(1.0, state->manoeuvre / 2);
    double cxx = understated * state->p[0][0], cxy = understated * state->p[0][1], cyy = understated * state->p[1][1];
    // A fix far wider than the tag's recent ones failed the residual test
    // even with anchors left out: its error is a late range shared with the
    // fixes around it, which the track's averaging does not shrink, so the
    // track claims no better than that fix.
    const double fixTrace = fix.cxx + fix.cyy;
    if (fixTrace > kTrackWideFix * state->fixVariance && cxx + cyy < fixTrace && cxx + cyy > 0) {
        const double k = fixTrace / (cxx + cyy);
        cxx *= k;
        cxy *= k;
        cyy *= k;
    }
    out.setCovariance(cxx, cxy, cyy);
    return out;
}

void algorithm::algoLogLeftOutAnchors()
{
    const qint64 now = clock();
    if (nlosEnable)
        nlos.nlosLogMinute(now);
    if (nlosEnable || trackEnable || reportAccuracy || offsetCorrection)
        learning.logDue(now);
}

void algorithm::setMonotonicClock(Clock newClock) { clock = newClock ? std::move(newClock) : Clock(steadyMs); }

qint64 algorithm::monotonicNowMs() const { return clock(); }
