// The package's Prometheus alert rules: promtool accepts them, the unit tests
// of solver_unit_rules_test.yml pass and see every alert both fire and stay
// quiet, and they notice a rule gone wrong in the ways rules go wrong.
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

} // namespace

class tst_AlertRules : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { SOLVER_REQUIRE_TOOL(promtoolPath, "promtool"); }
    void promtoolAcceptsAndTestsPass();
    void everyAlertFiresAndStaysQuiet();
    void brokenRuleFailsTheTests_data();
    void brokenRuleFailsTheTests();

private:
    // promtool's exit code; everything it printed in *output.
    int promtool(const QStringList &args, QString *output)
    {
        ChildProcess p(promtoolPath, -100); // the exit code is the caller's to judge
        const int code = p.start(args) ? p.finish(60000) : -1;
        *output = QString::fromUtf8(p.process().readAllStandardOutput()) + p.log();
        return code;
    }
    QString promtoolPath;
};

void tst_AlertRules::promtoolAcceptsAndTestsPass()
{
    QString out;
    QCOMPARE(promtool({"check", "rules", kRules}, &out), 0);
    QVERIFY2(out.contains("SUCCESS: 7 rules found"), qPrintable(out));
    QVERIFY2(promtool({"test", "rules", kTests}, &out) == 0 && out.contains("SUCCESS"), qPrintable(out));
}

// Each alert of the rules has an evaluation that expects it firing, and one that expects it quiet.
void tst_AlertRules::everyAlertFiresAndStaysQuiet()
{
    QSet<QString> alerts, fires, quiet;
    const QRegularExpression alert("^\\s*- alert: (\\w+)$", QRegularExpression::MultilineOption);
    for (auto m = alert.globalMatch(readFile(kRules)); m.hasNext();)
        alerts.insert(m.next().captured(1));
    QCOMPARE(alerts.size(), 7);
    const QRegularExpression evaluation("alertname: (\\w+)\\n\\s*exp_alerts:( \\[\\])?");
    for (auto m = evaluation.globalMatch(readFile(kTests)); m.hasNext();) {
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
    QTest::newRow("failing: share of the failures alone")
        << "+ sum by (job, instance) (rate(solver_transmissions_solved_total[5m]))" << "";
    QTest::newRow("silent: whether others are heard or not")
        << "and on (job, instance)\n          sum by (job, instance) (rate(solver_anchor_records_total[2m])) > 0"
        << "";
}

// A copy of the rules with one fault, still valid, under the same unit tests: they fail.
void tst_AlertRules::brokenRuleFailsTheTests()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QString rules = readFile(kRules), tests = readFile(kTests);
    QCOMPARE(rules.count(from), 1);
    QCOMPARE(tests.count(kRulesReference), 1);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("rules.yml"), rules.replace(from, to)));
    QVERIFY(writeFile(dir.filePath("tests.yml"), tests.replace(kRulesReference, "rules.yml")));
    QString out;
    QCOMPARE(promtool({"check", "rules", dir.filePath("rules.yml")}, &out), 0);
    QCOMPARE(promtool({"test", "rules", dir.filePath("tests.yml")}, &out), 1);
    QVERIFY2(out.contains("FAILED"), qPrintable(out));
}

QTEST_GUILESS_MAIN(tst_AlertRules)
#include "tst_alert_rules.moc"
