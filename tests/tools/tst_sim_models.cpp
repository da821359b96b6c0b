// The simulator's models, as far as the benchmarks' figures rest on them: the extra paths the published measurements
// give, the share of time under an obstacle, a walker at its pace that goes round cabinets, and cabinets that block
// the lines through them with one placement per passage.
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
    void walkerKeepsPaceAndGoesRoundCabinets();
    void cabinetBlocks_data();
    void cabinetBlocks();
    void cabinetShadowsKeepTheirPlacement();
};

void tst_SimModels::extraPaths_data()
{
    QTest::addColumn<QString>("material");
    QTest::addColumn<double>("least"); // of a placement's mean, m
    QTest::addColumn<double>("most");
    QTest::addColumn<double>("spikeShare"); // receptions a metre or more beyond their placement
    QTest::newRow("metal cabinet") << "metal" << 0.18 << 0.58 << 0.005;
    QTest::newRow("wooden shelf") << "wood" << 0.03 << 0.40 << 0.0;
    QTest::newRow("cardboard") << "cardboard" << 0.0 << 0.05 << 0.0;
}

void tst_SimModels::extraPaths()
{
    QFETCH(QString, material);
    QFETCH(double, least);
    QFETCH(double, most);
    QFETCH(double, spikeShare);
    Material m;
    QVERIFY(!materialFromName(QStringLiteral("glass"), &m) && materialFromName(material, &m));
    std::mt19937_64 random(11);
    int spikes = 0;
    for (int placement = 0; placement < 200; ++placement) {
        const Blockage b = placeObstacle(placement % 8, m, random);
        QVERIFY2(b.meanPath >= least && b.meanPath <= most, qPrintable(QString::number(b.meanPath)));
        for (int r = 0; r < 200; ++r) {
            const double path = extraPath(b, random);
            QVERIFY2(path >= 0, "an extra path is never negative");
            spikes += path - b.meanPath >= 0.9;
        }
    }
    const double share = spikes / 40000.0;
    QVERIFY2(std::fabs(share - spikeShare) <= 0.3 * spikeShare + 1e-9, qPrintable(QString::number(share)));
}

// Six episodes a minute of 5 s each, two anchors of three candidates: a third of the time blocked.
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
        QVERIFY(now.size() == 2 && now[0].anchor != now[1].anchor && settings.candidates.contains(now[0].anchor)
                && settings.candidates.contains(now[1].anchor));
    }
    const double share = double(blockedSteps) / steps;
    QVERIFY2(share > 0.28 && share < 0.39, qPrintable(QString::number(share)));
    ObstacleEpisodes none(ObstacleSettings(), 8, random);
    QVERIFY(none.at(100, random).isEmpty() && none.episodes() == 0);
}

// Ten minutes at 50 Hz: inside the area (give or take a turning radius), never faster than its pace, walking most of
// the time, and never inside a cabinet (rounding a corner it may graze one by millimetres).
void tst_SimModels::walkerKeepsPaceAndGoesRoundCabinets()
{
    const Area area{QPointF(10, 7.5), 8, 6};
    WalkSettings settings;
    settings.keepOut = {{9, 7, 2, 0.5}, {4, 3, 0.5, 2}, {14, 10, 1.5, 0.5}, {6, 11, 2, 0.5}, {15, 4, 0.5, 1.5}};
    std::mt19937_64 random(9);
    WalkPath walk(area, settings, random);
    constexpr double dt = 0.02;
    QPointF last = walk.at(0, random);
    double distance = 0;
    for (int s = 1; s <= 30000; ++s) {
        const QPointF p = walk.at(s * dt, random);
        const double length = std::hypot(p.x() - last.x(), p.y() - last.y());
        const QString where = QStringLiteral("(%1, %2)").arg(p.x()).arg(p.y());
        QVERIFY2(std::fabs(p.x() - area.centre.x()) < area.halfX + 1 && std::fabs(p.y() - area.centre.y()) < area.halfY + 1,
                 qPrintable(where));
        QVERIFY2(length <= settings.speed * dt + 1e-9, qPrintable(QString::number(length / dt)));
        for (const QRectF &r : qAsConst(settings.keepOut))
            QVERIFY2(!r.adjusted(0.02, 0.02, -0.02, -0.02).contains(p), qPrintable(where));
        distance += length;
        last = p;
    }
    const double meanSpeed = distance / (30000 * dt);
    QVERIFY2(meanSpeed > 0.7 && meanSpeed < settings.speed, qPrintable(QString::number(meanSpeed)));
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
    QTest::newRow("along a wall, parallel") << QVector<double>{0, 5.2, 1.2} << QVector<double>{20, 5.2, 3} << true;
}

void tst_SimModels::cabinetBlocks()
{
    QFETCH(QVector<double>, tag);
    QFETCH(QVector<double>, anchor);
    QFETCH(bool, blocked);
    QCOMPARE(blocks(Cabinet{4, 5, 6, 5.5, 2}, tag[0], tag[1], tag[2], anchor[0], anchor[1], anchor[2]), blocked);
}

// A tag walking past the cabinet twice: the anchor behind it is blocked while the line crosses it, with one placement
// for the whole passage and a new one the next time; cabinets land inside the area.
void tst_SimModels::cabinetShadowsKeepTheirPlacement()
{
    std::mt19937_64 random(4);
    CabinetShadows shadows({Cabinet{4, 5, 6, 5.5, 2}}, {{5, 10, 3}, {0, 0, 3}});
    QList<double> paths;
    for (int pass = 0; pass < 2; ++pass) {
        for (double x = 0; x <= 10; x += 0.1) {
            const QVector<Blockage> &now = shadows.at(x, 3, 1.2, random);
            QVERIFY(now.isEmpty() || (now.size() == 1 && now.first().anchor == 0 && x > 3 && x < 7));
            if (!now.isEmpty() && paths.size() == pass)
                paths.append(now.first().meanPath);
            QVERIFY(now.isEmpty() || now.first().meanPath == paths.last());
        }
    }
    QVERIFY(paths.size() == 2 && paths[0] != paths[1]);
    for (const Cabinet &c : placeCabinets(Area{QPointF(10, 7.5), 9, 6.5}, 20, random)) {
        const double cx = 0.5 * (c.x0 + c.x1), cy = 0.5 * (c.y0 + c.y1);
        QVERIFY(c.x0 < c.x1 && c.y0 < c.y1 && cx >= 1 && cx <= 19 && cy >= 1 && cy <= 14);
    }
}

QTEST_GUILESS_MAIN(tst_SimModels)
#include "tst_sim_models.moc"
