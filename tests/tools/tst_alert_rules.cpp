// The Prometheus alert rules of the package: promtool accepts them, the unit
// tests of solver_unit_rules_test.yml pass and see every alert both fire and
// stay quiet, and the tests notice a rule gone wrong in the ways a rule goes.
#include "../support/test_support.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kRules = QStringLiteral(SOLVER_SOURCE_DIR "/packaging/monitoring/solver_unit_rules.yml");
const QString kTests = QStringLiteral(SOLVER_SOURCE_DIR "/tests/tools/solver_unit_rules_test.yml");
const QString kRulesReference = QStringLiteral("../../packaging/monitoring/solver_unit_rules.yml");

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly | QIODevice::Text) ? QString::fromUtf8(f.readAll()) : QString();
}

bool writeText(const QString &path, const QString &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text.toUtf8()) == text.toUtf8().size();
}

// promtool's exit code and everything it printed.
int promtool(const QString &path, const QStringList &args, QString *output)
{
    ChildProcess p(path, -100); // the exit code is the caller's to judge
    if (!p.start(args))
        return -1;
    const int code = p.finish(60000);
    *output = QString::fromUtf8(p.process().readAllStandardOutput()) + p.log();
    return code;
}

} // namespace

class tst_AlertRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void promtoolAcceptsAndTestsPass();
    void everyAlertFiresAndStaysQuiet();
    void brokenRuleFailsTheTests_data();
    void brokenRuleFailsTheTests();

private:
    QString path;
};

void tst_AlertRules::initTestCase()
{
    SOLVER_REQUIRE_TOOL(path, "promtool");
}

void tst_AlertRules::promtoolAcceptsAndTestsPass()
{
    QString out;
    QCOMPARE(promtool(path, {"check", "rules", kRules}, &out), 0);
    QVERIFY2(out.contains(QLatin1String("SUCCESS: 7 rules found")), qPrintable(out));
    QCOMPARE(promtool(path, {"test", "rules", kTests}, &out), 0);
    QVERIFY2(out.contains(QLatin1String("SUCCESS")), qPrintable(out));
}

// Each alert of the rules has an evaluation in the tests that expects it
// firing, and one that expects it quiet.
void tst_AlertRules::everyAlertFiresAndStaysQuiet()
{
    const QString rules = readText(kRules);
    const QString tests = readText(kTests);
    QSet<QString> alerts;
    const QRegularExpression alert(QStringLiteral("^\\s*- alert: (\\w+)$"), QRegularExpression::MultilineOption);
    for (auto m = alert.globalMatch(rules); m.hasNext();)
        alerts.insert(m.next().captured(1));
    QCOMPARE(alerts.size(), 7);
    QSet<QString> fires, quiet;
    const QRegularExpression evaluation(QStringLiteral("alertname: (\\w+)\\n\\s*exp_alerts:( \\[\\])?"));
    for (auto m = evaluation.globalMatch(tests); m.hasNext();) {
        const auto e = m.next();
        (e.captured(2).isEmpty() ? fires : quiet).insert(e.captured(1));
    }
    QCOMPARE(fires, alerts);
    QCOMPARE(quiet, alerts);
}

void tst_AlertRules::brokenRuleFailsTheTests_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::newRow("down: any job's target") << R"(up{job=~"solver_unit.*"} == 0)" << "up == 0";
    QTest::newRow("no records: a 5-minute window") << "rate(solver_records_received_total[1m])"
                                                   << "rate(solver_records_received_total[5m])";
    QTest::newRow("failing: share of the failures alone")
        << "+ sum by (job, instance) (rate(solver_transmissions_solved_total[5m]))" << "";
    QTest::newRow("latency: p90") << "histogram_quantile(0.99," << "histogram_quantile(0.9,";
    QTest::newRow("dropped: for a minute") << "(rate(solver_records_dropped_total[1m])) > 0\n        for: 5m"
                                           << "(rate(solver_records_dropped_total[1m])) > 0\n        for: 1m";
    QTest::newRow("silent: whether others are heard or not")
        << "and on (job, instance)\n          sum by (job, instance) (rate(solver_anchor_records_total[2m])) > 0"
        << "";
    QTest::newRow("left out: share of all anchors' records")
        << "/ rate(solver_anchor_records_total[5m])"
        << "/ on (job, instance) group_left sum by (job, instance) (rate(solver_anchor_records_total[5m]))";
}

// A copy of the rules with one fault, under the same unit tests: they fail.
void tst_AlertRules::brokenRuleFailsTheTests()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QString rules = readText(kRules);
    QCOMPARE(rules.count(from), 1);
    rules.replace(from, to);
    QString tests = readText(kTests);
    QCOMPARE(tests.count(kRulesReference), 1);
    QTemporaryDir dir;
    QVERIFY(writeText(dir.filePath(QStringLiteral("rules.yml")), rules));
    QVERIFY(writeText(dir.filePath(QStringLiteral("tests.yml")), tests.replace(kRulesReference, "rules.yml")));
    QString out;
    QCOMPARE(promtool(path, {"check", "rules", dir.filePath(QStringLiteral("rules.yml"))}, &out), 0);
    QCOMPARE(promtool(path, {"test", "rules", dir.filePath(QStringLiteral("tests.yml"))}, &out), 1);
    QVERIFY2(out.contains(QLatin1String("FAILED")), qPrintable(out));
}

QTEST_GUILESS_MAIN(tst_AlertRules)
#include "tst_alert_rules.moc"
