#include "engine/track_filter.h"

#include "common/common_function.h"
#include "common/logwriter.h"
#include "common/metrics.h"
#include "engine/anchor_clock.h"
#include "engine/id_number.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double kSecondsPerTick = 1 / anchorclock::kTicksPerSecond;
// A step from the clock may exceed the elapsed processing time by this much
// (a backlog of records is worked off faster than it arrived).
constexpr double kClockSlackSeconds = 1.0;

using Lanes = TrackLanes;
using Mask = long long __attribute__((vector_size(16)));

// The upper triangle's entry (i, j), i <= j, in TrackModels::p.
constexpr int at(int i, int j) { return i * (7 - i) / 2 + j; }

// v where m is set, zero elsewhere.
Lanes only(Lanes v, Mask m) { return Lanes(Mask(v) & m); }

// f(i, j) for the entries of the upper triangle, f(i) for the four of the
// state: straight-line code with constant indices (-O2 leaves such loops).
template <typename F> inline __attribute__((always_inline)) void eachUpper(const F &f)
{
    f(0, 0), f(0, 1), f(0, 2), f(0, 3), f(1, 1), f(1, 2), f(1, 3), f(2, 2), f(2, 3), f(3, 3);
}
template <typename F> inline __attribute__((always_inline)) void eachOf4(const F &f) { f(0), f(1), f(2), f(3); }

// Moves both models dt seconds on, a2 their accelerations' variances (m^2/s^4).
inline __attribute__((always_inline)) void predict(TrackModels &m, double dt, Lanes a2)
{
    if (!(dt > 0))
        return;
    m.s[0] += dt * m.s[2];
    m.s[1] += dt * m.s[3];
    // P = F P F^T with F = [I, dt I; 0, I], in 2 x 2 blocks P = [A, B; B^T, C]:
    // A += dt (B + B^T) + dt^2 C, B += dt C, C stays.
    Lanes(&p)[10] = m.p;
    const double dt2 = dt * dt;
    p[at(0, 0)] += 2 * dt * p[at(0, 2)] + dt2 * p[at(2, 2)];
    p[at(0, 1)] += dt * (p[at(0, 3)] + p[at(1, 2)]) + dt2 * p[at(2, 3)];
    p[at(1, 1)] += 2 * dt * p[at(1, 3)] + dt2 * p[at(3, 3)];
    p[at(0, 2)] += dt * p[at(2, 2)];
    p[at(0, 3)] += dt * p[at(2, 3)];
    p[at(1, 2)] += dt * p[at(2, 3)];
    p[at(1, 3)] += dt * p[at(3, 3)];
    // Q = accel^2 G G^T per axis, G = (dt^2 / 2, dt).
    const Lanes qpp = a2 * dt2 * dt2 / 4, qpv = a2 * dt2 * dt / 2, qvv = a2 * dt2;
    p[at(0, 0)] += qpp;
    p[at(1, 1)] += qpp;
    p[at(0, 2)] += qpv;
    p[at(1, 3)] += qpv;
    p[at(2, 2)] += qvv;
    p[at(3, 3)] += qvv;
}

// A fix against both models' predictions: the innovation n, its covariance
// S = H P H^T + R (H picking x and y), S's determinant and inverse, and the
// squared distance n^T S^-1 n, each per model; `positive` where S is (none
// of them elsewhere).
struct Innovation {
    Lanes nx, ny;
    Lanes det;
    Lanes ixx, ixy, iyy;
    Lanes d2;
    Mask positive;
};

inline __attribute__((always_inline)) Innovation innovation(const TrackModels &m, const TrackFix &fix)
{
    Innovation v;
    v.nx = fix.x - m.s[0];
    v.ny = fix.y - m.s[1];
    const Lanes sxx = m.p[at(0, 0)] + fix.cxx, sxy = m.p[at(0, 1)] + fix.cxy, syy = m.p[at(1, 1)] + fix.cyy;
    v.det = sxx * syy - sxy * sxy;
    v.positive = Mask(v.det > 0);
    // (Where S is not positive, what follows is not a number or infinite:
    // every use is masked by `positive`, so the division need not wait for it.)
    const Lanes r = 1 / v.det;
    v.ixx = syy * r;
    v.ixy = -sxy * r;
    v.iyy = sxx * r;
    // (Its numerator worked out beside the division, not after it.)
    v.d2 = (v.nx * (syy * v.nx - sxy * v.ny) + v.ny * (sxx * v.ny - sxy * v.nx)) * r;
    return v;
}

// Takes the fix measured by v into the models where `take` is set; the others
// stay as they are to the bit.
inline __attribute__((always_inline)) void update(TrackModels &m, const Innovation &v, Mask take)
{
    const Lanes nx = only(v.nx, take), ny = only(v.ny, take);
    const Lanes ixx = only(v.ixx, take), ixy = only(v.ixy, take), iyy = only(v.iyy, take);
    Lanes(&p)[10] = m.p;
    // P H^T: the first two rows of P (symmetric), as they were before the
    // update; K = P H^T S^-1 (4 x 2) by columns.
    const Lanes u0[4] = {p[at(0, 0)], p[at(0, 1)], p[at(0, 2)], p[at(0, 3)]};
    const Lanes u1[4] = {p[at(0, 1)], p[at(1, 1)], p[at(1, 2)], p[at(1, 3)]};
    Lanes k0[4], k1[4];
    eachOf4([&](int i) {
        k0[i] = u0[i] * ixx + u1[i] * ixy;
        k1[i] = u0[i] * ixy + u1[i] * iyy;
        m.s[i] += k0[i] * nx + k1[i] * ny;
    });
    // P = P - K S K^T = P - K (P H^T)^T (= (I - K H) P for this gain) on the
    // upper triangle: symmetric by construction, and a quarter of the Joseph
    // form's products. It stays positive while the fix has a covariance of its
    // own (S = H P H^T + R, R > 0); the subtraction loses about log10(P / R) of
    // a double's 16 digits, some 6 for a track that coasted a minute against a
    // fix of a centimetre.
    eachUpper([&](int i, int j) { p[at(i, j)] -= k0[i] * u0[j] + k1[i] * u1[j]; });
}

// One model into both lanes.
TrackModels lanes(const TrackModel &m)
{
    TrackModels out;
    eachOf4([&](int i) { out.s[i] = Lanes{m.s[i], m.s[i]}; });
    eachUpper([&](int i, int j) { out.p[at(i, j)] = Lanes{m.p[i][j], m.p[i][j]}; });
    return out;
}

// trackTimeStep, inlined where the filter reads its clock.
inline __attribute__((always_inline)) double timeStep(unsigned long long lastTicks, unsigned long long ticks,
                                                     qint64 elapsedMs, bool *later)
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

// Lane 0 of m, all of P (mirrored).
void laneOut(TrackModel &out, const TrackModels &m)
{
    eachOf4([&](int i) { out.s[i] = m.s[i][0]; });
    eachUpper([&](int i, int j) { out.p[j][i] = out.p[i][j] = m.p[at(i, j)][0]; });
}

// The end of a step: the track's estimate, the two models weighted by their
// shares; then the models' interaction for the next step, each to start from
// a mix of both by the chance that the tag switched between them: the agile
// one takes the share toAgile of the calm one, the calm one fromAgile of the
// agile one. A mix moves the mean by its share w of the other's difference d
// and takes the other's covariance and their spread, P + w (Pother - P) +
// w (1 - w) d d^T: all three mixes share d and the covariances' difference.
// The shares are worked out from the models' odds (calm, agile), of which
// state.calmShare is calm / (agile + calm): toAgile = (1 - stay) calm /
// ((1 - stay) calm + stay agile), fromAgile likewise, both in one division
// that does not wait for the share's.
inline __attribute__((always_inline)) void settle(TrackState &state, double calm, double agile)
{
    TrackModels &m = state.models;
    const double w = state.calmShare, spread = w * (1 - w);
    const Lanes odds = Lanes{calm, agile} * (1 - kTrackStay);
    const Lanes share = odds / (odds + Lanes{agile, calm} * kTrackStay), spreads = share * (1 - share);
    const double d[4] = {m.s[0][1] - m.s[0][0], m.s[1][1] - m.s[1][0], m.s[2][1] - m.s[2][0], m.s[3][1] - m.s[3][0]};
    // The estimate two entries at a time (e and f, spread * d_i * d_j as
    // sd * dj); its upper triangle stored by rows where they pair up, mirrored.
    const double sd[4] = {spread * d[0], spread * d[1], spread * d[2], spread * d[3]};
    const auto estimate = [&](int e, int f, Lanes sdi, Lanes dj) {
        const Lanes agile = {m.p[e][0], m.p[f][0]};
        return agile + w * (Lanes{m.p[e][1], m.p[f][1]} - agile) + sdi * dj;
    };
    const Lanes p0 = estimate(at(0, 0), at(0, 1), Lanes{sd[0], sd[0]}, Lanes{d[0], d[1]});
    const Lanes p1 = estimate(at(0, 2), at(0, 3), Lanes{sd[0], sd[0]}, Lanes{d[2], d[3]});
    const Lanes p2 = estimate(at(1, 1), at(1, 2), Lanes{sd[1], sd[1]}, Lanes{d[1], d[2]});
    const Lanes p3 = estimate(at(1, 3), at(2, 2), Lanes{sd[1], sd[2]}, Lanes{d[3], d[2]});
    const Lanes p4 = estimate(at(2, 3), at(3, 3), Lanes{sd[2], sd[3]}, Lanes{d[3], d[3]});
    double (&p)[4][4] = state.p;
    std::memcpy(&p[0][0], &p0, sizeof p0);
    std::memcpy(&p[0][2], &p1, sizeof p1);
    std::memcpy(&p[1][1], &p2, sizeof p2);
    p[1][0] = p0[1];
    p[2][0] = p1[0];
    p[3][0] = p1[1];
    p[2][1] = p2[1];
    p[1][3] = p[3][1] = p3[0];
    p[2][2] = p3[1];
    p[2][3] = p[3][2] = p4[0];
    p[3][3] = p4[1];
    const Lanes s0 = {m.s[0][0], m.s[1][0]}, s1 = {m.s[2][0], m.s[3][0]};
    const Lanes s0w = s0 + w * Lanes{d[0], d[1]}, s1w = s1 + w * Lanes{d[2], d[3]};
    std::memcpy(&state.s[0], &s0w, sizeof s0w);
    std::memcpy(&state.s[2], &s1w, sizeof s1w);
    const Lanes dd[4] = {Lanes{d[0], d[0]}, Lanes{d[1], d[1]}, Lanes{d[2], d[2]}, Lanes{d[3], d[3]}};
    eachUpper([&](int i, int j) {
        Lanes &v = m.p[at(i, j)];
        v += share * (Lanes{v[1], v[0]} - v) + spreads * (dd[i] * dd[j]);
    });
    eachOf4([&](int i) { m.s[i] += share * (Lanes{m.s[i][1], m.s[i][0]} - m.s[i]); });
}

} // namespace

double trackTimeStep(unsigned long long lastTicks, unsigned long long ticks, qint64 elapsedMs, bool *later)
{
    return timeStep(lastTicks, ticks, elapsedMs, later);
}

void trackPredict(TrackModel &state, double dt, double accel)
{
    TrackModels m = lanes(state);
    predict(m, dt, Lanes{accel * accel, accel * accel});
    laneOut(state, m);
}

bool trackUpdate(TrackModel &state, const TrackFix &fix, double *distance, double *determinant)
{
    TrackModels m = lanes(state);
    const Innovation v = innovation(m, fix);
    if (determinant)
        *determinant = v.det[0];
    if (!v.positive[0])
        return false;
    if (distance)
        *distance = v.d2[0];
    if (!(v.d2[0] <= kTrackGate))
        return false;
    update(m, v, v.positive);
    laneOut(state, m);
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
    state.models = lanes(state);
}

namespace {

// A step's arithmetic on a current track: both models moved dt seconds on
// (accel2: track_accel^2), the fix taken in unless the gate keeps it out, the
// models' shares, the estimate; true when the fix was taken.
bool advance(TrackState &state, const TrackFix &fix, double dt, double accel2)
{
    TrackModels &models = state.models;
    const double manoeuvre = std::max(1.0, state.manoeuvre / 2);
    // The models were mixed at the end of the last step; the calm one's share
    // before this fix, by the chance that the tag switched.
    const double calm = state.calmShare;
    const double toCalm = calm * kTrackStay + (1 - calm) * (1 - kTrackStay);
    predict(models, dt, Lanes{kTrackAgile * manoeuvre * accel2, kTrackCalm * accel2});
    // Fixes that miss the track by more than their covariance says, run after
    // run (NLOS the residual test cannot see), are trusted that much less.
    TrackFix scaled = fix;
    const double distrust = std::sqrt(manoeuvre);
    scaled.cxx *= distrust;
    scaled.cxy *= distrust;
    scaled.cyy *= distrust;
    // The agile model's gate decides whether the fix is taken; the calm one
    // then takes it unless beyond its own gate.
    const Innovation v = innovation(models, scaled);
    const double agileDet = v.det[0], calmDet = v.det[1];
    const double distance = v.positive[0] ? v.d2[0] : kTrackManoeuvreClip;
    const bool taken = distance <= kTrackGate;
    if (taken) {
        update(models, v, v.positive & Mask(v.d2 <= kTrackGate));
    } else if (distance > kTrackGate && distance < HUGE_VAL) {
        // Beyond the gate the fix still counts, its covariance widened in
        // proportion to its distance: the farther it lies the less it pulls
        // (a wild one not at all), while a track that followed late ranges
        // for a while is drawn back by the good fixes after them instead of
        // answering with its own drifting prediction until it restarts.
        const double widen = kTrackBeyondGate * distance / kTrackGate;
        scaled.cxx *= widen;
        scaled.cxy *= widen;
        scaled.cyy *= widen;
        const Innovation w = innovation(models, scaled);
        update(models, w, w.positive & Mask(w.d2 <= kTrackGate));
    }
    // The models' shares by how likely each made this fix: the calm one's
    // likelihood over the agile one's, exp(-(d2c - d2a) / 2) sqrt(deta / detc),
    // its exponent bounded so that it neither overflows nor underflows.
    // The models' odds after this fix (their shares where it tells nothing).
    double calmOdds = calm, agileOdds = 1 - calm;
    if (agileDet > 0 && calmDet > 0) {
        calmOdds = std::exp(qBound(-60.0, 0.5 * (distance - v.d2[1]), 60.0)) * (toCalm * std::sqrt(agileDet / calmDet));
        agileOdds = 1 - toCalm;
        state.calmShare = calmOdds / (agileOdds + calmOdds);
    }
    settle(state, calmOdds, agileOdds);
    state.manoeuvre += kTrackManoeuvreWeight * (std::min(distance, kTrackManoeuvreClip) - state.manoeuvre);
    state.fixVariance += kTrackFixVarianceWeight * (fix.cxx + fix.cyy - state.fixVariance);
    return taken;
}

} // namespace

TrackFilter::Outcome TrackFilter::trackFilterStep(const TAG_IMEI_t &tag, const TrackFix &fix, unsigned long long ticks,
                                                  qint64 nowMs, const TrackState **track)
{
    const quint64 key = idNumber(tag.imei);
    // The prediction's lookup and step when it was asked about this set (and
    // the table is this filter's alone, not shared with a copy).
    TrackState *found = nullptr;
    const bool predicted = asked.track && asked.key == key && asked.ticks == ticks && asked.nowMs == nowMs
                           && tracks.isDetached();
    if (predicted) {
        found = asked.track;
    } else {
        const auto it = tracks.find(key);
        found = it == tracks.end() ? nullptr : &*it;
    }
    asked.track = nullptr;
    if (!found || nowMs - found->lastMs > silenceMs) {
        TrackState &state = found ? *found : tracks[key];
        trackStart(state, fix, ticks, nowMs);
        *track = &state;
        return Started;
    }
    TrackState &state = *found;
    bool later = asked.later;
    const double dt = predicted ? asked.step : timeStep(state.lastTicks, ticks, nowMs - state.lastMs, &later);
    Outcome outcome = Updated;
    if (advance(state, fix, dt, accelSigma * accelSigma)) {
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
    // A set older than the last leaves the clock reading where it was: the
    // next step predicts from the later one, not over the same interval twice.
    if (later)
        state.lastTicks = ticks;
    state.lastMs = nowMs;
    *track = &state;
    return outcome;
}

void TrackFilter::trackForgetTag(const TAG_IMEI_t &tag)
{
    tracks.remove(idNumber(tag.imei));
    asked.track = nullptr;
}

bool TrackFilter::trackPrediction(const TAG_IMEI_t &tag, unsigned long long ticks, qint64 nowMs, double *x, double *y,
                                  double *variance)
{
    const quint64 key = idNumber(tag.imei);
    const auto it = tracks.find(key);
    asked.track = nullptr; // whatever comes of this set, the last one asked about is gone
    if (it == tracks.end() || nowMs - it->lastMs > silenceMs)
        return false;
    // Only what the expectation needs of trackPredict: the position moved
    // on and the trace of its covariance block, no copy of the track.
    const TrackModel &m = *it;
    const double dt = timeStep(it->lastTicks, ticks, nowMs - it->lastMs, &asked.later);
    asked.track = &*it;
    asked.key = key;
    asked.ticks = ticks;
    asked.nowMs = nowMs;
    asked.step = dt;
    const double dt2 = dt * dt;
    *x = m.s[0] + dt * m.s[2];
    *y = m.s[1] + dt * m.s[3];
    *variance = m.p[0][0] + m.p[1][1] + 2 * dt * (m.p[0][2] + m.p[1][3]) + dt2 * (m.p[2][2] + m.p[3][3])
                + accelSigma * accelSigma * dt2 * dt2 / 2;
    return true;
}
