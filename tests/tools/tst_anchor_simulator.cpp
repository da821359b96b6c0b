// The simulator's records, checked through the program's own record
// accessors: if the two disagree on the layout, these tests say so. Built
// once per record layout (tst_anchor_simulator, tst_anchor_simulator_hr).
#include "common/build_variant.h"
#include "ingest/anchor_record.h"
#include "tools/sim/anchor_simulator.h"

#include <QSet>
#include <QTest>

#include <cmath>

using namespace sim;

Q_DECLARE_METATYPE(QVector<SiteAnchor>)

namespace {

SiteAnchor anchor(int n, double x, double y, double z)
{
    SiteAnchor a;
    a.id = QByteArray::fromHex(QByteArray("A0000000000") + QByteArray::number(n));
    a.key = QString::fromLatin1(a.id.toHex().toUpper());
    a.x = x;
    a.y = y;
    a.z = z;
    return a;
}

QVector<SiteAnchor> hall()
{
    return {anchor(1, 0, 0, 3), anchor(2, 10, 0, 3), anchor(3, 20, 0, 3),
            anchor(4, 20, 15, 3), anchor(5, 10, 15, 3), anchor(6, 0, 15, 3)};
}

// The 40-bit difference b - a read as a signed count, as an unwrapping
// reader would: the clock may wrap between two stamps of one transmission.
qint64 clockDifference(quint64 a, quint64 b)
{
    const quint64 d = (b - a) & kClockMask;
    return d >= kClockModulus / 2 ? qint64(d) - qint64(kClockModulus) : qint64(d);
}

const SiteAnchor *anchorOf(const QVector<SiteAnchor> &anchors, const QByteArray &record)
{
    for (const SiteAnchor &a : anchors)
        if (a.id == record::anchorKey(record))
            return &a;
    return nullptr;
}

quint16 field(const QByteArray &block, int offset)
{
    return quint16(quint8(block[offset]) | (quint8(block[offset + 1]) << 8));
}

} // namespace

class tst_AnchorSimulator : public QObject
{
    Q_OBJECT

private slots:
    void recordLayout_data();
    void recordLayout();
    void timestampsMatchGeometry_data();
    void timestampsMatchGeometry();
    void clockWrapsAt40Bits();
    void sequenceWrapsPerTag();
    void telemetryIsPlausible();
    void pathsStayInsideHull_data();
    void pathsStayInsideHull();
    void hullTooSmallForMargin();
    void sameSeedSameRecords();
};

void tst_AnchorSimulator::recordLayout_data()
{
    QTest::addColumn<int>("sequence");
    QTest::addColumn<quint64>("time");
    QTest::newRow("zero") << 0 << quint64(0);
    QTest::newRow("2^39 + 1, top bit of the 40") << 255 << (quint64(1) << 39) + 1;
    QTest::newRow("largest 40-bit value") << 7 << kClockMask;
}

void tst_AnchorSimulator::recordLayout()
{
    QFETCH(int, sequence);
    QFETCH(quint64, time);
    const QByteArray anchorId = QByteArray::fromHex("010203040506");
    const QByteArray tag = QByteArray::fromHex("AABBCCDDEEFF");
    QByteArray block(record::kTelemetrySize, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = char(0x40 + i);
    const QByteArray r = makeRecord(quint8(sequence), anchorId, time, tag, block);

    QCOMPARE(r.size(), variant::kHrBuild ? 72 : 54);
    QVERIFY2(record::isWholeRecord(r), "record length differs from the build's");
    QVERIFY2(r.startsWith("DW") && r.endsWith("\r\n"), r.toHex().constData());
    QCOMPARE(record::sequence(r), sequence);
    QCOMPARE(record::anchorKey(r), anchorId);
    QCOMPARE(record::tagKey(r), tag);
    QCOMPARE(record::receptionTime(r), time);
    QCOMPARE(record::telemetry(r), block);
}

void tst_AnchorSimulator::timestampsMatchGeometry_data()
{
    QTest::addColumn<quint64>("clockStart");
    QTest::newRow("clock at 0") << quint64(0);
    QTest::newRow("clock mid-range") << (quint64(1) << 39);
    // 2000 ticks before the wrap: the flight times (15 to 25 m, 3200 to 5300
    // ticks) carry some stamps of the first transmission past it.
    QTest::newRow("stamps straddle the wrap") << kClockModulus - 2000;
}

void tst_AnchorSimulator::timestampsMatchGeometry()
{
    QFETCH(quint64, clockStart);
    SimSettings s;
    s.tags = 3;
    s.clockStart = clockStart;
    const QVector<SiteAnchor> anchors = hall();
    AnchorSimulator simulator(anchors, 1.2, s);
    for (int k = 0; k < 30; ++k) {
        const Transmission tx = simulator.transmit(k % 3, k * 0.1);
        QCOMPARE(tx.tagId, tagId(k % 3));
        QCOMPARE(tx.records.size(), anchors.size());
        const QByteArray &ref = tx.records.first();
        const SiteAnchor *a0 = anchorOf(anchors, ref);
        QVERIFY(a0);
        QSet<QByteArray> heardBy;
        auto range = [&tx](const SiteAnchor &a) {
            return std::sqrt((a.x - tx.x) * (a.x - tx.x) + (a.y - tx.y) * (a.y - tx.y) + (a.z - tx.z) * (a.z - tx.z));
        };
        for (const QByteArray &r : tx.records) {
            const SiteAnchor *a = anchorOf(anchors, r);
            QVERIFY(a);
            heardBy.insert(a->id);
            QVERIFY2(record::isWholeRecord(r), "wrong record length");
            QCOMPARE(record::tagKey(r), tx.tagId);
            QCOMPARE(record::sequence(r), int(tx.sequence));
            QCOMPARE(record::telemetry(r), record::telemetry(ref));
            const double measured = clockDifference(record::receptionTime(ref), record::receptionTime(r)) * kMetresPerTick;
            const double expected = range(*a) - range(*a0);
            // Each stamp is rounded to a whole tick: at most one tick apart.
            QVERIFY2(std::abs(measured - expected) <= kMetresPerTick,
                     qPrintable(QStringLiteral("tx %1 anchor %2: %3 m, geometry says %4 m")
                                    .arg(k).arg(a->key).arg(measured).arg(expected)));
            QVERIFY2(record::receptionTime(r) <= kClockMask, "stamp exceeds 40 bits");
        }
        QCOMPARE(heardBy.size(), anchors.size()); // one record per anchor
    }
}

void tst_AnchorSimulator::clockWrapsAt40Bits()
{
    // 1 s is about 6.4e10 ticks: starting 1e10 ticks before the wrap, the
    // clock reads small values one second later.
    const quint64 start = kClockModulus - 10000000000ULL;
    QCOMPARE(clockAt(start, 0), start);
    const quint64 later = clockAt(start, 1.0);
    QVERIFY2(later < start, "clock did not wrap");
    QCOMPARE(later, quint64(std::llround(kTicksPerSecond)) - 10000000000ULL);
}

void tst_AnchorSimulator::sequenceWrapsPerTag()
{
    SimSettings s;
    s.tags = 2;
    s.sequenceStart = 254;
    AnchorSimulator simulator(hall(), 1.2, s);
    QList<int> tag0, tag1;
    for (int k = 0; k < 8; ++k) {
        const Transmission tx = simulator.transmit(k % 2, k * 0.05);
        (k % 2 ? tag1 : tag0).append(record::sequence(tx.records.first()));
    }
    const QList<int> expected{254, 255, 0, 1};
    QCOMPARE(tag0, expected);
    QCOMPARE(tag1, expected);
}

void tst_AnchorSimulator::telemetryIsPlausible()
{
    SimSettings s;
    s.tags = 1;
    AnchorSimulator simulator(hall(), 1.2, s);
    quint16 lastSteps = 0, lastDistance = 0, lastCalories = 0;
    for (int k = 0; k < 1200; ++k) { // two minutes at 10 Hz
        const QByteArray block = record::telemetry(simulator.transmit(0, k * 0.1).records.first());
        if constexpr (variant::kHrBuild) {
            const int hr = quint8(block[4]);
            QVERIFY2(hr >= 60 && hr <= 180, qPrintable(QStringLiteral("heart rate %1").arg(hr)));
            continue;
        }
        const int hr = field(block, 0);
        QVERIFY2(hr >= 60 && hr <= 180, qPrintable(QStringLiteral("heart rate %1").arg(hr)));
        QVERIFY2((quint8(block[8]) & 1) == 0, "signal quality flagged as bad");
        QVERIFY2(field(block, 6) * 1.609344 / 3600 <= s.maxSpeed + 0.01, "speed beyond the path's");
        QVERIFY2(field(block, 10) >= lastSteps && field(block, 12) >= lastDistance && field(block, 4) >= lastCalories,
                 "steps, distance and calories must not go backwards");
        lastSteps = field(block, 10);
        lastDistance = field(block, 12);
        lastCalories = field(block, 4);
        for (int i = 0; i < 5; ++i) {
            const int rri = field(block, 14 + 2 * i);
            QVERIFY2(std::abs(rri - 60000.0 / hr) < 20, qPrintable(QStringLiteral("RRI %1 at %2 bpm").arg(rri).arg(hr)));
        }
        QVERIFY2(field(block, 24) <= field(block, 4), "period calories exceed the total");
    }
    if constexpr (!variant::kHrBuild)
        QVERIFY2(lastDistance > 20 && lastSteps > 20, "two minutes of walking should cover some ground");
}

void tst_AnchorSimulator::pathsStayInsideHull_data()
{
    QTest::addColumn<QVector<SiteAnchor>>("anchors");
    QTest::addColumn<double>("margin");
    QTest::addColumn<int>("corners");
    // The two middle anchors of the hall lie on its long walls: not corners.
    QTest::newRow("20 x 15 m hall, six anchors") << hall() << 1.0 << 4;
    QTest::newRow("triangle") << QVector<SiteAnchor>{anchor(1, 0, 0, 3), anchor(2, 30, 0, 3), anchor(3, 5, 20, 3)}
                              << 2.0 << 3;
    QTest::newRow("skewed quadrilateral, negative coordinates")
        << QVector<SiteAnchor>{anchor(1, -10, -4, 2.5), anchor(2, 8, -6, 2.5), anchor(3, 12, 9, 2.5),
                               anchor(4, -6, 5, 2.5)}
        << 0.5 << 4;
}

void tst_AnchorSimulator::pathsStayInsideHull()
{
    QFETCH(QVector<SiteAnchor>, anchors);
    QFETCH(double, margin);
    QFETCH(int, corners);
    SimSettings s;
    s.tags = 20;
    s.margin = margin;
    AnchorSimulator simulator(anchors, 1.0, s);
    QVector<QPointF> points;
    for (const SiteAnchor &a : anchors)
        points.append(QPointF(a.x, a.y));
    const QVector<QPointF> hull = convexHull(points);
    QCOMPARE(hull.size(), corners);
    QVERIFY2(simulator.area().halfX > 0.5 && simulator.area().halfY > 0.5, "area needlessly small");
    QPointF previous[20];
    for (int k = 0; k < 20 * 2000; ++k) { // 200 s per tag at 10 Hz
        const Transmission tx = simulator.transmit(k % 20, (k / 20) * 0.1);
        const QPointF p(tx.x, tx.y);
        QVERIFY2(insideDistance(hull, p) >= margin - 1e-9,
                 qPrintable(QStringLiteral("tag %1 at (%2, %3)").arg(k % 20).arg(tx.x).arg(tx.y)));
        if (k >= 20) {
            const QPointF step = p - previous[k % 20];
            QVERIFY2(std::hypot(step.x(), step.y()) <= s.maxSpeed * 0.1 + 1e-9, "tag moved faster than maxSpeed");
        }
        previous[k % 20] = p;
    }
}

void tst_AnchorSimulator::hullTooSmallForMargin()
{
    const Area area = innerArea({QPointF(0, 0), QPointF(2, 0), QPointF(1, 1)}, 1.0);
    QVERIFY2(area.halfX == 0.0 && area.halfY == 0.0, "no room for a path, yet an area");
    QVERIFY(convexHull({QPointF(0, 0), QPointF(1, 1)}).size() < 3);
}

void tst_AnchorSimulator::sameSeedSameRecords()
{
    SimSettings s;
    s.noiseMetres = 0.1;
    s.seed = 42;
    AnchorSimulator a(hall(), 1.2, s), b(hall(), 1.2, s);
    s.seed = 43;
    AnchorSimulator c(hall(), 1.2, s);
    bool differs = false;
    for (int k = 0; k < 20; ++k) {
        const Transmission ta = a.transmit(k % 3, k * 0.1);
        QCOMPARE(ta.records, b.transmit(k % 3, k * 0.1).records);
        differs = differs || ta.records != c.transmit(k % 3, k * 0.1).records;
    }
    QVERIFY2(differs, "another seed should give other records");
}

QTEST_GUILESS_MAIN(tst_AnchorSimulator)
#include "tst_anchor_simulator.moc"
