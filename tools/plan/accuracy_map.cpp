#include "tools/plan/accuracy_map.h"

#include "tools/sim/tag_path.h"

#include <QPointF>

#include <algorithm>
#include <cmath>
#include <limits>

namespace plan {

namespace {

constexpr double kInfinite = std::numeric_limits<double>::infinity();
// The smallest eigenvalue of the unit-noise information below this means the
// weakest direction multiplies the timing noise more than 1000-fold: no
// useful position there, so the point is marked rather than numbered.
constexpr double kSingularEigenvalue = 1e-6;
// Metres below which a point counts as on an anchor (no direction to it),
// and the slack of the grid's edges and of the hull test against rounding.
constexpr double kOnAnchor = 1e-9;
constexpr double kSlack = 1e-9;
// Closest horizontal distance of a suggested anchor to another anchor, metres.
constexpr double kAnchorSpacing = 0.5;

double at(const std::vector<double> &sorted, double share)
{
    if (sorted.empty())
        return kInfinite;
    const size_t rank = size_t(std::ceil(share * double(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

// Errors of all points, singular ones infinite, sorted.
std::vector<double> sortedErrors(const std::vector<Cell> &cells)
{
    std::vector<double> errors;
    errors.reserve(cells.size());
    for (const Cell &c : cells)
        errors.push_back(c.singular ? kInfinite : c.error);
    std::sort(errors.begin(), errors.end());
    return errors;
}

} // namespace

void Geometry::add(double ax, double ay, double az, double x, double y, double z)
{
    const double dx = x - ax, dy = y - ay, dz = z - az;
    const double r = std::sqrt(dx * dx + dy * dy + dz * dz);
    ++anchors;
    if (r < kOnAnchor) {
        degenerate = true;
        return;
    }
    const double ux = dx / r, uy = dy / r;
    sxx += ux * ux;
    sxy += ux * uy;
    syy += uy * uy;
    sx += ux;
    sy += uy;
}

bool Geometry::error(double sigma, double *metres) const
{
    if (degenerate || anchors < 3)
        return false;
    const double n = anchors;
    const double fxx = sxx - sx * sx / n;
    const double fyy = syy - sy * sy / n;
    const double fxy = sxy - sx * sy / n;
    const double trace = fxx + fyy;
    const double det = fxx * fyy - fxy * fxy;
    const double half = 0.5 * trace;
    const double smallest = half - std::sqrt(std::max(0.0, half * half - det));
    if (!(smallest >= kSingularEigenvalue) || !(det > 0))
        return false;
    *metres = sigma * std::sqrt(trace / det);
    return true;
}

bool buildGrid(const SiteConfig &site, double sigma, double step, double margin, Grid *grid, QString *error)
{
    if (!(step > 0) || !(margin >= 0) || !(sigma > 0)) {
        *error = QStringLiteral("step and noise must be above 0, margin at least 0");
        return false;
    }
    double minX = kInfinite, maxX = -kInfinite, minY = kInfinite, maxY = -kInfinite;
    QVector<QPointF> points;
    for (const SiteAnchor &a : site.anchors) {
        minX = std::min(minX, a.x);
        maxX = std::max(maxX, a.x);
        minY = std::min(minY, a.y);
        maxY = std::max(maxY, a.y);
        points.append(QPointF(a.x, a.y));
    }
    Grid g;
    g.step = step;
    g.x0 = minX - margin;
    g.y0 = minY - margin;
    // The slack keeps the far edge of a box of whole steps.
    const double columns = std::floor((maxX + margin - g.x0) / step + kSlack) + 1;
    const double rows = std::floor((maxY + margin - g.y0) / step + kSlack) + 1;
    if (!(columns * rows <= kMostCells)) {
        *error = QStringLiteral("a step of %1 m gives more than %2 grid points").arg(step).arg(kMostCells);
        return false;
    }
    g.columns = int(columns);
    g.rows = int(rows);
    const QVector<QPointF> hull = sim::convexHull(points);
    g.cells.reserve(size_t(g.columns) * size_t(g.rows));
    for (int j = 0; j < g.rows; ++j) {
        for (int i = 0; i < g.columns; ++i) {
            Cell c;
            c.x = g.x0 + i * step;
            c.y = g.y0 + j * step;
            for (const SiteAnchor &a : site.anchors)
                c.geometry.add(a.x, a.y, a.z, c.x, c.y, site.tagHeight);
            c.singular = !c.geometry.error(sigma, &c.error);
            // A point on the hull's edge counts as inside; a hull of collinear
            // anchors has no inside.
            c.insideHull = hull.size() >= 3 && sim::insideDistance(hull, QPointF(c.x, c.y)) >= -kSlack;
            g.cells.push_back(c);
        }
    }
    *grid = g;
    return true;
}

Summary summarise(const Grid &grid)
{
    Summary s;
    s.cells = int(grid.cells.size());
    int under[3] = {0, 0, 0};
    for (const Cell &c : grid.cells) {
        if (c.insideHull)
            ++s.insideHull;
        if (c.singular) {
            ++s.singular;
            continue;
        }
        if (!s.haveWorst || c.error > s.worst.error) {
            s.worst = c;
            s.haveWorst = true;
        }
        under[0] += c.error < 0.1;
        under[1] += c.error < 0.3;
        under[2] += c.error < 1.0;
    }
    const std::vector<double> errors = sortedErrors(grid.cells);
    s.p50 = at(errors, 0.5);
    s.p90 = at(errors, 0.9);
    if (s.cells > 0) {
        s.under10cm = double(under[0]) / s.cells;
        s.under30cm = double(under[1]) / s.cells;
        s.under100cm = double(under[2]) / s.cells;
    }
    return s;
}

QVector<Suggestion> suggestAnchors(const SiteConfig &site, const Grid &grid, double tagHeight, double sigma, int count,
                                   double candidateStep, double anchorHeight)
{
    QVector<Suggestion> out;
    if (count <= 0 || !(candidateStep > 0) || grid.cells.empty())
        return out;
    QVector<QPointF> taken;
    for (const SiteAnchor &a : site.anchors)
        taken.append(QPointF(a.x, a.y));
    const double x1 = grid.x0 + (grid.columns - 1) * grid.step;
    const double y1 = grid.y0 + (grid.rows - 1) * grid.step;
    QVector<QPointF> candidates;
    const int across = int(std::floor((x1 - grid.x0) / candidateStep + kSlack)) + 1;
    const int along = int(std::floor((y1 - grid.y0) / candidateStep + kSlack)) + 1;
    for (int j = 0; j < along; ++j)
        for (int i = 0; i < across; ++i)
            candidates.append(QPointF(grid.x0 + i * candidateStep, grid.y0 + j * candidateStep));

    std::vector<Geometry> current;
    current.reserve(grid.cells.size());
    for (const Cell &c : grid.cells)
        current.push_back(c.geometry);
    std::vector<double> errors(current.size());
    int singular = 0;
    // p90, singular count and p50 of the layout with one more anchor at p.
    const auto score = [&](const QPointF &p, bool keep) {
        singular = 0;
        for (size_t k = 0; k < current.size(); ++k) {
            Geometry g = current[k];
            g.add(p.x(), p.y(), anchorHeight, grid.cells[k].x, grid.cells[k].y, tagHeight);
            double e = 0;
            if (!g.error(sigma, &e)) {
                e = kInfinite;
                ++singular;
            }
            errors[k] = e;
            if (keep)
                current[k] = g;
        }
        std::sort(errors.begin(), errors.end());
        return Suggestion{p.x(), p.y(), anchorHeight, at(errors, 0.5), at(errors, 0.9), singular};
    };
    const auto better = [](const Suggestion &a, const Suggestion &b) {
        if (a.p90 != b.p90)
            return a.p90 < b.p90;
        if (a.singular != b.singular)
            return a.singular < b.singular;
        return a.p50 < b.p50;
    };
    // An anchor is not mounted on top of another: candidates this close
    // (horizontally) to a configured or suggested anchor are skipped.
    const auto occupied = [&](const QPointF &p) {
        for (const QPointF &a : taken)
            if (std::hypot(p.x() - a.x(), p.y() - a.y()) < kAnchorSpacing)
                return true;
        return false;
    };
    for (int n = 0; n < count; ++n) {
        Suggestion best;
        bool have = false;
        for (const QPointF &p : candidates) {
            if (occupied(p))
                continue;
            const Suggestion s = score(p, false);
            if (!have || better(s, best)) {
                best = s;
                have = true;
            }
        }
        if (!have)
            break;
        out.append(score(QPointF(best.x, best.y), true));
        taken.append(QPointF(best.x, best.y));
    }
    return out;
}

} // namespace plan
