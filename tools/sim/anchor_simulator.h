#ifndef ANCHOR_SIMULATOR_H
#define ANCHOR_SIMULATOR_H

#include "tools/common/site_config.h"
#include "tools/sim/obstacle_model.h"
#include "tools/sim/tag_path.h"
#include "tools/sim/walk_path.h"

#include <QByteArray>
#include <QVector>

#include <random>
#include <vector>

// The measurement side of a site: tags that move and blink, anchors that
// time-stamp each blink with their common 40-bit clock and report it as one
// record each. Everything here is deterministic for a given seed and free of
// I/O, so tests can check the records byte for byte; pacing and sending are
// the program's business (sim_main.cpp).
namespace sim {

// Range per clock tick, metres: the tick is the time light needs for it.
constexpr double kMetresPerTick = 0.00468;
constexpr double kSpeedOfLight = 299792458.0;
constexpr double kTicksPerSecond = kSpeedOfLight / kMetresPerTick; // about 6.4e10
// The clock counts 40 bits and wraps every 2^40 ticks, about 17.2 s.
constexpr quint64 kClockModulus = quint64(1) << 40;
constexpr quint64 kClockMask = kClockModulus - 1;

// Clock reading `seconds` after a reading of `start`, modulo 2^40.
quint64 clockAt(quint64 start, double seconds);

// Tag identifiers E0 00 and the tag's number from 1 in four bytes: E0 00 00 00 00 01, ...
QByteArray tagId(int index);

// One record of this build's layout (54 or 72 bytes).
QByteArray makeRecord(quint8 sequence, const QByteArray &anchorId, quint64 receptionTime,
                      const QByteArray &tag, const QByteArray &telemetry);

// A tag's body and activity values, advanced at every transmission.
struct TagTelemetry {
    double heartRate = 80;  // beats per minute, 60..180
    double calories = 0;    // kcal since the start
    double distance = 0;    // metres walked since the start
    double speed = 0;       // m/s at the last transmission
    int signalQuality = 100; // 0..127
    double periodStart = 0;  // calories at the start of the current minute
    int minute = 0;
};

// The telemetry block of this build: 13 little-endian 16-bit fields in
// solver_unit, the heart rate in byte 4 of a 44-byte block in solver_unit_hr.
QByteArray telemetryBlock(const TagTelemetry &t, std::mt19937_64 &random);

struct SimSettings {
    int tags = 3;
    double noiseMetres = 0;   // sigma of the range error of each time stamp
    quint64 clockStart = 0;   // clock reading at simulation time 0
    int sequenceStart = 0;    // first sequence number of every tag
    quint64 seed = 1;
    double margin = 1.0;      // metres kept from the anchors' hull
    double maxSpeed = 1.5;    // m/s
    bool walk = false;        // walk between waypoints instead of Lissajous paths
    WalkSettings walking;
    ObstacleSettings obstacles;
    QVector<double> anchorLate; // metres each anchor (in the site's order) reads late; empty: none
};

struct Transmission {
    int tag = 0;
    QByteArray tagId;
    quint8 sequence = 0;
    double seconds = 0;    // simulation time of the blink
    double x = 0, y = 0, z = 0;
    quint64 clockBase = 0; // clock reading at the blink, before the flight time
    QVector<QByteArray> records; // one per anchor, in a random order
    QVector<Blockage> blocked;   // obstacles in force for this blink
};

class AnchorSimulator
{
public:
    AnchorSimulator(const QVector<SiteAnchor> &anchors, double tagHeight, const SimSettings &settings);

    int tagCount() const { return int(tags.size()); }
    const Area &area() const { return pathArea; }
    // The tag's next blink at `seconds`: position, sequence number and one
    // record per anchor. Times of one tag must not go backwards.
    Transmission transmit(int tag, double seconds);
    // The tag leaves and a new one (the next unused number) takes its place:
    // a path of its own, sequence numbers from the start, fresh telemetry.
    void replaceTag(int tag);
    // Obstacle episodes started so far, all tags together.
    int obstacleEpisodes() const;

private:
    struct TagState {
        QByteArray id;
        TagPath path;
        WalkPath walker;
        ObstacleEpisodes obstacles;
        quint8 nextSequence = 0;
        double lastSeconds = 0;
        TagTelemetry telemetry;
    };
    // The state of tag `number` as it first appears.
    TagState newTag(int number);
    void advanceTelemetry(TagState &tag, double seconds);

    QVector<SiteAnchor> anchors;
    double tagHeight;
    SimSettings settings;
    Area pathArea;
    std::vector<TagState> tags; // not a QVector: g++ 12 warns falsely on its detach in replaceTag
    int nextTagNumber = settings.tags; // index of the next tag replaceTag brings in
    std::mt19937_64 random;
    std::normal_distribution<double> noise;
};

} // namespace sim

#endif // ANCHOR_SIMULATOR_H
