// The monitor's anchor states, sample by sample.
#include "../../tools/monitor/anchor_health.h"

#include <QTest>

#include <cmath>

class tst_AnchorHealth : public QObject
{
    Q_OBJECT

private slots:
    void statesOverTime_data();
    void statesOverTime();
};

void tst_AnchorHealth::statesOverTime_data()
{
    // Anchor 1 is always heard at 10 records/s; anchor 2 follows the row's rates (records/s, left out/s) per 2 s
    // sample, with an offset estimate; the state of anchor 2 after the last sample.
    QTest::addColumn<QVector<double>>("records");
    QTest::addColumn<QVector<double>>("leftOut");
    QTest::addColumn<double>("offset");
    QTest::addColumn<QString>("state");
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("share");
    const QVector<double> steady(10, 10), none(10, 0);
    QTest::newRow("heard, never left out") << steady << none << 0.01 << "ok" << 10.0 << 0.0;
    QTest::newRow("left out of half") << steady << QVector<double>(10, 5) << 0.0 << "blocked often" << 10.0 << 0.5;
    QTest::newRow("offset beyond 5 cm") << steady << none << -0.06 << "offset" << 10.0 << 0.0;
    QTest::newRow("silent for 10 s") << QVector<double>{10, 10, 10, 10, 10, 0, 0, 0, 0, 0} << none << 0.0 << "silent"
                                     << 0.0 << 0.0;
    QTest::newRow("silent and blocked: silent first") << QVector<double>{10, 10, 10, 10, 0, 0, 0, 0, 0, 0}
                                                      << QVector<double>(10, 5) << 0.0 << "silent" << 0.0 << 0.5;
}

void tst_AnchorHealth::statesOverTime()
{
    QFETCH(QVector<double>, records);
    QFETCH(QVector<double>, leftOut);
    QFETCH(double, offset);
    QFETCH(QString, state);
    QFETCH(double, rate);
    QFETCH(double, share);
    AnchorHealth health({"A00000000001", "A00000000002", "A00000000003"});
    AnchorSample one, two;
    two.offset = offset;
    qint64 now = 1000000;
    health.add(now, {{"A00000000001", one}, {"A00000000002", two}});
    for (int i = 0; i < records.size(); ++i) {
        now += 2000;
        one.records += 20;
        two.records += 2 * records[i];
        two.leftOut += 2 * std::min(leftOut[i], records[i]);
        health.add(now, {{"A00000000001", one}, {"A00000000002", two}});
    }
    const QVector<AnchorHealth::Row> rows = health.rows(now);
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[0].state, QStringLiteral("ok"));
    QCOMPARE(rows[0].rate, 10.0);
    QCOMPARE(rows[1].state, state);
    QCOMPARE(rows[1].rate, rate);
    QVERIFY2(std::fabs(rows[1].leftShare - share) < 1e-9, qPrintable(QString::number(rows[1].leftShare)));
    // Anchor 3 has no series at all: nothing heard from it for 20 s while anchor 1 is.
    QCOMPARE(rows[2].state, QStringLiteral("silent"));
    QCOMPARE(rows[2].leftShare, -1.0);
    const std::string json = AnchorHealth::json(rows, "ok");
    QVERIFY2(json.find("{\"id\":\"A00000000003\",\"left\":null,\"noise\":null,\"offset\":null,\"rate\":0,\"state\":\"silent\"}")
                 != std::string::npos, json.c_str());

    // The engine restarts: its counters begin again, and no rate goes negative.
    one = AnchorSample();
    two = AnchorSample();
    health.add(now + 2000, {{"A00000000001", one}, {"A00000000002", two}});
    for (const AnchorHealth::Row &r : health.rows(now + 2000))
        QVERIFY2(r.rate < 0 || r.rate == 0, qPrintable(r.id));
}

QTEST_GUILESS_MAIN(tst_AnchorHealth)
#include "tst_anchor_health.moc"
