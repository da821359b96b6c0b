#ifndef FIX_H
#define FIX_H

#include "common/global_data.h"
#include "common/metrics.h"
#include "engine/fix_residuals.h"

#include <QVarLengthArray>

#include <cmath>

// A horizontal covariance, m^2.
struct FixCovariance {
    double xx = 0, xy = 0, yy = 0;
};

// One position of one tag as it goes from the solve through the NLOS step and
// the filter to the report: each step takes the fix of the step before and
// gives its own, so nothing is read back from the solver afterwards.
struct Fix {
    bool ok = false; // false: no position, `failure` says why
    metrics::Counter failure = metrics::Counter::FailedDivergence;
    TAG_XYZ_t position{0, 0, 0};
    // Horizontal covariance (m^2) and the error it stands for, the square
    // root of its trace (m), or the step's own figure (the moving mean's).
    // Zero when no step estimated them (none of the accuracy keys on).
    double cxx = 0, cxy = 0, cyy = 0;
    double accuracy = 0;
    int anchorsUsed = 0;
    QVarLengthArray<int, 2> leftOut; // indices into the set, by the NLOS step

    explicit operator bool() const { return ok; }

    static Fix failed(metrics::Counter why)
    {
        Fix fix;
        fix.failure = why;
        return fix;
    }
    static Fix at(const TAG_XYZ_t &p, int anchors = 0)
    {
        Fix fix;
        fix.ok = true;
        fix.position = p;
        fix.anchorsUsed = anchors;
        return fix;
    }
    // The covariance, and the accuracy from it.
    void setCovariance(double xx, double xy, double yy)
    {
        cxx = xx;
        cxy = xy;
        cyy = yy;
        accuracy = std::sqrt(xx + yy);
    }
};

// A fit's covariance is for a range noise of 1: scaled by sigma^2, or by the
// fit's own misfit when that fails the residual test (fixNoiseVariance).
inline void fixScaleCovariance(const FixResiduals &fit, double sigma, Fix *fix)
{
    const double v = fixNoiseVariance(fit, sigma);
    fix->setCovariance(v * fit.cxx, v * fit.cxy, v * fit.cyy);
}

#endif // FIX_H
