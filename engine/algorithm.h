#ifndef ALGORITHM_H
#define ALGORITHM_H

#include "common/global_data.h"
#include "common/metrics.h"
#include "engine/fix.h"
#include "engine/nlos_rejection.h"
#include "engine/site_learning.h"
#include "engine/track_filter.h"

#include <QList>
#include <QMap>
#include <QtGlobal>

#include <functional>
#include <vector>

// The configured anchors: coordinates, key order, count. The starting point of
// new tags and the accepted region follow from them when the solver takes the
// geometry up (algoApplyGeometry). A plain value, so a new geometry can be
// built beside the running solver and swapped in between two records.
struct AnchorGeometry {
    QMap<ANCHOR_IMEI_t, AnchorXYZ> anchorXyzMap;
    QList<ANCHOR_IMEI_t> anchorImeiList; // in key order, duplicates kept
    int anchorCount = 0;
};

// The solver: configured anchor geometry, the Taylor-series TDOA solver and
// the smoothing filter, with the per-tag state of both. Reads config.ini once,
// when constructed; new settings take effect at the next start.
//
// Used by the algorithm thread only, except smoothWindow and smoothLastTime,
// which the one-second maintenance pass also changes: both sides hold
// g_timer_1s_mutex while they touch them.
class algorithm
{
public:
    // Monotonic milliseconds; the time base of smoothLastTime.
    using Clock = std::function<qint64()>;

    algorithm();
    ~algorithm();
    Q_DISABLE_COPY(algorithm)

    // Configured coordinates of the given anchors, in their order. An anchor
    // without coordinates contributes nothing (the result is then shorter).
    QList<AnchorXYZ> algoGetAnchorXYZ(QList<ANCHOR_IMEI_t> anchors);
    // Centre of the first four anchors of the list (of those present when
    // fewer); sets the accepted region xMin .. yMax as a side effect.
    TAG_XYZ_t algoSetCenterPoint(QList<ANCHOR_IMEI_t> anchors);
    // The anchors of config.ini's anchor_coordinate group. Logs each anchor
    // ("mac=...") when logAnchors, and every key it skips.
    static AnchorGeometry algoReadGeometry(bool logAnchors);
    // Uses the geometry from the next solve on, resizes the working arrays
    // and gives the tag store the new anchor count. Algorithm thread only.
    void algoApplyGeometry(const AnchorGeometry &geometry);
    bool algoHasAnchor(const ANCHOR_IMEI_t &anchor) const { return anchorXyzMap.contains(anchor); }
    // Forgets the last solution and the smoothing state of tags that left the
    // tag store. Takes g_timer_1s_mutex.
    void algoForgetTags(const QList<TAG_IMEI_t> &tags);

    // Euclidean distance in three dimensions (not its square, despite the name).
    double algoDistanceSqr(const AnchorXYZ &anchor, const TAG_XYZ_t &tag);

    // One position of one tag from the reception times of one transmission,
    // entry 0 being the reference anchor. Points at tagXyz (valid until the
    // next call) or is null when no position is produced.
    const TAG_XYZ_t *algoTaylor(TAG_IMEI_t tag, QList<ANCHOR_IMEI_t> anchors, QList<unsigned long long> timestamps);
    // A solve like algoTaylor's (it may stop an iteration earlier) of the used anchors of a set whose coordinates and
    // ranges are filled in (the first used anchor the reference): no lookups
    // and no lists, for the NLOS step, which may solve a set more than once.
    // Its last iteration's linearisation gives the residual fit (fixFit)
    // into *fit (none without one); null when the solve or the fit fails.
    const TAG_XYZ_t *algoTaylorSet(const TAG_IMEI_t &tag, const FixAnchors &set, FixResiduals *fit = nullptr);
    // The fix of one set: algoTaylor, with nlos_rejection the residual test
    // and anchors left out, and the covariance when an accuracy key is on.
    // With none of the accuracy keys on, algoTaylor's position alone. Without
    // a position the fix says why (the counter to bump).
    Fix algoLocate(TAG_IMEI_t tag, const QList<ANCHOR_IMEI_t> &anchors, const QList<unsigned long long> &timestamps);
    // The tracking filter on a fix of algoLocate whose set was received at
    // anchor time `ticks`: the track's position and covariance. Always a
    // position: a gated fix is answered with the prediction.
    Fix algoTrackFilter(TAG_IMEI_t tag, const Fix &fix, unsigned long long ticks);
    // About once a second: the per-minute line of anchors often left out,
    // the learned noise and offsets' gauges and lines.
    void algoLogLeftOutAnchors();

    // The mean of the tag's recent fixes (with report_accuracy its accuracy
    // too), or no position (FailedSmoothing) while the window fills or when
    // the fix strays. Holds g_timer_1s_mutex for its whole run.
    Fix algoSmoothAverageFilter(TAG_IMEI_t tag, const Fix &fix);

    // The clock that stamps smoothLastTime; the maintenance pass compares
    // against monotonicNowMs() so that the two always share a time base.
    void setMonotonicClock(Clock clock);
    qint64 monotonicNowMs() const;

    // Iterations run by the last algoTaylor call (0 when it stopped before
    // iterating). Diagnostic only.
    int lastIterationCount() const { return iterationsRun; }
    QMap<ANCHOR_IMEI_t, AnchorXYZ> anchorXyzMap;
    QList<ANCHOR_IMEI_t> anchorImeiList; // in key order, duplicates kept
    int solveAnchorNum = 0;
    QList<AnchorXYZ> solveAnchorXyz;
    int anchorCount = 0;
    // Working arrays of a solve, sized once from anchorCount so that any set
    // the solver accepts (at most anchorCount anchors) fits.
    std::vector<double> anchorDistance; // anchorCount distances
    std::vector<double> matrixH;        // anchorCount - 1 rows of 2, row-major
    std::vector<double> matrixZ;        // anchorCount - 1 residuals
    TAG_XYZ_t tagXyz{0.0, 0.0, 0.0};
    double lastDelta[3];
    double xMin = 0.0;
    double xMax = 0.0;
    double yMin = 0.0;
    double yMax = 0.0;
    TAG_XYZ_t centerPoint{0.0, 0.0, 0.0};
    QMap<TAG_IMEI_t, TAG_XYZ_t> tagLastXyz;
    double tagHigh = 0.0;
    bool smoothEnable = true;
    // weighted_solve: each iteration weights the range differences by the
    // inverse of their covariance (they all share the reference anchor's
    // noise) instead of equally; matrixH and matrixZ then hold the whitened
    // rows (algoWhitenDifferences).
    bool weightedSolve = false;
    // Accuracy in real rooms, each off when its key is absent: nlos_rejection
    // (leave out anchors that hear the tag through an obstacle), track_filter
    // (constant-velocity Kalman filter instead of the moving mean),
    // report_accuracy (each report's horizAccuracy from its covariance);
    // range_noise (m, 1-sigma per anchor; "auto" or absent: learned) and
    // track_accel (m/s^2) tune them. anchor_offset_correction: each anchor's
    // learned constant offset is taken off its times before the solve.
    bool nlosEnable = false;
    bool trackEnable = false;
    bool reportAccuracy = false;
    bool offsetCorrection = false;
    double rangeNoise = 0.1; // the configured number; 0: learned
    SiteLearning learning;
    NlosRejection nlos;
    TrackFilter track;
    QMap<TAG_IMEI_t, QList<TAG_XYZ_t>> smoothWindow;
    int smoothLength = 11;
    int smoothStartHalfLength = 5;
    double smoothRedundant = 10.0;
    // Monotonic milliseconds (monotonicNowMs) of each tag's last accepted
    // smoothed position; not a time of day, so midnight does not matter.
    QMap<TAG_IMEI_t, qint64> smoothLastTime;

private:
    void sizeWorkingArrays();
    bool smoothSettingsUsable() const;
    void algoWhitenDifferences(int rows);
    // tagXyz at the tag's last solution (the centre for a new tag), and the
    // previous correction reset: the start of every solve.
    void algoStartFrom(const TAG_IMEI_t &tag);
    // The iterations of a solve of n anchors, xyz(i) the coordinates of the
    // i-th, rangeDifference filled in.
    template <typename Xyz>
    const TAG_XYZ_t *algoIterate(const TAG_IMEI_t &tag, int n, const Xyz &xyz);

    void algoReadAccuracySettings();
    // algoTaylorSet's solve from `start` (null: the hall's centre), with
    // `reciprocal` from rows made there already (fixSolve); its outcome
    // into *solve. Reads and writes no tag's start: the NLOS step keeps its
    // tags' own.
    const TAG_XYZ_t *algoSolveSet(const FixAnchors &set, const TAG_XYZ_t *start, const double *reciprocal,
                                  FixResiduals *fit, FixSolve *solve);

    std::vector<double> rangeDifference; // anchorCount - 1 metres, fixed per solve
    FixResiduals solveRows; // algoTaylorSet's rows and misfits for a caller that wants no fit
    NlosFix located; // algoLocate's working storage, the last set's fix
    QList<unsigned long long> correctedTimes; // a set's times, offsets taken off (without the NLOS step)
    Clock clock;
    // Why the last algoTaylor call gave no position: the counter to bump.
    // Numerical failures (divergence, a singular or non-finite step) unless
    // another reason is set.
    metrics::Counter solveFailure = metrics::Counter::FailedDivergence;
    // With report_accuracy, the covariance (xx, xy, yy) of each position in
    // a tag's smoothing window, the newest last: the moving mean's.
    QMap<TAG_IMEI_t, QList<FixCovariance>> smoothVariance;
    int iterationsRun = 0;
};

#endif // ALGORITHM_H
