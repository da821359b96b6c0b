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

// Into `out`, `to` with the share w of `from` mixed in (the two models'
// interaction): the mean moves by w of the difference d, the covariance
// takes both and their spread, P = Pto + w (Pfrom - Pto) + w (1 - w) d d^T.
// Upper triangle, mirrored. `out` may be `to`.
void mixModel(TrackModel &out, const TrackModel &to, const TrackModel &from, double w)
{
    const double d[4] = {from.s[0] - to.s[0], from.s[1] - to.s[1], from.s[2] - to.s[2], from.s[3] - to.s[3]};
    const double spread = w * (1 - w);
    // Entry by entry with constant indices, into locals first (`out` may be
    // `to`): straight-line code without reloads after every store.
    const auto mix = [&](int i, int j) {
        return to.p[i][j] + w * (from.p[i][j] - to.p[i][j]) + spread * d[i] * d[j];
    };
    const double p00 = mix(0, 0), p01 = mix(0, 1), p02 = mix(0, 2), p03 = mix(0, 3);
    const double p11 = mix(1, 1), p12 = mix(1, 2), p13 = mix(1, 3);
    const double p22 = mix(2, 2), p23 = mix(2, 3), p33 = mix(3, 3);
    const double s0 = to.s[0] + w * d[0], s1 = to.s[1] + w * d[1], s2 = to.s[2] + w * d[2], s3 = to.s[3] + w * d[3];
    out.s[0] = s0;
    out.s[1] = s1;
    out.s[2] = s2;
    out.s[3] = s3;
    double (&p)[4][4] = out.p;
    p[0][0] = p00;
    p[0][1] = p[1][0] = p01;
    p[0][2] = p[2][0] = p02;
    p[0][3] = p[3][0] = p03;
    p[1][1] = p11;
    p[1][2] = p[2][1] = p12;
    p[1][3] = p[3][1] = p13;
    p[2][2] = p22;
    p[2][3] = p[3][2] = p23;
    p[3][3] = p33;
}

// Both models start a step from a mix of the two: the agile one takes the
// share toAgile of the calm one, the calm one toCalm of the agile one (the
// chances that the tag switched). mixModel twice, sharing the difference of
// the models' means and covariances.
void interact(TrackState &state, double toAgile, double toCalm)
{
    TrackModel &a = state.agile, &c = state.calm;
    const double d[4] = {c.s[0] - a.s[0], c.s[1] - a.s[1], c.s[2] - a.s[2], c.s[3] - a.s[3]};
    const double spreadA = toAgile * (1 - toAgile), spreadC = toCalm * (1 - toCalm);
    const auto mix = [&](int i, int j) {
        const double dp = c.p[i][j] - a.p[i][j], dd = d[i] * d[j];
        a.p[j][i] = a.p[i][j] += toAgile * dp + spreadA * dd;
        c.p[j][i] = c.p[i][j] -= toCalm * dp - spreadC * dd;
    };
    mix(0, 0);
    mix(0, 1);
    mix(0, 2);
    mix(0, 3);
    mix(1, 1);
    mix(1, 2);
    mix(1, 3);
    mix(2, 2);
    mix(2, 3);
    mix(3, 3);
    for (int i = 0; i < 4; ++i) {
        a.s[i] += toAgile * d[i];
        c.s[i] -= toCalm * d[i];
    }
}

// A fix against a model's prediction: the innovation n, its covariance
// S = H P H^T + R (H picking x and y), S's determinant and inverse, and the
// squared distance n^T S^-1 n.
struct Innovation {
    double nx = 0, ny = 0;
    double sxx = 0, sxy = 0, syy = 0;
    double det = 0;
    double ixx = 0, ixy = 0, iyy = 0;
    double d2 = 0;
};

// False when S is not positive (no distance then).
bool innovation(const TrackModel &m, const TrackFix &fix, Innovation *v)
{
    v->nx = fix.x - m.s[0];
    v->ny = fix.y - m.s[1];
    v->sxx = m.p[0][0] + fix.cxx;
    v->sxy = m.p[0][1] + fix.cxy;
    v->syy = m.p[1][1] + fix.cyy;
    v->det = v->sxx * v->syy - v->sxy * v->sxy;
    if (!(v->det > 0))
        return false;
    const double r = 1 / v->det;
    v->ixx = v->syy * r;
    v->ixy = -v->sxy * r;
    v->iyy = v->sxx * r;
    v->d2 = v->nx * (v->ixx * v->nx + v->ixy * v->ny) + v->ny * (v->ixy * v->nx + v->iyy * v->ny);
    return true;
}

// trackPredict with the acceleration's variance a2 (m^2/s^4).
void predict(TrackModel &state, double dt, double a2)
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
    const double qpp = a2 * dt2 * dt2 / 4, qpv = a2 * dt2 * dt / 2, qvv = a2 * dt2;
    p[0][0] += qpp;
    p[1][1] += qpp;
    p[0][2] += qpv;
    p[1][3] += qpv;
    p[2][2] += qvv;
    p[3][3] += qvv;
    p[1][0] = p[0][1];
    p[2][0] = p[0][2];
    p[3][0] = p[0][3];
    p[2][1] = p[1][2];
    p[3][1] = p[1][3];
    p[3][2] = p[2][3];
}

// The track's estimate: the two models weighted by their shares.
void combine(TrackState &state) { mixModel(state, state.agile, state.calm, state.calmShare); }

} // namespace

double trackTimeStep(unsigned long long lastTicks, unsigned long long ticks, qint64 elapsedMs, bool *later)
{
    const double elapsed = double(qMax<qint64>(elapsedMs, 0)) * 0.001;
    // The clock gives the step up to whole wraps: the number of wraps (one
    // back for a set older than the last) that brings it closest to the
    // elapsed wall time.
    const double wrap = double(1ULL << anchorclock::kClockBits) * kSecondsPerTick;
    const double within = double((ticks - lastTicks) & anchorclock::kClockMask) * kSecondsPerTick;
    // (None, the usual case, without a division and a rounding.)
    const double apart = elapsed - within;
    const double wraps = std::fabs(apart) < 0.5 * wrap ? 0 : std::max(-1.0, std::round(apart / wrap));
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

void trackPredict(TrackModel &state, double dt, double accel) { predict(state, dt, accel * accel); }

bool trackUpdate(TrackModel &state, const TrackFix &fix, double *distance, double *determinant)
{
    double (&p)[4][4] = state.p;
    Innovation v;
    const bool positive = innovation(state, fix, &v);
    if (determinant)
        *determinant = v.det;
    if (!positive)
        return false;
    if (distance)
        *distance = v.d2;
    if (!(v.d2 <= kTrackGate))
        return false;
    const double nx = v.nx, ny = v.ny, ixx = v.ixx, ixy = v.ixy, iyy = v.iyy;
    // P H^T: the first two rows of P (symmetric), as they were before the
    // update; K = P H^T S^-1 (4 x 2) by columns.
    const double u0[4] = {p[0][0], p[0][1], p[0][2], p[0][3]};
    const double u1[4] = {p[0][1], p[1][1], p[1][2], p[1][3]};
    double k0[4], k1[4];
    for (int i = 0; i < 4; ++i) {
        k0[i] = u0[i] * ixx + u1[i] * ixy;
        k1[i] = u0[i] * ixy + u1[i] * iyy;
        state.s[i] += k0[i] * nx + k1[i] * ny;
    }
    // P = P - K S K^T = P - K (P H^T)^T (= (I - K H) P for this gain) on
    // the upper triangle, mirrored to the lower: symmetric by construction,
    // and a quarter of the Joseph form's products. It stays positive while
    // the fix has a covariance of its own (S = H P H^T + R, R > 0); the
    // subtraction loses about log10(P / R) of a double's 16 digits, some 6
    // for a track that coasted a minute against a fix of a centimetre.
    const auto less = [&](int i, int j) { p[j][i] = p[i][j] -= k0[i] * u0[j] + k1[i] * u1[j]; };
    less(0, 0);
    less(0, 1);
    less(0, 2);
    less(0, 3);
    less(1, 1);
    less(1, 2);
    less(1, 3);
    less(2, 2);
    less(2, 3);
    less(3, 3);
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
    state.fixVariance = fix.cxx + fix.cyy;
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
    interact(state, calm * (1 - kTrackStay) / (1 - toCalm), (1 - calm) * (1 - kTrackStay) / toCalm);
    const double a2 = accelSigma * accelSigma;
    predict(state.agile, dt, kTrackAgile * manoeuvre * a2);
    predict(state.calm, dt, kTrackCalm * a2);
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
    double agileDet = 0, calmD2 = 0, calmDet = 0;
    const bool taken = trackUpdate(state.agile, scaled, &distance, &agileDet);
    const double agileD2 = distance;
    bool likely = true;
    if (taken) {
        trackUpdate(state.calm, scaled, &calmD2, &calmDet);
    } else {
        // The gate kept the fix from the agile model, so the calm one was
        // not updated: its distance is measured apart.
        Innovation calmFix;
        likely = agileDet > 0 && innovation(state.calm, scaled, &calmFix);
        calmD2 = calmFix.d2;
        calmDet = calmFix.det;
    }
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
    // The models' shares by how likely each made this fix: the calm one's
    // likelihood over the agile one's, exp(-(d2c - d2a) / 2) sqrt(deta / detc),
    // its exponent bounded so that it neither overflows nor underflows.
    if (likely && agileDet > 0 && calmDet > 0) {
        const double ratio = std::exp(qBound(-60.0, 0.5 * (agileD2 - calmD2), 60.0)) * std::sqrt(agileDet / calmDet);
        state.calmShare = toCalm * ratio / (1 - toCalm + toCalm * ratio);
    }
    combine(state);
    state.manoeuvre += kTrackManoeuvreWeight * (std::min(distance, kTrackManoeuvreClip) - state.manoeuvre);
    state.fixVariance += kTrackFixVarianceWeight * (fix.cxx + fix.cyy - state.fixVariance);
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
    // Only what the expectation needs of trackPredict: the position moved
    // on and the trace of its covariance block, no copy of the track.
    const TrackModel &m = *it;
    const double dt = trackTimeStep(it->lastTicks, ticks, nowMs - it->lastMs);
    const double dt2 = dt * dt;
    *x = m.s[0] + dt * m.s[2];
    *y = m.s[1] + dt * m.s[3];
    *variance = m.p[0][0] + m.p[1][1] + 2 * dt * (m.p[0][2] + m.p[1][3]) + dt2 * (m.p[2][2] + m.p[3][3])
                + accelSigma * accelSigma * dt2 * dt2 / 2;
    return true;
}
