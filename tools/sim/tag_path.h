#ifndef TAG_PATH_H
#define TAG_PATH_H

#include <QPointF>
#include <QVector>

#include <random>

// Smooth tag tracks that stay inside the anchors' convex hull, away from its
// edges: near the hull's boundary and outside it the geometry of the range
// differences degrades fast, and the simulator is meant to exercise the
// pipeline, not the solver's weak spots.
namespace sim {

// Convex hull of the points, counter-clockwise, without collinear points.
QVector<QPointF> convexHull(QVector<QPointF> points);

// Distance from p to the hull's boundary, positive inside, negative outside.
double insideDistance(const QVector<QPointF> &hull, const QPointF &p);

// The axis-aligned rectangle (centre, half extents) around the anchors' centre
// that stays at least `margin` inside the hull; empty half extents when the
// hull is too small for the margin.
struct Area {
    QPointF centre;
    double halfX = 0;
    double halfY = 0;
};
Area innerArea(const QVector<QPointF> &anchors, double margin);

// A Lissajous figure filling the area: x = cx + ax sin(wx t + px),
// y = cy + ay sin(wy t + py). Frequencies are drawn so that the speed stays
// near a walking pace (at most `maxSpeed` m/s).
class TagPath
{
public:
    TagPath() = default;
    TagPath(const Area &area, double maxSpeed, std::mt19937_64 &random);
    QPointF at(double seconds) const;
    // Speed along the path, m/s.
    double speedAt(double seconds) const;

private:
    Area area;
    double wx = 0, wy = 0, px = 0, py = 0;
};

} // namespace sim

#endif // TAG_PATH_H
