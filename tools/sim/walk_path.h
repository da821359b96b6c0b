#ifndef WALK_PATH_H
#define WALK_PATH_H

#include "tools/sim/tag_path.h"

#include <QPointF>
#include <QRectF>
#include <QVector>

#include <random>

// A person walking between random waypoints of an area: straight legs at a
// steady pace, turns at a limited rate (so corners are rounded, as people
// turn within a step or two), a pause at some waypoints, and a limited
// acceleration when starting and stopping. The walk is stepped in time, so
// the times asked for must not go backwards.
namespace sim {

struct WalkSettings {
    double speed = 1.3;      // m/s on a straight leg
    double turnRate = 90;    // degrees per second at most: a corner within a second
    double pauseShare = 0.3; // share of waypoints with a pause
    double longestPause = 2; // seconds, a pause is uniform up to this
    double acceleration = 1.5; // m/s^2 when starting and stopping
    // Footprints a person walks round (cabinets): no waypoint, and no leg
    // towards one, comes nearer than keepOutMargin to them.
    QVector<QRectF> keepOut;
    double keepOutMargin = 0.5; // m, about the turning radius at pace
};

class WalkPath
{
public:
    WalkPath() = default;
    WalkPath(const Area &area, const WalkSettings &settings, std::mt19937_64 &random);
    // Position at `seconds` (not before the last time asked).
    QPointF at(double seconds, std::mt19937_64 &random);
    double speed() const { return pace; } // m/s at the last time asked

private:
    void step(double dt, std::mt19937_64 &random);
    QPointF randomPoint(std::mt19937_64 &random) const;
    // A random point clear of the keep-out footprints, reached from `from`
    // (null: none) by a leg clear of them too; the last point drawn when
    // none is found.
    QPointF clearPoint(const QPointF *from, std::mt19937_64 &random) const;

    Area area;
    WalkSettings settings;
    QPointF position;
    QPointF waypoint;
    double heading = 0; // radians
    double pace = 0;    // m/s
    double pauseLeft = 0;
    double time = 0;
};

} // namespace sim

#endif // WALK_PATH_H
