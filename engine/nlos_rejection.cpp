#include "engine/nlos_rejection.h"

#include "common/common_function.h"
#include "common/logwriter.h"
#include "common/metrics.h"
#include "engine/id_number.h"

#include <QByteArray>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace {

// At most this many anchors of one set are left out, and never so many that
// fewer than kFewestUsed remain: with four anchors one degree of freedom is
// left to test the fit, with three none.
constexpr int kMostLeftOut = 2;
constexpr int kFewestUsed = 4;
// With a track, its expectation is a second witness besides the fit: the
// evidence and the expectation may leave out one more (a tag walking
// between cabinets is behind three at times). Four anchors still remain.
constexpr int kMostLeftOutTracked = 3;
// ...and a fit of the whole set that fails the test may lose one more
// again, judged with the expectation: near a corner between cabinets half
// of eight anchors are blocked at once, and the four clean ones are the
// only set that agrees with where the tag can be.
constexpr int kMostLeftOutSearched = 4;
// With a track, the evidence's suspects beyond those left out are wanted
// too (their bias widens the fix): this many at most, the most significant.
constexpr int kMostHeld = 8;

// An anchor is left out before the solve when its estimated extra path is
// this many standard errors above zero (one-sided; 0.13% of clean anchors
// per fix if the errors were Gaussian and independent)...
constexpr double kEvidenceGate = 3.0;
// ...and at least this many times the noise of one range: a smaller bias
// moves the position less than leaving the anchor out costs in geometry.
constexpr double kEvidenceLeastBias = 1.0;
// Each fix keeps this share of the evidence: a memory of some 20 fixes, 2 s
// at 10 Hz, over which a placement's extra path stays nearly constant. An
// extra path too small for the break test below (8 cm at 5 cm of noise)
// that goes away fades by 5% a fix: its anchor is back within about 10 fixes.
// bench_solver_rooms moves by less than 0.3% between 0.9 and 0.98 here, and
// between 0.5 and 1.5 for kEvidenceLeastBias.
constexpr double kEvidenceRetain = 0.95;
// Walking forgets too: the evidence falls to 1/2.5 over this many metres,
// as the path past an obstacle changes with the tag's place.
constexpr double kEvidenceDistance = 1.5;
// A prediction error this many standard deviations (its own and the
// estimate's) away from the estimate means the obstacle came or went: the
// evidence starts again from this fix instead of averaging across the change.
constexpr double kEvidenceBreak = 4.0;
// Prediction errors enter the evidence clipped to this many metres (or five
// sigma when the noise is larger): a spike of metres then restarts one
// anchor's evidence without leaving it flagged for long.
constexpr double kEvidenceClip = 1.0;
// Evidence below a thousandth of one observation's weight is dropped, once
// its anchor is not in the set and its minute's tallies are counted.
constexpr double kEvidenceForgotten = 1e-3;

// The track's expectation names an anchor late beyond this many standard
// deviations, and this many metres (a metal cabinet's least extra path).
constexpr double kPriorGate = 4.0;
constexpr double kPriorLeast = 0.15;
// Each anchor left out of a fit judged with the track's expectation costs
// the chi-square quantile of one degree of freedom at 99%: it must explain
// that much misfit to go. bench_solver_rooms, walking past cabinets (seed
// 4): 0.84 of the told solve at half this and at this, 0.86 at twice.
constexpr double kPriorLeaveOutCost = 6.635;
// An anchor that the evidence or the expectation named before the solve
// costs this share of it: what the tag's recent fixes and its track hold
// late need not be proven again by this fix alone (which, with three or
// four late, prefers leaving out fewer and keeping the rest's bias).
// bench_solver_rooms, walking past cabinets, seeds 15, 21, 23, 28: the worst
// of them 0.87 of the told solve at 1, 0.85 at 0.7, 0.83 at this and at
// 0.25, 0.84 at 0. (Before the larger subsets were limited to anchors shown
// late, 1.06 at 1 and one track running away at 0.15.)
constexpr double kPriorNamedShare = 0.45;
// An anchor left out before the solve whose range the others' fit shows
// early by this many standard deviations was not late: an extra path only
// lengthens a range. Seen when a track followed wrong fixes and its
// expectation names clean anchors while late ones stay in.
constexpr double kPriorEarly = 3.0;

// An anchor left out on its evidence is kept, its range taken down by the
// evidence's estimate and its weight lowered by that estimate's variance,
// unless its corrected range misses the fit of the rest by more than this
// many standard deviations (the obstacle went or changed, a spike).
// bench_solver_rooms (seed 7, 0.05 m): the same within 0.2% at 4, the
// obstacle rows 1% worse at 2.5.
constexpr double kKeepGate = 3.0;
// Each kept anchor moves the site's spread of extra paths by this share of
// its own figure: some hundreds of kept anchors make it (bench_solver_rooms
// moves by less than 0.5% between 1/100 and 1/2000).
constexpr double kSpreadLearning = 1.0 / 500;

constexpr qint64 kMinuteMs = 60000;
// An anchor left out of more than this share of its positions is logged.
constexpr int kLoggedPercent = 10;

// The anchors of the set (by their evidence entries) whose evidence holds
// them to be late, most significant first, at most `most`.
QVarLengthArray<int, 2> suspects(const NlosTagState &state, const QVarLengthArray<int, 16> &entries, double sigma,
                                 int most)
{
    // At most kMostHeld wanted: kept in order as found, no sort.
    QVarLengthArray<int, 2> out;
    double score[kMostHeld];
    most = std::min(most, kMostHeld);
    const double least = kEvidenceLeastBias * sigma;
    if (!(state.mostLate > 0.999 * least)) // (the margin for rounding: the test below is exact)
        return out;
    const NlosEvidence *evidence = state.evidence.constData();
    for (int i = 0; i < entries.size(); ++i) {
        const NlosEvidence &e = evidence[entries[i]];
        // bias = sum / weight with standard error 1 / sqrt(weight), so its
        // z-score squared is sum^2 / weight; no root taken per anchor.
        const double sum = e.weightedSum, weight = e.weight;
        if (!(sum > least * weight && sum * sum > kEvidenceGate * kEvidenceGate * weight))
            continue;
        const double z = sum * sum / weight;
        int at = out.size();
        while (at > 0 && score[at - 1] < z)
            --at;
        if (at >= most)
            continue;
        if (out.size() < most)
            out.append(0);
        for (int k = out.size() - 1; k > at; --k) {
            out[k] = out[k - 1];
            score[k] = score[k - 1];
        }
        out[at] = i;
        score[at] = z;
    }
    return out;
}

// Anchors whose ranges the track's expected position shows late (beyond
// kPriorGate standard deviations of noise and of the expectation, and at
// least kPriorLeast metres, against the median of the set, which stands in
// for the unknown send time), added to `left` up to `most`, latest first:
// a tag walking behind a cabinet is seen by the track before the evidence
// of its few fixes there holds the anchor late.
// `misfit`: per anchor its range minus its distance from the expectation.
void priorSuspects(const double *misfit, int n, const NlosPrior &prior, double sigma, int most,
                   QVarLengthArray<int, 2> *left)
{
    double low = HUGE_VAL, high = -HUGE_VAL;
    for (int i = 0; i < n; ++i) {
        low = std::min(low, misfit[i]);
        high = std::max(high, misfit[i]);
    }
    const double gate = std::max(kPriorLeast, kPriorGate * std::sqrt(sigma * sigma + prior.variance));
    // The median is at least the least misfit: when all but those left out
    // already lie within the gate of it, none lies beyond the gate of the
    // median (a clean set, or one whose late anchors the evidence named),
    // and the median need not be found.
    if (high - low > gate && !left->isEmpty()) {
        high = -HUGE_VAL;
        for (int i = 0; i < n; ++i)
            if (!left->contains(i))
                high = std::max(high, misfit[i]);
    }
    if (!(high - low > gate))
        return;
    QVarLengthArray<double, 16> sorted(misfit, misfit + n);
    std::nth_element(sorted.begin(), sorted.begin() + n / 2, sorted.end());
    const double offset = sorted[n / 2];
    QVarLengthArray<QPair<double, int>, 16> found;
    for (int i = 0; i < n; ++i)
        if (misfit[i] - offset > gate && !left->contains(i))
            found.append(qMakePair(misfit[i] - offset, i));
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    for (int k = 0; k < found.size() && left->size() < most; ++k)
        left->append(found[k].second);
}

// With a track: the anchors (none, or up to `most`) to leave out of a fit
// that fails the test, judged by the misfit of the rest and the expectation
// together: chi-square of the rest (sigma = 1), plus the squared distance of
// their position from the expectation in units of both covariances (the
// expectation's taken as round), plus kPriorLeaveOutCost per anchor left
// out. From this fit's residuals, linear, no solve per candidate: leaving
// the rows S out lowers chi-square by e_S^T A^-1 e_S with A = I - H_SS, moves
// the estimate by -U A^-1 e_S and adds U A^-1 U^T to its covariance, U the
// columns M^-1 g of S. Anchors whose ranges would have to be early are no
// candidates. Where several anchors are late at once, the fit alone may be
// passed by leaving out the wrong ones, a metre away from where the tag can be.
QVarLengthArray<int, 2> priorSearch(const FixAnchors &set, const FixResiduals &fit, const TAG_XYZ_t &position,
                                    const NlosPrior &prior, int most, double variance,
                                    const QVarLengthArray<int, 2> &named)
{
    const double *m = fit.inverse;
    const int n = fit.anchors.size();
    const double round = 0.5 * prior.variance;
    // u = M^-1 g for an anchor's row g = (dx, dy, 1); h_ab = g_a^T u_b.
    QVarLengthArray<double, 48> u(3 * n);
    for (int a = 0; a < n; ++a) {
        const double gx = fit.gradient[2 * a], gy = fit.gradient[2 * a + 1];
        for (int r = 0; r < 3; ++r)
            u[3 * a + r] = m[3 * r] * gx + m[3 * r + 1] * gy + m[3 * r + 2];
    }
    const auto hat = [&](int a, int b) {
        return fit.gradient[2 * a] * u[3 * b] + fit.gradient[2 * a + 1] * u[3 * b + 1] + u[3 * b + 2];
    };
    // The cost of a position moved by (dx, dy) with covariance c (sigma = 1).
    const double dx0 = position.x - prior.x, dy0 = position.y - prior.y;
    const auto cost = [&](double chi, double dx, double dy, const double c[3], double size) {
        const double sxx = variance * c[0] + round, sxy = variance * c[1], syy = variance * c[2] + round;
        const double det = sxx * syy - sxy * sxy;
        if (!(det > 0))
            return HUGE_VAL;
        return chi / variance + (syy * dx * dx - 2 * sxy * dx * dy + sxx * dy * dy) / det + kPriorLeaveOutCost * size;
    };
    const double whole[3] = {m[0], m[1], m[4]};
    double best = cost(fit.chiSquare, dx0, dy0, whole, 0);
    QVarLengthArray<int, 2> chosen;
    constexpr int kMost = 4;
    most = std::min(most, kMost);
    int pick[kMost] = {};
    const auto evaluate = [&](int k) {
        // Whether a subset qualifies (A positive definite, no shift early)
        // is as likely one way as the other, and known only at the end of a
        // chain of roots and divisions: gathered, and one branch taken with
        // the test whether it can win, which mostly fails.
        bool qualifies = true;
        // A = I - H_SS and its Cholesky factor L (A = L L^T).
        double l[kMost][kMost];
        for (int a = 0; a < k; ++a) {
            for (int b = 0; b <= a; ++b) {
                double v = (a == b ? 1.0 : 0.0) - hat(pick[a], pick[b]);
                for (int c = 0; c < b; ++c)
                    v -= l[a][c] * l[b][c];
                if (a == b) {
                    qualifies &= v > 1e-6;
                    l[a][a] = std::sqrt(v);
                } else {
                    l[a][b] = v / l[b][b];
                }
            }
        }
        // y = L^-1 e_S; the shifts A^-1 e_S = L^-T y, none of them early.
        double y[kMost], shift[kMost], drop = 0;
        for (int a = 0; a < k; ++a) {
            double v = fit.residual[pick[a]];
            for (int b = 0; b < a; ++b)
                v -= l[a][b] * y[b];
            y[a] = v / l[a][a];
            drop += y[a] * y[a];
        }
        for (int a = k - 1; a >= 0; --a) {
            double v = y[a];
            for (int b = a + 1; b < k; ++b)
                v -= l[b][a] * shift[b];
            shift[a] = v / l[a][a];
            qualifies &= shift[a] > 0;
        }
        double size = 0;
        for (int a = 0; a < k; ++a)
            size += named.contains(pick[a]) ? kPriorNamedShare : 1.0;
        // The distance from the expectation adds to this: what cannot win
        // already is not moved.
        if (!(qualifies & ((fit.chiSquare - drop) / variance + kPriorLeaveOutCost * size < best)))
            return;
        // W = L^-1 U^T (horizontal rows only): the move is W^T y, the added
        // covariance W^T W.
        double w[kMost][2];
        double dx = dx0, dy = dy0, c[3] = {m[0], m[1], m[4]};
        for (int a = 0; a < k; ++a) {
            const double *ua = &u[3 * pick[a]];
            double wx = ua[0], wy = ua[1];
            for (int b = 0; b < a; ++b) {
                wx -= l[a][b] * w[b][0];
                wy -= l[a][b] * w[b][1];
            }
            w[a][0] = wx /= l[a][a];
            w[a][1] = wy /= l[a][a];
            dx -= wx * y[a];
            dy -= wy * y[a];
            c[0] += wx * wx;
            c[1] += wx * wy;
            c[2] += wy * wy;
        }
        const double value = cost(fit.chiSquare - drop, dx, dy, c, size);
        if (value < best) {
            best = value;
            chosen.clear();
            for (int a = 0; a < k; ++a)
                chosen.append(pick[a]);
        }
    };
    // Every subset of the used anchors of up to two; of three and four only
    // among those named before the solve or with a positive residual in
    // this fit (a late range pulls the fit but keeps some of its lead), which
    // keeps the 126 larger subsets of eight to a handful on a clean set.
    QVarLengthArray<bool, 16> late(n);
    for (int a = 0; a < n; ++a)
        late[a] = named.contains(a) || fit.residual[a] > 0;
    // No subset of k costs less than k anchors' leave-out costs, the named
    // ones' first: once the best is below that, none of k need be tried.
    double least[kMost + 1] = {0};
    for (int k = 1; k <= kMost; ++k)
        least[k] = least[k - 1] + kPriorLeaveOutCost * (k <= named.size() ? kPriorNamedShare : 1.0);
    for (int a = 0; a < n && best > least[1]; ++a) {
        if (!set[a].used)
            continue;
        pick[0] = a;
        evaluate(1);
        for (int b = a + 1; most > 1 && best > least[2] && b < n; ++b) {
            if (!set[b].used)
                continue;
            pick[1] = b;
            evaluate(2);
            for (int c = b + 1; most > 2 && late[a] && late[b] && best > least[3] && c < n; ++c) {
                if (!set[c].used || !late[c])
                    continue;
                pick[2] = c;
                evaluate(3);
                for (int d = c + 1; most > 3 && best > least[4] && d < n; ++d) {
                    if (!set[d].used || !late[d])
                        continue;
                    pick[3] = d;
                    evaluate(4);
                }
            }
        }
    }
    return chosen;
}

// The anchors to leave out of a fit of the whole set that fails the test:
// the fewest (one, else two) whose removal passes it, the rest explaining
// their ranges by positive extra paths; with none passing, the set that
// lowers chi-square most.
QVarLengthArray<int, 2> search(const FixResiduals &fit, int most, double variance)
{
    const int n = fit.anchors.size();
    QVarLengthArray<int, 2> best;
    double bestChi = fit.chiSquare;
    for (int size = 1; size <= most; ++size) {
        for (int i = 0; i < n; ++i) {
            for (int j = size == 1 ? -1 : i + 1; j < (size == 1 ? 0 : n); ++j) {
                double chi = 0, si = 0, sj = 0;
                if (!fixLeaveOut(fit, i, j, &chi, &si, &sj) || !(si > 0) || (j >= 0 && !(sj > 0)) || !(chi < bestChi))
                    continue;
                bestChi = chi;
                best.clear();
                best.append(i);
                if (j >= 0)
                    best.append(j);
            }
        }
        if (!best.isEmpty() && bestChi <= variance * chiSquare99(fit.degrees - size))
            break;
    }
    return best;
}

// Adds to (dx, dy) the shift of the position (m) that b metres more on used
// anchor i's range give the fit: M^-1 g_i b, its sensitivity.
void addShift(const FixResiduals &fit, int i, double b, double *dx, double *dy)
{
    const double *m = fit.inverse;
    const double gx = fit.gradient[2 * i], gy = fit.gradient[2 * i + 1];
    *dx += (m[0] * gx + m[1] * gy + m[2]) * b;
    *dy += (m[3] * gx + m[4] * gy + m[5]) * b;
}

// A shift the fit could not remove, as a covariance (its outer product).
void setBias(double dx, double dy, NlosFix *out)
{
    out->biasXx = dx * dx;
    out->biasXy = dx * dy;
    out->biasYy = dy * dy;
}

// The shift of the position that the anchors in `held` (named late by the
// evidence) still used in the fit give it, their estimated extra paths
// through the fit's sensitivity M^-1 g, as a covariance into `out`: the
// biases add up, so the shift's outer product.
void keptBias(const NlosTagState &state, const QVarLengthArray<int, 16> &entries, const FixAnchors &set,
              const FixResiduals &fit, const QVarLengthArray<int, 2> &held, NlosFix *out)
{
    double dx = 0, dy = 0;
    for (int i : held)
        if (set[i].used)
            addShift(fit, i, state.evidence[entries[i]].bias(), &dx, &dy);
    setBias(dx, dy, out);
}

// Decays the tag's evidence with the fix and the distance walked, adds this
// fix's prediction error of every anchor of the set and counts the minute's
// tallies. Entries not heard from for long go last, so `entries` stays valid
// until then.
void updateEvidence(NlosTagState &state, const QVarLengthArray<int, 16> &entries, const FixAnchors &set,
                    const FixResiduals &fit, const TAG_XYZ_t &position, double sigma)
{
    // Evidence only from fits that tell anchors apart: with one degree of
    // freedom every used anchor's prediction error is the same number
    // scaled, and a clean anchor would collect the blocked one's evidence.
    const bool tells = fit.degrees >= 2;
    const double variance = sigma * sigma;
    double retain = kEvidenceRetain;
    if (state.hasLast) {
        // 1 / (1 + d + d^2 / 2) for d = distance / kEvidenceDistance: as
        // exp(-d) for short steps, a little slower beyond, and no exp.
        const double dx = position.x - state.last.x, dy = position.y - state.last.y;
        const double d = std::sqrt(dx * dx + dy * dy) * (1 / kEvidenceDistance);
        retain /= 1 + d + 0.5 * d * d;
    }
    if (state.evidence.size() != entries.size()) {
        // Anchors of the tag not in this set fade too. (A set names each
        // anchor once, so equal sizes mean every entry is in it.)
        for (NlosEvidence &e : state.evidence) {
            e.weightedSum *= retain;
            e.weight *= retain;
        }
        retain = 1;
    }
    const double clip = std::max(kEvidenceClip, 5 * sigma);
    const double precision = 1 / variance;
    // suspects()' bound for the next set (the entries change nowhere else):
    // the largest bias among entries whose z-score passes the gate.
    double mostLate = -1;
    // Both tests without a branch between them: a clean anchor's sum is as
    // likely negative as positive, a branch on its sign mispredicted half the time.
    const auto late = [&mostLate](const NlosEvidence &e) {
        const double sum = e.weightedSum;
        if ((sum > 0) & (sum * sum > kEvidenceGate * kEvidenceGate * e.weight))
            mostLate = std::max(mostLate, sum / e.weight);
    };
    for (int i = 0; i < entries.size(); ++i) {
        NlosEvidence &e = state.evidence[entries[i]];
        e.weightedSum *= retain;
        e.weight *= retain;
        ++e.positions;
        if (!set[i].used)
            ++e.leftOut;
        const FixPrediction &p = fit.anchors[i];
        const double predicted = p.error;
        if (!tells || !(p.weight > 0) || !std::isfinite(predicted)) {
            late(e);
            continue;
        }
        const double w = p.weight * precision; // 1/m^2
        const double error = qBound(-clip, predicted, clip);
        // The break test, (error - bias)^2 > break^2 (1/w + 1/weight), with
        // bias = sum / weight, multiplied through by weight^2 w: no division.
        const double change = error * e.weight - e.weightedSum;
        if (change * change * w > kEvidenceBreak * kEvidenceBreak * e.weight * (e.weight + w))
            e.weightedSum = e.weight = 0;
        e.weightedSum += w * error;
        e.weight += w;
        late(e);
    }
    for (int k = state.evidence.size() - 1; k >= 0 && state.evidence.size() != entries.size(); --k) {
        const NlosEvidence &e = state.evidence[k];
        if (e.weight * variance < kEvidenceForgotten && e.positions == 0 && !entries.contains(k))
            state.evidence.remove(k);
        else if (!entries.contains(k))
            late(e);
    }
    state.mostLate = mostLate;
    state.last = position;
    state.hasLast = true;
}

void addTallies(QHash<quint64, NlosMinuteCount> &sum, const NlosEvidence &e)
{
    if (e.positions == 0)
        return;
    NlosMinuteCount &c = sum[e.anchor];
    c.positions += e.positions;
    c.leftOut += e.leftOut;
}

} // namespace

void NlosRejection::nlosSetGeometry(const QMap<ANCHOR_IMEI_t, AnchorXYZ> &configured)
{
    coordinates.clear();
    coordinateOf.clear();
    for (auto it = configured.cbegin(); it != configured.cend(); ++it) {
        coordinateOf.insert(idNumber(it.key().imei), coordinates.size());
        coordinates.append(it.value());
    }
    // Unique among instances too: a set's coordinates copied by one are
    // not taken for another's of the same generation.
    static std::atomic<int> generations{0};
    geometry = ++generations;
}

bool NlosRejection::nlosLocateTag(const TAG_IMEI_t &tag, const QList<ANCHOR_IMEI_t> &anchors,
                                  const QList<unsigned long long> &times, bool weighted, const Solve &solve,
                                  NlosFix *out, const NlosPrior *prior, const quint64 *ids,
                                  const double *offsets)
{
    const int n = anchors.size();
    if (n < 3 || times.size() != n)
        return false;
    NlosTagState &state = tags[idNumber(tag.imei)];
    // The set's evidence entries, looked for first at the set's own index:
    // a tag's sets list their anchors in the same order fix after fix.
    QVarLengthArray<int, 16> entries(n);
    // Most often the tag's entries are the set's anchors in its order, all
    // of the current geometry: one comparison each, no search.
    const NlosEvidence *known = state.evidence.constData();
    bool same = ids && state.current == geometry && state.evidence.size() == n;
    // The set's coordinates are in place when it holds those of the same
    // anchors in the same order, copied from this geometry.
    bool placed = same && out->placedGeometry == geometry && out->placed.size() == n;
    if (same) {
        // Every one compared, no branch per anchor.
        const quint64 *last = placed ? out->placed.constData() : ids;
        quint64 differ = 0, moved = 0;
        for (int i = 0; i < n; ++i) {
            differ |= known[i].anchor ^ ids[i];
            moved |= last[i] ^ ids[i];
            entries[i] = i;
        }
        same = differ == 0;
        placed = placed && same && moved == 0;
    }
    if (!same)
        state.current = -1; // until every entry is found of this geometry again
    for (int i = 0; !same && i < n; ++i) {
        const quint64 number = ids ? ids[i] : idNumber(anchors.at(i).imei);
        int k = i < state.evidence.size() && state.evidence[i].anchor == number ? i : -1;
        for (int j = 0; k < 0 && j < state.evidence.size(); ++j)
            if (state.evidence[j].anchor == number)
                k = j;
        if (k < 0) {
            k = state.evidence.size();
            NlosEvidence fresh;
            fresh.anchor = number;
            state.evidence.append(fresh);
        }
        NlosEvidence &e = state.evidence[k];
        if (e.geometry != geometry) {
            const auto it = coordinateOf.constFind(number);
            if (it == coordinateOf.constEnd())
                return false; // the solver would refuse the set too
            e.coordinates = it.value();
            e.geometry = geometry;
        }
        entries[i] = k;
    }
    if (!same && std::all_of(state.evidence.cbegin(), state.evidence.cend(),
                             [this](const NlosEvidence &e) { return e.geometry == geometry; }))
        state.current = geometry;
    if (!placed) {
        // Copied here, where the ids are at hand; none recorded without them.
        FixAnchors &set = out->set;
        sizeTo(set, n);
        for (int i = 0; i < n; ++i)
            set[i].xyz = coordinates.at(state.evidence[entries[i]].coordinates);
        out->placedGeometry = ids ? geometry : -1;
        sizeTo(out->placed, ids ? n : 0);
        std::copy(ids, ids + out->placed.size(), out->placed.data());
    }
    if (!locate(state, anchors, times, entries, weighted, solve, out, prior, offsets))
        return false;
    if (out->leftOut.isEmpty())
        return true;
    for (int i : out->leftOut)
        metrics::addAnchor(metrics::AnchorCounter::LeftOut, anchors.at(i).imei);
    LogWriter *log = LogWriter::getLogCenter();
    if (!log->isDebugEnabled())
        return true; // the line's text is not even made
    QByteArray text;
    for (int i : out->leftOut) {
        text += IdHex(anchors.at(i).imei).text();
        text += ' ';
    }
    log->debugOutput("(nlos) -> tag_imei:%s left out %s", IdHex(tag.imei).text(), text.constData());
    return true;
}

bool NlosRejection::locate(NlosTagState &state, const QList<ANCHOR_IMEI_t> &anchors,
                           const QList<unsigned long long> &times, const QVarLengthArray<int, 16> &entries,
                           bool /*weighted: the solve fits*/, const Solve &solve, NlosFix *out,
                           const NlosPrior *prior, const double *offsets)
{
    const int n = anchors.size();
    const double variance = sigma * sigma;
    // Worked on in place: the set (its coordinates in place) and the fit
    // are the caller's (no copies of some 2 kB per fix).
    FixAnchors &set = out->set;
    fixRanges(set, times, offsets);
    const int mostLeftOut = qBound(0, n - kFewestUsed, kMostLeftOut);
    const int mostBeforeSolve = prior ? qBound(0, n - kFewestUsed, kMostLeftOutTracked) : mostLeftOut;
    const int mostSearched = prior ? qBound(0, n - kFewestUsed, kMostLeftOutSearched) : mostLeftOut;
    const auto leaveOut = [&set](const QVarLengthArray<int, 2> &which) {
        FixAnchor *anchor = set.data();
        for (int i = 0; i < set.size(); ++i)
            anchor[i].used = true;
        for (int i : which) // indices into the set
            anchor[i].used = false;
    };
    // Every solve starts at the track's expectation (closer than the last
    // fix for a walking tag), else at the tag's own start.
    TAG_XYZ_t from = prior ? TAG_XYZ_t{prior->x, prior->y, prior->z} : state.start;
    NlosStart start{prior || state.hasStart ? &from : nullptr, nullptr};
    const auto fitUsed = [&](FixResiduals *fit, TAG_XYZ_t *position) {
        const TAG_XYZ_t *solved = solve(set, start, fit, &outcome);
        start.reciprocal = nullptr; // the rows made at the start are the first solve's
        if (outcome.outcome == FixSolve::Diverged) {
            state.hasStart = false;
            if (!prior)
                start.point = nullptr;
        } else if (outcome.outcome == FixSolve::Solved && outcome.converged) {
            state.start = outcome.position;
            state.hasStart = true;
            if (!prior)
                start.point = &(from = outcome.position);
        }
        if (!solved)
            return false;
        *position = *solved;
        return true;
    };
    FixResiduals &fit = out->fit;
    // With a track, the rows at its expectation: they show the anchors it
    // holds late, and are the first solve's first iteration.
    QVarLengthArray<double, 16> reciprocal(prior ? n : 0);
    if (prior && fixRows(set, from, &fit, reciprocal.data()))
        start.reciprocal = reciprocal.constData();

    // First the anchors the evidence already holds to be late; when the rest
    // pass the test, that is the fix (one solve, the usual case).
    // The fit's own test below still has the last word on them.
    const QVarLengthArray<int, 2> held = suspects(state, entries, sigma, prior ? n : mostBeforeSolve);
    QVarLengthArray<int, 2> left(held.constData(), held.constData() + std::min<int>(held.size(), mostBeforeSolve));
    if (prior && left.size() < mostBeforeSolve)
        priorSuspects(fit.residual.constData(), n, *prior, sigma, mostBeforeSolve, &left);
    if (!left.isEmpty()) // (fixRanges made every anchor used)
        leaveOut(left);
    QVarLengthArray<int, 2> named;
    TAG_XYZ_t position{0, 0, 0};
    bool solved = fitUsed(&fit, &position);
    const auto early = [&] {
        for (int i : left) {
            const FixPrediction &p = fit.anchors[i];
            if (p.error < 0 && p.error * p.error * p.weight > kPriorEarly * kPriorEarly * variance)
                return true;
        }
        return false;
    };
    bool searched = false; // the whole set's misfit chose the anchors left out
    if (!solved || fit.chiSquare > variance * chiSquare99(fit.degrees) || (prior && early())) {
        // Otherwise the whole set decides which to leave out (with a track,
        // also when an anchor left out shows early: the expectation named a
        // clean one, and a late one stayed in).
        named = left;
        if (!left.isEmpty()) {
            left.clear();
            leaveOut(left);
            solved = fitUsed(&fit, &position);
        }
        if (!solved) {
            LogWriter::getLogCenter()->debugOutput("nlos: no position from the set's anchors");
            return false;
        }
        if (fit.chiSquare > variance * chiSquare99(fit.degrees) && mostSearched > 0) {
            const QVarLengthArray<int, 2> chosen =
                prior ? priorSearch(set, fit, position, *prior, mostSearched, variance, named)
                      : search(fit, mostLeftOut, variance);
            FixResiduals refit;
            TAG_XYZ_t repositioned{0, 0, 0};
            leaveOut(chosen);
            if (!chosen.isEmpty() && fitUsed(&refit, &repositioned)) {
                searched = true;
                left = chosen;
                fit = refit;
                position = repositioned;
            } else {
                leaveOut(left);
            }
        }
    }
    out->biasXx = out->biasXy = out->biasYy = 0;
    if (prior)
        keptBias(state, entries, set, fit, held, out);
    // Without a track, an anchor left out keeps its geometry
    // when the evidence's estimate of its extra path explains its range.
    FixRefit keptFit;
    QVarLengthArray<int, 2> kept;
    if (!prior && !left.isEmpty())
        kept = keepCorrected(state, entries, set, fit, position, left, &keptFit);
    // They count as used: updateEvidence counts them left out, as the fit has
    // them (and may drop stale entries, so `entries` is not used after it).
    for (int i : kept)
        --state.evidence[entries[i]].leftOut;
    updateEvidence(state, entries, set, fit, position, sigma);

    out->position = position;
    if (!left.isEmpty() || !out->leftOut.isEmpty()) // (the assignment reallocates even when both are empty)
        out->leftOut = left;
    if (!kept.isEmpty()) {
        // The fit stays the solve's (what the evidence and the site's learning
        // read), with the final covariance.
        for (int i : kept)
            out->leftOut.remove(int(std::find(out->leftOut.begin(), out->leftOut.end(), i) - out->leftOut.begin()));
        out->position = keptFit.position;
        fit.cxx = keptFit.cxx;
        fit.cxy = keptFit.cxy;
        fit.cyy = keptFit.cyy;
    }
    if (searched && !prior && fit.chiSquare > variance * chiSquare99(fit.degrees)) {
        // Still failing: the fix's covariance grows with the misfit
        // (fixNoiseVariance), but the late range left in shows in the
        // residuals only by the share the fit did not absorb. Its estimated
        // extra path (its prediction error) moves the position by u b, u =
        // M^-1 g of its row: that goes into the covariance as a bias.
        int late = -1;
        double most = 0;
        for (int i = 0; i < set.size(); ++i) {
            const FixPrediction &p = fit.anchors[i];
            if (set[i].used && p.error > 0 && p.error * p.error * p.weight > most) {
                most = p.error * p.error * p.weight;
                late = i;
            }
        }
        if (late >= 0) {
            double dx = 0, dy = 0;
            addShift(fit, late, fit.anchors[late].error, &dx, &dy);
            setBias(dx, dy, out);
        }
    } else if (!prior && (searched || !kept.isEmpty())) {
        // Anchors picked by the misfit of one fix may leave a smaller extra
        // path in the rest, below what the test sees, and a kept anchor's
        // correction is an estimate: the fix claims no better than the
        // misfit of what remains says. (Two metal cabinets at 0.1 m of noise:
        // calibration 1.16 on one seed with searched fixes only, 0.95 to 1.07
        // with kept ones too.)
        const double misfit = kept.isEmpty() ? fit.chiSquare : keptFit.chiSquare;
        const int degrees = fit.degrees + kept.size();
        const double scale = degrees > 0 ? misfit / (degrees * variance) : 1;
        if (scale > 1) {
            fit.cxx *= scale;
            fit.cxy *= scale;
            fit.cyy *= scale;
        }
    }
    if (!out->leftOut.isEmpty()) { // the next solve starts from the fix, not from a solve with late anchors
        state.start = out->position;
        state.hasStart = true;
    }
    return true;
}

QVarLengthArray<int, 2> NlosRejection::keepCorrected(const NlosTagState &state, const QVarLengthArray<int, 16> &entries,
                                                     const FixAnchors &set, const FixResiduals &fit,
                                                     const TAG_XYZ_t &position, const QVarLengthArray<int, 2> &left,
                                                     FixRefit *refit)
{
    const int n = set.size();
    const double variance = sigma * sigma;
    const double spread = std::max(0.0, keptSpread);
    QVarLengthArray<double, 16> weight(n), correction(n);
    QVarLengthArray<int, 2> kept;
    QVarLengthArray<double, 2> excess;
    for (int i = 0; i < n; ++i) {
        weight[i] = set[i].used ? 1 : 0;
        correction[i] = 0;
    }
    for (int i : left) {
        const NlosEvidence &e = state.evidence[entries[i]];
        const FixPrediction &p = fit.anchors[i];
        if (!(e.weight > 0) || !(p.weight > 0) || set[i].used)
            continue;
        // The estimate's variance: its standard error, widened by the extra
        // path's own spread from reception to reception.
        const double estimate = (1 + spread / variance) / e.weight;
        const double extra = estimate + spread;
        const double error = p.error - e.bias();
        const double errorVariance = variance / p.weight + extra;
        if (!(error * error <= kKeepGate * kKeepGate * errorVariance)) // NaN too
            continue; // the extra path changed, or a spike: out it stays
        weight[i] = variance / (variance + extra);
        correction[i] = e.bias();
        kept.append(i);
        excess.append(error * error - variance / p.weight - estimate);
    }
    if (kept.isEmpty())
        return kept;
    // The kept anchors must fit with the rest: else they stay out.
    const int degrees = fit.degrees + kept.size();
    if (!fixRefit(set, position, weight.constData(), correction.constData(), refit)
        || !(refit->chiSquare <= variance * chiSquare99(degrees))) {
        kept.clear();
        return kept;
    }
    // The spread of extra paths round their estimates, learned over the
    // site's kept anchors: what their corrected ranges miss by beyond the
    // noise and the estimates' own error.
    for (double x : excess)
        keptSpread += kSpreadLearning * (x - keptSpread);
    return kept;
}

NlosEvidence NlosRejection::nlosEvidence(const TAG_IMEI_t &tag, const ANCHOR_IMEI_t &anchor) const
{
    const auto it = tags.constFind(idNumber(tag.imei));
    const quint64 number = idNumber(anchor.imei);
    if (it != tags.constEnd())
        for (const NlosEvidence &e : it->evidence)
            if (e.anchor == number)
                return e;
    return NlosEvidence();
}

bool NlosRejection::nlosStart(const TAG_IMEI_t &tag, TAG_XYZ_t *at) const
{
    const auto it = tags.constFind(idNumber(tag.imei));
    if (it == tags.constEnd() || !it->hasStart)
        return false;
    *at = it->start;
    return true;
}

void NlosRejection::nlosForgetTag(const TAG_IMEI_t &tag)
{
    const auto it = tags.find(idNumber(tag.imei));
    if (it == tags.end())
        return;
    for (const NlosEvidence &e : qAsConst(it->evidence))
        addTallies(departed, e);
    tags.erase(it);
}

void NlosRejection::nlosLogMinute(qint64 nowMs)
{
    if (minuteStartMs == 0)
        minuteStartMs = nowMs;
    if (nowMs - minuteStartMs < kMinuteMs)
        return;
    minuteStartMs = nowMs;
    QHash<quint64, NlosMinuteCount> minute;
    minute.swap(departed);
    for (NlosTagState &state : tags) {
        for (NlosEvidence &e : state.evidence) {
            addTallies(minute, e);
            e.positions = e.leftOut = 0;
        }
    }
    LogWriter *log = LogWriter::getLogCenter();
    // In the anchors' order, so the lines of one minute read the same way.
    QList<quint64> anchors = minute.keys();
    std::sort(anchors.begin(), anchors.end());
    for (quint64 number : qAsConst(anchors)) {
        const NlosMinuteCount &c = minute.value(number);
        quint8 id[6];
        for (int b = 5; b >= 0; --b, number >>= 8)
            id[b] = quint8(number & 0xff);
        if (c.leftOut * 100 > c.positions * kLoggedPercent)
            log->infoOutput("anchor %s left out of %d of %d positions in the last minute", IdHex(id).text(),
                            c.leftOut, c.positions);
    }
}
