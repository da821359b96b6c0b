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

const TAG_XYZ_t *algorithm::algoSmoothAverageFilter(TAG_IMEI_t tag, TAG_XYZ_t position)
{
    std::lock_guard<std::mutex> lock(g_timer_1s_mutex);
    if (!smoothSettingsUsable()) {
        // Smoothing is off for such settings (warned at construction); a
        // caller that asks anyway gets the position unchanged.
        smoothAverage = position;
        return &smoothAverage;
    }

    QList<TAG_XYZ_t> &window = smoothWindow[tag];
    window.append(position);
    const int n = window.size();
    const double limit = smoothRedundant;
    // "Within" is a strict test written so that NaN counts as straying.
    const auto within = [limit](const TAG_XYZ_t &p, const TAG_XYZ_t &mean) {
        return std::fabs(p.x - mean.x) < limit && std::fabs(p.y - mean.y) < limit
               && std::fabs(p.z - mean.z) < limit;
    };
    const auto average = [this, &window](int count) {
        smoothSum = TAG_XYZ_t{0.0, 0.0, 0.0};
        for (int i = 0; i < count; ++i) {
            smoothSum.x += window.at(i).x;
            smoothSum.y += window.at(i).y;
            smoothSum.z += window.at(i).z;
        }
        smoothAverage = TAG_XYZ_t{smoothSum.x / count, smoothSum.y / count, smoothSum.z / count};
    };

    if (n >= smoothLength) {
        // Running: the mean of the positions before the new one.
        average(smoothLength - 1);
        if (within(position, smoothAverage)) {
            window.removeFirst();
            smoothLastTime.insert(tag, clock());
            return &smoothAverage;
        }
        const TAG_XYZ_t delta{std::fabs(position.x - smoothAverage.x), std::fabs(position.y - smoothAverage.y),
                              std::fabs(position.z - smoothAverage.z)};
        LogWriter::getLogCenter()->debugOutput("Failed !! Tag Smooth - before=%s average=%s delta=%s",
                                               positionText(position).constData(),
                                               positionText(smoothAverage).constData(),
                                               positionText(delta).constData());
        window.removeLast();
        return nullptr;
    }

    if (n < smoothStartHalfLength)
        return nullptr;
    // Start check: the first positions must agree with each other.
    average(smoothStartHalfLength);
    for (int i = 0; i < smoothStartHalfLength; ++i) {
        if (!within(window.at(i), smoothAverage)) {
            smoothWindow.remove(tag);
            return nullptr;
        }
    }
    return nullptr;
}
