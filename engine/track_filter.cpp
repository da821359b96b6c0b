#include "engine/track_filter.h"

#include "common/common_function.h"
#include "common/logwriter.h"
#include "common/metrics.h"
#include "engine/anchor_clock.h"
#include "engine/id_number.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kSecondsPerTick = 1 / anchorclock::kTicksPerSecond;
// A step from the clock may exceed the elapsed processing time by this much
// (a backlog of records is worked off faster than it arrived).
constexpr double kClockSlackSeconds = 1.0;

// Into `to`, the share w of `from` (the two models' interaction): the mean
// moves by w of the difference, the covariance takes both and their spread.
void mixModel(TrackModel &to, const TrackModel &from, double w)
{
    if (!(w > 0))
        return;
    double d[4], e[4];
    for (int i = 0; i < 4; ++i) {
        const double mixed = to.s[i] + w * (from.s[i] - to.s[i]);
        d[i] = to.s[i] - mixed;
        e[i] = from.s[i] - mixed;
        to.s[i] = mixed;
    }
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            to.p[i][j] = (1 - w) * (to.p[i][j] + d[i] * d[j]) + w * (from.p[i][j] + e[i] * e[j]);
}

// Log-likelihood of the fix under the model's prediction (up to a constant
// shared by both models).
double fixLikelihood(const TrackModel &m, const TrackFix &fix)
{
    const double nx = fix.x - m.s[0], ny = fix.y - m.s[1];
    const double sxx = m.p[0][0] + fix.cxx, sxy = m.p[0][1] + fix.cxy, syy = m.p[1][1] + fix.cyy;
    const double det = sxx * syy - sxy * sxy;
    if (!(det > 0))
        return -HUGE_VAL;
    const double d2 = (syy * nx * nx - 2 * sxy * nx * ny + sxx * ny * ny) / det;
    return -0.5 * (d2 + std::log(det));
}

// The track's estimate: the two models weighted by their shares.
void combine(TrackState &state)
{
    TrackModel out = state.agile;
    mixModel(out, state.calm, state.calmShare);
    static_cast<TrackModel &>(state) = out;
}

} // namespace

double trackTimeStep(unsigned long long lastTicks, unsigned long long ticks, qint64 elapsedMs, bool *later)
{
    const double elapsed = double(qMax<qint64>(elapsedMs, 0)) * 0.001;
    // The clock gives the step up to whole wraps: the number of wraps (one
    // back for a set older than the last) that brings it closest to the
    // elapsed wall time.
    const double wrap = double(1ULL << anchorclock::kClockBits) * kSecondsPerTick;
    const double within = double((ticks - lastTicks) & anchorclock::kClockMask) * kSecondsPerTick;
    const double wraps = std::max(-1.0, std::round((elapsed - within) / wrap));
    const double dt = within + wraps * wrap;
    if (later)
        *later = !(dt < 0);
    if (dt < 0)
        return 0;
    if (dt > elapsed + kClockSlackSeconds) {
        // A clock reset: the elapsed time serves, and the new reading is the
        // reference from now on.
        return elapsed;
    }
    return dt;
}

void trackPredict(TrackModel &state, double dt, double accel)
{
    if (!(dt > 0))
        return;
    state.s[0] += dt * state.s[2];
    state.s[1] += dt * state.s[3];
    // P = F P F^T with F = [I, dt I; 0, I], in 2 x 2 blocks P = [A, B; B^T, C]:
    // A += dt (B + B^T) + dt^2 C, B += dt C, C stays; the upper triangle
    // worked out and mirrored, so P stays symmetric by construction.
    double (&p)[4][4] = state.p;
    const double dt2 = dt * dt;
    p[0][0] += 2 * dt * p[0][2] + dt2 * p[2][2];
    p[0][1] += dt * (p[0][3] + p[1][2]) + dt2 * p[2][3];
    p[1][1] += 2 * dt * p[1][3] + dt2 * p[3][3];
    p[0][2] += dt * p[2][2];
    p[0][3] += dt * p[2][3];
    p[1][2] += dt * p[3][2];
    p[1][3] += dt * p[3][3];
    // Q = accel^2 G G^T per axis, G = (dt^2 / 2, dt).
    const double a2 = accel * accel;
    const double qpp = a2 * dt2 * dt2 / 4, qpv = a2 * dt2 * dt / 2, qvv = a2 * dt2;
    for (int axis = 0; axis < 2; ++axis) {
        p[axis][axis] += qpp;
        p[axis][axis + 2] += qpv;
        p[axis + 2][axis + 2] += qvv;
    }
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
            p[j][i] = p[i][j];
}

bool trackUpdate(TrackModel &state, const TrackFix &fix, double *distance)
{
    double (&p)[4][4] = state.p;
    // Innovation and its covariance S = H P H^T + R, H picking x and y.
    const double nx = fix.x - state.s[0], ny = fix.y - state.s[1];
    const double sxx = p[0][0] + fix.cxx, sxy = p[0][1] + fix.cxy, syy = p[1][1] + fix.cyy;
    const double det = sxx * syy - sxy * sxy;
    if (!(det > 0))
        return false;
    const double r = 1 / det;
    const double ixx = syy * r, ixy = -sxy * r, iyy = sxx * r;
    const double d2 = nx * (ixx * nx + ixy * ny) + ny * (ixy * nx + iyy * ny);
    if (distance)
        *distance = d2;
    if (!(d2 <= kTrackGate))
        return false;
    // K = P H^T S^-1 (4 x 2).
    double k[4][2];
    for (int i = 0; i < 4; ++i) {
        k[i][0] = p[i][0] * ixx + p[i][1] * ixy;
        k[i][1] = p[i][0] * ixy + p[i][1] * iyy;
    }
    for (int i = 0; i < 4; ++i)
        state.s[i] += k[i][0] * nx + k[i][1] * ny;
    // P = P - K S K^T (= (I - K H) P for this gain) on the lower triangle,
    // mirrored to the upper: symmetric by construction, and a quarter of the
    // Joseph form's products. It stays positive while the fix has a
    // covariance of its own (S = H P H^T + R, R > 0); the subtraction loses
    // about log10(P / R) of a double's 16 digits, some 6 for a track that
    // coasted a minute against a fix of a centimetre.
    for (int i = 0; i < 4; ++i) {
        const double ks0 = k[i][0] * sxx + k[i][1] * sxy, ks1 = k[i][0] * sxy + k[i][1] * syy;
        for (int j = 0; j <= i; ++j) {
            p[i][j] -= ks0 * k[j][0] + ks1 * k[j][1];
            p[j][i] = p[i][j];
        }
    }
    return true;
}

void trackStart(TrackState &state, const TrackFix &fix, unsigned long long ticks, qint64 nowMs)
{
    state = TrackState();
    state.s[0] = fix.x;
    state.s[1] = fix.y;
    state.p[0][0] = fix.cxx;
    state.p[0][1] = state.p[1][0] = fix.cxy;
    state.p[1][1] = fix.cyy;
    state.p[2][2] = state.p[3][3] = kTrackStartSpeed * kTrackStartSpeed;
    state.lastTicks = ticks;
    state.lastMs = nowMs;
    state.agile = state.calm = state;
}

TrackFilter::Outcome TrackFilter::trackFilterStep(const TAG_IMEI_t &tag, const TrackFix &fix, unsigned long long ticks,
                                                  qint64 nowMs, const TrackState **track)
{
    const quint64 key = idNumber(tag.imei);
    auto it = tracks.find(key);
    if (it == tracks.end() || nowMs - it->lastMs > silenceMs) {
        TrackState &state = it == tracks.end() ? tracks[key] : *it;
        trackStart(state, fix, ticks, nowMs);
        *track = &state;
        return Started;
    }
    TrackState &state = *it;
    const double manoeuvre = std::max(1.0, state.manoeuvre / 2);
    bool later = true;
    const double dt = trackTimeStep(state.lastTicks, ticks, nowMs - state.lastMs, &later);
    // The models' interaction: each starts the step from a mix of both, by
    // the chance that the tag switched between them.
    const double calm = state.calmShare;
    const double toCalm = calm * kTrackStay + (1 - calm) * (1 - kTrackStay);
    const TrackModel agileBefore = state.agile;
    mixModel(state.agile, state.calm, calm * (1 - kTrackStay) / (1 - toCalm));
    mixModel(state.calm, agileBefore, (1 - calm) * (1 - kTrackStay) / toCalm);
    trackPredict(state.agile, dt, accelSigma * std::sqrt(kTrackAgile * manoeuvre));
    trackPredict(state.calm, dt, accelSigma * std::sqrt(kTrackCalm));
    // A set older than the last leaves the clock reading where it was: the
    // next step predicts from the later one, not over the same interval twice.
    if (later)
        state.lastTicks = ticks;
    state.lastMs = nowMs;
    Outcome outcome = Updated;
    double distance = kTrackManoeuvreClip;
    // Fixes that miss the track by more than their covariance says, run after
    // run (NLOS the residual test cannot see), are trusted that much less.
    TrackFix scaled = fix;
    const double distrust = std::sqrt(manoeuvre);
    scaled.cxx *= distrust;
    scaled.cxy *= distrust;
    scaled.cyy *= distrust;
    double likelyAgile = fixLikelihood(state.agile, scaled), likelyCalm = fixLikelihood(state.calm, scaled);
    const bool taken = trackUpdate(state.agile, scaled, &distance);
    if (taken)
        trackUpdate(state.calm, scaled);
    if (!taken && distance > kTrackGate && distance < HUGE_VAL) {
        // Beyond the gate the fix still counts, its covariance widened in
        // proportion to its distance: the farther it lies the less it pulls
        // (a wild one not at all), while a track that followed late ranges
        // for a while is drawn back by the good fixes after them instead of
        // answering with its own drifting prediction until it restarts.
        const double widen = kTrackBeyondGate * distance / kTrackGate;
        scaled.cxx *= widen;
        scaled.cxy *= widen;
        scaled.cyy *= widen;
        double widened = 0;
        trackUpdate(state.agile, scaled, &widened);
        trackUpdate(state.calm, scaled, &widened);
    }
    // The models' shares by how likely each made this fix.
    const double top = std::max(likelyAgile, likelyCalm);
    if (top > -HUGE_VAL) {
        likelyAgile = (1 - toCalm) * std::exp(likelyAgile - top);
        likelyCalm = toCalm * std::exp(likelyCalm - top);
        state.calmShare = likelyCalm / (likelyAgile + likelyCalm);
    }
    combine(state);
    state.manoeuvre += kTrackManoeuvreWeight * (std::min(distance, kTrackManoeuvreClip) - state.manoeuvre);
    if (taken) {
        state.gatedInRow = 0;
    } else {
        metrics::add(metrics::Counter::FixesGated);
        outcome = Gated;
        if (++state.gatedInRow >= kTrackRestartAfterGated) {
            trackStart(state, fix, ticks, nowMs);
            metrics::add(metrics::Counter::TrackRestarts);
            outcome = Restarted;
        }
        LogWriter::getLogCenter()->debugOutput("(track) -> tag_imei:%s fix (%.2f,%.2f) gated%s", IdHex(tag.imei).text(),
                                               fix.x, fix.y, outcome == Restarted ? ", track restarted" : "");
    }
    *track = &state;
    return outcome;
}

void TrackFilter::trackForgetTag(const TAG_IMEI_t &tag) { tracks.remove(idNumber(tag.imei)); }

bool TrackFilter::trackPrediction(const TAG_IMEI_t &tag, unsigned long long ticks, qint64 nowMs, double *x, double *y,
                                  double *variance) const
{
    const auto it = tracks.constFind(idNumber(tag.imei));
    if (it == tracks.constEnd() || nowMs - it->lastMs > silenceMs)
        return false;
    TrackState state = *it;
    trackPredict(state, trackTimeStep(state.lastTicks, ticks, nowMs - state.lastMs), accelSigma);
    *x = state.s[0];
    *y = state.s[1];
    *variance = state.p[0][0] + state.p[1][1];
    return true;
}
