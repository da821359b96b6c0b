#ifndef FIX_RESIDUALS_H
#define FIX_RESIDUALS_H

#include "common/global_data.h"

#include <QList>
#include <QVarLengthArray>

// The residual step after a solve: how far each anchor's reception time
// disagrees with the solved position, and how precise that position is.
//
// The range differences against the set's first anchor are read as ranges
// with one unknown offset, the tag's send time: r_i = |p - a_i| + c + n_i,
// with the same noise sigma at every anchor. With the offset fitted as the
// mean over the anchors used, each anchor has a residual of its own whichever
// anchor is the reference, and the sum of their squares over sigma^2 is
// chi-square with (anchors used - 3) degrees of freedom when the ranges carry
// noise only; an extra path on one anchor (a body, a cabinet in the way)
// shows as a large positive residual of that anchor. This model has the same
// least-squares position as the weighted range-difference solve.
//
// Everything here is in units of sigma^2 = 1: callers scale by their noise.

// One anchor of a solved set.
struct FixAnchor {
    AnchorXYZ xyz;
    double range = 0; // metres, reception-time difference against the set's first anchor
    bool used = true; // took part in the solve
};
using FixAnchors = QVarLengthArray<FixAnchor, 16>;

// QVarLengthArray::resize reallocates through an out-of-line call even to
// the size it has; a fit's arrays keep theirs from set to set.
template <typename T, int Prealloc>
inline void sizeTo(QVarLengthArray<T, Prealloc> &array, int size)
{
    if (array.size() != size)
        array.resize(size);
}

// Per anchor: the prediction error, what its range says minus what the other
// anchors predict (metres), and its weight, the inverse of its variance in
// units of sigma^2 (0: the error says nothing). For an anchor used in the
// solve this is the deleted residual e / (1 - h), h its leverage, of weight
// 1 - h; for one left out, its residual against the solve of the others, of
// weight 1 / (1 + h). Either way its expectation is the anchor's extra path.
struct FixPrediction {
    double error = 0;
    double weight = 1;
};

struct FixResiduals {
    QVarLengthArray<FixPrediction, 16> anchors; // in the order of the set
    double chiSquare = 0; // sum of squared residuals of the used anchors, sigma = 1
    int degrees = 0;      // used anchors - 3
    // Horizontal covariance of the position for sigma = 1 (xx, xy, yy).
    double cxx = 0, cxy = 0, cyy = 0;

    // The fit's inner workings, for fixLeaveOut: per anchor its residual
    // (metres) and its row (dx, dy, 1) of the design matrix; the inverse of
    // the normal matrix, row-major.
    QVarLengthArray<double, 16> residual;
    QVarLengthArray<double, 32> gradient; // dx, dy per anchor
    double inverse[9] = {};
};

// What leaving the used anchors i and j (j < 0: i alone) out of the fit
// would give, from this fit's residuals without solving again (exact for
// the linearised fit, a few millimetres off for shifts of a metre at 10 m):
// the chi-square of the rest (sigma = 1) and the extra paths the two
// anchors' ranges appear to carry (the shifts that explain them). False when
// the rest would leave the position undetermined.
bool fixLeaveOut(const FixResiduals &fit, int i, int j, double *chiSquare, double *shiftI, double *shiftJ);

// Sums over the used anchors of a set linearised at one point: of each
// anchor's row g = (gx, gy) of the design matrix (the unit vector from the
// anchor to the point), of their products, and of the misfits m (measured
// range minus distance) with them. The solve's iterations make them anyway.
struct FixSums {
    double xx = 0, xy = 0, yy = 0, x = 0, y = 0, count = 0;
    double xm = 0, ym = 0, m = 0;
    void add(double gx, double gy, double misfit)
    {
        xx += gx * gx;
        xy += gx * gy;
        yy += gy * gy;
        x += gx;
        y += gy;
        count += 1;
        xm += gx * misfit;
        ym += gy * misfit;
        m += misfit;
    }
};

// fixResiduals of a set already linearised: out->gradient and
// out->residual hold every anchor's row and misfit at one point (the last
// iteration's of the solve, no distance computed again), `sums` their sums
// over the used anchors. The fit's step from that point is exact for the
// linearised model, so it need not be the solved position itself.
bool fixFit(const FixAnchors &set, const FixSums &sums, bool weighted, FixResiduals *out);

// The Gauss-Newton solve of the used anchors of a set from `start` (the
// first used anchor the reference): the unweighted range-difference step,
// or with `weighted` the step of the ranges with the send time fitted,
// which is the whitened differences' step. Each iteration's rows and
// misfits are those of the residual fit as well: the last one's stay in
// *rows for every anchor of the set, with their sums over the used ones,
// for fixFit, no distance computed again; the fit's residuals are then
// exact to the square of the last step over the distances to the anchors,
// its covariance and leverages to that ratio (1% for 5 cm at 5 m). It ends
// at a step below 1 cm, or below 20 cm when the step after it is bound to
// stay under 3 mm (that check iteration would move the position by less
// than a tenth of the noise), or after ten iterations (`converged` false).
// Shared with algoTaylor, so that both solves stop alike.
namespace fixsolve {
// A larger range difference means the anchors' clocks are not synchronised:
// no hall is 100 km across.
constexpr double kMaxRangeDifference = 100000.0;
// Both corrections below this (metres) end the iterations.
constexpr double kConvergedStep = 0.01;
constexpr int kMaxIterations = 10;
// The previous correction at the start of every solve.
constexpr double kFirstDelta = 10000.0;
} // namespace fixsolve

struct FixSolve {
    enum Outcome { Solved, TooFew, Unsynchronised, Singular, NotFinite, Diverged };
    Outcome outcome = Solved;
    bool converged = false;
    int iterations = 0;
    int used = 0; // anchors used (fewer than three: TooFew)
    TAG_XYZ_t position{0, 0, 0};
    TAG_XYZ_t at{0, 0, 0}; // the last iteration's linearisation point
    FixSums sums;          // its sums over the used anchors
};
// Into *out, field by field (a copy of the whole from the solve's own
// narrow stores would wait for them). With `reciprocal`, *rows hold every
// anchor's row and misfit at `start` already (fixRows) and reciprocal[i]
// is 1 / anchor i's distance from it: the first iteration only sums them.
void fixSolve(const FixAnchors &set, const TAG_XYZ_t &start, bool weighted, FixResiduals *rows,
              const double *reciprocal, FixSolve *out);
// Every anchor's row, misfit and 1 / distance at `at` into *rows and
// reciprocal (the set's size), as fixSolve's first iteration makes them.
// False when `at` is on top of an anchor (no direction to it).
bool fixRows(const FixAnchors &set, const TAG_XYZ_t &at, FixResiduals *rows, double *reciprocal);

// Residuals, prediction errors and covariance of the position `p` solved
// from the used anchors of `set`. `weighted`: the position came from the
// weighted solve (covariance: the inverse information); otherwise from the
// unweighted range-difference solve with the first used anchor as reference,
// whose covariance is larger because it ignores that all differences share
// the reference's noise. False, with `out` undefined, when fewer than three
// anchors are used or their geometry leaves the position undetermined
// (collinear anchors, the tag on top of one): no fix.
bool fixResiduals(const FixAnchors &set, const TAG_XYZ_t &p, bool weighted, FixResiduals *out);

// The residuals the fit would have if each anchor's range carried shift[i]
// metres less (an offset taken off): per anchor residual[i] - (shift[i] - its
// share of the used anchors' shifts that the fit absorbs). Linear, so exact
// for the linearised fit. Into out (the set's size).
void fixShiftedResiduals(const FixAnchors &set, const FixResiduals &fit, const double *shift, double *out);

// A weighted fit of the set near `p`, one linear step (the Gauss-Newton step
// of the range model from p, no solve): anchor i's range taken down by
// correction[i] metres (null: none) and weighted by weight[i], the inverse of
// its variance in units of sigma^2 (1: an anchor of noise only, 0: left out;
// its `used` flag is not read). An anchor whose range carries an estimated
// extra path keeps its geometry this way without pulling: corrected by the
// estimate and weighted by sigma^2 / (sigma^2 + the estimate's variance).
struct FixRefit {
    TAG_XYZ_t position{0, 0, 0}; // p moved by the step; the height is p's
    // Horizontal covariance for sigma = 1 (xx, xy, yy): the weighted fit's
    // inverse information, which holds when the weights are the inverse
    // variances they stand for.
    double cxx = 0, cxy = 0, cyy = 0;
    double chiSquare = 0; // weighted sum of squared residuals after the step, sigma = 1
};
// False when the weighted anchors leave the position undetermined (fewer
// than three of weight above 0, collinear, the tag on top of one).
bool fixRefit(const FixAnchors &set, const TAG_XYZ_t &p, const double *weight, const double *correction,
              FixRefit *out);

// The set's anchors, all used, with their ranges against the first.
// `xyz` lines up with `times`.
FixAnchors fixAnchors(const QList<AnchorXYZ> &xyz, const QList<unsigned long long> &times);
// The same for a set whose coordinates are filled in already; with
// `offsets`, each anchor's range read offsets[i] metres less (a constant
// offset taken off, exactly rather than in whole ticks).
void fixRanges(FixAnchors &set, const QList<unsigned long long> &times, const double *offsets = nullptr);

// The variance of one range to scale a fit's covariance by: sigma^2, or the
// fit's mean square residual when that fails the 99% test (the ranges then
// carry more noise than sigma says, and the reported accuracy grows with it).
double fixNoiseVariance(const FixResiduals &fit, double sigma);

// Chi-square quantile at 99% (one false alarm in 100 clean fixes) for the
// given degrees of freedom (at least 1).
double chiSquare99(int degrees);

#endif // FIX_RESIDUALS_H
