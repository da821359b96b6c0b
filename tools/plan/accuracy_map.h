#ifndef ACCURACY_MAP_H
#define ACCURACY_MAP_H

#include "tools/common/site_config.h"

#include <QVector>

#include <vector>

// The accuracy a layout of anchors can give: per point of the hall, the
// square root of the Cramer-Rao bound of the 2-D position (tag height known)
// from time differences of arrival, with the same timing noise at every
// anchor. With unit vectors u_i from anchor i to the tag (x and y parts of the
// 3-D direction) and their mean u, the Fisher information for noise s is
// F = sum (u_i - u)(u_i - u)^T / s^2, whatever anchor is the reference; the
// bound is trace(F^-1).
namespace plan {

// Running sums of one point's unit vectors, so that anchors can be added one
// at a time (the greedy suggestion tries every candidate on every point).
struct Geometry {
    double sxx = 0, sxy = 0, syy = 0; // sum of u u^T
    double sx = 0, sy = 0;            // sum of u
    int anchors = 0;
    bool degenerate = false; // the point lies on an anchor: no direction
    void add(double ax, double ay, double az, double x, double y, double z);
    // sqrt(CRLB) in metres for timing noise sigma; false when the geometry is
    // singular or nearly so (some direction is not fixed by the differences).
    bool error(double sigma, double *metres) const;
};

struct Cell {
    double x = 0;
    double y = 0;
    bool singular = false;
    double error = 0; // metres; meaningless when singular
    bool insideHull = false;
    Geometry geometry;
};

// Grid points every `step` metres over the anchors' bounding box widened by
// `margin`, row by row from the lowest y.
struct Grid {
    double x0 = 0, y0 = 0, step = 1;
    int columns = 0, rows = 0;
    std::vector<Cell> cells;
};

// Most grid points accepted, so that a tiny step cannot exhaust memory.
constexpr int kMostCells = 1000000;

// False (with a reason) when the grid would be empty or too large.
bool buildGrid(const SiteConfig &site, double sigma, double step, double margin, Grid *grid, QString *error);

struct Summary {
    int cells = 0;
    int singular = 0;
    int insideHull = 0;
    // Nearest-rank percentiles, singular points counted as worse than any
    // number: infinite when they reach that share.
    double p50 = 0, p90 = 0;
    bool haveWorst = false; // false when every point is singular
    Cell worst;             // largest finite error
    double under10cm = 0, under30cm = 0, under100cm = 0; // shares 0..1
};
Summary summarise(const Grid &grid);

struct Suggestion {
    double x = 0, y = 0, z = 0;
    double p50 = 0, p90 = 0; // of the hall with this and the earlier suggestions
    int singular = 0;
};

// Greedy: `count` times, the candidate point (every `candidateStep` metres
// over the grid's area, at height `anchorHeight`) that lowers the p90 most
// (ties: fewer singular points, then lower p50) is added to the layout.
// Candidates within 0.5 m of an anchor are skipped; fewer than `count` come
// back when no candidate is left.
QVector<Suggestion> suggestAnchors(const SiteConfig &site, const Grid &grid, double tagHeight, double sigma, int count,
                                   double candidateStep, double anchorHeight);

} // namespace plan

#endif // ACCURACY_MAP_H
