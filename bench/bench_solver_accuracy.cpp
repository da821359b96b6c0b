// Accuracy of algoTaylor, unweighted and weighted (weighted_solve=true), on
// the same simulated data, against the Cramer-Rao lower bound of TDOA with
// one reference anchor, for three anchor layouts and three noise levels.
//
// Each reception time gets Gaussian noise of standard deviation sigma
// (metres of range) and is then rounded to whole ticks of 4.68 mm, as the
// anchors' clock does. The bound treats the rounding as extra independent
// noise of variance tick^2 / 12, so the range differences against the
// reference have covariance s^2 (I + 1 1^T) with s^2 = sigma^2 + tick^2 / 12.
// Every solve starts from the centre point: the tag's last solution is
// forgotten before each trial, as for a tag seen for the first time.
//
// A noise-free pass first checks that exact input reproduces each grid
// position to 1 mm; for it each anchor is moved along its line of sight to
// the tag (by less than half a tick) so that its distance is a whole number
// of ticks and the rounding vanishes.
//
// The targets of the weighted solve: median RMSE / sqrt(CRLB) at most 1.03
// and worst cell at most 1.10 in every layout and at every sigma. "se" is the
// sampling error (one standard error) of a cell's RMSE estimate, relative.
//
// Usage: bench_solver_accuracy [-v] [trials per cell, default 4000] [sigma metres ...,
//        default 0.02 0.1 0.3]     (-v: one line per grid cell)

#include "bench/bench_hall.h"
#include "engine/algorithm.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr double kTick = 0.00468;
constexpr double kTagHeight = 1.2;
constexpr unsigned long long kOffset = 5000000000ULL;
constexpr double kMedianTarget = 1.03;
constexpr double kWorstTarget = 1.10;

struct Layout {
    const char *name;
    std::vector<AnchorXYZ> anchors;
    // The grid spans this box: 7 x 5 positions from wall to wall.
    double x0, x1, y0, y1;
};

std::vector<Layout> layouts()
{
    const std::vector<AnchorXYZ> corners(kHall.begin(), kHall.begin() + 4);
    // The demo hall of config.ini.sample: 20 m x 15 m, six anchors at 3 m.
    const std::vector<AnchorXYZ> demo = {{0, 0, 3}, {20, 0, 3}, {20, 15, 3}, {0, 15, 3}, {10, 0, 3}, {10, 15, 3}};
    return {{"hall 30x20, 8 anchors", kHall, 1, 29, 1, 19},
            {"hall 30x20, 4 corner anchors", corners, 1, 29, 1, 19},
            {"demo hall 20x15, 6 anchors", demo, 1, 19, 1, 14}};
}

// A config.ini with the layout's anchors, the tag height and the method.
bool useConfig(const QString &dir, const std::vector<AnchorXYZ> &anchors, bool weighted)
{
    return useLayoutConfig(dir, anchors, kTagHeight,
                           weighted ? QStringLiteral("weighted_solve=true") : QStringLiteral("weighted_solve=false"));
}

// Squared errors of one method at one cell.
struct Errors {
    int solved = 0;
    double sum = 0;   // of squared 2-D errors
    double sumSq = 0; // of their squares, for the sampling error
    void add(const TAG_XYZ_t *r, const TAG_XYZ_t &p)
    {
        if (!r)
            return;
        const double e = (r->x - p.x) * (r->x - p.x) + (r->y - p.y) * (r->y - p.y);
        ++solved;
        sum += e;
        sumSq += e * e;
    }
    double rmse() const { return solved ? std::sqrt(sum / solved) : NAN; }
    // Relative standard error of rmse(): half that of the mean squared error.
    double relativeError() const
    {
        if (solved < 2)
            return NAN;
        const double mean = sum / solved;
        const double var = (sumSq / solved - mean * mean) * solved / (solved - 1);
        return 0.5 * std::sqrt(var / solved) / mean;
    }
};

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}

struct Summary {
    const char *layout;
    double sigma;
    double medianU, worstU, medianW, worstW, worstSe;
    int failedU, failedW;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int arg = 1;
    const bool verbose = argc > 1 && std::strcmp(argv[1], "-v") == 0;
    if (verbose)
        ++arg;
    const int trials = argc > arg ? std::max(2, std::atoi(argv[arg++])) : 4000;
    std::vector<double> sigmas;
    for (; arg < argc; ++arg)
        sigmas.push_back(std::atof(argv[arg]));
    if (sigmas.empty())
        sigmas = {0.02, 0.1, 0.3};

    QTemporaryDir dir;
    const TAG_IMEI_t tag{{0x20, 0, 0, 0, 0, 1}};
    std::vector<Summary> summaries;
    bool allPass = true;

    for (const Layout &layout : layouts()) {
        const std::vector<AnchorXYZ> &hall = layout.anchors;
        if (!useConfig(dir.path(), hall, false))
            return 1;
        algorithm plain;
        if (!useConfig(dir.path(), hall, true))
            return 1;
        algorithm weighted;
        if (plain.weightedSolve || !weighted.weightedSolve) {
            std::fprintf(stderr, "weighted_solve was not read as written\n");
            return 1;
        }
        algorithm *methods[2] = {&plain, &weighted};
        QList<ANCHOR_IMEI_t> anchors;
        for (size_t i = 0; i < hall.size(); ++i)
            anchors.append(anchorId(i));
        const QMap<ANCHOR_IMEI_t, AnchorXYZ> configured = plain.anchorXyzMap;

        std::vector<TAG_XYZ_t> grid;
        for (int j = 0; j < 5; ++j)
            for (int i = 0; i < 7; ++i)
                grid.push_back(TAG_XYZ_t{layout.x0 + i * (layout.x1 - layout.x0) / 6,
                                         layout.y0 + j * (layout.y1 - layout.y0) / 4, kTagHeight});

        std::printf("== %s, %zu grid positions\n", layout.name, grid.size());
        // Noise-free pass, both methods.
        for (int m = 0; m < 2; ++m) {
            algorithm &algo = *methods[m];
            double worst = 0;
            int failures = 0;
            for (const TAG_XYZ_t &p : grid) {
                QList<unsigned long long> exact;
                for (size_t i = 0; i < hall.size(); ++i) {
                    const double d = distance(hall[i], p);
                    const double ticks = std::round(d / kTick);
                    const double scale = ticks * kTick / d;
                    algo.anchorXyzMap[anchorId(i)] = AnchorXYZ{p.x + (hall[i].x - p.x) * scale,
                                                               p.y + (hall[i].y - p.y) * scale,
                                                               p.z + (hall[i].z - p.z) * scale};
                    exact.append(kOffset + (unsigned long long)ticks);
                }
                algo.tagLastXyz.remove(tag);
                const TAG_XYZ_t *r = algo.algoTaylor(tag, anchors, exact);
                if (!r)
                    ++failures;
                else
                    worst = std::max(worst, std::hypot(r->x - p.x, r->y - p.y));
            }
            algo.anchorXyzMap = configured;
            const bool pass = failures == 0 && worst <= 0.001;
            allPass = allPass && pass;
            std::printf("noise-free %-10s: worst error %.6f m, %d failed -> %s (limit 0.001 m)\n",
                        m ? "weighted" : "unweighted", worst, failures, pass ? "PASS" : "FAIL");
        }

        for (const double sigma : sigmas) {
            const double s = std::sqrt(sigma * sigma + kTick * kTick / 12.0);
            // Each row its own sample, the two methods the same one.
            std::mt19937_64 rng(20240601 + summaries.size());
            std::normal_distribution<double> noise(0.0, sigma);
            if (verbose) {
                std::printf("\nsigma %.3f m (with tick rounding %.4f m), %d trials per position\n", sigma, s, trials);
                std::printf("%7s %7s %8s %8s | %6s %8s %6s %7s | %6s %8s %6s %5s\n", "x", "y", "crlb", "ls-bound",
                            "solved", "rmse", "ratio", "rmse/ls", "solved", "rmse", "ratio", "se");
            }
            std::vector<double> ratioU, ratioW;
            double worstSe = 0, worstW = -1;
            int failedU = 0, failedW = 0;
            for (const TAG_XYZ_t &p : grid) {
                Errors e[2];
                for (int t = 0; t < trials; ++t) {
                    QList<unsigned long long> ticks;
                    for (const AnchorXYZ &a : hall)
                        ticks.append(kOffset
                                     + (unsigned long long)std::llround((distance(a, p) + noise(rng)) / kTick));
                    for (int m = 0; m < 2; ++m) {
                        methods[m]->tagLastXyz.remove(tag);
                        e[m].add(methods[m]->algoTaylor(tag, anchors, ticks), p);
                    }
                }
                const Bounds b = bounds(hall, p, s);
                const double ru = e[0].rmse() / b.crlb;
                const double rw = e[1].rmse() / b.crlb;
                failedU += trials - e[0].solved;
                failedW += trials - e[1].solved;
                if (e[0].solved)
                    ratioU.push_back(ru);
                if (e[1].solved) {
                    ratioW.push_back(rw);
                    if (rw > worstW) {
                        worstW = rw;
                        worstSe = e[1].relativeError();
                    }
                }
                if (verbose)
                    std::printf("%7.2f %7.2f %8.5f %8.5f | %6d %8.5f %6.3f %7.3f | %6d %8.5f %6.3f %5.3f\n", p.x,
                                p.y, b.crlb, b.ols, e[0].solved, e[0].rmse(), ru, e[0].rmse() / b.ols, e[1].solved,
                                e[1].rmse(), rw, e[1].relativeError());
            }
            const Summary sum{layout.name,
                              sigma,
                              median(ratioU),
                              ratioU.empty() ? NAN : *std::max_element(ratioU.begin(), ratioU.end()),
                              median(ratioW),
                              worstW,
                              worstSe,
                              failedU,
                              failedW};
            allPass = allPass && sum.medianW <= kMedianTarget && sum.worstW <= kWorstTarget;
            summaries.push_back(sum);
        }
        std::printf("\n");
    }

    std::printf("RMSE / sqrt(CRLB), %d trials per position, 35 positions (weighted targets: median <= %.2f, "
                "worst <= %.2f)\n",
                trials, kMedianTarget, kWorstTarget);
    std::printf("%-30s %6s | %-19s | %-26s | %s\n", "layout", "sigma", "unweighted", "weighted", "failed u/w");
    std::printf("%-30s %6s | %8s %10s | %8s %10s %6s |\n", "", "", "median", "worst", "median", "worst", "se");
    for (const Summary &s : summaries)
        std::printf("%-30s %6.2f | %8.3f %10.3f | %8.3f %10.3f %6.3f | %d/%d %s\n", s.layout, s.sigma, s.medianU,
                    s.worstU, s.medianW, s.worstW, s.worstSe, s.failedU, s.failedW,
                    s.medianW <= kMedianTarget && s.worstW <= kWorstTarget ? "PASS" : "FAIL");
    std::printf("%s\n", allPass ? "all PASS" : "some FAIL");
    return 0;
}
