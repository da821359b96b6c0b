// Accuracy of algoTaylor in a simulated hall of 8 anchors against the
// Cramer-Rao lower bound of TDOA with one reference anchor.
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
// Usage: bench_solver_accuracy [sigma metres, default 0.1] [trials, default 400]

#include "bench/bench_hall.h"
#include "engine/algorithm.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr double kTick = 0.00468;
constexpr double kTagHeight = 1.2;
constexpr unsigned long long kOffset = 5000000000ULL;

double distance(const AnchorXYZ &a, const TAG_XYZ_t &t)
{
    return std::sqrt((a.x - t.x) * (a.x - t.x) + (a.y - t.y) * (a.y - t.y) + (a.z - t.z) * (a.z - t.z));
}

struct Bounds {
    double crlb; // sqrt(trace(FIM^-1))
    double ols;  // RMSE of unweighted least squares on the differences
};

// For x, y with z known, reference anchor 0, covariance Q = s^2 (I + 1 1^T):
// FIM = G^T Q^-1 G with Q^-1 = (I - 1 1^T / N) / s^2. The solver weights the
// differences equally, ignoring their correlation through the reference, so
// at best it reaches Cov = (G^T G)^-1 G^T Q G (G^T G)^-1, which the second
// figure gives.
Bounds bounds(const std::vector<AnchorXYZ> &anchors, const TAG_XYZ_t &t, double s)
{
    const size_t n = anchors.size();
    const double r0 = distance(anchors[0], t);
    std::vector<double> gx(n - 1), gy(n - 1);
    for (size_t i = 1; i < n; ++i) {
        const double ri = distance(anchors[i], t);
        gx[i - 1] = (t.x - anchors[i].x) / ri - (t.x - anchors[0].x) / r0;
        gy[i - 1] = (t.y - anchors[i].y) / ri - (t.y - anchors[0].y) / r0;
    }
    double sxx = 0, syy = 0, sxy = 0, sx = 0, sy = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        sxx += gx[i] * gx[i];
        syy += gy[i] * gy[i];
        sxy += gx[i] * gy[i];
        sx += gx[i];
        sy += gy[i];
    }
    const double m = double(n);
    const double v = s * s;
    const double fxx = (sxx - sx * sx / m) / v;
    const double fyy = (syy - sy * sy / m) / v;
    const double fxy = (sxy - sx * sy / m) / v;
    const double crlb = std::sqrt((fxx + fyy) / (fxx * fyy - fxy * fxy));

    // G^T Q G = s^2 (G^T G + (G^T 1)(1^T G)); A = (G^T G)^-1.
    const double d = sxx * syy - sxy * sxy;
    const double a00 = syy / d, a11 = sxx / d, a01 = -sxy / d;
    const double m00 = v * (sxx + sx * sx), m11 = v * (syy + sy * sy), m01 = v * (sxy + sx * sy);
    // trace(A M A) for symmetric 2 x 2 matrices.
    const double b00 = a00 * m00 + a01 * m01, b01 = a00 * m01 + a01 * m11;
    const double b10 = a01 * m00 + a11 * m01, b11 = a01 * m01 + a11 * m11;
    const double ols = std::sqrt(b00 * a00 + b01 * a01 + b10 * a01 + b11 * a11);
    return Bounds{crlb, ols};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double sigma = argc > 1 ? std::atof(argv[1]) : 0.1;
    const int trials = argc > 2 ? std::atoi(argv[2]) : 400;

    QTemporaryDir dir;
    if (!useHallConfig(dir.path(), kTagHeight))
        return 1;

    algorithm algo;
    QList<ANCHOR_IMEI_t> anchors;
    for (size_t i = 0; i < kHall.size(); ++i)
        anchors.append(anchorId(i));
    const QMap<ANCHOR_IMEI_t, AnchorXYZ> configured = algo.anchorXyzMap;

    // A 7 x 5 grid from wall to wall, 1 m inside the corner anchors.
    std::vector<TAG_XYZ_t> grid;
    for (int j = 0; j < 5; ++j)
        for (int i = 0; i < 7; ++i)
            grid.push_back(TAG_XYZ_t{1.0 + i * 28.0 / 6, 1.0 + j * 18.0 / 4, kTagHeight});
    const TAG_IMEI_t tag{{0x20, 0, 0, 0, 0, 1}};

    // Noise-free pass.
    double worstExact = 0;
    double worstRounded = 0;
    int exactFailures = 0;
    for (const TAG_XYZ_t &p : grid) {
        QList<unsigned long long> exact, rounded;
        for (size_t i = 0; i < kHall.size(); ++i) {
            const double d = distance(kHall[i], p);
            const double ticks = std::round(d / kTick);
            const double scale = ticks * kTick / d;
            algo.anchorXyzMap[anchorId(i)] = AnchorXYZ{p.x + (kHall[i].x - p.x) * scale,
                                                       p.y + (kHall[i].y - p.y) * scale,
                                                       p.z + (kHall[i].z - p.z) * scale};
            exact.append(kOffset + (unsigned long long)ticks);
            rounded.append(kOffset + (unsigned long long)ticks);
        }
        algo.tagLastXyz.remove(tag);
        const TAG_XYZ_t *r = algo.algoTaylor(tag, anchors, exact);
        if (!r)
            ++exactFailures;
        else
            worstExact = std::max(worstExact, std::hypot(r->x - p.x, r->y - p.y));
        // The same timestamps against the true anchors: rounding alone.
        algo.anchorXyzMap = configured;
        algo.tagLastXyz.remove(tag);
        r = algo.algoTaylor(tag, anchors, rounded);
        if (r)
            worstRounded = std::max(worstRounded, std::hypot(r->x - p.x, r->y - p.y));
    }
    std::printf("noise-free: %zu positions, worst error %.6f m, %d failed -> %s (limit 0.001 m)\n", grid.size(),
                worstExact, exactFailures, exactFailures == 0 && worstExact <= 0.001 ? "PASS" : "FAIL");
    std::printf("rounding to whole ticks only: worst error %.4f m\n\n", worstRounded);

    // Noisy pass.
    const double s = std::sqrt(sigma * sigma + kTick * kTick / 12.0);
    std::mt19937_64 rng(20240601);
    std::normal_distribution<double> noise(0.0, sigma);
    std::printf("sigma %.4f m per timestamp (with tick rounding %.4f m), %d trials per position, %zu anchors\n", sigma,
                s, trials, kHall.size());
    std::printf("%8s %8s %8s %10s %10s %8s %10s %8s\n", "x", "y", "solved", "rmse", "crlb", "ratio", "ls-bound",
                "rmse/ls");
    std::vector<double> ratios, lsRatios;
    for (const TAG_XYZ_t &p : grid) {
        double sumSq = 0;
        int solved = 0;
        for (int t = 0; t < trials; ++t) {
            QList<unsigned long long> ticks;
            for (const AnchorXYZ &a : kHall)
                ticks.append(kOffset + (unsigned long long)std::llround((distance(a, p) + noise(rng)) / kTick));
            algo.tagLastXyz.remove(tag);
            const TAG_XYZ_t *r = algo.algoTaylor(tag, anchors, ticks);
            if (!r)
                continue;
            ++solved;
            sumSq += (r->x - p.x) * (r->x - p.x) + (r->y - p.y) * (r->y - p.y);
        }
        const double rmse = solved ? std::sqrt(sumSq / solved) : NAN;
        const Bounds b = bounds(kHall, p, s);
        const double ratio = rmse / b.crlb;
        if (solved) {
            ratios.push_back(ratio);
            lsRatios.push_back(rmse / b.ols);
        }
        std::printf("%8.2f %8.2f %8d %10.4f %10.4f %8.3f %10.4f %8.3f\n", p.x, p.y, solved, rmse, b.crlb, ratio, b.ols,
                    rmse / b.ols);
    }
    const auto median = [](std::vector<double> v) {
        if (v.empty())
            return double(NAN);
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
    };
    const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
    std::printf("\nmedian RMSE / CRLB: %.3f (min %.3f, max %.3f)\n", median(ratios), ratios.empty() ? NAN : *lo,
                ratios.empty() ? NAN : *hi);
    std::printf("median RMSE / least-squares bound: %.3f\n", median(lsRatios));
    return 0;
}
