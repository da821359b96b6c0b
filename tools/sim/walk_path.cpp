#include "tools/sim/walk_path.h"

#include "tools/sim/obstacle_model.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kPi = 3.141592653589793;
// Integration step: 1 cm at walking pace.
constexpr double kStepSeconds = 0.01;
// A waypoint counts as reached this close, more than the turning radius at
// walking pace (1.3 m/s at 180 deg/s: 0.41 m), so a walker never circles one.
constexpr double kReached = 0.5;

// Draws for a waypoint clear of the keep-out footprints before the last is taken.
constexpr int kClearDraws = 200;

// True when the segment from a to b passes through the rectangle.
bool crosses(const QRectF &r, const QPointF &a, const QPointF &b)
{
    const double from[2] = {a.x(), a.y()}, to[2] = {b.x(), b.y()};
    const double least[2] = {r.left(), r.top()}, most[2] = {r.right(), r.bottom()};
    return segmentCrossesBox(2, from, to, least, most);
}

double wrapAngle(double a)
{
    while (a > kPi)
        a -= 2 * kPi;
    while (a < -kPi)
        a += 2 * kPi;
    return a;
}

} // namespace

WalkPath::WalkPath(const Area &a, const WalkSettings &s, std::mt19937_64 &random) : area(a), settings(s)
{
    position = clearPoint(nullptr, random);
    waypoint = clearPoint(&position, random);
    heading = std::atan2(waypoint.y() - position.y(), waypoint.x() - position.x());
}

QPointF WalkPath::randomPoint(std::mt19937_64 &random) const
{
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    return area.centre + QPointF(area.halfX * unit(random), area.halfY * unit(random));
}

QPointF WalkPath::clearPoint(const QPointF *from, std::mt19937_64 &random) const
{
    QPointF p = randomPoint(random);
    if (settings.keepOut.isEmpty())
        return p; // the same draws as before keep-out existed
    const double m = settings.keepOutMargin;
    for (int draw = 1; draw < kClearDraws; ++draw, p = randomPoint(random)) {
        const bool clear = std::none_of(settings.keepOut.cbegin(), settings.keepOut.cend(), [&](const QRectF &r) {
            // A walker already within the margin (rounding a corner) leaves
            // by any leg that misses the footprint itself.
            const QRectF wide = r.adjusted(-m, -m, m, m);
            return wide.contains(p) || (from && crosses(wide.contains(*from) ? r : wide, *from, p));
        });
        if (clear)
            break;
    }
    return p;
}

QPointF WalkPath::at(double seconds, std::mt19937_64 &random)
{
    while (time + kStepSeconds <= seconds) {
        step(kStepSeconds, random);
        time += kStepSeconds;
    }
    if (seconds > time) {
        step(seconds - time, random);
        time = seconds;
    }
    return position;
}

void WalkPath::step(double dt, std::mt19937_64 &random)
{
    const QPointF to = waypoint - position;
    if (std::hypot(to.x(), to.y()) < kReached && pauseLeft <= 0) {
        waypoint = clearPoint(&position, random);
        if (std::generate_canonical<double, 32>(random) < settings.pauseShare)
            pauseLeft = settings.longestPause * std::generate_canonical<double, 32>(random);
    }
    // Turn towards the waypoint at the limited rate; slow down for a sharp turn.
    const double wanted = std::atan2(waypoint.y() - position.y(), waypoint.x() - position.x());
    const double turn = wrapAngle(wanted - heading);
    const double most = settings.turnRate * kPi / 180 * dt;
    heading = wrapAngle(heading + std::clamp(turn, -most, most));
    double target = settings.speed * std::max(0.2, std::cos(turn));
    if (pauseLeft > 0) {
        target = 0;
        if (pace <= 0)
            pauseLeft -= dt;
    }
    const double change = settings.acceleration * dt;
    pace = std::clamp(target, pace - change, pace + change);
    position += pace * dt * QPointF(std::cos(heading), std::sin(heading));
}

} // namespace sim
