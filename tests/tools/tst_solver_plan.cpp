// solver_plan as a program: its bound where a closed form exists, singular
// geometry marked rather than numbered, and what --suggest does about it.
#include "../support/test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

// Runs the planner with --json on a config.ini of the anchors (tag height 1.2 m); the exit code and the document.
int plan(const QTemporaryDir &dir, const QList<QList<double>> &anchors, const QString &options, QJsonObject *doc)
{
    QString ini = QStringLiteral("[anchor_coordinate]\n");
    for (int i = 0; i < anchors.size(); ++i)
        ini += QStringLiteral("A0000000000%1=\"%2,%3,%4\"\n").arg(i + 1).arg(anchors[i][0]).arg(anchors[i][1]).arg(anchors[i][2]);
    const QString config = dir.filePath(QStringLiteral("config.ini"));
    if (!writeFile(config, ini + "[tag_high]\ntag1=1.2\n"))
        return -1;
    ChildProcess p(QStringLiteral(SOLVER_PLAN));
    p.process().setWorkingDirectory(dir.path());
    if (!p.start(QStringList{"--config", config, "--json"} + options.split(' ')))
        return -1;
    const int code = p.finish(20000);
    *doc = QJsonDocument::fromJson(p.process().readAllStandardOutput()).object();
    return code;
}

QJsonObject cellAt(const QJsonObject &doc, double x, double y)
{
    for (const QJsonValue &v : doc.value(QStringLiteral("cells")).toArray())
        if (v[QStringLiteral("x")].toDouble() == x && v[QStringLiteral("y")].toDouble() == y)
            return v.toObject();
    return {};
}

} // namespace

class tst_SolverPlan : public QObject
{
    Q_OBJECT

private slots:
    void squareCentreHasClosedForm_data();
    void squareCentreHasClosedForm();
    void collinearAnchorsAreSingularOnTheirLine();
};

void tst_SolverPlan::squareCentreHasClosedForm_data()
{
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("noise");
    QTest::addColumn<int>("singular");
    // Anchors at (+-a, +-a, h), tag at the centre, r = sqrt(2a^2 + dz^2): the unit vectors have mean 0 and sum u u^T
    // = 2a^2/r^2 I, so sqrt(CRLB) = noise * r / (a sqrt(2)); in the tag's plane exactly the noise, and the four
    // points on the anchors have no direction to them.
    QTest::newRow("anchors in the tag's plane") << 1.2 << 0.1 << 4;
    QTest::newRow("anchors at 3 m") << 3.0 << 0.1 << 0;
    QTest::newRow("anchors at 3 m, 2 cm noise") << 3.0 << 0.02 << 0;
}

void tst_SolverPlan::squareCentreHasClosedForm()
{
    QFETCH(double, height);
    QFETCH(double, noise);
    QFETCH(int, singular);
    QTemporaryDir dir;
    QJsonObject doc;
    QCOMPARE(plan(dir, {{0, 0, height}, {10, 0, height}, {10, 10, height}, {0, 10, height}},
                  QStringLiteral("--step 1 --margin 1 --svg map.svg --noise %1").arg(noise), &doc), 0);
    const double dz = height - 1.2;
    const double expected = noise * std::sqrt(50 + dz * dz) / (5 * std::sqrt(2.0));
    const QJsonObject centre = cellAt(doc, 5, 5);
    QVERIFY2(std::fabs(centre[QStringLiteral("error_m")].toDouble() - expected) < 1e-12 * expected,
             qPrintable(QString::number(centre[QStringLiteral("error_m")].toDouble(), 'g', 17)));
    QVERIFY(centre[QStringLiteral("inside_hull")].toBool());
    QVERIFY(cellAt(doc, 0, 5)[QStringLiteral("inside_hull")].toBool()); // on the edge
    QVERIFY(!cellAt(doc, -1, 5)[QStringLiteral("inside_hull")].toBool());
    QCOMPARE(cellAt(doc, 10, 10)[QStringLiteral("singular")].toBool(), singular > 0);
    const QJsonObject summary = doc[QStringLiteral("summary")].toObject();
    QCOMPARE(summary[QStringLiteral("cells")].toInt(), 13 * 13);
    QCOMPARE(summary[QStringLiteral("inside_hull_cells")].toInt(), 11 * 11);
    QCOMPARE(summary[QStringLiteral("singular_cells")].toInt(), singular);
    QVERIFY(readFile(dir.filePath(QStringLiteral("map.svg"))).contains("A00000000003 (10, 10)"));
}

void tst_SolverPlan::collinearAnchorsAreSingularOnTheirLine()
{
    QTemporaryDir dir;
    QJsonObject doc;
    // Three anchors on y = 0: on that line every direction to an anchor lies along it, so y is not fixed at all.
    QCOMPARE(plan(dir, {{0, 0, 3}, {10, 0, 3}, {20, 0, 3}}, "--step 1 --margin 2 --suggest 1", &doc), 0);
    for (const QJsonValue &c : doc[QStringLiteral("cells")].toArray()) {
        const bool onLine = c[QStringLiteral("y")].toDouble() == 0;
        QCOMPARE(c[QStringLiteral("singular")].toBool(), onLine);
        QCOMPARE(c[QStringLiteral("error_m")].isNull(), onLine);
    }
    const QJsonObject summary = doc[QStringLiteral("summary")].toObject();
    QCOMPARE(summary[QStringLiteral("singular_cells")].toInt(), 25);
    // A fifth of the points is singular: the p90 has no number.
    QVERIFY(summary[QStringLiteral("p90_m")].isNull());
    // One anchor off the line fixes every point.
    const QJsonValue added = doc[QStringLiteral("suggestions")].toArray().at(0);
    QVERIFY(added[QStringLiteral("y")].toDouble() != 0);
    QCOMPARE(added[QStringLiteral("singular_cells")].toInt(), 0);
    QVERIFY(added[QStringLiteral("p90_m")].toDouble() > 0);
    // A bad option: refused with a reason, nothing on standard output.
    QCOMPARE(plan(dir, {{0, 0, 3}, {10, 0, 3}, {0, 10, 3}}, "--step 0", &doc), 2);
    QVERIFY(doc.isEmpty());
}

QTEST_GUILESS_MAIN(tst_SolverPlan)
#include "tst_solver_plan.moc"
