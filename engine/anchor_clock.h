#ifndef ANCHOR_CLOCK_H
#define ANCHOR_CLOCK_H

#include <QtGlobal>

#include <cmath>

// The anchors' common clock: a 40-bit counter of ticks, each the time light
// needs for 4.68 mm.
namespace anchorclock {

// Metres of range difference per tick.
constexpr double kRangePerTick = 0.00468;
constexpr double kSpeedOfLight = 299792458.0;
// About 6.4e10 ticks a second, so the counter wraps every 2^40 ticks, 17.2 s.
constexpr double kTicksPerSecond = kSpeedOfLight / kRangePerTick;
constexpr int kClockBits = 40;
constexpr unsigned long long kClockMask = (1ULL << kClockBits) - 1;

// A reception-time difference in ticks: modulo 2^40, sign-extended from bit 39,
// so two readings on either side of a wrap give their true (small) difference.
// Differences of more than half the wrap (8.6 s) cannot be told from negative ones.
inline qint64 tickDifference(unsigned long long t, unsigned long long reference)
{
    qint64 ticks = qint64((t - reference) & kClockMask);
    if (ticks & (qint64(1) << (kClockBits - 1)))
        ticks -= qint64(1) << kClockBits;
    return ticks;
}

// Ticks as metres of range and back (to the nearest tick): the one place
// the two units meet.
inline double ticksToRange(qint64 ticks) { return double(ticks) * kRangePerTick; }
inline qint64 rangeToTicks(double metres) { return qint64(std::llround(metres / kRangePerTick)); }
// A reception-time difference in metres of range.
inline double rangeDifference(unsigned long long t, unsigned long long reference)
{
    return ticksToRange(tickDifference(t, reference));
}

} // namespace anchorclock

#endif // ANCHOR_CLOCK_H
