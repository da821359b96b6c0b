#include "engine/fix_residuals.h"

#include "engine/anchor_clock.h"

#include <algorithm>
#include <cmath>

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

// Inverse of the symmetric 3 x 3 matrix m (row-major) into inv; false when singular.
bool invertSymmetric3(const double m[9], double inv[9])
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

// g^T inv g for g = (gx, gy, 1).
double quadratic(const double inv[9], double gx, double gy)
{
    return inv[0] * gx * gx + 2 * inv[1] * gx * gy + 2 * inv[2] * gx + inv[4] * gy * gy + 2 * inv[5] * gy + inv[8];
}

} // namespace

bool fixResiduals(const FixAnchors &set, const TAG_XYZ_t &p, bool weighted, FixResiduals *out)
{
    const int n = set.size();
    out->anchors.resize(n);
    out->residual.resize(n); // first the misfit: measured range minus distance, offset included
    out->gradient.resize(2 * n);
    // Through plain pointers: the compiler need not read the arrays' places
    // again after every store.
    const FixAnchor *anchor = set.constData();
    double *misfit = out->residual.data();
    double *gradient = out->gradient.data();
    FixPrediction *predictions = out->anchors.data();
    const double px = p.x, py = p.y, pz = p.z;
    double m[9] = {};
    double offset = 0;
    int used = 0;
    for (int i = 0; i < n; ++i) {
        const AnchorXYZ &a = anchor[i].xyz;
        const double rho = std::sqrt((px - a.x) * (px - a.x) + (py - a.y) * (py - a.y) + (pz - a.z) * (pz - a.z));
        if (!(rho > 0))
            return false; // on top of an anchor: no direction to it
        const double inverse = 1 / rho;
        const double gx = (px - a.x) * inverse, gy = (py - a.y) * inverse;
        gradient[2 * i] = gx;
        gradient[2 * i + 1] = gy;
        misfit[i] = anchor[i].range - rho;
        if (!anchor[i].used)
            continue;
        m[0] += gx * gx;
        m[1] += gx * gy;
        m[2] += gx;
        m[4] += gy * gy;
        m[5] += gy;
        m[8] += 1;
        offset += misfit[i];
        ++used;
    }
    m[3] = m[1];
    m[6] = m[2];
    m[7] = m[5];
    double *inv = out->inverse;
    if (used < 3 || !invertSymmetric3(m, inv))
        return false;
    offset /= used;

    // One Gauss-Newton step of this model from p: the residuals are then
    // those of its least-squares fit, whatever solve gave p (the unweighted
    // one lands centimetres away, and stops within 1 cm of its own optimum),
    // and the leverages describe them exactly.
    double b[3] = {};
    for (int i = 0; i < n; ++i) {
        if (!anchor[i].used)
            continue;
        const double v = misfit[i] - offset;
        b[0] += gradient[2 * i] * v;
        b[1] += gradient[2 * i + 1] * v;
        b[2] += v;
    }
    double step[3];
    for (int r = 0; r < 3; ++r)
        step[r] = inv[3 * r] * b[0] + inv[3 * r + 1] * b[1] + inv[3 * r + 2] * b[2];

    double chiSquare = 0;
    out->degrees = used - 3;
    for (int i = 0; i < n; ++i) {
        const double gx = gradient[2 * i], gy = gradient[2 * i + 1];
        const double e = misfit[i] - offset - (gx * step[0] + gy * step[1] + step[2]);
        const double h = quadratic(inv, gx, gy);
        misfit[i] = e; // now the residual
        FixPrediction &prediction = predictions[i];
        if (!anchor[i].used) {
            prediction = FixPrediction{e, 1 / (1 + h)};
            continue;
        }
        chiSquare += e * e;
        // With 1 - h near 0 (three anchors, or four with one in a corner of
        // its own) the residual is near 0 whatever the range: no evidence.
        const double free = 1 - h;
        prediction = free > 1e-6 ? FixPrediction{e / free, free} : FixPrediction{0, 0};
    }
    out->chiSquare = chiSquare;

    if (weighted) {
        out->cxx = inv[0];
        out->cxy = inv[1];
        out->cyy = inv[4];
        return true;
    }
    // Unweighted differences d_i - d_ref: Cov = A^-1 G^T (I + 1 1^T) G A^-1
    // = A^-1 + (A^-1 s)(A^-1 s)^T with A = G^T G and s = G^T 1.
    int ref = 0;
    while (!anchor[ref].used)
        ++ref;
    double axx = 0, axy = 0, ayy = 0, sx = 0, sy = 0;
    for (int i = ref + 1; i < n; ++i) {
        if (!anchor[i].used)
            continue;
        const double gx = gradient[2 * i] - gradient[2 * ref];
        const double gy = gradient[2 * i + 1] - gradient[2 * ref + 1];
        axx += gx * gx;
        axy += gx * gy;
        ayy += gy * gy;
        sx += gx;
        sy += gy;
    }
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

void fixRanges(FixAnchors &set, const QList<unsigned long long> &times)
{
    const int n = qMin(set.size(), times.size());
    if (n == 0)
        return;
    FixAnchor *anchor = set.data();
    const unsigned long long reference = times.at(0);
    for (int i = 0; i < n; ++i) {
        anchor[i].range = anchorclock::rangeDifference(times.at(i), reference);
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
