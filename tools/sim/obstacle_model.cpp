#include "tools/sim/obstacle_model.h"

#include <algorithm>

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

} // namespace sim
