#include "engine/fix_residuals.h"

#include "engine/anchor_clock.h"

#include <algorithm>
#include <cmath>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// A normal matrix whose determinant falls below this share of its scale
// (trace / 3 cubed) is taken as singular: the weakest direction would
// multiply the noise more than some 1000-fold.
constexpr double kSingular = 1e-9;

// Exact chi-square quantiles at 99% for 1 to 12 degrees of freedom; beyond,
// the Wilson-Hilferty approximation, within 0.3% there.
constexpr double kChiSquare99[] = {6.635, 9.210, 11.345, 13.277, 15.086, 16.812,
                                   18.475, 20.090, 21.666, 23.209, 24.725, 26.217};
constexpr double kNormal99 = 2.3263; // one-sided 99% point of the standard normal

// fixSolve iterates as algoTaylor does.
using namespace fixsolve;
// A larger step, below kCheckedStep (|dx| + |dy|, metres), also ends them
// when the step after it is bound to stay below kCheckBound.
// bench_solver_rooms moves by at most 0.2% at 3 mm against the check
// iteration always made, by 1% at 1 cm.
constexpr double kCheckedStep = 0.2;
constexpr double kCheckBound = 0.003;

// Two anchors' numbers side by side in one register.
using Pair = double __attribute__((vector_size(16)));
using Mask = long long __attribute__((vector_size(16)));

// Both lanes' square roots, in one instruction where there is one.
inline Pair sqrtOf(Pair q)
{
#ifdef __SSE2__
    return _mm_sqrt_pd(q);
#else
    return Pair{std::sqrt(q[0]), std::sqrt(q[1])};
#endif
}

// Inverse of the symmetric 3 x 3 matrix m (row-major) into inv; false when singular.
inline __attribute__((always_inline)) bool invertSymmetric3(const double m[9], double inv[9])
{
    const double c00 = m[4] * m[8] - m[5] * m[7];
    const double c01 = m[5] * m[6] - m[3] * m[8];
    const double c02 = m[3] * m[7] - m[4] * m[6];
    const double det = m[0] * c00 + m[1] * c01 + m[2] * c02;
    const double scale = (m[0] + m[4] + m[8]) / 3.0;
    if (!(std::fabs(det) > kSingular * scale * scale * scale))
        return false;
    const double r = 1 / det;
    inv[0] = c00 * r;
    inv[1] = inv[3] = c01 * r;
    inv[2] = inv[6] = c02 * r;
    inv[4] = (m[0] * m[8] - m[2] * m[6]) * r;
    inv[5] = inv[7] = (m[2] * m[3] - m[0] * m[5]) * r;
    inv[8] = (m[0] * m[4] - m[1] * m[3]) * r;
    return true;
}


} // namespace

bool fixResiduals(const FixAnchors &set, const TAG_XYZ_t &p, bool weighted, FixResiduals *out)
{
    const int n = set.size();
    sizeTo(out->residual, n); // first the misfit: measured range minus distance, offset included
    sizeTo(out->gradient, 2 * n);
    // Through plain pointers: the compiler need not read the arrays' places
    // again after every store.
    const FixAnchor *anchor = set.constData();
    double *misfit = out->residual.data();
    double *gradient = out->gradient.data();
    const double px = p.x, py = p.y, pz = p.z;
    FixSums local; // no store to the arrays touches it: kept in registers
    for (int i = 0; i < n; ++i) {
        const AnchorXYZ &a = anchor[i].xyz;
        const double rho = std::sqrt((px - a.x) * (px - a.x) + (py - a.y) * (py - a.y) + (pz - a.z) * (pz - a.z));
        if (!(rho > 0))
            return false; // on top of an anchor: no direction to it
        const double inverse = 1 / rho;
        const double gx = (px - a.x) * inverse, gy = (py - a.y) * inverse, m = anchor[i].range - rho;
        gradient[2 * i] = gx;
        gradient[2 * i + 1] = gy;
        misfit[i] = m;
        if (anchor[i].used)
            local.add(gx, gy, m);
    }
    const FixSums sums = local;
    return fixFit(set, sums, weighted, out);
}

bool fixFit(const FixAnchors &set, const FixSums &sums, bool weighted, FixResiduals *out)
{
    const int n = set.size();
    sizeTo(out->anchors, n);
    const FixAnchor *anchor = set.constData();
    double *misfit = out->residual.data();
    const double *gradient = out->gradient.constData();
    FixPrediction *predictions = out->anchors.data();
    const double m[9] = {sums.xx, sums.xy, sums.x, sums.xy, sums.yy, sums.y, sums.x, sums.y, sums.count};
    double *inv = out->inverse;
    if (sums.count < 3 || !invertSymmetric3(m, inv))
        return false;
    const double offset = sums.m / sums.count;

    // One Gauss-Newton step of this model from the point: the residuals are
    // then those of its least-squares fit, whatever solve gave the point
    // (the unweighted one lands centimetres away, and stops within 1 cm of
    // its own optimum), and the leverages describe them exactly. The
    // misfits net of their mean sum to nothing: no third component.
    const double b0 = sums.xm - sums.x * offset, b1 = sums.ym - sums.y * offset;
    double step[3];
    for (int r = 0; r < 3; ++r)
        step[r] = inv[3 * r] * b0 + inv[3 * r + 1] * b1;

    double chiSquare = 0;
    out->degrees = int(sums.count) - 3;
    // The leverage g^T inv g for g = (gx, gy, 1) in Horner's form, the
    // doubled off-diagonal entries once per fit.
    const double q0 = inv[0], q1 = 2 * inv[1], q2 = 2 * inv[2], q4 = inv[4], q5 = 2 * inv[5], q8 = inv[8];
    const double base = offset + step[2], s0 = step[0], s1 = step[1];
    // e the residual, h the leverage, deleted e / (1 - h).
    const auto predict = [&](int i, double e, double h, double deleted) {
        misfit[i] = e; // now the residual
        FixPrediction &prediction = predictions[i];
        if (!anchor[i].used) {
            prediction = FixPrediction{e, 1 / (1 + h)};
            return;
        }
        chiSquare += e * e;
        // With 1 - h near 0 (three anchors, or four with one in a corner of
        // its own) the residual is near 0 whatever the range: no evidence.
        const double free = 1 - h;
        prediction = free > 1e-6 ? FixPrediction{deleted, free} : FixPrediction{0, 0};
    };
    int i = 0;
    // Two anchors at a time: one division for both (the same arithmetic per
    // anchor, the same results).
    for (; i + 2 <= n; i += 2) {
        const Pair gx = {gradient[2 * i], gradient[2 * i + 2]}, gy = {gradient[2 * i + 1], gradient[2 * i + 3]};
        const Pair e = Pair{misfit[i], misfit[i + 1]} - (base + gx * s0 + gy * s1);
        const Pair h = gx * (q0 * gx + q1 * gy + q2) + gy * (q4 * gy + q5) + q8;
        const Pair deleted = e / (1.0 - h);
        predict(i, e[0], h[0], deleted[0]);
        predict(i + 1, e[1], h[1], deleted[1]);
    }
    for (; i < n; ++i) {
        const double gx = gradient[2 * i], gy = gradient[2 * i + 1];
        const double e = misfit[i] - (base + gx * s0 + gy * s1);
        const double h = gx * (q0 * gx + q1 * gy + q2) + gy * (q4 * gy + q5) + q8;
        predict(i, e, h, e / (1 - h));
    }
    out->chiSquare = chiSquare;

    if (weighted) {
        out->cxx = inv[0];
        out->cxy = inv[1];
        out->cyy = inv[4];
        return true;
    }
    // Unweighted differences d_i - d_ref: Cov = A^-1 G^T (I + 1 1^T) G A^-1
    // = A^-1 + (A^-1 s)(A^-1 s)^T with A = G^T G and s = G^T 1, G's rows
    // g_i - g_ref, from the sums over the used anchors (the reference's own
    // row is zero).
    int ref = 0;
    while (!anchor[ref].used)
        ++ref;
    const double rx = gradient[2 * ref], ry = gradient[2 * ref + 1], c = sums.count;
    const double sx = sums.x - c * rx, sy = sums.y - c * ry;
    const double axx = sums.xx - rx * (sums.x + sx), ayy = sums.yy - ry * (sums.y + sy);
    const double axy = sums.xy - rx * sums.y - ry * sx;
    const double det = axx * ayy - axy * axy;
    if (!(det > kSingular * (axx + ayy) * (axx + ayy)))
        return false;
    const double ixx = ayy / det, ixy = -axy / det, iyy = axx / det;
    const double ux = ixx * sx + ixy * sy, uy = ixy * sx + iyy * sy;
    out->cxx = ixx + ux * ux;
    out->cxy = ixy + ux * uy;
    out->cyy = iyy + uy * uy;
    return true;
}

bool fixRows(const FixAnchors &set, const TAG_XYZ_t &at, FixResiduals *rows, double *reciprocal)
{
    const int n = set.size();
    sizeTo(rows->residual, n);
    sizeTo(rows->gradient, 2 * n);
    const FixAnchor *anchor = set.constData();
    double *misfit = rows->residual.data();
    double *gradient = rows->gradient.data();
    // In locals: no store to the arrays can change them.
    const double px = at.x, py = at.y, pz = at.z;
    bool apart = true;
    int i = 0;
    // Two anchors at a time: the square roots and divisions, which bound
    // this loop, take one turn of the divider for both (the same arithmetic
    // per anchor, the same results).
    const Pair x = {px, px}, y = {py, py}, z = {pz, pz}, one = {1, 1};
    Mask positive = {-1, -1};
    for (; i + 2 <= n; i += 2) {
        const AnchorXYZ &a = anchor[i].xyz, &b = anchor[i + 1].xyz;
        const Pair dx = x - Pair{a.x, b.x}, dy = y - Pair{a.y, b.y}, dz = z - Pair{a.z, b.z};
        const Pair rho = sqrtOf(dx * dx + dy * dy + dz * dz);
        const Pair inverse = one / rho;
        positive &= rho > 0;
        const Pair gx = dx * inverse, gy = dy * inverse;
        const Pair m = Pair{anchor[i].range, anchor[i + 1].range} - rho;
        reciprocal[i] = inverse[0];
        reciprocal[i + 1] = inverse[1];
        gradient[2 * i] = gx[0];
        gradient[2 * i + 1] = gy[0];
        gradient[2 * i + 2] = gx[1];
        gradient[2 * i + 3] = gy[1];
        misfit[i] = m[0];
        misfit[i + 1] = m[1];
    }
    apart = positive[0] && positive[1];
    for (; i < n; ++i) {
        const AnchorXYZ &a = anchor[i].xyz;
        const double dx = px - a.x, dy = py - a.y, dz = pz - a.z;
        const double rho = std::sqrt(dx * dx + dy * dy + dz * dz);
        const double inverse = 1 / rho;
        apart = apart && rho > 0;
        reciprocal[i] = inverse;
        gradient[2 * i] = dx * inverse;
        gradient[2 * i + 1] = dy * inverse;
        misfit[i] = anchor[i].range - rho;
    }
    return apart;
}

void fixSolve(const FixAnchors &set, const TAG_XYZ_t &start, bool weighted, FixResiduals *rows,
              const double *ready, FixSolve *out)
{
    // The used anchors, the first of them the reference, and whether their
    // ranges are plausible against it.
    const int size = set.size();
    const FixAnchor *anchor = set.constData();
    QVarLengthArray<int, 16> used(size);
    int n = 0;
    double reference = 0;
    bool synchronised = true;
    for (int i = 0; i < size; ++i) {
        if (!anchor[i].used)
            continue;
        if (n == 0)
            reference = anchor[i].range;
        else if (std::fabs(anchor[i].range - reference) > kMaxRangeDifference)
            synchronised = false;
        used[n++] = i;
    }
    if (n < 3 || !synchronised) {
        *out = FixSolve{n < 3 ? FixSolve::TooFew : FixSolve::Unsynchronised, false, 0, n, start, start, FixSums()};
        return;
    }
    sizeTo(rows->residual, size);
    sizeTo(rows->gradient, 2 * size);
    double *misfit = rows->residual.data();
    double *gradient = rows->gradient.data();
    // In locals, which no store to the arrays can touch, until the end.
    // 1 / distance per anchor of the set: the rows made at the start, or
    // this solve's own.
    QVarLengthArray<double, 16> own(ready ? 0 : size);
    const double *reciprocal = ready ? ready : own.constData();
    TAG_XYZ_t at = start, p = start;
    FixSums sums;
    FixSolve::Outcome outcome = FixSolve::Solved;
    bool converged = false;
    int iterations = 0;
    double lastDx = kFirstDelta, lastDy = kFirstDelta;
    for (int iteration = 1; iteration <= kMaxIterations; ++iteration) {
        iterations = iteration;
        at = p;
        // Summed in a local, whose fields no store to the arrays can touch:
        // they stay in registers.
        FixSums local;
        if (ready && iteration == 1) {
            for (int k = 0; k < n; ++k) {
                const int i = used[k];
                local.add(gradient[2 * i], gradient[2 * i + 1], misfit[i]);
            }
        } else {
            if (ready) { // a second iteration: rows of its own from here on
                own.resize(size);
                reciprocal = own.constData();
                ready = nullptr;
            }
            double *inverseOf = own.data();
            for (int k = 0; k < n; ++k) {
                const int i = used[k];
                const AnchorXYZ &a = anchor[i].xyz;
                const double dx = at.x - a.x, dy = at.y - a.y, dz = at.z - a.z;
                const double rho = std::sqrt(dx * dx + dy * dy + dz * dz);
                const double inverse = 1 / rho;
                const double gx = dx * inverse, gy = dy * inverse, m = anchor[i].range - rho;
                inverseOf[i] = inverse;
                gradient[2 * i] = gx;
                gradient[2 * i + 1] = gy;
                misfit[i] = m;
                local.add(gx, gy, m);
            }
        }
        sums = local;
        // The 2 x 2 normal equations of the step from the sums: the
        // differences against the reference (g_i - g_ref, m_i - m_ref), or
        // with weighted_solve the ranges with the send time fitted, which
        // is the whitened differences' step.
        double n00, n01, n11, b0, b1;
        const double c = sums.count;
        if (weighted) {
            const double mx = sums.x / c, my = sums.y / c;
            n00 = sums.xx - mx * sums.x;
            n01 = sums.xy - mx * sums.y;
            n11 = sums.yy - my * sums.y;
            b0 = sums.xm - mx * sums.m;
            b1 = sums.ym - my * sums.m;
        } else {
            const int r = used[0];
            const double rx = gradient[2 * r], ry = gradient[2 * r + 1], rm = misfit[r];
            const double sx = sums.x - c * rx, sy = sums.y - c * ry;
            n00 = sums.xx - rx * (sums.x + sx);
            n01 = sums.xy - rx * sums.y - ry * sx;
            n11 = sums.yy - ry * (sums.y + sy);
            b0 = sums.xm - rx * sums.m - rm * sx;
            b1 = sums.ym - ry * sums.m - rm * sy;
        }
        const double det = n00 * n11 - n01 * n01;
        if (det == 0.0) {
            outcome = FixSolve::Singular;
            break;
        }
        const Pair d = Pair{n11 * b0 - n01 * b1, n00 * b1 - n01 * b0} / det; // one division for both
        const double dx = d[0], dy = d[1];
        // On top of an anchor (zero distance) or with a nearly singular
        // normal matrix the step is inf or NaN.
        if (!std::isfinite(dx) || !std::isfinite(dy)) {
            outcome = FixSolve::NotFinite;
            break;
        }
        if (std::fabs(dx) > std::fabs(lastDx) && std::fabs(dy) > std::fabs(lastDy)) {
            outcome = FixSolve::Diverged;
            break;
        }
        p.x += dx;
        p.y += dy;
        lastDx = dx;
        lastDy = dy;
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
            outcome = FixSolve::NotFinite;
            break;
        }
        converged = std::fabs(dx) < kConvergedStep && std::fabs(dy) < kConvergedStep;
        const double step = std::fabs(dx) + std::fabs(dy);
        if (!converged && step < kCheckedStep) {
            // The next step answers what this linearisation left out: per
            // anchor the distance's curvature (at most step^2 / rho) and the
            // turn of its direction (at most step / rho) times its residual
            // e; through the normal matrix's inverse, whose norm is at most
            // its trace, it is at most trace(N^-1) step sum (step + |e|) / rho.
            const double offset = (sums.m - sums.x * dx - sums.y * dy) / c;
            double sum = 0;
            for (int k = 0; k < n; ++k) {
                const int i = used[k];
                const double e = misfit[i] - offset - gradient[2 * i] * dx - gradient[2 * i + 1] * dy;
                sum += (step + std::fabs(e)) * reciprocal[i];
            }
            converged = (n00 + n11) / det * step * sum < kCheckBound;
        }
        if (converged)
            break;
    }
    // The rows of the anchors left out, at the same point (made already
    // when that is the start's).
    for (int i = 0; i < size && outcome == FixSolve::Solved && !ready; ++i) {
        if (anchor[i].used)
            continue;
        const AnchorXYZ &a = anchor[i].xyz;
        const double dx = at.x - a.x, dy = at.y - a.y, dz = at.z - a.z;
        const double rho = std::sqrt(dx * dx + dy * dy + dz * dz);
        if (!(rho > 0)) {
            outcome = FixSolve::NotFinite; // on top of it: no direction to it
            break;
        }
        gradient[2 * i] = dx / rho;
        gradient[2 * i + 1] = dy / rho;
        misfit[i] = anchor[i].range - rho;
    }
    out->outcome = outcome;
    out->converged = converged;
    out->iterations = iterations;
    out->used = n;
    out->position = p;
    out->at = at;
    out->sums = sums;
}

bool fixLeaveOut(const FixResiduals &fit, int i, int j, double *chiSquare, double *shiftI, double *shiftJ)
{
    // Hat matrix entries h_ab = g_a^T M^-1 g_b; leaving S out lowers the
    // chi-square by e_S^T (I - H_SS)^-1 e_S, and (I - H_SS)^-1 e_S are the
    // shifts of S's ranges that the rest would not see.
    const auto hat = [&fit](int a, int b) {
        const double *m = fit.inverse;
        const double ax = fit.gradient[2 * a], ay = fit.gradient[2 * a + 1];
        const double bx = fit.gradient[2 * b], by = fit.gradient[2 * b + 1];
        return ax * (m[0] * bx + m[1] * by + m[2]) + ay * (m[3] * bx + m[4] * by + m[5]) + (m[6] * bx + m[7] * by + m[8]);
    };
    const double ei = fit.residual[i];
    const double aii = 1 - hat(i, i);
    if (j < 0) {
        if (!(aii > 1e-6))
            return false;
        *shiftI = ei / aii;
        *chiSquare = fit.chiSquare - ei * ei / aii;
        return true;
    }
    const double ej = fit.residual[j];
    const double ajj = 1 - hat(j, j), aij = -hat(i, j);
    const double det = aii * ajj - aij * aij;
    if (!(det > 1e-6))
        return false;
    *shiftI = (ajj * ei - aij * ej) / det;
    *shiftJ = (aii * ej - aij * ei) / det;
    *chiSquare = fit.chiSquare - (ei * *shiftI + ej * *shiftJ);
    return true;
}

void fixShiftedResiduals(const FixAnchors &set, const FixResiduals &fit, const double *shift, double *out)
{
    const int n = set.size();
    const FixAnchor *anchor = set.constData();
    const double *gradient = fit.gradient.constData();
    const double *residual = fit.residual.constData();
    double b0 = 0, b1 = 0, b2 = 0;
    for (int i = 0; i < n; ++i) {
        if (!anchor[i].used)
            continue;
        b0 += gradient[2 * i] * shift[i];
        b1 += gradient[2 * i + 1] * shift[i];
        b2 += shift[i];
    }
    const double *m = fit.inverse;
    const double step[3] = {m[0] * b0 + m[1] * b1 + m[2] * b2, m[3] * b0 + m[4] * b1 + m[5] * b2,
                            m[6] * b0 + m[7] * b1 + m[8] * b2};
    for (int i = 0; i < n; ++i) {
        const double absorbed = gradient[2 * i] * step[0] + gradient[2 * i + 1] * step[1] + step[2];
        out[i] = residual[i] - (shift[i] - absorbed);
    }
}

bool fixRefit(const FixAnchors &set, const TAG_XYZ_t &p, const double *weight, const double *correction,
              FixRefit *out)
{
    // Minimises sum w_i (m_i - b_i - g_i . (dx, dy, c))^2, m_i the misfit at
    // p, b_i the correction, g_i = (dx, dy, 1) the row of anchor i.
    const int n = set.size();
    QVarLengthArray<double, 48> row(3 * n);
    QVarLengthArray<double, 16> misfit(n);
    double m[9] = {}, b[3] = {};
    int weighted = 0;
    for (int i = 0; i < n; ++i) {
        const AnchorXYZ &a = set[i].xyz;
        const double rho =
            std::sqrt((p.x - a.x) * (p.x - a.x) + (p.y - a.y) * (p.y - a.y) + (p.z - a.z) * (p.z - a.z));
        const double w = weight[i];
        if (!(w > 0))
            continue;
        if (!(rho > 0))
            return false;
        const double g[3] = {(p.x - a.x) / rho, (p.y - a.y) / rho, 1};
        const double v = set[i].range - rho - (correction ? correction[i] : 0);
        for (int r = 0; r < 3; ++r) {
            row[3 * i + r] = g[r];
            b[r] += w * g[r] * v;
            for (int k = 0; k <= r; ++k)
                m[3 * r + k] += w * g[r] * g[k];
        }
        misfit[i] = v;
        ++weighted;
    }
    m[1] = m[3];
    m[2] = m[6];
    m[5] = m[7];
    double inv[9];
    if (weighted < 3 || !invertSymmetric3(m, inv))
        return false;
    double step[3];
    for (int r = 0; r < 3; ++r)
        step[r] = inv[3 * r] * b[0] + inv[3 * r + 1] * b[1] + inv[3 * r + 2] * b[2];
    double chiSquare = 0;
    for (int i = 0; i < n; ++i) {
        if (!(weight[i] > 0))
            continue;
        const double e = misfit[i] - (row[3 * i] * step[0] + row[3 * i + 1] * step[1] + step[2]);
        chiSquare += weight[i] * e * e;
    }
    out->position = TAG_XYZ_t{p.x + step[0], p.y + step[1], p.z};
    out->cxx = inv[0];
    out->cxy = inv[1];
    out->cyy = inv[4];
    out->chiSquare = chiSquare;
    return true;
}

FixAnchors fixAnchors(const QList<AnchorXYZ> &xyz, const QList<unsigned long long> &times)
{
    FixAnchors set(qMin(xyz.size(), times.size()));
    for (int i = 0; i < set.size(); ++i)
        set[i].xyz = xyz.at(i);
    fixRanges(set, times);
    return set;
}

void fixRanges(FixAnchors &set, const QList<unsigned long long> &times, const double *offsets)
{
    const int n = qMin(set.size(), times.size());
    if (n == 0)
        return;
    FixAnchor *anchor = set.data();
    const unsigned long long reference = times.at(0);
    if (!offsets) {
        for (int i = 0; i < n; ++i) {
            anchor[i].range = anchorclock::rangeDifference(times.at(i), reference);
            anchor[i].used = true;
        }
        return;
    }
    // Ranges against the first anchor: its offset is in every one of them.
    const double first = offsets[0];
    for (int i = 0; i < n; ++i) {
        anchor[i].range = anchorclock::rangeDifference(times.at(i), reference) - (offsets[i] - first);
        anchor[i].used = true;
    }
}

double fixNoiseVariance(const FixResiduals &fit, double sigma)
{
    const double variance = sigma * sigma;
    if (fit.degrees > 0 && fit.chiSquare > variance * chiSquare99(fit.degrees))
        return fit.chiSquare / fit.degrees;
    return variance;
}

double chiSquare99(int degrees)
{
    const int count = int(sizeof kChiSquare99 / sizeof kChiSquare99[0]);
    if (degrees < 1)
        return INFINITY;
    if (degrees <= count)
        return kChiSquare99[degrees - 1];
    const double k = degrees;
    const double t = 1 - 2 / (9 * k) + kNormal99 * std::sqrt(2 / (9 * k));
    return k * t * t * t;
}
