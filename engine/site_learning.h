#ifndef SITE_LEARNING_H
#define SITE_LEARNING_H

#include "engine/fix_residuals.h"

#include <QHash>
#include <QList>
#include <QtGlobal>

#include <vector>

// What the residuals of many accepted fixes tell about the site itself:
//
// - The timing noise of each anchor and of the site (range_noise=auto, also
//   when the key is absent): a robust scale, the median of the standardised
//   residuals' magnitudes over 0.6745, over each anchor's latest kNoiseWindow
//   residuals and the site's latest kSiteWindow. Obstacles and spikes, a
//   minority of residuals, barely move a median. Starts at 0.1 m.
// - The constant offset of each anchor (an antenna delay or cable off by a
//   constant, late positive), relative to the anchors' median (a robust
//   mean: time differences see offsets only relative to each other, and so
//   one anchor off reads as off by all of it). Least squares over many
//   fixes of many tags: each fix's residuals are the anchors' offsets
//   projected by the fit (the part the position and send time do not
//   absorb) plus noise, so the normal equations of the offsets add up the
//   fits' projections and residuals, decayed to follow a slow change. One
//   fix cannot tell an offset from a shift of the tag; fixes all over the
//   hall can. Residuals enter net of the offsets estimated so far, clipped
//   to 2.5 of their standard deviations, so that a spike or one tag's
//   obstacle moves the estimate by little; only fits with two degrees of
//   freedom or more (with one, every anchor's residual is the same number
//   scaled). The per-tag NLOS evidence is taken net of these offsets.
//
// Both learn from a sample of the fixes, drawn at random (a fixed order
// would keep or drop the same tags of a site whose tags take turns) before
// any work for the set: the noise from one in kNoiseSample, the offsets
// from one in kOffsetSample. Once the set's anchors have taken part in a
// few hundred positions, their normal matrix (the fits' geometry, a pass
// over the set's pairs) from one in kMatrixSample of those; once the
// site's noise stays where it was, the noise from one in kSteadyNoiseSample.
// Many tags at 10 Hz give far more fixes than either needs, and the
// offsets' normal equations cost more than the solve itself.
//
// One per solver, used by the algorithm thread only.
// Whether two sets list the same anchors in the same order: compared in
// line, every id, no branch per id (a call of memcmp costs more than the
// comparisons of a set).
inline bool sameIds(const quint64 *a, const quint64 *b, int n)
{
    quint64 differ = 0;
    for (int i = 0; i < n; ++i)
        differ |= a[i] ^ b[i];
    return differ == 0;
}

class SiteLearning
{
public:
    // The offsets learn from one fix in two (see kOffsetSample).
    static constexpr quint64 kOffsetMask = 1;

    // fixedNoise > 0: range_noise set to a number, used as it is (the anchors'
    // noise is still estimated and exported); 0: learned.
    explicit SiteLearning(double fixedNoise = 0);

    bool noiseLearned() const { return fixed <= 0; }
    // The noise to work with: the fixed number, or the site's estimate.
    double noise() const { return fixed > 0 ? fixed : siteNoise; }
    double siteEstimate() const { return siteNoise; }
    // An anchor's estimates (ids as numbers, see idNumber); the start values
    // for an anchor not seen yet. Its noise as of the last logDue().
    double anchorNoise(quint64 anchor) const;
    double anchorOffset(quint64 anchor) const; // relative to the anchors' median, m
    qint64 anchorPositions(quint64 anchor) const;

    // The offset to take off each anchor of a set before the solve, in whole
    // ticks of the anchors' clock, and in metres into *applied (n entries);
    // with `shift`, remainingOffsets() of that correction into it as well.
    void correction(const quint64 *anchors, int n, qint64 *ticks, double *applied, double *shift = nullptr) const;
    // The offsets not yet taken off the set's anchors (`applied` from
    // correction(), or null when nothing was), m: what the per-tag evidence
    // is to be net of.
    void remainingOffsets(const quint64 *anchors, int n, const double *applied, double *shift) const;
    // The same with nothing taken off: the set's offsets relative to their
    // median, n entries, valid until the next call of the learning.
    const double *remainingOffsets(const quint64 *anchors, int n) const
    {
        // The usual case: the last set again, its offsets as they were.
        if (n == int(lastIds.size()) && cached.generation == generation && cached.solves == solves
            && sameIds(anchors, lastIds.data(), n))
            return cached.relative.data();
        return setOffsets(anchors, n).relative.data();
    }

    // Learns from one accepted fit of a set (anchors in the set's order)
    // whose ranges carried `shift` of not yet corrected offset (null: the
    // offsets as learned, none corrected). `net`: the fit's residuals net
    // of that shift (fixShiftedResiduals) where the caller has them
    // already, else null. Inline: most fixes are not drawn, and cost the
    // draw.
    void learn(const quint64 *anchors, const FixAnchors &set, const FixResiduals &fit, const double *shift,
               const double *net = nullptr)
    {
        if (fit.degrees < 1 || fit.anchors.size() != set.size())
            return;
        draw ^= draw << 13;
        draw ^= draw >> 7;
        draw ^= draw << 17;
        const int n = set.size();
        if (fit.degrees >= 2 && (draw & noiseMask) != 0 && ((draw >> 16) & kOffsetMask) != 0 && lastKnown
            && n == int(lastIds.size()) && sameIds(anchors, lastIds.data(), n)) {
            ++pending; // counted in the positions of the set, the one looked up last
            ++sinceSolved;
            return;
        }
        learnDrawn(anchors, set, fit, shift, net);
    }
    // Starts the offsets afresh (the anchors' coordinates changed: what was
    // learned against the old ones would pull the new); the noise stays.
    void forgetOffsets();

    // About once a second (monotonic ms): the per-anchor and site gauges,
    // once a minute a line while the site's noise moved by more than 10%,
    // and the offset lines (once an hour per anchor with an offset of 5 cm
    // or more, and at every change of more than 5 cm).
    void logDue(qint64 nowMs);

private:
    void learnDrawn(const quint64 *anchors, const FixAnchors &set, const FixResiduals &fit, const double *shift,
                    const double *net);
    // The noise's sampling mask for the state its estimate is in.
    void sampleRates() const;
    struct Anchor {
        int row = -1; // in the normal equations; -1: beyond kOffsetAnchors
        std::vector<float> residuals; // |standardised residual|, a ring
        int next = 0;
        qint64 added = 0; // (a site runs for years: thousands a second)
        double noise = 0.1;
        double offset = 0; // raw, common mode included
        double weight = 0; // > 0 once the offset was estimated
        // As of the last solve: the offset relative to the anchors' median,
        // and the correction taken off, in whole ticks and in metres.
        double relative = 0;
        qint64 ticks = 0;
        double applied = 0;
        qint64 positions = 0;
        double loggedOffset = 0;
        qint64 loggedMs = -1; // -1: never logged
    };
    // The offsets' part of a sampled fit beyond the usual one (an anchor
    // left out or clipped, the matrix).
    void learnOffsets(Anchor *const *entries, const FixAnchors &set, const FixResiduals &fit, const double *net,
                      double clipSquare, bool settled, bool matrixSampled);
    double medianScale(const std::vector<float> &values);
    // The anchor's entry through a small direct-mapped cache (a set's eight
    // lookups per call cost more than the learning's arithmetic otherwise);
    // QHash's nodes stay where they are, and entries are never removed.
    const Anchor *find(quint64 id) const;
    Anchor *entry(quint64 id);
    // The set's entries (null for an anchor not seen yet), kept for the
    // next call: a site's sets name the same anchors in the same order fix
    // after fix, and then one comparison replaces n lookups.
    Anchor *const *lookup(const quint64 *ids, int n) const;
    // Adds the fits counted in `pending` to the last set's anchors'
    // positions (one pass per sample or new set, not per fix), and notes
    // whether they have all settled.
    void countPositions() const;
    void noteSettled() const;
    struct SetOffsets {
        quint64 generation = ~0ULL; // of the set they belong to
        quint64 solves = ~0ULL;     // as of this solve
        std::vector<qint64> ticks;
        std::vector<double> applied, relative, remaining;
    };
    const SetOffsets &setOffsets(const quint64 *ids, int n) const;
    double medianOffset() const;
    void flushSums();
    void solveOffsets();
    double meanOffset() const;

    double fixed;
    double siteNoise = 0.1;
    std::vector<float> site;
    int siteNext = 0;
    qint64 siteAdded = 0;
    QHash<quint64, Anchor> anchors;
    // Normal equations of the offsets (rows in order of first sight), the
    // fits since they were last solved.
    std::vector<double> normal; // kOffsetAnchors^2, row-major, the lower triangle kept
    std::vector<double> rhs;
    std::vector<quint64> rowAnchor;
    int sinceSolved = 0; // fits offered since the last solve
    quint64 draw = 0x2545F4914F6CDD1DULL; // xorshift state of the sampling
    double median = 0; // of the offsets, as last solved
    struct CacheSlot {
        quint64 id = 0;
        Anchor *anchor = nullptr;
    };
    mutable CacheSlot cache[64];
    mutable std::vector<quint64> lastIds; // entries() of the last set
    mutable std::vector<Anchor *> lastEntries;
    mutable quint64 generation = 0; // lookups that changed the last set
    quint64 rowsAssigned = ~0ULL;   // the generation whose anchors have rows
    std::vector<int> setRows;       // of that generation's anchors
    bool setRowsAll = false;        // every one of them has a row
    // The usual sampled fits' errors of that set since they last went into
    // the right side (in its order; flushSums() adds them there).
    std::vector<double> setSum;
    mutable int pending = 0;        // fits of the last set not yet in positions
    mutable bool lastSettled = false; // every anchor of the last set has kSettledPositions
    bool noiseSteady = false;       // the site's noise within kNoiseSteady of its last estimate
    mutable quint64 noiseMask = 0;  // a fix is drawn where draw's bits under it (or kOffsetMask) are 0
    mutable bool lastKnown = false; // every anchor of lastIds has its entry
    quint64 solves = 0; // of the offsets, and their restarts
    mutable SetOffsets cached;
    std::vector<float> scratch;
    std::vector<double> solveBuffer;
    double minuteNoise = 0.1; // at the start of the minute
    qint64 minuteStartMs = -1;
};

#endif // SITE_LEARNING_H
