#include "tools/sim/anchor_simulator.h"

#include "ingest/anchor_record.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

void putU16(QByteArray &block, int offset, double value)
{
    const auto v = static_cast<quint16>(std::clamp(std::lround(value), 0L, 65535L));
    block[offset] = static_cast<char>(v & 0xff);
    block[offset + 1] = static_cast<char>(v >> 8);
}

// The speed field is in thousandths of a mile per hour (the decoder's log
// multiplies it by 1.609344 to show metres per hour).
constexpr double kKilometresPerMile = 1.609344;
constexpr double kStepLength = 0.75;     // metres per step
constexpr double kRestingKcalPerSecond = 0.02;
constexpr double kWalkingKcalPerMetre = 0.06;

} // namespace

quint64 clockAt(quint64 start, double seconds)
{
    const auto elapsed = static_cast<quint64>(std::llround(seconds * kTicksPerSecond));
    return (start + elapsed) & kClockMask;
}

QByteArray tagId(int index)
{
    const int n = index + 1;
    const char bytes[6] = {char(0xE0), 0, char((n >> 24) & 0xff), char((n >> 16) & 0xff), char((n >> 8) & 0xff),
                           char(n & 0xff)};
    return QByteArray(bytes, 6);
}

QByteArray makeRecord(quint8 sequence, const QByteArray &anchorId, quint64 receptionTime,
                      const QByteArray &tag, const QByteArray &telemetry)
{
    return record::make(sequence, anchorId, receptionTime, tag, telemetry);
}

QByteArray telemetryBlock(const TagTelemetry &t, std::mt19937_64 &random)
{
    QByteArray block(record::kTelemetrySize, '\0');
    if constexpr (variant::kHrBuild) {
        block[4] = static_cast<char>(std::clamp(std::lround(t.heartRate), 0L, 255L));
        return block;
    }
    std::uniform_real_distribution<double> jitter(-15.0, 15.0);
    putU16(block, 0, t.heartRate);
    // Oxygen uptake, 25 at rest up to 50, rising with the heart rate.
    putU16(block, 2, 25 + 25 * std::clamp((t.heartRate - 60) / 120, 0.0, 1.0));
    putU16(block, 4, t.calories);
    putU16(block, 6, t.speed * 3600.0 / kKilometresPerMile);
    // Byte 8: bit 0 clear means the reading is good, bits 1..7 its quality.
    putU16(block, 8, (t.signalQuality & 0x7f) << 1);
    putU16(block, 10, t.distance / kStepLength);
    putU16(block, 12, t.distance);
    const double interval = 60000.0 / t.heartRate;
    for (int i = 0; i < 5; ++i)
        putU16(block, 14 + 2 * i, interval + jitter(random));
    putU16(block, 24, t.calories - t.periodStart);
    return block;
}

AnchorSimulator::AnchorSimulator(const QVector<SiteAnchor> &siteAnchors, double height, const SimSettings &s)
    : anchors(siteAnchors), tagHeight(height), settings(s), random(s.seed), noise(0.0, 1.0)
{
    QVector<QPointF> points;
    for (const SiteAnchor &a : anchors)
        points.append(QPointF(a.x, a.y));
    pathArea = innerArea(points, settings.margin);
    for (int i = 0; i < settings.tags; ++i)
        tags.push_back(newTag(i));
}

AnchorSimulator::TagState AnchorSimulator::newTag(int number)
{
    TagState tag;
    tag.id = tagId(number);
    tag.path = TagPath(pathArea, settings.maxSpeed, random);
    if (settings.walk)
        tag.walker = WalkPath(pathArea, settings.walking, random);
    tag.obstacles = ObstacleEpisodes(settings.obstacles, anchors.size(), random);
    tag.nextSequence = static_cast<quint8>(settings.sequenceStart);
    tag.telemetry.heartRate = 70 + 20 * std::generate_canonical<double, 32>(random);
    return tag;
}

void AnchorSimulator::replaceTag(int index) { tags[size_t(index)] = newTag(nextTagNumber++); }

void AnchorSimulator::advanceTelemetry(TagState &tag, double seconds)
{
    TagTelemetry &t = tag.telemetry;
    const double dt = std::max(0.0, seconds - tag.lastSeconds);
    tag.lastSeconds = seconds;
    t.speed = settings.walk ? tag.walker.speed() : tag.path.speedAt(seconds);
    t.distance += t.speed * dt;
    t.calories += dt * kRestingKcalPerSecond + t.speed * dt * kWalkingKcalPerMetre;
    // The heart rate drifts towards a level that follows the effort.
    const double target = 70 + 60 * std::min(1.0, t.speed / 1.5);
    t.heartRate += (target - t.heartRate) * std::min(1.0, dt / 20.0) + 0.3 * noise(random);
    t.heartRate = std::clamp(t.heartRate, 60.0, 180.0);
    t.signalQuality = std::clamp(t.signalQuality + int(std::lround(2 * noise(random))), 80, 127);
    const int minute = int(seconds / 60);
    if (minute != t.minute) {
        t.minute = minute;
        t.periodStart = t.calories;
    }
}

Transmission AnchorSimulator::transmit(int index, double seconds)
{
    TagState &tag = tags[size_t(index)];
    const QPointF p = settings.walk ? tag.walker.at(seconds, random) : tag.path.at(seconds);
    advanceTelemetry(tag, seconds);

    Transmission tx;
    tx.tag = index;
    tx.tagId = tag.id;
    tx.sequence = tag.nextSequence++;
    tx.seconds = seconds;
    tx.x = p.x();
    tx.y = p.y();
    tx.z = tagHeight;
    tx.clockBase = clockAt(settings.clockStart, seconds);

    tx.blocked = tag.obstacles.at(seconds, random);
    const QByteArray block = telemetryBlock(tag.telemetry, random);
    QVector<int> order(anchors.size());
    for (int i = 0; i < order.size(); ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    for (int i : order) {
        const SiteAnchor &a = anchors[i];
        const double range = std::sqrt((a.x - tx.x) * (a.x - tx.x) + (a.y - tx.y) * (a.y - tx.y)
                                       + (a.z - tx.z) * (a.z - tx.z));
        double measured = range + settings.noiseMetres * noise(random) + settings.anchorLate.value(i);
        for (const Blockage &b : qAsConst(tx.blocked))
            if (b.anchor == i)
                measured += extraPath(b, random);
        // Negative offsets wrap through the modulus like the anchors' counter.
        const auto ticks = static_cast<quint64>(std::llround(measured / kMetresPerTick));
        tx.records.append(makeRecord(tx.sequence, a.id, (tx.clockBase + ticks) & kClockMask, tag.id, block));
    }
    return tx;
}

int AnchorSimulator::obstacleEpisodes() const
{
    int n = 0;
    for (const TagState &tag : tags)
        n += tag.obstacles.episodes();
    return n;
}

} // namespace sim
