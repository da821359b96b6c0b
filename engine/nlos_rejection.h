#ifndef NLOS_REJECTION_H
#define NLOS_REJECTION_H

#include "common/global_data.h"
#include "engine/fix_residuals.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QVarLengthArray>
#include <QVector>
#include <QtGlobal>

#include <type_traits>

// NLOS rejection (nlos_rejection=true): an anchor that hears a tag through an
// obstacle receives it late, by an extra path of a few centimetres (wood) to
// half a metre (a metal cabinet), now and then by metres; such a range pulls
// the whole position towards it. Anchors of doubtful range are left out of
// the solve, at most two per position (with a track, up to four, judged with
// its expectation) and never so many that fewer than four remain. Two kinds
// of evidence decide which:
//
// - Per tag and anchor, a running estimate of the anchor's extra path from its
//   prediction errors (FixPrediction) over the tag's recent fixes. An
//   obstacle stays while the tag stands near it, so this sees extra paths far
//   below the noise of one fix. An anchor whose estimate is significantly
//   positive is left out before the solve. The estimate forgets with every
//   fix and with the distance walked, and starts afresh when a prediction
//   error breaks with it (the obstacle came or went).
//   Without a track, an anchor left out is taken back after the solve when
//   this estimate explains its range (keepCorrected, a linear re-fit, no
//   second solve): its range taken down by the estimate, its weight lowered by the estimate's variance
//   and the spread of extra paths round their estimates (learned over the
//   site's kept anchors), unless it then misses the rest by more than three
//   standard deviations. It keeps its geometry without pulling, and counts
//   as used: the anchors reported left out are those truly dropped.
// - The residual test of each fix: chi-square of the residuals at 99%
//   (chiSquare99). When it fails, the whole set decides: the one anchor, else
//   the two, whose leaving out passes the test with positive extra paths
//   (fixLeaveOut, no solve per candidate), and the set is solved again
//   without them. This catches the first fix behind a new obstacle and the
//   rare spike of metres.

// One anchor of one tag: the evidence (sums of its prediction errors and of
// their weights 1 / variance, decayed per fix), where its coordinates are,
// and its tallies of the current minute. 40 bytes, so that a tag's eight
// anchors take five cache lines.
struct NlosEvidence {
    quint64 anchor = 0;     // the six id bytes as a number, byte 0 highest
    double weightedSum = 0; // m / m^2
    double weight = 0;      // 1/m^2
    int coordinates = -1;   // index into the geometry's coordinates
    int geometry = -1;      // the geometry generation that index comes from
    int positions = 0;      // this minute: positions it took part in
    int leftOut = 0;        // ... and was left out of
    double bias() const { return weight > 0 ? weightedSum / weight : 0; }
};

struct NlosTagState {
    QVarLengthArray<NlosEvidence, 8> evidence;
    int current = -1; // the geometry generation all of `evidence` is of (-1: not known)
    TAG_XYZ_t last{0, 0, 0}; // the last fix, where the distance walked is measured from
    bool hasLast = false;
    // Without a track, where the next solve starts: the last converged
    // solve, or the fix when anchors were left out; none after a solve
    // diverged (the solver's default then).
    TAG_XYZ_t start{0, 0, 0};
    bool hasStart = false;
    // The largest estimated extra path (m) among the entries held late by
    // their own evidence alone (z above the gate; -1 when none): below the
    // least bias, no anchor can be a suspect and none is looked at.
    double mostLate = -1;
};

// Where a solve starts: `point` (null: the solver's own default, for a tag
// without one) and, with `reciprocal`, every anchor's row made there
// already in the fit it is given (fixRows).
struct NlosStart {
    const TAG_XYZ_t *point = nullptr;
    const double *reciprocal = nullptr;
};

// The NLOS step's outcome of one set: the position, the anchors left out and
// the final fit, from which the caller makes the Fix (engine/fix.h).
struct NlosFix {
    TAG_XYZ_t position{0, 0, 0};
    QVarLengthArray<int, 2> leftOut;   // indices into the set
    FixAnchors set;                    // the set's anchors, `used` as solved
    FixResiduals fit;                  // residuals of the final solve; its covariance `position`'s
    // With a track: the horizontal covariance (m^2) of the shift that late
    // anchors the evidence names but the fit kept (more were late than may
    // be left out) give the position; the fit's covariance does not see it.
    double biasXx = 0, biasXy = 0, biasYy = 0;
    // The anchors whose coordinates `set` holds (ids, as the NLOS step copied
    // them) and the generation of the geometry they come from (-1: none).
    QVarLengthArray<quint64, 16> placed;
    int placedGeometry = -1;
};

// The track's expectation of a tag's position (with the tracking filter on):
// horizontal position and the variance of its error (trace, m^2); the
// height is the solve's.
struct NlosPrior {
    double x = 0, y = 0, z = 0;
    double variance = 0;
};

// Per anchor over a minute: positions it took part in, how many it was left out of.
struct NlosMinuteCount {
    int positions = 0;
    int leftOut = 0;
};

class NlosRejection
{
public:
    // The solve of the set's used anchors (the first of them the reference)
    // from `start` and its residual fit into *fit; null when either fails.
    // How the iterations ended into *outcome.
    // A reference to the caller's callable, which outlives the call: no
    // copy and no allocation per set (a std::function holding more than two
    // pointers allocates).
    class Solve
    {
    public:
        template <typename F, typename = std::enable_if_t<!std::is_same<std::decay_t<F>, Solve>::value>>
        Solve(const F &f) // implicit, as a std::function would be
            : object(&f),
              call([](const void *o, const FixAnchors &set, const NlosStart &start, FixResiduals *fit,
                      FixSolve *outcome) { return (*static_cast<const F *>(o))(set, start, fit, outcome); })
        {
        }
        // A temporary would be gone before the call: refused.
        template <typename F, typename = std::enable_if_t<!std::is_same<std::decay_t<F>, Solve>::value>>
        Solve(const F &&) = delete;
        Solve &operator=(const Solve &) = delete;
        const TAG_XYZ_t *operator()(const FixAnchors &set, const NlosStart &start, FixResiduals *fit,
                                    FixSolve *outcome) const
        {
            return call(object, set, start, fit, outcome);
        }

    private:
        const void *object;
        const TAG_XYZ_t *(*call)(const void *, const FixAnchors &, const NlosStart &, FixResiduals *, FixSolve *);
    };

    // rangeNoise: 1-sigma timing noise of one anchor, metres of range.
    explicit NlosRejection(double rangeNoise = 0.1) : sigma(rangeNoise) {}

    // The configured coordinates; takes effect from the next set on.
    void nlosSetGeometry(const QMap<ANCHOR_IMEI_t, AnchorXYZ> &coordinates);

    // The position of the tag's set with anchors of doubtful range left out,
    // or false (no position) when no solve succeeds, an anchor has no
    // coordinates or the anchors' geometry leaves the position undetermined.
    // Counts the anchors left out (metrics and the minute's tallies).
    // `prior`: where the tag's track expects it (null: no track), whose
    // ranges point out anchors the evidence does not hold late yet.
    // `ids`: the anchors' ids as numbers (idNumber), when the caller has them.
    // `offsets`: per anchor a constant offset (m) taken off its range before
    // the solve (null: none), for the ranges as corrected.
    // `out` is working storage: its set keeps the anchors' coordinates for
    // the next set of the same anchors (the caller leaves them as they are).
    bool nlosLocateTag(const TAG_IMEI_t &tag, const QList<ANCHOR_IMEI_t> &anchors,
                       const QList<unsigned long long> &times, bool weighted, const Solve &solve, NlosFix *out,
                       const NlosPrior *prior = nullptr, const quint64 *ids = nullptr,
                       const double *offsets = nullptr);
    void nlosForgetTag(const TAG_IMEI_t &tag);
    int nlosTrackedTags() const { return tags.size(); }

    // Call about once a second (monotonic ms): when a minute has passed since
    // the tallies started, one info line per anchor left out of more than
    // 10% of its positions in it, and the tallies start again.
    void nlosLogMinute(qint64 nowMs);

    double rangeNoise() const { return sigma; }
    // The noise from the next set on (range_noise=auto learns it).
    void nlosSetRangeNoise(double rangeNoise) { sigma = rangeNoise; }
    // The tag's evidence of the anchor (all zero when it has none).
    NlosEvidence nlosEvidence(const TAG_IMEI_t &tag, const ANCHOR_IMEI_t &anchor) const;
    // Where the tag's next solve starts without a track (NlosTagState::start);
    // false when it has no start of its own.
    bool nlosStart(const TAG_IMEI_t &tag, TAG_XYZ_t *at) const;

private:
    bool locate(NlosTagState &state, const QList<ANCHOR_IMEI_t> &anchors, const QList<unsigned long long> &times,
                const QVarLengthArray<int, 16> &entries, bool weighted, const Solve &solve, NlosFix *out,
                const NlosPrior *prior, const double *offsets);

    // The anchors of `left` (left out of `fit`, of the solved `position`) to
    // keep after all, corrected by their evidence and weighted down, and the
    // fit with them; none when they do not fit with the rest.
    QVarLengthArray<int, 2> keepCorrected(const NlosTagState &state, const QVarLengthArray<int, 16> &entries,
                                          const FixAnchors &set, const FixResiduals &fit, const TAG_XYZ_t &position,
                                          const QVarLengthArray<int, 2> &left, FixRefit *refit);

    double sigma;
    // Variance (m^2) of extra paths round their per-tag estimates, learned.
    double keptSpread = 0;
    QHash<quint64, NlosTagState> tags; // by the tag's id as a number
    QVector<AnchorXYZ> coordinates;   // the configured anchors' coordinates
    QHash<quint64, int> coordinateOf; // their index, by the anchor's id as a number
    int geometry = 0;                 // generation of the two, unique in the process (0: none)
    FixSolve outcome; // the solve's, kept: not cleared per solve
    QHash<quint64, NlosMinuteCount> departed; // tallies of tags forgotten this minute
    qint64 minuteStartMs = 0;                 // 0: not started
};

#endif // NLOS_REJECTION_H
