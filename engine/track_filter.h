#ifndef TRACK_FILTER_H
#define TRACK_FILTER_H

#include "common/global_data.h"
#include "engine/id_number.h"

#include <QHash>
#include <QtGlobal>

// The tracking filter (track_filter=true): a constant-velocity Kalman filter
// per tag in the horizontal plane, in place of the moving mean. A moving mean
// of L fixes lags a walking tag by (L - 1) / 2 fix intervals (0.26 m for
// L = 5 at 1.3 m/s and 10 Hz); the filter carries a velocity and does not
// lag on straight legs. Every fix gives a position at once: no delay, and a
// fix beyond the gate pulls the track only a little.
//
// State and steps apart: TrackState is a plain value; trackPredict,
// trackUpdate and trackStart are functions of it.

// Position (m), velocity (m/s) and their covariance, order x, y, vx, vy.
struct TrackModel {
    double s[4] = {0, 0, 0, 0};
    double p[4][4] = {};
};

// Two values side by side, the agile model's and the calm one's: the models
// share their transition and differ only in process noise, so one vector
// instruction works both.
using TrackLanes = double __attribute__((vector_size(16)));

// The two models of a track: position and velocity, and the covariance's upper
// triangle by rows (00 01 02 03 11 12 13 22 23 33), each entry both models'.
// Between steps they are kept mixed for the next one (their interaction).
struct TrackModels {
    TrackLanes s[4] = {};
    TrackLanes p[10] = {};
};

// A tag's track: two models of its motion run side by side, one agile (twice
// track_accel's variance as process noise, scaled up in manoeuvres) and one
// calm (a small share of it: a person on a straight leg keeps a steady pace), mixed
// by how well each has predicted the recent fixes. The inherited s and p
// are their combination, the track's estimate.
struct TrackState : TrackModel {
    TrackModels models;
    double calmShare = 0; // probability of the calm model
    unsigned long long lastTicks = 0; // anchors' clock at the last fix
    qint64 lastMs = 0;                // monotonic ms of the last fix
    int gatedInRow = 0;
    // Running mean of the squared innovation distance, 2 (its expectation)
    // while the tag moves as modelled; above it the tag manoeuvres.
    double manoeuvre = 2;
    // Running mean of the fixes' variance (trace, m^2).
    double fixVariance = 0;
};

// A fix of the solver: position and its horizontal covariance (m^2).
struct TrackFix {
    double x = 0, y = 0;
    double cxx = 0, cxy = 0, cyy = 0;
};

// A fix whose squared innovation distance exceeds this is kept out of the
// track: the chi-square quantile for 2 degrees of freedom at 99.9%, so one
// in a thousand fixes of a tag that moves as modelled is gated. A person
// turning sharply at walking pace, or a fix off by several of its own
// standard deviations (an obstacle the NLOS step missed), goes beyond it.
constexpr double kTrackGate = 13.816;
// A gated fix still enters, its covariance widened by this times its
// distance over the gate: it then lies at half the gate's distance or less.
// bench_solver_rooms: walking past cabinets 0.99 of the told solve against
// 1.03 when gated fixes are left out (1.01 at 1.5, 0.99 at 3).
constexpr double kTrackBeyondGate = 2;
// After this many gated fixes in a row the track restarts at the newest
// fix: the tag is no longer where the track thinks (it turned, or the track
// followed bad fixes), 0.3 s at 10 Hz.
constexpr int kTrackRestartAfterGated = 3;
// Velocity uncertainty of a new track, m/s per axis: a brisk walk.
constexpr double kTrackStartSpeed = 1.5;
// Manoeuvres: a turn or a stop makes the innovations larger than their
// covariance says; their running mean (weight kTrackManoeuvreWeight per fix)
// over its expectation of 2 scales the process noise's variance up, so the
// track follows a turn instead of lagging it (at 1.3 m/s and 90 deg/s a
// person accelerates by 2 m/s^2, twice the default track_accel), and the
// fixes' covariance by its square root: fixes that keep missing the track by
// more than they claim (a tag walking past cabinets, late ranges the NLOS
// step cannot see) are trusted less, and the reported accuracy grows. Clipped
// at kTrackManoeuvreClip per fix, so one wild fix does not unsettle the track.
constexpr double kTrackManoeuvreWeight = 0.3;
constexpr double kTrackManoeuvreClip = 20;
// A fix whose covariance's trace exceeds this times the running mean of the
// tag's recent fixes' (weight kTrackFixVarianceWeight) is a wide one: its
// set failed the residual test with anchors left out, and the track's
// reported covariance is then at least the fix's. bench_solver_rooms,
// walking past cabinets (seeds 3 and 12): accuracy ratio 1.28 and 1.18
// without, 1.13 and 1.10 at this, 1.12 and 1.09 at 1.25 (walking rows 0.89
// to 0.91 either way); with the floor at 0.8 of the fix's, 1.16 and 1.12.
constexpr double kTrackWideFix = 1.5;
constexpr double kTrackFixVarianceWeight = 0.1;
// The two models of a track. The agile one's process noise variance is this
// times track_accel^2 (and the manoeuvre's scale): it answers turns, starts
// and stops, at 1.3 m/s and 90 deg/s some 2 m/s^2.
constexpr double kTrackAgile = 2;
// The calm one's is this times track_accel^2: a person on a straight leg or
// standing, whose fixes it averages over seconds where the agile model
// follows each. bench_solver_rooms, walking at 0.036 m of noise (seed 3):
// 0.79 of the raw solve with one model; with two, 0.74 at 0.05 (and a stay
// of 0.95), 0.70 at this with the agile model at 1 x, 0.66 at 2 x, 0.65 at
// 4 x (but the accuracy reported past cabinets then 1.33 x too small).
constexpr double kTrackCalm = 0.002;
// The chance per fix that a tag keeps its way of moving (calm or agile):
// some 10 s at 10 Hz. With the agile model at 1 x: 0.75 of raw at 0.9 (the
// calm one at 0.02), 0.70 at 0.98.
constexpr double kTrackStay = 0.99;

// Seconds between two fixes of a tag from the anchors' 40-bit clock, whose
// wraps (17.2 s) are counted from the monotonic milliseconds elapsed between
// their processing: the number of wraps that brings the step closest to the
// elapsed time. A step beyond the elapsed time plus a second (an anchor clock
// reset) is not believed; the elapsed time serves then. A set older than the
// last gives 0 and *later false: the caller keeps its later reading.
double trackTimeStep(unsigned long long lastTicks, unsigned long long ticks, qint64 elapsedMs, bool *later = nullptr);

// Moves the state dt seconds on; process noise: white acceleration of accel
// m/s^2 (1-sigma per axis) held over the step.
void trackPredict(TrackModel &state, double dt, double accel);
// Takes the fix in (covariance symmetric by construction) unless the gate keeps it
// out; true when taken. The squared innovation distance goes to *distance,
// the determinant of the innovation's covariance to *determinant.
bool trackUpdate(TrackModel &state, const TrackFix &fix, double *distance = nullptr, double *determinant = nullptr);
// A new track at the fix, standing still within kTrackStartSpeed.
void trackStart(TrackState &state, const TrackFix &fix, unsigned long long ticks, qint64 nowMs);

// The per-tag tracks and the settings.
class TrackFilter
{
public:
    // accel: track_accel; restartMs: silence after which a tag starts a new
    // track (active_time).
    TrackFilter(double accel = 1.0, qint64 restartMs = 10000) : accelSigma(accel), silenceMs(restartMs) {}

    enum Outcome { Started, Updated, Gated, Restarted };
    // One fix of the tag taken at anchor time `ticks` and processed at
    // monotonic `nowMs`; *track points at the tag's track afterwards, valid
    // until the next call.
    Outcome trackFilterStep(const TAG_IMEI_t &tag, const TrackFix &fix, unsigned long long ticks, qint64 nowMs,
                            const TrackState **track);
    void trackForgetTag(const TAG_IMEI_t &tag);
    int trackedTags() const { return tracks.size(); }
    // Where the tag's track expects a set taken at `ticks` and processed at
    // `nowMs`, and that expectation's horizontal variance (trace, m^2);
    // false when the tag has no current track. Kept for that set's fix.
    bool trackPrediction(const TAG_IMEI_t &tag, unsigned long long ticks, qint64 nowMs, double *x, double *y,
                         double *variance);
    // The time trackPrediction was given for the tag's set taken at `ticks`
    // when that set is the one it was last asked about, for the set's fix:
    // the caller reads its clock once per set.
    bool trackAskedAt(const TAG_IMEI_t &tag, unsigned long long ticks, qint64 *nowMs) const
    {
        if (!asked.track || asked.ticks != ticks || asked.key != idNumber(tag.imei))
            return false;
        *nowMs = asked.nowMs;
        return true;
    }

private:
    double accelSigma;
    qint64 silenceMs;
    QHash<quint64, TrackState> tracks; // by the tag's id as a number
    // The tag's track and the time step to the set trackPrediction was last
    // asked about, for that set's fix (the same clock reading processed at
    // the same millisecond): looked up and worked out once per set. The next
    // step and any change of the table clear it; a copy does not take it.
    struct Asked {
        TrackState *track = nullptr;
        quint64 key = 0;
        unsigned long long ticks = 0;
        qint64 nowMs = 0;
        double step = 0;
        bool later = true;
        Asked() = default;
        Asked(const Asked &) {}
        Asked &operator=(const Asked &)
        {
            track = nullptr;
            return *this;
        }
    } asked;
};

#endif // TRACK_FILTER_H
