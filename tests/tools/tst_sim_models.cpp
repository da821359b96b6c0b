// The simulator's obstacle and walking models: the extra paths the published measurements
// give, episodes as configured, and a walker that keeps to its pace and turn rate and goes round cabinets.
#include "tools/sim/obstacle_model.h"
#include "tools/sim/walk_path.h"

#include <QTest>

#include <cmath>

using namespace sim;

class tst_SimModels : public QObject
{
    Q_OBJECT
private slots:
    void extraPaths_data();
    void extraPaths();
    void episodes();
    void walker_data();
    void walker();
    void cabinetBlocks_data();
    void cabinetBlocks();
    void cabinetShadowsKeepTheirPlacement();
};

void tst_SimModels::extraPaths_data()
{
    QTest::addColumn<QString>("material");
    QTest::addColumn<double>("least");      // of a placement's mean, m
    QTest::addColumn<double>("most");
    QTest::addColumn<double>("jitter");     // 1-sigma around it, m
    QTest::addColumn<double>("spikeShare"); // receptions a metre or more beyond their placement
    QTest::newRow("metal cabinet") << "metal" << 0.18 << 0.58 << 0.049 << 0.005;
    QTest::newRow("wooden shelf") << "wood" << 0.03 << 0.40 << 0.033 << 0.0;
    QTest::newRow("cardboard") << "cardboard" << 0.0 << 0.05 << 0.0 << 0.0;
}

void tst_SimModels::extraPaths()
{
    QFETCH(QString, material);
    QFETCH(double, least);
    QFETCH(double, most);
    QFETCH(double, jitter);
    QFETCH(double, spikeShare);
    Material m;
    QVERIFY(!materialFromName(QStringLiteral("glass"), &m) && materialFromName(material, &m));
    std::mt19937_64 random(11);
    int spikes = 0, receptions = 0;
    double squares = 0;
    for (int placement = 0; placement < 200; ++placement) {
        const Blockage b = placeObstacle(placement % 8, m, random);
        QVERIFY2(b.meanPath >= least && b.meanPath <= most, qPrintable(QString::number(b.meanPath)));
        for (int r = 0; r < 200; ++r, ++receptions) {
            const double path = extraPath(b, random);
            QVERIFY2(path >= 0, "an extra path is never negative");
            if (path - b.meanPath >= 0.9)
                ++spikes;
            else if (b.meanPath > 4 * jitter) // far from the clip at 0
                squares += (path - b.meanPath) * (path - b.meanPath);
        }
    }
    const double share = double(spikes) / receptions;
    QVERIFY2(std::fabs(share - spikeShare) <= 0.3 * spikeShare + 1e-9, qPrintable(QString::number(share)));
    if (jitter > 0) {
        const double spread = std::sqrt(squares / (receptions - spikes));
        QVERIFY2(spread > 0.5 * jitter && spread < 1.1 * jitter, qPrintable(QString::number(spread)));
    }
}

// Six episodes a minute of 5 s each, two anchors of three candidates: the
// blocked sets, their anchors and the share of time under an obstacle.
void tst_SimModels::episodes()
{
    const ObstacleSettings settings{6, 5, 2, {1, 3, 4}};
    std::mt19937_64 random(5);
    ObstacleEpisodes episodes(settings, 8, random);
    int blockedSteps = 0;
    const int steps = 60000; // 6000 s at 10 Hz
    for (int s = 0; s < steps; ++s) {
        const QVector<Blockage> &now = episodes.at(s * 0.1, random);
        if (now.isEmpty())
            continue;
        ++blockedSteps;
        QCOMPARE(now.size(), 2);
        QVERIFY(now[0].anchor != now[1].anchor);
        for (const Blockage &b : now)
            QVERIFY2(settings.candidates.contains(b.anchor), qPrintable(QString::number(b.anchor)));
    }
    // Gaps of 10 s on average between episodes of 5 s: a third of the time.
    const double share = double(blockedSteps) / steps;
    QVERIFY2(share > 0.28 && share < 0.39, qPrintable(QString::number(share)));
    QVERIFY2(episodes.episodes() > 320 && episodes.episodes() < 480, qPrintable(QString::number(episodes.episodes())));
    ObstacleEpisodes none(ObstacleSettings(), 8, random);
    QVERIFY(none.at(100, random).isEmpty() && none.episodes() == 0);
}

void tst_SimModels::walker_data()
{
    QTest::addColumn<QVector<QRectF>>("keepOut");
    QTest::newRow("open hall") << QVector<QRectF>{};
    QTest::newRow("round five cabinets") << QVector<QRectF>{{9, 7, 2, 0.5}, {4, 3, 0.5, 2}, {14, 10, 1.5, 0.5},
                                                            {6, 11, 2, 0.5}, {15, 4, 0.5, 1.5}};
}

// Ten minutes of walking at 50 Hz: inside the area (give or take a turning radius),
// never faster than its pace or turn rate, round the cabinets, and pausing now and then.
void tst_SimModels::walker()
{
    QFETCH(QVector<QRectF>, keepOut);
    const Area area{QPointF(10, 7.5), 8, 6};
    WalkSettings settings;
    settings.keepOut = keepOut;
    std::mt19937_64 random(9);
    WalkPath walk(area, settings, random);
    constexpr double dt = 0.02;
    QPointF last = walk.at(0, random);
    double lastHeading = NAN, distance = 0, stillFor = 0, longestStill = 0;
    for (int s = 1; s <= 30000; ++s) {
        const QPointF p = walk.at(s * dt, random);
        const QPointF step = p - last;
        const double length = std::hypot(step.x(), step.y());
        QVERIFY2(std::fabs(p.x() - area.centre.x()) < area.halfX + 1 && std::fabs(p.y() - area.centre.y()) < area.halfY + 1,
                 qPrintable(QStringLiteral("(%1, %2)").arg(p.x()).arg(p.y())));
        QVERIFY2(length <= settings.speed * dt + 1e-9, qPrintable(QString::number(length / dt)));
        // Rounding a corner it may graze one by millimetres, no more.
        for (const QRectF &r : keepOut)
            QVERIFY2(!r.adjusted(0.02, 0.02, -0.02, -0.02).contains(p),
                     qPrintable(QStringLiteral("(%1, %2)").arg(p.x()).arg(p.y())));
        stillFor = length < 1e-9 ? stillFor + dt : 0;
        longestStill = std::max(longestStill, stillFor);
        // Chords over two 10 ms steps of changing pace: within 10% of the rate.
        // Standing, a walker may turn on the spot: a NaN heading is not checked.
        const double heading = length > 1e-4 ? std::atan2(step.y(), step.x()) : NAN;
        const double turn = std::remainder(heading - lastHeading, 2 * M_PI);
        QVERIFY2(!(std::fabs(turn) > settings.turnRate * M_PI / 180 * dt * 1.1), qPrintable(QString::number(turn)));
        lastHeading = heading;
        distance += length;
        last = p;
    }
    const double meanSpeed = distance / (30000 * dt);
    QVERIFY2(meanSpeed > 0.7 && meanSpeed < settings.speed, qPrintable(QString::number(meanSpeed)));
    QVERIFY2(longestStill > 0.5, "a walker pauses at some waypoints");
}

// A cabinet of 2 m x 0.5 m, 2 m tall, at x 4..6, y 5..5.5; anchors at 3 m, tags at 1.2 m.
void tst_SimModels::cabinetBlocks_data()
{
    QTest::addColumn<QVector<double>>("tag");
    QTest::addColumn<QVector<double>>("anchor");
    QTest::addColumn<bool>("blocked");
    QTest::newRow("line through the cabinet") << QVector<double>{5, 3, 1.2} << QVector<double>{5, 10, 3} << true;
    QTest::newRow("line beside it") << QVector<double>{7, 3, 1.2} << QVector<double>{7, 10, 3} << false;
    QTest::newRow("over it: the anchor's line climbs above 2 m first")
        << QVector<double>{5, 0, 1.2} << QVector<double>{5, 4.5, 3} << false;
    QTest::newRow("tag right behind it, far anchor") << QVector<double>{5, 5.8, 1.2} << QVector<double>{5, 0, 3} << true;
    QTest::newRow("anchor on the cabinet's side") << QVector<double>{5, 3, 1.2} << QVector<double>{5, 4.9, 3} << false;
    QTest::newRow("along a wall, parallel") << QVector<double>{0, 5.2, 1.2} << QVector<double>{20, 5.2, 3} << true;
    QTest::newRow("parallel outside") << QVector<double>{0, 6, 1.2} << QVector<double>{20, 6, 3} << false;
}

void tst_SimModels::cabinetBlocks()
{
    QFETCH(QVector<double>, tag);
    QFETCH(QVector<double>, anchor);
    QFETCH(bool, blocked);
    const Cabinet cabinet{4, 5, 6, 5.5, 2};
    QCOMPARE(blocks(cabinet, tag[0], tag[1], tag[2], anchor[0], anchor[1], anchor[2]), blocked);
    // The segment is the same either way round.
    QCOMPARE(blocks(cabinet, anchor[0], anchor[1], anchor[2], tag[0], tag[1], tag[2]), blocked);
}

// A tag walking past the cabinet: the anchor behind it is blocked while the line crosses it, with one placement
// for the whole passage and a new one the next time; cabinets land inside the area.
void tst_SimModels::cabinetShadowsKeepTheirPlacement()
{
    std::mt19937_64 random(4);
    CabinetShadows shadows({Cabinet{4, 5, 6, 5.5, 2}}, {{5, 10, 3}, {0, 0, 3}});
    QList<double> paths;
    int blocked = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (double x = 0; x <= 10; x += 0.1) {
            const QVector<Blockage> &now = shadows.at(x, 3, 1.2, random);
            QVERIFY(now.size() <= 1);
            if (now.isEmpty())
                continue;
            ++blocked;
            QCOMPARE(now.first().anchor, 0);
            QVERIFY(x > 3 && x < 7);
            if (paths.size() == pass)
                paths.append(now.first().meanPath);
            QCOMPARE(now.first().meanPath, paths.last());
        }
    }
    QCOMPARE(paths.size(), 2);
    QVERIFY(paths[0] != paths[1]);
    QVERIFY(blocked > 20);
    const Area area{QPointF(10, 7.5), 9, 6.5};
    for (const Cabinet &c : placeCabinets(area, 20, random)) {
        QVERIFY(c.x0 < c.x1 && c.y0 < c.y1 && c.height == 2);
        const double cx = 0.5 * (c.x0 + c.x1), cy = 0.5 * (c.y0 + c.y1);
        QVERIFY(cx >= 1 && cx <= 19 && cy >= 1 && cy <= 14);
    }
}

QTEST_GUILESS_MAIN(tst_SimModels)
#include "tst_sim_models.moc"
