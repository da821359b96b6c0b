#include "tools/sim/tag_path.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sim {

namespace {

double cross(const QPointF &o, const QPointF &a, const QPointF &b)
{
    return (a.x() - o.x()) * (b.y() - o.y()) - (a.y() - o.y()) * (b.x() - o.x());
}

double segmentDistance(const QPointF &p, const QPointF &a, const QPointF &b)
{
    const QPointF ab = b - a;
    const double len2 = QPointF::dotProduct(ab, ab);
    double t = len2 > 0 ? QPointF::dotProduct(p - a, ab) / len2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    const QPointF d = p - (a + t * ab);
    return std::hypot(d.x(), d.y());
}

} // namespace

QVector<QPointF> convexHull(QVector<QPointF> points)
{
    // Andrew's monotone chain.
    std::sort(points.begin(), points.end(), [](const QPointF &a, const QPointF &b) {
        return a.x() < b.x() || (a.x() == b.x() && a.y() < b.y());
    });
    if (points.size() < 3)
        return points;
    QVector<QPointF> hull(2 * points.size());
    int k = 0;
    for (const QPointF &p : points) {
        while (k >= 2 && cross(hull[k - 2], hull[k - 1], p) <= 0)
            --k;
        hull[k++] = p;
    }
    for (int i = points.size() - 2, lower = k + 1; i >= 0; --i) {
        while (k >= lower && cross(hull[k - 2], hull[k - 1], points[i]) <= 0)
            --k;
        hull[k++] = points[i];
    }
    hull.resize(k - 1);
    return hull;
}

double insideDistance(const QVector<QPointF> &hull, const QPointF &p)
{
    if (hull.size() < 3)
        return -std::numeric_limits<double>::infinity();
    bool inside = true;
    double nearest = std::numeric_limits<double>::infinity();
    for (int i = 0; i < hull.size(); ++i) {
        const QPointF &a = hull[i];
        const QPointF &b = hull[(i + 1) % hull.size()];
        if (cross(a, b, p) < 0)
            inside = false;
        nearest = std::min(nearest, segmentDistance(p, a, b));
    }
    return inside ? nearest : -nearest;
}

Area innerArea(const QVector<QPointF> &anchors, double margin)
{
    const QVector<QPointF> hull = convexHull(anchors);
    Area area;
    if (hull.size() < 3)
        return area;
    QPointF sum;
    double minX = hull[0].x(), maxX = minX, minY = hull[0].y(), maxY = minY;
    for (const QPointF &p : hull) {
        sum += p;
        minX = std::min(minX, p.x());
        maxX = std::max(maxX, p.x());
        minY = std::min(minY, p.y());
        maxY = std::max(maxY, p.y());
    }
    area.centre = sum / hull.size();
    if (insideDistance(hull, area.centre) < margin)
        return area;
    // Grow a rectangle of the bounding box's proportions until one of its
    // corners or edge midpoints comes within the margin of the boundary; for
    // a convex hull the rectangle's corners are its outermost points.
    const double w = (maxX - minX) / 2, h = (maxY - minY) / 2;
    double lo = 0, hi = 1;
    for (int step = 0; step < 40; ++step) {
        const double s = (lo + hi) / 2;
        bool fits = true;
        for (int cx : {-1, 1})
            for (int cy : {-1, 1})
                fits = fits && insideDistance(hull, area.centre + QPointF(cx * s * w, cy * s * h)) >= margin;
        (fits ? lo : hi) = s;
    }
    area.halfX = lo * w;
    area.halfY = lo * h;
    return area;
}

TagPath::TagPath(const Area &a, double maxSpeed, std::mt19937_64 &random) : area(a)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    constexpr double kTwoPi = 6.283185307179586;
    // The speed's peak is at most sqrt((ax wx)^2 + (ay wy)^2); share it out so
    // that each axis contributes at most maxSpeed / sqrt(2).
    const double axisSpeed = maxSpeed / std::sqrt(2.0) * (0.5 + 0.5 * unit(random));
    wx = area.halfX > 0 ? axisSpeed / area.halfX : 0;
    wy = area.halfY > 0 ? axisSpeed / area.halfY * (0.6 + 0.4 * unit(random)) : 0;
    px = kTwoPi * unit(random);
    py = kTwoPi * unit(random);
}

QPointF TagPath::at(double t) const
{
    return area.centre + QPointF(area.halfX * std::sin(wx * t + px), area.halfY * std::sin(wy * t + py));
}

double TagPath::speedAt(double t) const
{
    const double vx = area.halfX * wx * std::cos(wx * t + px);
    const double vy = area.halfY * wy * std::cos(wy * t + py);
    return std::hypot(vx, vy);
}

} // namespace sim
