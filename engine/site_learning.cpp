#include "engine/site_learning.h"

#include "common/common_function.h"
#include "common/logwriter.h"
#include "common/metrics.h"
#include "engine/anchor_clock.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kStartNoise = 0.1;
// Each anchor's noise is the scale of its latest 400 residuals (some 400
// positions; a median of 400 is within 6% of the truth at 1 sigma), the
// site's of its latest 2048: settled within a few hundred positions, and
// following a change over a few hundred more.
constexpr int kNoiseWindow = 400;
constexpr int kSiteWindow = 2048;
// Medians are taken again after this many new residuals (at every doubling
// before, so the first estimates come early), and none before kFewest.
constexpr int kMedianEvery = 32;
constexpr int kFewest = 16;
// The median of |N(0, 1)|.
constexpr double kMedianAbsNormal = 0.6745;
// A residual whose leverage leaves less than this share of its variance
// says little about the noise.
constexpr double kLeastFree = 0.05;

// Each tag's mean keeps this share per position: a memory of some 200
// positions of the tag, so an offset that changes is followed.
constexpr double kTagRetain = 0.995;
// The offset moves after this many positions of the anchor, by the median
// of the means of the tags with at least kTagWeight positions, when there
// are kFewestTags of them: three tags, so that one tag's obstacle is
// outvoted.
constexpr int kOffsetEvery = 32;
constexpr double kTagWeight = 8;
constexpr int kFewestTags = 3;
// Prediction errors enter the offset clipped to this many of their own
// standard deviations.
constexpr double kOffsetClip = 3;
// Named in the log from this size and this many positions on; a change of
// more than kOffsetChange since the last line gives a new one.
constexpr double kOffsetNamed = 0.05;
constexpr int kOffsetNamedPositions = 200;
constexpr double kOffsetChange = 0.05;
constexpr qint64 kHourMs = 3600 * 1000;
constexpr qint64 kMinuteMs = 60 * 1000;
constexpr double kNoiseLogged = 0.10; // a move by more than 10%

void push(std::vector<float> &ring, int &next, int &added, int window, float value)
{
    if (int(ring.size()) < window)
        ring.push_back(value);
    else
        ring[size_t(next)] = value;
    next = (next + 1) % window;
    ++added;
}

bool medianDue(int added) { return added >= kFewest && (added % kMedianEvery == 0 || (added & (added - 1)) == 0); }

void anchorBytes(quint64 number, quint8 id[6])
{
    for (int b = 5; b >= 0; --b, number >>= 8)
        id[b] = quint8(number & 0xff);
}

} // namespace

SiteLearning::SiteLearning(double fixedNoise) : fixed(fixedNoise) {}

double SiteLearning::medianScale(std::vector<float> values)
{
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return double(*middle) / kMedianAbsNormal;
}

double SiteLearning::anchorNoise(quint64 anchor) const
{
    const auto it = anchors.constFind(anchor);
    return it == anchors.constEnd() ? kStartNoise : it->noise;
}

// The anchors' common offset, which time differences cannot see: their
// median, so that one anchor off reads as off by all of it.
double SiteLearning::meanOffset() const
{
    QVarLengthArray<double, 16> offsets;
    for (const Anchor &a : anchors)
        if (a.weight > 0)
            offsets.append(a.offset);
    if (offsets.isEmpty())
        return 0;
    std::sort(offsets.begin(), offsets.end());
    const int n = offsets.size();
    return n % 2 ? offsets[n / 2] : 0.5 * (offsets[n / 2 - 1] + offsets[n / 2]);
}

double SiteLearning::anchorOffset(quint64 anchor) const
{
    const auto it = anchors.constFind(anchor);
    return it == anchors.constEnd() || !(it->weight > 0) ? 0 : it->offset - meanOffset();
}

int SiteLearning::anchorPositions(quint64 anchor) const
{
    const auto it = anchors.constFind(anchor);
    return it == anchors.constEnd() ? 0 : it->positions;
}

void SiteLearning::correction(const quint64 *ids, int n, qint64 *ticks, double *applied) const
{
    // Relative or raw makes no difference to range differences; relative
    // keeps the ticks small.
    const double mean = meanOffset();
    for (int i = 0; i < n; ++i) {
        const auto it = anchors.constFind(ids[i]);
        const double offset = it == anchors.constEnd() || !(it->weight > 0) ? 0 : it->offset - mean;
        ticks[i] = qint64(std::llround(offset / anchorclock::kRangePerTick));
        applied[i] = double(ticks[i]) * anchorclock::kRangePerTick;
    }
}

void SiteLearning::remainingOffsets(const quint64 *ids, int n, const double *applied, double *shift) const
{
    const double mean = meanOffset();
    for (int i = 0; i < n; ++i) {
        const auto it = anchors.constFind(ids[i]);
        const double offset = it == anchors.constEnd() || !(it->weight > 0) ? 0 : it->offset - mean;
        shift[i] = offset - (applied ? applied[i] : 0);
    }
}

void SiteLearning::learn(quint64 tag, const quint64 *ids, const FixAnchors &set, const FixResiduals &fit, const double *shift)
{
    const int n = set.size();
    if (fit.degrees < 1 || fit.anchors.size() != n)
        return;
    QVarLengthArray<double, 16> net(n);
    fixShiftedResiduals(set, fit, shift, net.data());
    const double sigma = noise();
    // Only fixes that pass the residual test (net of the offsets): a spike
    // or an obstacle the fit kept spreads over every anchor's residual.
    double chi = 0;
    for (int i = 0; i < n; ++i)
        if (set[i].used)
            chi += net[i] * net[i];
    if (!(chi <= sigma * sigma * chiSquare99(fit.degrees)))
        return;
    // Offsets only where the fit tells anchors apart: with one degree of
    // freedom every anchor's prediction error is the same number scaled.
    const bool offsets = fit.degrees >= 2;
    for (int i = 0; i < n; ++i) {
        const FixPrediction &p = fit.anchors[i];
        if (!(p.weight > 0) || !std::isfinite(net[i]))
            continue;
        Anchor &a = anchors[ids[i]];
        if (set[i].used) {
            const double free = p.weight; // 1 - leverage
            if (free > kLeastFree) {
                const float z = float(std::fabs(net[i]) / std::sqrt(free));
                push(a.residuals, a.next, a.added, kNoiseWindow, z);
                if (medianDue(a.added))
                    a.noise = medianScale(a.residuals);
                push(site, siteNext, siteAdded, kSiteWindow, z);
                if (medianDue(siteAdded))
                    siteNoise = medianScale(site);
            }
        }
        if (!offsets)
            continue;
        // The prediction error net of the offsets not taken off: the
        // anchor's offset still unaccounted for, plus noise of variance
        // sigma^2 / weight.
        const double error = set[i].used ? net[i] / p.weight : net[i];
        const double clip = kOffsetClip * sigma / std::sqrt(p.weight);
        TagMean &m = a.tags[tag];
        m.sum = kTagRetain * m.sum + qBound(-clip, error, clip);
        m.weight = kTagRetain * m.weight + 1;
        ++a.positions;
        if (++a.sinceMedian >= kOffsetEvery)
            moveOffset(a);
    }
}

void SiteLearning::moveOffset(Anchor &a)
{
    a.sinceMedian = 0;
    QVarLengthArray<double, 64> means;
    for (const TagMean &m : qAsConst(a.tags))
        if (m.weight >= kTagWeight)
            means.append(m.sum / m.weight);
    if (means.size() < kFewestTags)
        return;
    const auto middle = means.begin() + means.size() / 2;
    std::nth_element(means.begin(), middle, means.end());
    const double step = *middle;
    a.offset += step;
    a.weight = 1;
    // The means were net of the old offset: net of the new one now.
    for (TagMean &m : a.tags)
        m.sum -= step * m.weight;
}

void SiteLearning::forgetTag(quint64 tag)
{
    for (Anchor &a : anchors)
        a.tags.remove(tag);
}

void SiteLearning::logDue(qint64 nowMs)
{
    metrics::setRangeNoise(noise());
    LogWriter *log = LogWriter::getLogCenter();
    const double mean = meanOffset();
    QList<quint64> ids = anchors.keys();
    std::sort(ids.begin(), ids.end());
    double least = INFINITY, most = 0;
    for (quint64 number : qAsConst(ids)) {
        Anchor &a = anchors[number];
        quint8 id[6];
        anchorBytes(number, id);
        if (a.added >= kFewest) {
            metrics::setAnchor(metrics::AnchorGauge::RangeNoise, id, a.noise);
            least = std::min(least, a.noise);
            most = std::max(most, a.noise);
        }
        if (!(a.weight > 0))
            continue;
        const double offset = a.offset - mean;
        metrics::setAnchor(metrics::AnchorGauge::Offset, id, offset);
        if (a.positions < kOffsetNamedPositions)
            continue;
        const bool named = std::fabs(offset) >= kOffsetNamed;
        const bool changed = std::fabs(offset - a.loggedOffset) > kOffsetChange;
        const bool hourly = named && (a.loggedMs < 0 || nowMs - a.loggedMs >= kHourMs);
        if (!changed && !hourly)
            continue;
        log->infoOutput("anchor %s reads %.2f m %s (%d positions)", IdHex(id).text(), std::fabs(offset),
                        offset < 0 ? "early" : "late", a.positions);
        a.loggedOffset = offset;
        a.loggedMs = nowMs;
    }
    if (minuteStartMs < 0)
        minuteStartMs = nowMs;
    if (!noiseLearned() || nowMs - minuteStartMs < kMinuteMs)
        return;
    minuteStartMs = nowMs;
    const double was = minuteNoise;
    minuteNoise = siteNoise;
    if (std::fabs(siteNoise - was) <= kNoiseLogged * was)
        return;
    log->infoOutput("range noise learned: %.3f m (a minute ago %.3f m), anchors %.3f to %.3f m", siteNoise, was,
                    std::isfinite(least) ? least : siteNoise, std::isfinite(least) ? most : siteNoise);
}
