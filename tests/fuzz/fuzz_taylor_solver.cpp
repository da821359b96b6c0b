// Arbitrary sets into the solver (any anchors, any 40-bit times): no read outside its arrays; a position returned or
// kept is finite and in the region. Through NLOS rejection and the tracking filter: positions and accuracies finite.

#include "common/config_file.h"
#include "engine/algorithm.h"

#include <QDir>
#include <QFile>

#include <cmath>

namespace {

algorithm *solver = nullptr;
algorithm *accurate = nullptr; // nlos_rejection, track_filter, report_accuracy
constexpr int kConfigured = 9;

ANCHOR_IMEI_t anchorId(int n)
{
    ANCHOR_IMEI_t id{};
    id.imei[5] = quint8(n + 1);
    return id;
}

bool finite(const TAG_XYZ_t &p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const QString dir = QDir::tempPath() + QStringLiteral("/fuzz_taylor_solver");
    QDir().mkpath(dir);
    QFile file(dir + QStringLiteral("/config.ini"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    // Nine anchors: a square, a wider ring, and one at the centre at the tag height (a zero distance on a first solve).
    file.write("[anchor_coordinate]\n000000000001=\"0,0,1\"\n000000000002=\"10,0,1\"\n000000000003=\"10,10,1\"\n"
               "000000000004=\"0,10,1\"\n000000000005=\"5,5,1\"\n000000000006=\"-20,5,3\"\n000000000007=\"30,5,3\"\n"
               "000000000008=\"5,-20,3\"\n000000000009=\"5,30,3\"\n[tag_high]\ntag1=1\n");
    file.close();
    ConfigFile::setExecutableDirForTesting(dir);
    solver = new algorithm;
    file.open(QIODevice::Append);
    file.write("[algorithm_config]\nnlos_rejection=true\ntrack_filter=true\nreport_accuracy=true\nrange_noise=0.05\n");
    file.close();
    accurate = new algorithm;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!solver || size < 2)
        return 0;
    TAG_IMEI_t tag{};
    tag.imei[5] = data[0] & 3;
    QList<ANCHOR_IMEI_t> anchors;
    QList<unsigned long long> times;
    // Per anchor: one byte of id (10 and up: unconfigured), five of time.
    for (size_t at = 1; at + 6 <= size; at += 6) {
        anchors.append(anchorId(data[at] % (kConfigured + 2)));
        unsigned long long t = 0;
        for (int k = 1; k <= 5; ++k)
            t = (t << 8) | data[at + size_t(k)];
        times.append(t);
    }
    // Now and then a set whose lists differ in length.
    if (data[0] & 0x80 && !times.isEmpty())
        times.removeLast();

    const TAG_XYZ_t *p = solver->algoTaylor(tag, anchors, times);
    if (p && (!finite(*p) || p->x < solver->xMin || p->x > solver->xMax || p->y < solver->yMin
              || p->y > solver->yMax))
        __builtin_trap();
    for (const TAG_XYZ_t &last : qAsConst(solver->tagLastXyz))
        if (!finite(last))
            __builtin_trap();

    const Fix fix = accurate->algoLocate(tag, anchors, times);
    if (fix) {
        if (!finite(fix.position) || !std::isfinite(fix.accuracy))
            __builtin_trap();
        const Fix tracked = accurate->algoTrackFilter(tag, fix, times.value(0));
        if (!finite(tracked.position) || !std::isfinite(tracked.accuracy))
            __builtin_trap();
    }
    return 0;
}
