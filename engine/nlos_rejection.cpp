#include "engine/nlos_rejection.h"

#include "common/common_function.h"
#include "common/logwriter.h"
#include "common/metrics.h"

#include <QByteArray>

#include <algorithm>
#include <cmath>

namespace {

// At most this many anchors of one set are left out, and never so many that
// fewer than kFewestUsed remain: with four anchors one degree of freedom is
// left to test the fit, with three none.
constexpr int kMostLeftOut = 2;
constexpr int kFewestUsed = 4;

// An anchor is left out before the solve when its estimated extra path is
// this many standard errors above zero (one-sided; 0.13% of clean anchors
// per fix if the errors were Gaussian and independent)...
constexpr double kEvidenceGate = 3.0;
// ...and at least this many times the noise of one range: a smaller bias
// moves the position less than leaving the anchor out costs in geometry.
constexpr double kEvidenceLeastBias = 1.0;
// Each fix keeps this share of the evidence: a memory of some 20 fixes, 2 s
// at 10 Hz, over which a placement's extra path stays nearly constant.
constexpr double kEvidenceRetain = 0.95;
// Walking forgets too: the evidence falls to 1/e over this many metres, as
// the path past an obstacle changes with the tag's place.
constexpr double kEvidenceDistance = 1.5;
// A prediction error this many standard deviations (its own and the
// estimate's) away from the estimate means the obstacle came or went: the
// evidence starts again from this fix instead of averaging across the change.
constexpr double kEvidenceBreak = 4.0;
// Prediction errors enter the evidence clipped to this many metres (or five
// sigma when the noise is larger): a spike of metres then restarts one
// anchor's evidence without leaving it flagged for long.
constexpr double kEvidenceClip = 1.0;
// Evidence below a thousandth of one observation's weight is dropped.
constexpr double kEvidenceForgotten = 1e-3;

constexpr qint64 kMinuteMs = 60000;
// An anchor left out of more than this share of its positions is logged.
constexpr int kLoggedPercent = 10;

template <typename State> auto findEvidence(State &state, const ANCHOR_IMEI_t &anchor) -> decltype(&state.evidence[0])
{
    for (auto &e : state.evidence)
        if (e.anchor == anchor)
            return &e;
    return nullptr;
}

// Solves the used anchors of the set; null when fewer than three are used or
// the solver finds no position.
const TAG_XYZ_t *solveUsed(const FixAnchors &set, const QList<ANCHOR_IMEI_t> &anchors,
                           const QList<unsigned long long> &times, const NlosRejection::Solve &solve)
{
    QList<ANCHOR_IMEI_t> usedAnchors;
    QList<unsigned long long> usedTimes;
    for (int i = 0; i < set.size(); ++i) {
        if (set[i].used) {
            usedAnchors.append(anchors.at(i));
            usedTimes.append(times.at(i));
        }
    }
    return solve(usedAnchors, usedTimes);
}

// The anchors of the set whose evidence holds them to be late, most
// significant first, at most `most`.
QVarLengthArray<int, 2> suspects(const NlosTagState &state, const QList<ANCHOR_IMEI_t> &anchors, double sigma, int most)
{
    QVarLengthArray<QPair<double, int>, 16> found;
    for (int i = 0; i < anchors.size(); ++i) {
        const NlosEvidence *e = findEvidence(state, anchors.at(i));
        if (!e || !(e->weight > 0))
            continue;
        const double z = e->bias() * std::sqrt(e->weight);
        if (z > kEvidenceGate && e->bias() > kEvidenceLeastBias * sigma)
            found.append(qMakePair(z, i));
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QVarLengthArray<int, 2> out;
    for (int k = 0; k < found.size() && k < most; ++k)
        out.append(found[k].second);
    return out;
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

// Decays the tag's evidence with the fix and the distance walked, then adds
// this fix's prediction error of every anchor of the set.
void updateEvidence(NlosTagState &state, const QList<ANCHOR_IMEI_t> &anchors, const FixResiduals &fit,
                    const TAG_XYZ_t &position, double sigma)
{
    const double variance = sigma * sigma;
    double retain = kEvidenceRetain;
    if (state.hasLast)
        retain *= std::exp(-std::hypot(position.x - state.last.x, position.y - state.last.y) / kEvidenceDistance);
    for (int i = state.evidence.size() - 1; i >= 0; --i) {
        NlosEvidence &e = state.evidence[i];
        e.weightedSum *= retain;
        e.weight *= retain;
        if (e.weight * variance < kEvidenceForgotten)
            state.evidence.remove(i);
    }
    const double clip = std::max(kEvidenceClip, 5 * sigma);
    for (int i = 0; i < anchors.size(); ++i) {
        const FixPrediction &p = fit.anchors[i];
        if (!std::isfinite(p.variance) || !std::isfinite(p.error))
            continue;
        const double w = 1 / (variance * p.variance);
        const double error = qBound(-clip, p.error, clip);
        NlosEvidence *e = findEvidence(state, anchors.at(i));
        if (!e) {
            state.evidence.append(NlosEvidence{anchors.at(i), 0, 0});
            e = &state.evidence.last();
        }
        const double spread = std::sqrt(1 / w + (e->weight > 0 ? 1 / e->weight : 0));
        if (std::fabs(error - e->bias()) > kEvidenceBreak * spread)
            *e = NlosEvidence{anchors.at(i), 0, 0};
        e->weightedSum += w * error;
        e->weight += w;
    }
    state.last = position;
    state.hasLast = true;
}

} // namespace

bool NlosRejection::nlosLocate(NlosTagState &state, const QList<ANCHOR_IMEI_t> &anchors, const QList<AnchorXYZ> &xyz,
                               const QList<unsigned long long> &times, bool weighted, const Solve &solve,
                               NlosFix *out)
{
    const int n = anchors.size();
    if (n < 3 || xyz.size() != n || times.size() != n)
        return false;
    const double variance = sigma * sigma;
    FixAnchors set = fixAnchors(xyz, times);
    const int mostLeftOut = qBound(0, n - kFewestUsed, kMostLeftOut);
    const auto leaveOut = [&set](const QVarLengthArray<int, 2> &which) {
        for (int i = 0; i < set.size(); ++i)
            set[i].used = !which.contains(i);
    };
    const auto fitUsed = [&](FixResiduals *fit, TAG_XYZ_t *position) {
        const TAG_XYZ_t *solved = solveUsed(set, anchors, times, solve);
        if (!solved || !fixResiduals(set, *solved, weighted, fit))
            return false;
        *position = *solved;
        return true;
    };

    // First the anchors the evidence already holds to be late; when the rest
    // pass the test, that is the fix (one solve, the usual case).
    QVarLengthArray<int, 2> left = suspects(state, anchors, sigma, mostLeftOut);
    leaveOut(left);
    FixResiduals fit;
    TAG_XYZ_t position{0, 0, 0};
    bool solved = fitUsed(&fit, &position);
    const bool passes = solved && !(fit.chiSquare > variance * chiSquare99(fit.degrees));
    if (!passes) {
        // Otherwise the whole set decides which to leave out.
        if (!left.isEmpty()) {
            left.clear();
            leaveOut(left);
            solved = fitUsed(&fit, &position);
        }
        if (!solved) {
            LogWriter::getLogCenter()->debugOutput("nlos: no position from the set's anchors");
            return false;
        }
        if (fit.chiSquare > variance * chiSquare99(fit.degrees) && mostLeftOut > 0) {
            const QVarLengthArray<int, 2> chosen = search(fit, mostLeftOut, variance);
            FixResiduals refit;
            TAG_XYZ_t repositioned{0, 0, 0};
            leaveOut(chosen);
            if (!chosen.isEmpty() && fitUsed(&refit, &repositioned)) {
                left = chosen;
                fit = refit;
                position = repositioned;
            } else {
                leaveOut(left);
            }
        }
    }
    updateEvidence(state, anchors, fit, position, sigma);

    const double scale = fixNoiseVariance(fit, sigma);
    out->position = position;
    out->cxx = scale * fit.cxx;
    out->cxy = scale * fit.cxy;
    out->cyy = scale * fit.cyy;
    out->leftOut = left;
    return true;
}

bool NlosRejection::nlosLocateTag(const TAG_IMEI_t &tag, const QList<ANCHOR_IMEI_t> &anchors,
                                  const QList<AnchorXYZ> &xyz, const QList<unsigned long long> &times, bool weighted,
                                  const Solve &solve, NlosFix *out)
{
    if (!nlosLocate(tags[tag], anchors, xyz, times, weighted, solve, out))
        return false;
    for (int i = 0; i < anchors.size(); ++i)
        ++minute[anchors.at(i)].positions;
    if (out->leftOut.isEmpty())
        return true;
    QByteArray text;
    for (int i : out->leftOut) {
        ++minute[anchors.at(i)].leftOut;
        metrics::addAnchorLeftOut(anchors.at(i).imei);
        text += IdHex(anchors.at(i).imei).text();
        text += ' ';
    }
    LogWriter::getLogCenter()->debugOutput("(nlos) -> tag_imei:%s left out %s", IdHex(tag.imei).text(),
                                           text.constData());
    return true;
}

void NlosRejection::nlosLogMinute(qint64 nowMs)
{
    if (minuteStartMs == 0)
        minuteStartMs = nowMs;
    if (nowMs - minuteStartMs < kMinuteMs)
        return;
    minuteStartMs = nowMs;
    LogWriter *log = LogWriter::getLogCenter();
    for (auto it = minute.cbegin(); it != minute.cend(); ++it) {
        const NlosMinuteCount &c = it.value();
        if (c.leftOut * 100 > c.positions * kLoggedPercent)
            log->infoOutput("anchor %s left out of %d of %d positions in the last minute",
                            IdHex(it.key().imei).text(), c.leftOut, c.positions);
    }
    minute.clear();
}
