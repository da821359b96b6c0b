#include "engine/site_learning.h"

#include "common/common_function.h"
#include "common/logwriter.h"
#include "common/metrics.h"
#include "engine/anchor_clock.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kStartNoise = 0.1;
// Each anchor's noise is the scale of its latest 400 residuals (some 400
// positions; a median of 400 is within 6% of the truth at 1 sigma), the
// site's of its latest 2048: settled within a few hundred positions, and
// following a change over a few hundred more.
constexpr int kNoiseWindow = 400;
constexpr int kSiteWindow = 2048;
// The site's median is taken again after this many new residuals (at every
// doubling before, so the first estimates come early), and none before
// kFewest: every 2,048 residuals, some 256 positions of 8 anchors; the
// anchors', which only the metrics and the log show, once a
// second with them.
constexpr int kSiteMedianEvery = 2048;
constexpr int kFewest = 16;
// The median of |N(0, 1)|.
constexpr double kMedianAbsNormal = 0.6745;
// A residual whose leverage leaves less than this share of its variance
// says little about the noise.
constexpr double kLeastFree = 0.05;

// The offsets' normal equations keep this share per fit: a memory of some
// 5,000 fixes. They are solved every kOffsetEvery fixes, for at most
// kOffsetAnchors anchors (the first seen; a larger site is not learned
// beyond them).
constexpr double kOffsetRetain = 0.9998;
constexpr int kOffsetEvery = 32;
// The share of fixes learned from (powers of two): the noise's median needs
// a few hundred residuals per anchor, the offsets some hundreds of fixes
// from all over the hall; sites send thousands a minute. The sample is
// drawn before any work for the set, so that a fix not drawn costs the
// draw. The offsets' right side comes from one fix in kOffsetSample (fewer
// leave the estimate noticeably noisier where few places tell the offsets
// apart), their normal matrix, which costs a pass over the set's pairs,
// from the same fixes while one of the set's anchors has taken part in
// fewer than kSettledPositions positions, then from one in
// kMatrixSample of them: the matrix only weighs the fits' geometry, which a
// site's traffic repeats, and the estimate is the point where the right
// side's prediction errors balance whatever the weights (the matrix sets
// the size of the steps towards it). The noise from one fix in
// kNoiseSample, from one in kSteadyNoiseSample while the site's estimate
// stays within kNoiseSteady of its last. The offsets' memory and the solves
// stay counted in fixes offered; settled sets solve every kSettledEvery.
constexpr quint64 kNoiseSample = 4;
constexpr quint64 kSteadyNoiseSample = 16;
constexpr double kNoiseSteady = 0.10;
constexpr quint64 kOffsetSample = SiteLearning::kOffsetMask + 1;
constexpr quint64 kMatrixSample = 32;
constexpr int kSettledPositions = 512;
constexpr int kSettledEvery = 512;
constexpr int kOffsetAnchors = 64;
// Sets of at most this many anchors take the usual fit's short way.
constexpr int kUsualMost = 16;
// Prediction errors enter clipped to this many of their standard deviations.
constexpr double kOffsetClip = 2.5;
// A pull of every offset towards 0, worth one fix: it keeps the
// equations solvable in directions the fixes have not seen yet (and the
// common offset, which no fix sees), and the first estimates, from a few
// places only, small.
constexpr double kOffsetRidge = 1;
// Named in the log from this size and this many positions on; a change of
// more than kOffsetChange since the last line gives a new one.
constexpr double kOffsetNamed = 0.05;
constexpr int kOffsetNamedPositions = 200;
constexpr double kOffsetChange = 0.05;
constexpr qint64 kHourMs = 3600 * 1000;
constexpr qint64 kMinuteMs = 60 * 1000;
constexpr double kNoiseLogged = 0.10; // a move by more than 10%

// Inline: called for every anchor of a sampled fix, twice.
Q_ALWAYS_INLINE void push(std::vector<float> &ring, int &next, qint64 &added, int window, float value)
{
    if (Q_LIKELY(int(ring.size()) == window))
        ring[size_t(next)] = value;
    else
        ring.push_back(value);
    if (++next == window)
        next = 0;
    ++added;
}

// Whether a median is due after the count went from `before` to `added`:
// at every multiple of `every`, and before it at every power of two from
// kFewest on (the first estimates come early).
bool medianDue(qint64 before, qint64 added, int every)
{
    if (added < kFewest || added == before)
        return false;
    if (added / every != before / every)
        return true;
    return added < every && qCountLeadingZeroBits(quint64(added)) != qCountLeadingZeroBits(quint64(before));
}

void anchorBytes(quint64 number, quint8 id[6])
{
    for (int b = 5; b >= 0; --b, number >>= 8)
        id[b] = quint8(number & 0xff);
}

} // namespace

SiteLearning::SiteLearning(double fixedNoise) : fixed(fixedNoise) { sampleRates(); }

void SiteLearning::sampleRates() const
{
    noiseMask = (noiseSteady ? kSteadyNoiseSample : kNoiseSample) - 1;
}

double SiteLearning::medianScale(const std::vector<float> &values)
{
    scratch.assign(values.begin(), values.end());
    const auto middle = scratch.begin() + std::ptrdiff_t(scratch.size() / 2);
    std::nth_element(scratch.begin(), middle, scratch.end());
    return double(*middle) / kMedianAbsNormal;
}

const SiteLearning::Anchor *SiteLearning::find(quint64 id) const
{
    CacheSlot &slot = cache[(id * 0x9E3779B97F4A7C15ULL) >> 58];
    if (slot.anchor && slot.id == id)
        return slot.anchor;
    const auto it = anchors.constFind(id);
    if (it == anchors.constEnd())
        return nullptr;
    slot.id = id;
    slot.anchor = const_cast<Anchor *>(&it.value());
    return slot.anchor;
}

SiteLearning::Anchor *const *SiteLearning::lookup(const quint64 *ids, int n) const
{
    if (int(lastIds.size()) == n && sameIds(ids, lastIds.data(), n))
        return lastEntries.data();
    countPositions();
    ++generation;
    lastIds.assign(ids, ids + n);
    lastEntries.resize(size_t(n));
    bool all = true;
    for (int i = 0; i < n; ++i) {
        lastEntries[size_t(i)] = const_cast<Anchor *>(find(ids[i]));
        all = all && lastEntries[size_t(i)];
    }
    if (!all)
        lastIds.clear(); // an anchor seen for the first time: looked up again next time
    lastKnown = all;
    noteSettled();
    return lastEntries.data();
}

void SiteLearning::countPositions() const
{
    if (pending == 0)
        return;
    for (Anchor *a : lastEntries)
        if (a && a->row >= 0)
            a->positions += pending;
    pending = 0;
    noteSettled();
}

void SiteLearning::noteSettled() const
{
    lastSettled = !lastEntries.empty();
    for (const Anchor *a : lastEntries)
        lastSettled = lastSettled && a && a->positions >= kSettledPositions;
}

SiteLearning::Anchor *SiteLearning::entry(quint64 id)
{
    if (const Anchor *a = find(id))
        return const_cast<Anchor *>(a);
    Anchor *a = &anchors[id];
    CacheSlot &slot = cache[(id * 0x9E3779B97F4A7C15ULL) >> 58];
    slot.id = id;
    slot.anchor = a;
    return a;
}

double SiteLearning::anchorNoise(quint64 anchor) const
{
    const Anchor *a = find(anchor);
    return a ? a->noise : kStartNoise;
}

double SiteLearning::meanOffset() const { return median; }

// The anchors' common offset, which time differences cannot see: their
// median, so that one anchor off reads as off by all of it.
double SiteLearning::medianOffset() const
{
    QVarLengthArray<double, 16> offsets;
    for (const Anchor &a : anchors)
        if (a.weight > 0)
            offsets.append(a.offset);
    if (offsets.isEmpty())
        return 0;
    std::sort(offsets.begin(), offsets.end());
    const int n = offsets.size();
    return n % 2 ? offsets[n / 2] : 0.5 * (offsets[n / 2 - 1] + offsets[n / 2]);
}

double SiteLearning::anchorOffset(quint64 anchor) const
{
    const Anchor *a = find(anchor);
    return !a || !(a->weight > 0) ? 0 : a->offset - meanOffset();
}

qint64 SiteLearning::anchorPositions(quint64 anchor) const
{
    countPositions();
    const Anchor *a = find(anchor);
    return a ? a->positions : 0;
}

// The set's offsets as of the last solve, kept with the set: both change
// only at a new set or a solve, not from fix to fix.
const SiteLearning::SetOffsets &SiteLearning::setOffsets(const quint64 *ids, int n) const
{
    Anchor *const *entries = lookup(ids, n);
    if (cached.generation == generation && cached.solves == solves && int(cached.ticks.size()) == n)
        return cached;
    cached.ticks.resize(size_t(n));
    cached.applied.resize(size_t(n));
    cached.relative.resize(size_t(n));
    cached.remaining.resize(size_t(n));
    for (int i = 0; i < n; ++i) {
        const Anchor *a = entries[i];
        cached.ticks[size_t(i)] = a ? a->ticks : 0;
        cached.applied[size_t(i)] = a ? a->applied : 0;
        cached.relative[size_t(i)] = a ? a->relative : 0;
        cached.remaining[size_t(i)] = cached.relative[size_t(i)] - cached.applied[size_t(i)];
    }
    // A set with an anchor not seen yet is looked up afresh next time.
    cached.generation = lastIds.empty() ? ~0ULL : generation;
    cached.solves = solves;
    return cached;
}

void SiteLearning::correction(const quint64 *ids, int n, qint64 *ticks, double *applied, double *shift) const
{
    const SetOffsets &set = setOffsets(ids, n);
    std::copy(set.ticks.begin(), set.ticks.end(), ticks);
    std::copy(set.applied.begin(), set.applied.end(), applied);
    if (shift)
        std::copy(set.remaining.begin(), set.remaining.end(), shift);
}

void SiteLearning::remainingOffsets(const quint64 *ids, int n, const double *applied, double *shift) const
{
    const double *relative = remainingOffsets(ids, n);
    for (int i = 0; i < n; ++i)
        shift[i] = relative[i] - (applied ? applied[i] : 0);
}

void SiteLearning::learnDrawn(const quint64 *ids, const FixAnchors &set, const FixResiduals &fit, const double *shift,
                              const double *given)
{
    const int n = set.size();
    // Offsets only where the fit tells anchors apart: with one degree of
    // freedom every anchor's prediction error is the same number scaled.
    const bool offsets = fit.degrees >= 2;
    // The draw (learn()) decides the samples before any work for the set:
    // its low bits the noise's, higher ones the offsets'. A fix of the last
    // set that neither samples was counted by learn(); one of another set
    // gets here to have its set looked up and counted.
    const bool noiseSampled = (draw & noiseMask) == 0;
    const bool sampled = offsets && ((draw >> 16) & kOffsetMask) == 0;
    if (!offsets && !noiseSampled)
        return;
    // The set looked up last, compared here rather than in a call.
    Anchor *const *entries = lastEntries.data();
    if (!lastKnown || int(lastIds.size()) != n || !sameIds(ids, lastIds.data(), n)) {
        entries = lookup(ids, n);
        if (!lastKnown) {
            for (int i = 0; i < n; ++i)
                entry(ids[i]);
            lastIds.clear();
            entries = lookup(ids, n);
        }
    }
    const double sigma = noise();
    if (noiseSampled) {
        // The noise only from fixes that pass the residual test: a spike or
        // an obstacle the fit kept spreads over every anchor's residual.
        // Their residuals as solved (with anchor_offset_correction net of
        // the offsets): the offsets are learned from the noise's scale, and
        // a learned noise that leaned on them would feed back. The offsets
        // from all fits: an offset not learned yet fails the test, and their
        // errors are clipped.
        if (fit.chiSquare <= sigma * sigma * chiSquare99(fit.degrees)) {
            const qint64 before = siteAdded;
            for (int i = 0; i < n; ++i) {
                const double free = fit.anchors[i].weight; // 1 - leverage
                if (!set[i].used || !(free > kLeastFree) || !std::isfinite(fit.residual[i]))
                    continue;
                Anchor &a = *entries[i];
                const float z = float(std::fabs(fit.residual[i]) / std::sqrt(free));
                push(a.residuals, a.next, a.added, kNoiseWindow, z);
                push(site, siteNext, siteAdded, kSiteWindow, z);
            }
            if (medianDue(before, siteAdded, kSiteMedianEvery)) {
                const double was = siteNoise;
                siteNoise = medianScale(site);
                noiseSteady = siteAdded >= kSiteWindow && std::fabs(siteNoise - was) <= kNoiseSteady * was;
                sampleRates();
            }
        }
    }
    if (!offsets)
        return;
    ++sinceSolved;
    if (rowsAssigned != generation) {
        // The set's first fit since it was looked up: its anchors' rows.
        for (int i = 0; i < n; ++i) {
            Anchor &a = *entries[i];
            if (a.row < 0 && int(rowAnchor.size()) < kOffsetAnchors) {
                a.row = int(rowAnchor.size());
                rowAnchor.push_back(ids[i]);
            }
        }
        flushSums();
        rowsAssigned = generation;
        setRows.resize(size_t(n));
        setSum.assign(size_t(n), 0.0);
        setRowsAll = true;
        for (int i = 0; i < n; ++i) {
            setRows[size_t(i)] = entries[i]->row;
            setRowsAll = setRowsAll && entries[i]->row >= 0;
        }
    }
    ++pending;
    if (!sampled)
        return;
    // Positions are counted here until the set's anchors have settled, then
    // at a new set and when read (and before the count could grow large).
    if (!lastSettled || pending >= (1 << 20))
        countPositions();
    const bool settled = lastSettled;
    const bool matrixSampled = !settled || ((draw >> 20) & (kMatrixSample - 1)) == 0;
    QVarLengthArray<double, 16> netBuffer(given ? 0 : n);
    if (!given)
        fixShiftedResiduals(set, fit, shift ? shift : setOffsets(ids, n).relative.data(), netBuffer.data());
    const double *net = given ? given : netBuffer.constData();
    const double clipSquare = kOffsetClip * kOffsetClip * sigma * sigma; // times the row's variance
    if (!matrixSampled && setRowsAll && !rhs.empty() && n <= kUsualMost) {
        // The usual fit: every anchor used (the degrees say so) and its
        // error within the clip (a NaN is not), so that (I - H) of the
        // errors is they themselves (see learnOffsets). Added to the set's
        // sums in the pass that checks them, and taken back (from a copy: a
        // NaN would not subtract) where the fit is not the usual one.
        const FixPrediction *prediction = fit.anchors.constData();
        double was[kUsualMost];
        double *sum = setSum.data();
        int within = 0;
        for (int k = 0; k < n; ++k) {
            within += net[k] * net[k] <= clipSquare * prediction[k].weight;
            was[k] = sum[k];
            sum[k] += net[k];
        }
        if (fit.degrees == n - 3 && within == n) {
            if (sinceSolved >= (settled ? kSettledEvery : kOffsetEvery))
                solveOffsets();
            return;
        }
        for (int k = 0; k < n; ++k)
            sum[k] = was[k];
    }
    learnOffsets(entries, set, fit, net, clipSquare, settled, matrixSampled);
}

void SiteLearning::learnOffsets(Anchor *const *entries, const FixAnchors &set, const FixResiduals &fit,
                                const double *net, double clipSquare, bool settled, bool matrixSampled)
{
    const int n = set.size();
    // The residual each row explains: the projection of the offsets
    // estimated so far plus what is net of them, clipped. The clipped part
    // from every sampled fit (each standing for the fits it was drawn
    // from, against the ridge, worth one fix), the projected
    // offsets with the matrix, so that the two cancel at the estimate.
    // In one pass: the rows, the clipped errors, and G^T of what the clip
    // took off the used ones (H = G M^-1 G^T over the used rows g = (dx,
    // dy, 1)): the used anchors' errors are residuals of the fit, (I - H)
    // of the ranges, which H maps to 0, so that (I - H) of the clipped
    // errors is they themselves less H of what was clipped, nothing in the
    // usual fit. A set with an anchor beyond the table, or without a usable
    // residual, adds nothing.
    const double *m = fit.inverse;
    const double *g = fit.gradient.constData();
    QVarLengthArray<int, 16> rows(n);
    QVarLengthArray<double, 16> clippedBuffer(n);
    double *clipped = clippedBuffer.data();
    double b0 = 0, b1 = 0, b2 = 0;
    int nUsed = 0;
    bool clippedAny = false;
    for (int k = 0; k < n; ++k) {
        rows[k] = entries[k]->row;
        const double e = net[k];
        if (rows[k] < 0 || !std::isfinite(e))
            return;
        const double weight = fit.anchors[k].weight;
        const bool isUsed = set[k].used;
        const double bound = clipSquare * (isUsed ? weight : (weight > 0 ? 1 / weight : 0)); // sigma^2 units
        const double c = e * e <= bound ? e : std::copysign(std::sqrt(bound), e);
        clipped[k] = c;
        if (!isUsed)
            continue;
        ++nUsed;
        if (c != e) {
            const double d = c - e;
            b0 += g[2 * k] * d;
            b1 += g[2 * k + 1] * d;
            b2 += d;
            clippedAny = true;
        }
    }
    if (normal.empty()) {
        normal.assign(size_t(kOffsetAnchors * kOffsetAnchors), 0.0);
        rhs.assign(size_t(kOffsetAnchors), 0.0);
    }
    const auto solveFor = [m](double c0, double c1, double c2, double out[3]) {
        out[0] = m[0] * c0 + m[1] * c1 + m[2] * c2;
        out[1] = m[3] * c0 + m[4] * c1 + m[5] * c2;
        out[2] = m[6] * c0 + m[7] * c1 + m[8] * c2;
    };
    const auto along = [g](int k, const double u[3]) { return g[2 * k] * u[0] + g[2 * k + 1] * u[1] + u[2]; };
    double *const right = rhs.data();
    // A left-out anchor's row r = e_k - H_k (its range against the used
    // anchors' prediction) of weight w_k, times v_k, into the right side.
    const auto projectLeftOut = [&](const double *v, double weight) {
        for (int k = 0; k < n; ++k) {
            if (set[k].used || !(fit.anchors[k].weight > 0))
                continue;
            const double w = weight * fit.anchors[k].weight * v[k];
            double uk[3];
            solveFor(g[2 * k], g[2 * k + 1], 1, uk);
            right[rows[k]] += w;
            for (int j = 0; j < n; ++j)
                if (set[j].used)
                    right[rows[j]] -= w * along(j, uk);
        }
    };
    // (I - H) of the clipped errors on the used anchors' rows.
    {
        double u[3] = {0, 0, 0};
        if (clippedAny)
            solveFor(b0, b1, b2, u);
        const double sampleWeight = double(kOffsetSample);
        for (int k = 0; k < n; ++k)
            if (set[k].used)
                right[rows[k]] += sampleWeight * (clippedAny ? clipped[k] - along(k, u) : clipped[k]);
        if (nUsed < n)
            projectLeftOut(clipped, sampleWeight);
    }
    if (!matrixSampled) {
        if (sinceSolved >= (settled ? kSettledEvery : kOffsetEvery))
            solveOffsets();
        return;
    }
    const double matrixWeight = double(kOffsetSample) * (settled ? double(kMatrixSample) : 1.0);
    QVarLengthArray<int, 16> usedBuffer;
    for (int j = 0; j < n; ++j)
        if (set[j].used)
            usedBuffer.append(j);
    const int *used = usedBuffer.constData();
    // The offsets as estimated, projected: (I - H) x on the used rows, and
    // r_k x on the left-out ones; then that projected again, as above.
    QVarLengthArray<double, 16> projectedBuffer(n);
    double *projected = projectedBuffer.data();
    {
        double c0 = 0, c1 = 0, c2 = 0;
        for (int a = 0; a < nUsed; ++a) {
            const int j = used[a];
            const double x = entries[j]->offset;
            c0 += g[2 * j] * x;
            c1 += g[2 * j + 1] * x;
            c2 += x;
        }
        double u[3];
        solveFor(c0, c1, c2, u);
        c0 = c1 = c2 = 0;
        for (int k = 0; k < n; ++k) {
            projected[k] = entries[k]->offset - along(k, u);
            if (set[k].used) {
                c0 += g[2 * k] * projected[k];
                c1 += g[2 * k + 1] * projected[k];
                c2 += projected[k];
            }
        }
        solveFor(c0, c1, c2, u);
        for (int a = 0; a < nUsed; ++a) {
            const int i = used[a];
            right[rows[i]] += matrixWeight * (projected[i] - along(i, u));
        }
        if (nUsed < n)
            projectLeftOut(projected, matrixWeight);
    }
    // The used anchors' rows (I - H) add up to the projection itself (their
    // residuals are the projected noise, of covariance sigma^2 (I - H)):
    // (I - H) into the normal matrix (symmetric: its lower triangle), with
    // M^-1 g of every used anchor at hand a hat entry is one dot product.
    QVarLengthArray<double, 48> mgBuffer(3 * n);
    double *mg = mgBuffer.data();
    for (int j = 0; j < n; ++j)
        solveFor(g[2 * j], g[2 * j + 1], 1, &mg[3 * j]);
    const auto hat = [g, mg](int a, int b) { return g[2 * a] * mg[3 * b] + g[2 * a + 1] * mg[3 * b + 1] + mg[3 * b + 2]; };
    double *const table = normal.data();
    for (int a = 0; a < nUsed; ++a) {
        const int i = used[a];
        const double gx = g[2 * i], gy = g[2 * i + 1];
        const int ri = rows[i];
        double *row = table + ri * kOffsetAnchors;
        row[ri] += matrixWeight * (1 - hat(i, i));
        for (int b = a + 1; b < nUsed; ++b) {
            const int j = used[b];
            const double add = matrixWeight * (gx * mg[3 * j] + gy * mg[3 * j + 1] + mg[3 * j + 2]);
            const int rj = rows[j];
            table[ri > rj ? ri * kOffsetAnchors + rj : rj * kOffsetAnchors + ri] -= add;
        }
    }
    // A left-out anchor's row, its range against the used anchors'
    // prediction, independent of them, of weight 1 / (1 + h).
    QVarLengthArray<double, 16> r(nUsed < n ? n : 0);
    for (int k = 0; k < n && nUsed < n; ++k) {
        const double w = matrixWeight * fit.anchors[k].weight;
        if (set[k].used || !(w > 0))
            continue;
        for (int j = 0; j < n; ++j)
            r[j] = j == k ? 1.0 : set[j].used ? -hat(k, j) : 0.0;
        for (int i = 0; i < n; ++i) {
            if (r[i] == 0)
                continue;
            double *row = table + rows[i] * kOffsetAnchors;
            for (int j = 0; j < n; ++j)
                if (rows[j] <= rows[i])
                    row[rows[j]] += w * r[i] * r[j];
        }
    }
    if (sinceSolved >= (settled ? kSettledEvery : kOffsetEvery))
        solveOffsets();
}

// The set's sums into the right side, before a solve reads it or the set's
// rows change.
void SiteLearning::flushSums()
{
    if (rhs.empty() || !setRowsAll) // (then nothing was summed)
        return;
    for (size_t k = 0; k < setSum.size(); ++k) {
        rhs[size_t(setRows[k])] += double(kOffsetSample) * setSum[k];
        setSum[k] = 0;
    }
}

// Solves the decayed normal equations, each offset pulled slightly towards
// 0: positive definite (sums of projections and squares, and the pull), so
// Cholesky on a copy (at most 64 unknowns, every kOffsetEvery fixes, every
// kSettledEvery once the set's anchors have settled).
void SiteLearning::solveOffsets()
{
    flushSums();
    const double decay = std::pow(kOffsetRetain, sinceSolved);
    sinceSolved = 0;
    const int n = int(rowAnchor.size());
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j <= i; ++j)
            normal[size_t(i * kOffsetAnchors + j)] *= decay;
        rhs[size_t(i)] *= decay;
    }
    // L L^T = A in the lower triangle of a, L^-1 b beside it, then L^T x = L^-1 b.
    std::vector<double> &a = solveBuffer;
    a.resize(size_t(n * n + n));
    double *y = a.data() + n * n;
    for (int i = 0; i < n; ++i) {
        const double *row = &normal[size_t(i * kOffsetAnchors)];
        for (int j = 0; j <= i; ++j) {
            double sum = row[j] + (i == j ? kOffsetRidge : 0);
            for (int k = 0; k < j; ++k)
                sum -= a[size_t(i * n + k)] * a[size_t(j * n + k)];
            if (i == j) {
                if (!(sum > 0))
                    return;
                a[size_t(i * n + i)] = std::sqrt(sum);
            } else {
                a[size_t(i * n + j)] = sum / a[size_t(j * n + j)];
            }
        }
        double sum = rhs[size_t(i)];
        for (int k = 0; k < i; ++k)
            sum -= a[size_t(i * n + k)] * y[k];
        y[i] = sum / a[size_t(i * n + i)];
    }
    for (int i = n - 1; i >= 0; --i) {
        double sum = y[i];
        for (int k = i + 1; k < n; ++k)
            sum -= a[size_t(k * n + i)] * y[k];
        y[i] = sum / a[size_t(i * n + i)];
    }
    for (int i = 0; i < n; ++i)
        if (!std::isfinite(y[i]))
            return;
    for (int i = 0; i < n; ++i) {
        Anchor &anchor = anchors[rowAnchor[size_t(i)]];
        anchor.offset = y[i];
        anchor.weight = 1;
    }
    median = medianOffset();
    // What correction() and remainingOffsets() hand out until the next
    // solve. Relative or raw makes no difference to range differences;
    // relative keeps the ticks small.
    for (Anchor &anchor : anchors) {
        anchor.relative = anchor.weight > 0 ? anchor.offset - median : 0;
        anchor.ticks = anchorclock::rangeToTicks(anchor.relative);
        anchor.applied = anchorclock::ticksToRange(anchor.ticks);
    }
    ++solves;
}

void SiteLearning::forgetOffsets()
{
    pending = 0;
    lastSettled = false;
    rowsAssigned = ~0ULL;
    ++solves;
    for (Anchor &a : anchors) {
        a.row = -1;
        a.offset = a.weight = a.loggedOffset = a.relative = a.applied = 0;
        a.ticks = 0;
        a.positions = 0;
        a.loggedMs = -1;
    }
    normal.clear();
    rhs.clear();
    std::fill(setSum.begin(), setSum.end(), 0.0);
    rowAnchor.clear();
    sinceSolved = 0;
    median = 0;
    sampleRates();
}

void SiteLearning::logDue(qint64 nowMs)
{
    countPositions();
    metrics::setRangeNoise(noise());
    LogWriter *log = LogWriter::getLogCenter();
    const double mean = meanOffset();
    QList<quint64> ids = anchors.keys();
    std::sort(ids.begin(), ids.end());
    double least = INFINITY, most = 0;
    for (quint64 number : qAsConst(ids)) {
        Anchor &a = anchors[number];
        quint8 id[6];
        anchorBytes(number, id);
        if (a.added >= kFewest) {
            a.noise = medianScale(a.residuals);
            metrics::setAnchor(metrics::AnchorGauge::RangeNoise, id, a.noise);
            least = std::min(least, a.noise);
            most = std::max(most, a.noise);
        }
        if (!(a.weight > 0))
            continue;
        const double offset = a.offset - mean;
        metrics::setAnchor(metrics::AnchorGauge::Offset, id, offset);
        if (a.positions < kOffsetNamedPositions)
            continue;
        const bool named = std::fabs(offset) >= kOffsetNamed;
        const bool changed = std::fabs(offset - a.loggedOffset) > kOffsetChange;
        const bool hourly = named && (a.loggedMs < 0 || nowMs - a.loggedMs >= kHourMs);
        if (!changed && !hourly)
            continue;
        log->infoOutput("anchor %s reads %.2f m %s (%lld positions)", IdHex(id).text(), std::fabs(offset),
                        offset < 0 ? "early" : "late", static_cast<long long>(a.positions));
        a.loggedOffset = offset;
        a.loggedMs = nowMs;
    }
    if (minuteStartMs < 0)
        minuteStartMs = nowMs;
    if (!noiseLearned() || nowMs - minuteStartMs < kMinuteMs)
        return;
    minuteStartMs = nowMs;
    const double was = minuteNoise;
    minuteNoise = siteNoise;
    if (std::fabs(siteNoise - was) <= kNoiseLogged * was)
        return;
    log->infoOutput("range noise learned: %.3f m (a minute ago %.3f m), anchors %.3f to %.3f m", siteNoise, was,
                    std::isfinite(least) ? least : siteNoise, std::isfinite(least) ? most : siteNoise);
}
