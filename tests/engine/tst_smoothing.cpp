#include "engine/algorithm.h"
#include "engine_test_util.h"
#include "tests/support/test_support.h"

#include <QtTest>

using namespace enginetest;

Q_DECLARE_METATYPE(TAG_XYZ_t)
Q_DECLARE_METATYPE(QList<TAG_XYZ_t>)

namespace {

const QString kSmoothing = QStringLiteral("s_enable=true\ns_length=3\ns_start_half_length=2\ns_redundant=1\n");

// Exact text on purpose: compares windows and names them in failures.
QString windowText(const QList<TAG_XYZ_t> &window)
{
    QStringList parts;
    for (const TAG_XYZ_t &p : window)
        parts << QStringLiteral("(%1,%2,%3)").arg(p.x, 0, 'g', 17).arg(p.y, 0, 'g', 17).arg(p.z, 0, 'g', 17);
    return parts.join(QLatin1Char(' '));
}

} // namespace

class tst_Smoothing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void sequences_data();
    void sequences();
    void rejectionIsLoggedAndAcceptanceStamped();
    void startCheckLongerThanWindow();
    void unusableSettingsPassThrough();

private:
    ScopedConfig *config = nullptr;
    algorithm *algo = nullptr;
    qint64 fakeNow = 1000;
};

void tst_Smoothing::initTestCase()
{
    ScopedConfig first(QStringLiteral("[token_msg]\nconsole=debugmsg\n"));
    QVERIFY(LogWriter::getLogCenter()->isDebugEnabled());
}

void tst_Smoothing::init()
{
    config = new ScopedConfig(iniText({{0, 0, 0}, {10, 0, 0}, {0, 10, 0}}, 1.0, kSmoothing));
    algo = new algorithm;
    QVERIFY(algo->smoothEnable);
    algo->setMonotonicClock([this] { return fakeNow; });
}

void tst_Smoothing::cleanup()
{
    delete algo;
    delete config;
    algo = nullptr;
    config = nullptr;
}

void tst_Smoothing::sequences_data()
{
    // L = 3, S = 2, T = 1. Each row: positions fed in order, the result of
    // the last call (null when none), and the window after it.
    QTest::addColumn<QList<TAG_XYZ_t>>("positions");
    QTest::addColumn<bool>("reported");
    QTest::addColumn<TAG_XYZ_t>("result");
    QTest::addColumn<QList<TAG_XYZ_t>>("window");
    QTest::newRow("first position: collecting")
        << QList<TAG_XYZ_t>{{0, 0, 1}} << false << TAG_XYZ_t{} << QList<TAG_XYZ_t>{{0, 0, 1}};
    QTest::newRow("second position: start check passes")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0.5, 0, 1}} << false << TAG_XYZ_t{}
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0.5, 0, 1}};
    QTest::newRow("third position: mean of the two before")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0.5, 0, 1}, {0.2, 0, 1}} << true << TAG_XYZ_t{0.25, 0, 1}
        << QList<TAG_XYZ_t>{{0.5, 0, 1}, {0.2, 0, 1}};
    QTest::newRow("fourth position: the accepted one counts")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0.5, 0, 1}, {0.2, 0, 1}, {0.4, 0.1, 1}} << true << TAG_XYZ_t{0.35, 0, 1}
        << QList<TAG_XYZ_t>{{0.2, 0, 1}, {0.4, 0.1, 1}};
    QTest::newRow("third position strays: dropped, window as before")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0.5, 0, 1}, {5, 0, 1}} << false << TAG_XYZ_t{}
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0.5, 0, 1}};
    QTest::newRow("inconsistent start empties the window")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {3, 0, 1}} << false << TAG_XYZ_t{} << QList<TAG_XYZ_t>{};
    QTest::newRow("after an inconsistent start the next one collects")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {3, 0, 1}, {7, 7, 1}} << false << TAG_XYZ_t{}
        << QList<TAG_XYZ_t>{{7, 7, 1}};
    // Exactly T (1.0, exact in binary) counts as straying.
    QTest::newRow("exactly T on z while running is rejected")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0, 0, 1}, {0, 0, 2}} << false << TAG_XYZ_t{}
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0, 0, 1}};
    QTest::newRow("just under T while running is accepted")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0, 0, 1}, {0, 0.9375, 1}} << true << TAG_XYZ_t{0, 0, 1}
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0, 0.9375, 1}};
    // Mean (1, 0, 1): both deviate by exactly 1.0 on x.
    QTest::newRow("exactly T at the start check is inconsistent")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {2, 0, 1}} << false << TAG_XYZ_t{} << QList<TAG_XYZ_t>{};
    QTest::newRow("NaN position while running is rejected")
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0, 0, 1}, {qQNaN(), 0, 1}} << false << TAG_XYZ_t{}
        << QList<TAG_XYZ_t>{{0, 0, 1}, {0, 0, 1}};
}

void tst_Smoothing::sequences()
{
    QFETCH(QList<TAG_XYZ_t>, positions);
    QFETCH(bool, reported);
    QFETCH(TAG_XYZ_t, result);
    QFETCH(QList<TAG_XYZ_t>, window);
    const TAG_IMEI_t tag = tagId(1);
    const TAG_XYZ_t *p = nullptr;
    for (int i = 0; i < positions.size(); ++i) {
        p = algo->algoSmoothAverageFilter(tag, positions[i]);
        if (i + 1 < positions.size() && i >= 2)
            QVERIFY2(p, "premise: the earlier running positions were accepted");
    }
    QCOMPARE(bool(p), reported);
    if (reported)
        QVERIFY2(std::fabs(p->x - result.x) < 1e-12 && std::fabs(p->y - result.y) < 1e-12
                     && std::fabs(p->z - result.z) < 1e-12,
                 qPrintable(windowText({*p})));
    QCOMPARE(windowText(algo->smoothWindow.value(tag)), windowText(window));
    QVERIFY(algo->smoothWindow.value(tag).size() < algo->smoothLength);
}

void tst_Smoothing::rejectionIsLoggedAndAcceptanceStamped()
{
    const TAG_IMEI_t tag = tagId(2);
    fakeNow = 5000;
    algo->algoSmoothAverageFilter(tag, {0, 0, 1});
    algo->algoSmoothAverageFilter(tag, {0.5, 0, 1});
    LogCapture log;
    QVERIFY(!algo->algoSmoothAverageFilter(tag, {5, 0, 1}));
    QCOMPARE(log.count(QStringLiteral(
                 "Failed !! Tag Smooth - before=5.00 0.00 1.00 average=0.25 0.00 1.00 delta=4.75 0.00 0.00")),
             1);
    QVERIFY2(algo->smoothLastTime.isEmpty(), "neither collecting nor a rejection records a time");
    fakeNow = 7000;
    QVERIFY(algo->algoSmoothAverageFilter(tag, {0.2, 0, 1}));
    QCOMPARE(algo->smoothLastTime.value(tag), qint64(7000));
    fakeNow = 9000;
    QVERIFY(!algo->algoSmoothAverageFilter(tag, {9, 1, 1}));
    QCOMPARE(algo->smoothLastTime.value(tag), qint64(7000));

    // An inconsistent start is not logged.
    log.clear();
    algo->algoSmoothAverageFilter(tagId(3), {0, 0, 1});
    algo->algoSmoothAverageFilter(tagId(3), {3, 0, 1});
    QVERIFY2(log.lines().isEmpty(), qPrintable(log.dump()));
}

void tst_Smoothing::startCheckLongerThanWindow()
{
    // S >= L: no start check; the L-th position is the first compared.
    algo->smoothStartHalfLength = 5;
    const TAG_IMEI_t tag = tagId(7);
    QVERIFY(!algo->algoSmoothAverageFilter(tag, {0, 0, 1}));
    QVERIFY(!algo->algoSmoothAverageFilter(tag, {30, 0, 1})); // would fail a start check
    QCOMPARE(algo->smoothWindow.value(tag).size(), 2);
    const TAG_XYZ_t *p = algo->algoSmoothAverageFilter(tag, {15, 0, 1});
    QVERIFY2(p, "the third position is compared with the mean of the first two");
    QCOMPARE(p->x, 15.0);
}

void tst_Smoothing::unusableSettingsPassThrough()
{
    // Disabled at construction; a caller that asks anyway must not divide by zero.
    algo->smoothLength = 0;
    algo->smoothStartHalfLength = 0;
    const TAG_XYZ_t *p = algo->algoSmoothAverageFilter(tagId(8), {1.5, -2, 1});
    QVERIFY(p);
    QVERIFY(p->x == 1.5 && p->y == -2 && p->z == 1);
    QVERIFY(algo->smoothWindow.isEmpty());
}

QTEST_MAIN(tst_Smoothing)
#include "tst_smoothing.moc"
