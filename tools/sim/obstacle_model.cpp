#include "tools/sim/obstacle_model.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr MaterialModel kMaterials[] = {
    {"metal", 0.18, 0.58, 0.049, 0.005, 1.0, 9.0},
    {"wood", 0.03, 0.40, 0.033, 0.0, 0.0, 0.0},
    {"cardboard", 0.0, 0.05, 0.0, 0.0, 0.0, 0.0},
};

double uniform(double lo, double hi, std::mt19937_64 &random)
{
    return std::uniform_real_distribution<double>(lo, hi)(random);
}

} // namespace

const MaterialModel &materialModel(Material material) { return kMaterials[int(material)]; }

bool materialFromName(const QString &name, Material *material)
{
    for (int i = 0; i < int(sizeof kMaterials / sizeof kMaterials[0]); ++i) {
        if (name == QLatin1String(kMaterials[i].name)) {
            *material = Material(i);
            return true;
        }
    }
    return false;
}

Blockage placeObstacle(int anchor, Material material, std::mt19937_64 &random)
{
    const MaterialModel &m = materialModel(material);
    return Blockage{anchor, uniform(m.leastPath, m.mostPath, random), material};
}

double extraPath(const Blockage &blockage, std::mt19937_64 &random)
{
    const MaterialModel &m = materialModel(blockage.material);
    double path = blockage.meanPath;
    if (m.jitter > 0)
        path += std::normal_distribution<double>(0.0, m.jitter)(random);
    if (m.spikeShare > 0 && std::generate_canonical<double, 32>(random) < m.spikeShare)
        path += uniform(m.leastSpike, m.mostSpike, random);
    return std::max(0.0, path);
}

ObstacleEpisodes::ObstacleEpisodes(const ObstacleSettings &s, int anchorCount, std::mt19937_64 &random)
    : settings(s), candidates(s.candidates)
{
    if (candidates.isEmpty())
        for (int i = 0; i < anchorCount; ++i)
            candidates.append(i);
    scheduleNext(0, random);
}

void ObstacleEpisodes::scheduleNext(double after, std::mt19937_64 &random)
{
    nextStart = settings.perMinute > 0
                    ? after + std::exponential_distribution<double>(settings.perMinute / 60.0)(random)
                    : -1;
}

const QVector<Blockage> &ObstacleEpisodes::at(double seconds, std::mt19937_64 &random)
{
    if (!current.isEmpty() && seconds >= currentEnd) {
        current.clear();
        scheduleNext(currentEnd, random);
    }
    if (current.isEmpty() && nextStart >= 0 && seconds >= nextStart) {
        QVector<int> pool = candidates;
        std::shuffle(pool.begin(), pool.end(), random);
        for (int i = 0; i < settings.anchorsPerEpisode && i < pool.size(); ++i)
            current.append(placeObstacle(pool[i], settings.material, random));
        currentEnd = nextStart + settings.seconds;
        ++started;
        if (seconds >= currentEnd) { // a whole episode fell between two blinks
            current.clear();
            scheduleNext(currentEnd, random);
        }
    }
    return current;
}

QVector<Cabinet> placeCabinets(const Area &area, int count, std::mt19937_64 &random)
{
    QVector<Cabinet> out;
    for (int i = 0; i < count; ++i) {
        const double length = uniform(1.0, 2.0, random), depth = 0.5;
        const bool alongX = uniform(0, 1, random) < 0.5;
        const double w = alongX ? length : depth, h = alongX ? depth : length;
        const double cx = area.centre.x() + uniform(-area.halfX, area.halfX, random);
        const double cy = area.centre.y() + uniform(-area.halfY, area.halfY, random);
        out.append(Cabinet{cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2, 2.0});
    }
    return out;
}

bool segmentCrossesBox(int dims, const double *from, const double *to, const double *least, const double *most)
{
    // Slabs: the part of the segment t in [0, 1] inside each pair of planes.
    double lo = 0, hi = 1;
    for (int k = 0; k < dims; ++k) {
        const double d = to[k] - from[k];
        if (std::fabs(d) < 1e-12) {
            if (from[k] < least[k] || from[k] > most[k])
                return false;
            continue;
        }
        double t0 = (least[k] - from[k]) / d, t1 = (most[k] - from[k]) / d;
        if (t0 > t1)
            std::swap(t0, t1);
        lo = std::max(lo, t0);
        hi = std::min(hi, t1);
        if (lo > hi)
            return false;
    }
    return true;
}

bool blocks(const Cabinet &c, double tx, double ty, double tz, double ax, double ay, double az)
{
    const double from[3] = {tx, ty, tz}, to[3] = {ax, ay, az};
    const double least[3] = {c.x0, c.y0, 0}, most[3] = {c.x1, c.y1, c.height};
    return segmentCrossesBox(3, from, to, least, most);
}

CabinetShadows::CabinetShadows(const QVector<Cabinet> &c, const QVector<QVector<double>> &a) : cabinets(c), anchors(a)
{
}

const QVector<Blockage> &CabinetShadows::at(double x, double y, double z, std::mt19937_64 &random)
{
    QVector<Blockage> next;
    for (int i = 0; i < anchors.size(); ++i) {
        const QVector<double> &a = anchors[i];
        const bool blocked = std::any_of(cabinets.cbegin(), cabinets.cend(), [&](const Cabinet &c) {
            return blocks(c, x, y, z, a[0], a[1], a[2]);
        });
        if (!blocked)
            continue;
        const auto was = std::find_if(current.cbegin(), current.cend(), [i](const Blockage &b) { return b.anchor == i; });
        next.append(was != current.cend() ? *was : placeObstacle(i, Material::Metal, random));
    }
    current = next;
    return current;
}

} // namespace sim
