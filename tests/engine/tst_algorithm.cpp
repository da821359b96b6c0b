#include "engine/algorithm.h"
#include "engine_test_util.h"
#include "store/tags.h"
#include "tests/support/test_support.h"

#include <QtTest>

using namespace enginetest;

Q_DECLARE_METATYPE(QList<AnchorXYZ>)
Q_DECLARE_METATYPE(TAG_XYZ_t)
Q_DECLARE_METATYPE(QList<TAG_XYZ_t>)

namespace {

const QString kAlgorithm = QStringLiteral("[algorithm_config]\n");
const QString kSmoothing = QStringLiteral("s_enable=true\ns_length=3\ns_start_half_length=2\ns_redundant=1\n");

QString pointsText(const QList<TAG_XYZ_t> &points)
{
    QStringList parts;
    for (const TAG_XYZ_t &p : points)
        parts << QStringLiteral("(%1,%2,%3)").arg(p.x, 0, 'g', 12).arg(p.y, 0, 'g', 12).arg(p.z, 0, 'g', 12);
    return parts.join(QLatin1Char(' '));
}

} // namespace

// The solver's configuration and the smoothing filter.
class tst_Algorithm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void centreAndRegion_data();
    void centreAndRegion();
    void configChoices_data();
    void configChoices();
    void smoothing_data();
    void smoothing();
};

void tst_Algorithm::initTestCase()
{
    // The logger reads its debug switch once, from the first config it sees.
    ScopedConfig config(QStringLiteral("[token_msg]\nconsole=debugmsg\n"));
    QVERIFY(LogWriter::getLogCenter()->isDebugEnabled());
}

void tst_Algorithm::centreAndRegion_data()
{
    QTest::addColumn<QList<AnchorXYZ>>("anchors");
    QTest::addColumn<QList<double>>("expected"); // centre x, y, then min x, max x, min y, max y
    QTest::newRow("only the first four shape the centre")
        << QList<AnchorXYZ>{{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}, {-50, 80, 0}}
        << QList<double>{5, 5, 0, 10, 0, 10};
    QTest::newRow("two anchors: from those present") << QList<AnchorXYZ>{{2, 8, 0}, {6, 4, 0}}
                                                     << QList<double>{4, 6, 2, 6, 4, 8};
    QTest::newRow("none") << QList<AnchorXYZ>{} << QList<double>{0, 0, 10000, -10000, 10000, -10000};
}

void tst_Algorithm::centreAndRegion()
{
    QFETCH(QList<AnchorXYZ>, anchors);
    QFETCH(QList<double>, expected);
    ScopedConfig config(iniText(anchors, 1.0));
    LogCapture log;
    algorithm algo;
    QCOMPARE(algo.anchorCount, anchors.size());
    QCOMPARE(g_tags_object.anchorTotal, anchors.size());
    QCOMPARE((QList<double>{algo.centerPoint.x, algo.centerPoint.y, algo.xMin + 10000, algo.xMax - 10000,
                            algo.yMin + 10000, algo.yMax - 10000}),
             expected);
    QCOMPARE(log.contains(QStringLiteral("warning: only")), anchors.size() > 0 && anchors.size() < 4);
    QCOMPARE(log.contains(QStringLiteral("warning: no anchors configured")), anchors.isEmpty());
    if (anchors.isEmpty())
        QVERIFY(!algo.algoTaylor(tagId(1), anchorIds({1, 2, 3}), {1, 2, 3}));
    else
        QCOMPARE(log.count(QStringLiteral("mac=%1 xyz=(%2,%3,0.00)").arg(anchorKey(1)).arg(anchors[0].x, 0, 'f', 2)
                               .arg(anchors[0].y, 0, 'f', 2)), 1);
}

void tst_Algorithm::configChoices_data()
{
    // Malformed anchors are skipped; unusable smoothing settings disable it.
    QTest::addColumn<QString>("ini");
    QTest::addColumn<int>("anchors");
    QTest::addColumn<bool>("smoothing");
    QTest::addColumn<QString>("warning");
    const QString two = QStringLiteral("[anchor_coordinate]\n000000000001=\"1,2,3\"\n000000000002=\"3,6,3\"\n");
    QTest::newRow("key of five bytes") << two + "0000000001=\"1,2,3\"" << 2 << false << "does not decode to six bytes";
    // Unquoted commas make a list, which reads as empty text.
    QTest::newRow("unquoted value") << two + "000000000009=1,2,3" << 2 << false << "is not three";
    QTest::newRow("not finite") << two + "000000000009=\"nan,2,3\"" << 2 << false << "is not finite";
    QTest::newRow("smoothing set") << kAlgorithm + kSmoothing << 0 << true << "";
    QTest::newRow("length 1 disables") << kAlgorithm + "s_enable=true\ns_length=1\ns_start_half_length=1" << 0 << false
                                       << "warning: smoothing disabled";
    QTest::newRow("half length 0 disables") << kAlgorithm + "s_enable=true\ns_length=5" << 0 << false
                                            << "warning: smoothing disabled";
}

void tst_Algorithm::configChoices()
{
    QFETCH(QString, ini);
    QFETCH(int, anchors);
    QFETCH(bool, smoothing);
    QFETCH(QString, warning);
    ScopedConfig config(ini + "\n[tag_high]\ntag1=1.25\n");
    LogCapture log;
    algorithm algo;
    QCOMPARE(algo.anchorCount, anchors);
    QCOMPARE(algo.smoothEnable, smoothing);
    QVERIFY2(log.contains(warning) && log.contains(QStringLiteral("tag high -> 1.25")), qPrintable(log.dump()));
}

void tst_Algorithm::smoothing_data()
{
    // L = 3, S = 2, T = 1: positions fed in order, the result of the last
    // call (none when empty) and the window after it.
    QTest::addColumn<QList<TAG_XYZ_t>>("positions");
    QTest::addColumn<QList<TAG_XYZ_t>>("result");
    QTest::addColumn<QList<TAG_XYZ_t>>("window");
    using P = QList<TAG_XYZ_t>;
    QTest::newRow("third position: mean of the two before")
        << P{{0, 0, 1}, {0.5, 0, 1}, {0.2, 0, 1}} << P{{0.25, 0, 1}} << P{{0.5, 0, 1}, {0.2, 0, 1}};
    QTest::newRow("third position strays: dropped") << P{{0, 0, 1}, {0.5, 0, 1}, {5, 0, 1}} << P{}
                                                    << P{{0, 0, 1}, {0.5, 0, 1}};
    QTest::newRow("inconsistent start empties the window") << P{{0, 0, 1}, {3, 0, 1}} << P{} << P{};
    // Exactly T (1.0, exact in binary) counts as straying, at the start check too.
    QTest::newRow("exactly T on z while running") << P{{0, 0, 1}, {0, 0, 1}, {0, 0, 2}} << P{}
                                                  << P{{0, 0, 1}, {0, 0, 1}};
    QTest::newRow("NaN while running") << P{{0, 0, 1}, {0, 0, 1}, {qQNaN(), 0, 1}} << P{} << P{{0, 0, 1}, {0, 0, 1}};
}

void tst_Algorithm::smoothing()
{
    QFETCH(QList<TAG_XYZ_t>, positions);
    QFETCH(QList<TAG_XYZ_t>, result);
    QFETCH(QList<TAG_XYZ_t>, window);
    ScopedConfig config(kAlgorithm + kSmoothing);
    algorithm algo;
    const TAG_XYZ_t *p = nullptr;
    for (const TAG_XYZ_t &position : positions)
        p = algo.algoSmoothAverageFilter(tagId(1), position);
    QCOMPARE(pointsText(p ? QList<TAG_XYZ_t>{*p} : QList<TAG_XYZ_t>{}), pointsText(result));
    QCOMPARE(pointsText(algo.smoothWindow.value(tagId(1))), pointsText(window));

    // Settings that would divide by zero pass positions through unchanged.
    algo.smoothLength = algo.smoothStartHalfLength = 0;
    QCOMPARE(algo.algoSmoothAverageFilter(tagId(2), {1.5, -2, 1})->x, 1.5);
}

QTEST_MAIN(tst_Algorithm)
#include "tst_algorithm.moc"
