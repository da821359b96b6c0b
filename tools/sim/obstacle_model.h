#ifndef OBSTACLE_MODEL_H
#define OBSTACLE_MODEL_H

#include "tools/sim/tag_path.h"

#include <QString>
#include <QVector>

#include <random>

// Obstacles between a tag and an anchor: the anchor receives the tag late by
// an extra path. The materials follow published static UWB measurements with
// one obstacle between one anchor and the tag:
// - metal cabinet: 0.18 to 0.58 m depending on where it stands, nearly
//   constant for one placement, plus spikes of 1 to 9 m in about 0.5% of
//   measurements;
// - wooden shelf: 0.03 to 0.40 m per placement;
// - cardboard, foam, plastic: under 0.05 m, lost in the noise.
// The extra path is never negative. The measured spread per placement (0.07 m
// metal, 0.06 m wood) is of range differences, which carry about 0.05 m of
// line-of-sight noise themselves; the obstacle's own jitter is what remains,
// sqrt(0.07^2 - 0.05^2) = 0.049 m and sqrt(0.06^2 - 0.05^2) = 0.033 m.
namespace sim {

enum class Material { Metal, Wood, Cardboard };

struct MaterialModel {
    const char *name;
    double leastPath, mostPath; // the mean of a placement is uniform in between, m
    double jitter;              // 1-sigma around the placement's mean, m
    double spikeShare;          // share of receptions with a spike
    double leastSpike, mostSpike;
};

const MaterialModel &materialModel(Material material);
// "metal", "wood" or "cardboard"; false for anything else.
bool materialFromName(const QString &name, Material *material);

// One placement: the anchor (index into the site's anchors) that hears the
// tag through the obstacle and the placement's mean extra path.
struct Blockage {
    int anchor = 0;
    double meanPath = 0;
    Material material = Material::Metal;
};

// A new placement on the anchor, its mean drawn from the material's range.
Blockage placeObstacle(int anchor, Material material, std::mt19937_64 &random);
// The extra path of one reception behind the placement, m (at least 0).
double extraPath(const Blockage &blockage, std::mt19937_64 &random);

struct ObstacleSettings {
    double perMinute = 0;    // episodes per tag and minute, on average (0: none)
    double seconds = 5;      // length of one episode
    int anchorsPerEpisode = 1;
    QVector<int> candidates; // anchors that may be blocked; empty: all
    Material material = Material::Metal;
};

// The obstacle episodes of one tag: they start at random (exponential gaps
// between the end of one and the start of the next) and each blocks
// anchorsPerEpisode distinct anchors for its whole length.
class ObstacleEpisodes
{
public:
    ObstacleEpisodes() = default;
    ObstacleEpisodes(const ObstacleSettings &settings, int anchorCount, std::mt19937_64 &random);
    // The placements in force at `seconds`; times must not go backwards.
    const QVector<Blockage> &at(double seconds, std::mt19937_64 &random);
    int episodes() const { return started; }

private:
    void scheduleNext(double after, std::mt19937_64 &random);

    ObstacleSettings settings;
    QVector<int> candidates;
    QVector<Blockage> current;
    double nextStart = -1; // < 0: never
    double currentEnd = 0;
    int started = 0;
};

// A room of metal cabinets standing in the hall: an anchor hears a tag
// through one (late by a metal placement's extra path) while the straight
// line between them passes through it, so anchors are blocked and cleared
// as a tag walks past.
struct Cabinet {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0; // footprint, axis-aligned, m
    double height = 2;
};

// `count` cabinets of 1 to 2 m by 0.5 m, 2 m tall, turned either way, at
// random inside the area.
QVector<Cabinet> placeCabinets(const Area &area, int count, std::mt19937_64 &random);
// True when the segment from `from` to `to` passes through the axis-aligned
// box from `least` to `most`, in `dims` dimensions.
bool segmentCrossesBox(int dims, const double *from, const double *to, const double *least, const double *most);
// True when the segment from the tag to the anchor passes through the cabinet.
bool blocks(const Cabinet &cabinet, double tx, double ty, double tz, double ax, double ay, double az);

// One tag's anchors behind the cabinets: an anchor that becomes blocked gets
// a new metal placement, kept while it stays blocked.
class CabinetShadows
{
public:
    CabinetShadows() = default;
    // anchors: x, y, z of each, in the site's order.
    CabinetShadows(const QVector<Cabinet> &cabinets, const QVector<QVector<double>> &anchors);
    // The placements in force for a tag at (x, y, z).
    const QVector<Blockage> &at(double x, double y, double z, std::mt19937_64 &random);

private:
    QVector<Cabinet> cabinets;
    QVector<QVector<double>> anchors;
    QVector<Blockage> current;
};

} // namespace sim

#endif // OBSTACLE_MODEL_H
