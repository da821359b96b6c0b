#ifndef NLOS_REJECTION_H
#define NLOS_REJECTION_H

#include "common/global_data.h"
#include "engine/fix_residuals.h"

#include <QList>
#include <QMap>
#include <QVarLengthArray>
#include <QtGlobal>

#include <functional>

// NLOS rejection (nlos_rejection=true): anchors that hear a tag through an
// obstacle receive it late, by an extra path of a few centimetres (wood) to
// half a metre (a metal cabinet), now and then by metres; such a range pulls
// the whole position towards it. Two lines of defence, both leaving an
// anchor out of the solve (at most two per position, never below four):
//
// - Evidence per tag and anchor: a running estimate of each anchor's extra
//   path from its prediction errors (FixPrediction) over the tag's recent
//   fixes. An obstacle stays while the tag stands near it, so this sees
//   biases far below the noise of one fix. An anchor whose estimate is
//   significantly positive (kEvidenceGate standard errors, and at least
//   kEvidenceLeastBias times the noise) is left out before the solve. The
//   estimate forgets with every fix and with the distance walked, and starts
//   afresh when a prediction error breaks with it (the obstacle came or went).
// - The residual test of each fix: chi-square of the residuals at 99%
//   (chiSquare99); when it fails, the anchor with the largest positive
//   normalised prediction error (the one whose removal lowers chi-square
//   most) is left out and the set solved again. This catches the first fix
//   behind a new obstacle and the rare spike of metres.

// One anchor's evidence for one tag: sums of its prediction errors and of
// their weights (1 / variance, 1/m^2), both decayed per fix.
struct NlosEvidence {
    ANCHOR_IMEI_t anchor;
    double weightedSum = 0; // m / m^2
    double weight = 0;      // 1/m^2
    double bias() const { return weight > 0 ? weightedSum / weight : 0; }
};

struct NlosTagState {
    QVarLengthArray<NlosEvidence, 8> evidence;
    TAG_XYZ_t last{0, 0, 0};
    bool hasLast = false;
};

// The outcome of one set.
struct NlosFix {
    TAG_XYZ_t position{0, 0, 0};
    double cxx = 0, cxy = 0, cyy = 0; // horizontal covariance, m^2
    QVarLengthArray<int, 2> leftOut;   // indices into the set
};

// Per anchor, over the current minute: positions it took part in and how
// many of them it was left out of.
struct NlosMinuteCount {
    int positions = 0;
    int leftOut = 0;
};

class NlosRejection
{
public:
    // algoTaylor on the given anchors and reception times (entry 0 the reference).
    using Solve = std::function<const TAG_XYZ_t *(const QList<ANCHOR_IMEI_t> &, const QList<unsigned long long> &)>;

    // rangeNoise: 1-sigma timing noise of one anchor, metres of range.
    explicit NlosRejection(double rangeNoise = 0.1) : sigma(rangeNoise) {}

    // The position of one set with anchors of doubtful range left out, or
    // false (no position) when no solve succeeds or the anchors' geometry
    // leaves it undetermined. `xyz` lines up with `anchors`.
    bool nlosLocate(NlosTagState &state, const QList<ANCHOR_IMEI_t> &anchors, const QList<AnchorXYZ> &xyz,
                    const QList<unsigned long long> &times, bool weighted, const Solve &solve, NlosFix *out);

    // The per-tag state of the set's tag, and counting: nlosLocate with the
    // tag's state, then the minute tallies and the since-start totals.
    bool nlosLocateTag(const TAG_IMEI_t &tag, const QList<ANCHOR_IMEI_t> &anchors, const QList<AnchorXYZ> &xyz,
                       const QList<unsigned long long> &times, bool weighted, const Solve &solve, NlosFix *out);
    void nlosForgetTag(const TAG_IMEI_t &tag) { tags.remove(tag); }
    int nlosTrackedTags() const { return tags.size(); }

    // Call about once a second: when a minute has passed since the tallies
    // started, one info line per anchor left out of more than 10% of its
    // positions in it, and the tallies start again. Monotonic milliseconds.
    void nlosLogMinute(qint64 nowMs);

    double rangeNoise() const { return sigma; }

private:
    double sigma;
    QMap<TAG_IMEI_t, NlosTagState> tags;
    QMap<ANCHOR_IMEI_t, NlosMinuteCount> minute;
    qint64 minuteStartMs = 0; // 0: not started
};

#endif // NLOS_REJECTION_H
