#include "engine/algorithm.h"

#include "common/config_keys.h"
#include "common/logwriter.h"

#include <QByteArray>

#include <cmath>

// The smoothing filter (s_enable): the mean of a tag's recent positions.

namespace {

QByteArray positionText(const TAG_XYZ_t &p)
{
    return QByteArray::number(p.x, 'f', 2) + ' ' + QByteArray::number(p.y, 'f', 2) + ' '
           + QByteArray::number(p.z, 'f', 2);
}

} // namespace

bool algorithm::smoothSettingsUsable() const { return configkeys::smoothSettingsUsable(smoothLength, smoothStartHalfLength); }

Fix algorithm::algoSmoothAverageFilter(TAG_IMEI_t tag, const Fix &fix)
{
    std::lock_guard<std::mutex> lock(g_timer_1s_mutex);
    if (!smoothSettingsUsable()) {
        // Smoothing is off for such settings (warned at construction); a
        // caller that asks anyway gets the fix unchanged.
        return fix;
    }
    const TAG_XYZ_t &position = fix.position;

    QList<TAG_XYZ_t> &window = smoothWindow[tag];
    window.append(position);
    const int n = window.size();
    // The variances line up with the window's positions, the newest last;
    // the maintenance pass may have emptied the window meanwhile.
    QList<FixCovariance> *variances = nullptr;
    if (reportAccuracy) {
        variances = &smoothVariance[tag];
        variances->append(FixCovariance{fix.cxx, fix.cxy, fix.cyy});
        while (variances->size() > n)
            variances->removeFirst();
    }
    const double limit = smoothRedundant;
    // "Within" is a strict test written so that NaN counts as straying.
    const auto within = [limit](const TAG_XYZ_t &p, const TAG_XYZ_t &mean) {
        return std::fabs(p.x - mean.x) < limit && std::fabs(p.y - mean.y) < limit
               && std::fabs(p.z - mean.z) < limit;
    };
    TAG_XYZ_t smoothAverage{0.0, 0.0, 0.0};
    const auto average = [&smoothAverage, &window](int count) {
        TAG_XYZ_t sum{0.0, 0.0, 0.0};
        for (int i = 0; i < count; ++i) {
            sum.x += window.at(i).x;
            sum.y += window.at(i).y;
            sum.z += window.at(i).z;
        }
        smoothAverage = TAG_XYZ_t{sum.x / count, sum.y / count, sum.z / count};
    };

    if (n >= smoothLength) {
        // Running: the mean of the positions before the new one.
        average(smoothLength - 1);
        if (within(position, smoothAverage)) {
            Fix mean = fix;
            mean.position = smoothAverage;
            mean.setCovariance(0, 0, 0);
            if (variances) {
                // The mean of L - 1 fixes of independent errors: the sum of
                // their covariances over (L - 1)^2.
                double sum = 0;
                FixCovariance c;
                for (int i = 0; i < smoothLength - 1 && i < variances->size(); ++i) {
                    const FixCovariance &v = variances->at(i);
                    sum += v.xx + v.yy;
                    c.xx += v.xx;
                    c.xy += v.xy;
                    c.yy += v.yy;
                }
                const double l2 = double(smoothLength - 1) * (smoothLength - 1);
                mean.setCovariance(c.xx / l2, c.xy / l2, c.yy / l2);
                mean.accuracy = std::sqrt(sum) / (smoothLength - 1);
                variances->removeFirst();
            }
            window.removeFirst();
            smoothLastTime.insert(tag, clock());
            return mean;
        }
        const TAG_XYZ_t delta{std::fabs(position.x - smoothAverage.x), std::fabs(position.y - smoothAverage.y),
                              std::fabs(position.z - smoothAverage.z)};
        LogWriter::getLogCenter()->debugOutput("Failed !! Tag Smooth - before=%s average=%s delta=%s",
                                               positionText(position).constData(),
                                               positionText(smoothAverage).constData(),
                                               positionText(delta).constData());
        window.removeLast();
        if (variances)
            variances->removeLast();
        return Fix::failed(metrics::Counter::FailedSmoothing);
    }

    if (n < smoothStartHalfLength)
        return Fix::failed(metrics::Counter::FailedSmoothing);
    // Start check: the first positions must agree with each other.
    average(smoothStartHalfLength);
    for (int i = 0; i < smoothStartHalfLength; ++i) {
        if (!within(window.at(i), smoothAverage)) {
            smoothWindow.remove(tag);
            smoothVariance.remove(tag);
            return Fix::failed(metrics::Counter::FailedSmoothing);
        }
    }
    return Fix::failed(metrics::Counter::FailedSmoothing);
}
