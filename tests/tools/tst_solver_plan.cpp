// solver_plan as a program: its bound where a closed form exists, singular
// geometry marked rather than numbered, and what --suggest does about it.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

QString anchorsIni(const QList<QList<double>> &anchors)
{
    QString ini = QStringLiteral("[anchor_coordinate]\n");
    for (int i = 0; i < anchors.size(); ++i)
        ini += QStringLiteral("A0000000000%1=\"%2,%3,%4\"\n").arg(i + 1).arg(anchors[i][0]).arg(anchors[i][1]).arg(anchors[i][2]);
    return ini + QStringLiteral("[tag_high]\ntag1=1.2\n");
}

// Runs the planner on the layout with --json; the document, or empty on failure.
QJsonObject plan(const QTemporaryDir &dir, const QList<QList<double>> &anchors, const QString &options)
{
    QFile ini(dir.filePath(QStringLiteral("config.ini")));
    if (!ini.open(QIODevice::WriteOnly) || ini.write(anchorsIni(anchors).toUtf8()) < 0)
        return {};
    ini.close();
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral(SOLVER_PLAN), QStringList{"--config", ini.fileName(), "--json"}
                                             + options.split(QLatin1Char(' '), Qt::SkipEmptyParts));
    if (!p.waitForFinished(20000) || p.exitCode() != 0)
        return {};
    return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

QJsonObject cellAt(const QJsonObject &doc, double x, double y)
{
    for (const QJsonValue &v : doc.value(QStringLiteral("cells")).toArray()) {
        const QJsonObject c = v.toObject();
        if (c.value(QStringLiteral("x")).toDouble() == x && c.value(QStringLiteral("y")).toDouble() == y)
            return c;
    }
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
    void refusesBadOptions();
};

void tst_SolverPlan::squareCentreHasClosedForm_data()
{
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("noise");
    QTest::addColumn<int>("singular");
    // Anchors at (+-a, +-a, h), tag at the centre, r = sqrt(2a^2 + dz^2): the
    // unit vectors have mean 0 and sum u u^T = 2a^2/r^2 I, so
    // sqrt(CRLB) = noise * r / (a sqrt(2)); in the tag's plane exactly the noise.
    // A tag on an anchor has no direction to it: the four anchor points.
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
    const QJsonObject doc = plan(dir, {{0, 0, height}, {10, 0, height}, {10, 10, height}, {0, 10, height}},
                                 QStringLiteral("--step 1 --margin 1 --noise %1 --svg map.svg").arg(noise));
    QVERIFY(!doc.isEmpty());
    const double dz = height - 1.2;
    const double expected = noise * std::sqrt(50 + dz * dz) / (5 * std::sqrt(2.0));
    const QJsonObject centre = cellAt(doc, 5, 5);
    QVERIFY2(std::fabs(centre.value(QStringLiteral("error_m")).toDouble() - expected) < 1e-12 * expected,
             qPrintable(QString::number(centre.value(QStringLiteral("error_m")).toDouble(), 'g', 17)));
    QVERIFY(centre.value(QStringLiteral("inside_hull")).toBool());
    QVERIFY(cellAt(doc, 0, 0).value(QStringLiteral("inside_hull")).toBool()); // on the edge
    QVERIFY(!cellAt(doc, -1, 5).value(QStringLiteral("inside_hull")).toBool());
    const QJsonObject summary = doc.value(QStringLiteral("summary")).toObject();
    QCOMPARE(summary.value(QStringLiteral("cells")).toInt(), 13 * 13);
    QCOMPARE(summary.value(QStringLiteral("inside_hull_cells")).toInt(), 11 * 11);
    QCOMPARE(summary.value(QStringLiteral("singular_cells")).toInt(), singular);
    QCOMPARE(cellAt(doc, 10, 10).value(QStringLiteral("singular")).toBool(), singular > 0);
    QFile svg(dir.filePath(QStringLiteral("map.svg")));
    QVERIFY(svg.open(QIODevice::ReadOnly));
    QVERIFY(svg.readAll().contains("A00000000003 (10, 10)"));
}

void tst_SolverPlan::collinearAnchorsAreSingularOnTheirLine()
{
    QTemporaryDir dir;
    // Three anchors on y = 0: on that line every direction to an anchor lies
    // along it, so y is not fixed at all.
    const QJsonObject doc =
        plan(dir, {{0, 0, 3}, {10, 0, 3}, {20, 0, 3}}, QStringLiteral("--step 1 --margin 2 --suggest 1"));
    QVERIFY(!doc.isEmpty());
    int singular = 0;
    for (const QJsonValue &v : doc.value(QStringLiteral("cells")).toArray()) {
        const QJsonObject c = v.toObject();
        const bool onLine = c.value(QStringLiteral("y")).toDouble() == 0;
        QCOMPARE(c.value(QStringLiteral("singular")).toBool(), onLine);
        QCOMPARE(c.value(QStringLiteral("error_m")).isNull(), onLine);
        QVERIFY(!c.value(QStringLiteral("inside_hull")).toBool());
        singular += onLine;
    }
    const QJsonObject summary = doc.value(QStringLiteral("summary")).toObject();
    QCOMPARE(singular, 25);
    QCOMPARE(summary.value(QStringLiteral("singular_cells")).toInt(), 25);
    // A fifth of the points is singular: the p90 has no number.
    QVERIFY(summary.value(QStringLiteral("p90_m")).isNull());
    QVERIFY(summary.value(QStringLiteral("p50_m")).toDouble() > 0);
    // One anchor off the line fixes every point.
    const QJsonObject added = doc.value(QStringLiteral("suggestions")).toArray().at(0).toObject();
    QVERIFY(added.value(QStringLiteral("y")).toDouble() != 0);
    QCOMPARE(added.value(QStringLiteral("singular_cells")).toInt(), 0);
    QVERIFY(added.value(QStringLiteral("p90_m")).toDouble() > 0);
}

void tst_SolverPlan::refusesBadOptions()
{
    const QList<QStringList> cases{{"--config", "/nonexistent/config.ini"}, {"--step", "0"}, {"--noise", "-0.1"},
                                   {"--suggest", "x"}};
    QTemporaryDir dir;
    QFile ini(dir.filePath(QStringLiteral("config.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write(anchorsIni({{0, 0, 3}, {9, 0, 3}, {0, 9, 3}}).toUtf8()) > 0);
    ini.close();
    for (const QStringList &args : cases) {
        QProcess p;
        p.start(QStringLiteral(SOLVER_PLAN), QStringList{"--config", ini.fileName()} + args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 2);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(err.startsWith(QLatin1String("solver_plan: ")), qPrintable(err));
    }
}

QTEST_GUILESS_MAIN(tst_SolverPlan)
#include "tst_solver_plan.moc"
