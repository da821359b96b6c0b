// solver_plan as a program: its bound where a closed form exists, singular geometry marked rather than numbered,
// and what --suggest does about it; its --check on the sample configuration with one thing changed per row: the
// finding, the line it names, the exit code.
#include "../support/test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
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


QString sample() { return readFile(QStringLiteral(SOLVER_SAMPLE)); }

// Runs the check on `text`; the exit code and standard output.
int check(const QTemporaryDir &dir, const QString &text, QString *out)
{
    if (!writeFile(dir.filePath(QStringLiteral("config.ini")), text))
        return -1;
    const ToolRun run = runTool(QStringLiteral(SOLVER_PLAN), {"--check", "--config", dir.filePath("config.ini")}, 20000);
    *out = QString::fromUtf8(run.out);
    return run.exitCode;
}

// Swaps two letters in the middle of a key: the typo a person makes.
QString misspelt(const QString &key)
{
    const int at = key.size() / 2;
    return key.left(at - 1) + key[at] + key[at - 1] + key.mid(at + 1);
}

} // namespace

class tst_SolverPlan : public QObject
{
    Q_OBJECT

private slots:
    void squareCentreHasClosedForm_data();
    void squareCentreHasClosedForm();
    void collinearAnchorsAreSingularOnTheirLine();
    void findsEachProblem_data();
    void findsEachProblem();
    void unreadableFileIsAnError();
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

void tst_SolverPlan::findsEachProblem_data()
{
    QTest::addColumn<QStringList>("edits"); // pairs: text of the sample, its replacement
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("finding");   // starts a line of the output after "LEVEL: FILE:LINE: "
    QTest::addColumn<QString>("at");        // text of the edited file on the line named; empty: no line

    QTest::newRow("the sample") << QStringList{} << 0 << QString() << QString();
    // Good values of keys the sample leaves at their defaults; MQTT off, its settings are not held against it.
    QTest::newRow("other good settings")
        << QStringList{"range_noise=auto", "range_noise=0.05", "report_accuracy=true",
                       "report_accuracy=true\nanchor_offset_correction=true", "[network_setting]\n",
                       "[network_setting]\nparameters_configuration_allow=\"127.0.0.1, 10.1.0.0/16, ::1\"\n"
                       "local_udp_listen_anchor_ip=0.0.0.0\nlocal_udp_listen_parameters_configuration_ip=::1\n",
                       "mqtt_qos=0", "mqtt_qos=1", "mqtt_host=127.0.0.1", "mqtt_host=", ";metrics_listen=127.0.0.1:9464",
                       "metrics_listen=[::1]:0"}
        << 0 << QString() << QString();
    // A misspelt key in every group of the sample that has fixed keys.
    const QString text = sample();
    QString group;
    QStringList groupsDone;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1Char('['))) {
            group = line.mid(1, line.indexOf(QLatin1Char(']')) - 1);
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0 || line.startsWith(QLatin1Char(';')) || groupsDone.contains(group)
            || group == QLatin1String("anchor_coordinate") || group == QLatin1String("token_msg"))
            continue;
        groupsDone.append(group);
        const QString key = line.left(equals), typo = misspelt(key);
        QTest::addRow("misspelt in [%s]", qPrintable(group))
            << QStringList{line, typo + line.mid(equals)} << 1
            << QStringLiteral("warning: `[%1] %2`: not a key; did you mean `%3`?").arg(group, typo, key) << typo + '=';
    }
    QVERIFY(groupsDone.size() == 13);
    QTest::newRow("misspelt in [metrics]")
        << QStringList{";metrics_listen=", "metrics_lisetn=127.0.0.1:9464\n;metrics_listen="} << 1
        << "warning: `[metrics] metrics_lisetn`: not a key; did you mean `metrics_listen`?" << "metrics_lisetn";
    QTest::newRow("misspelt group") << QStringList{"[metrics]", "[metrix]"} << 1
                                    << "warning: `[metrix]`: not a group; did you mean `[metrics]`?" << "[metrix]";
    QTest::newRow("key in the wrong group")
        << QStringList{"[network_setting]\n", "[network_setting]\ntrack_filter=true\n"} << 1
        << "warning: `[network_setting] track_filter`: belongs in `[algorithm_config]`" << "track_filter=true";
    QTest::newRow("integer does not parse") << QStringList{"tag_limit=10000", "tag_limit=10k"} << 2
                                            << "error: `[algorithm_config] tag_limit=10k`: not a whole number; the "
                                               "program uses 10000" << "tag_limit=";
    QTest::newRow("FIFO limit above the most")
        << QStringList{"anchor_fifo_limit=100000", "anchor_fifo_limit=2000000000"} << 1
        << "warning: `[network_setting] anchor_fifo_limit=2000000000`: outside 1..1000000; the program uses 1000000"
        << "anchor_fifo_limit=";
    QTest::newRow("delay window beyond a sequence")
        << QStringList{"delay_window_1908=2", "delay_window_1908=300"} << 1
        << "warning: `[algorithm_config] delay_window_1908=300`: outside 0..255; the program uses 44" << "300";
    QTest::newRow("switch not exactly true") << QStringList{"report_accuracy=true", "report_accuracy=True"} << 1
                                             << "warning: `[algorithm_config] report_accuracy=True`: on only when "
                                                "exactly `true`" << "report_accuracy";
    QTest::newRow("noise negative") << QStringList{"range_noise=auto", "range_noise=-0.05"} << 2
                                    << "error: `[algorithm_config] range_noise=-0.05`: not a positive number of metres "
                                       "nor `auto`" << "range_noise";
    QTest::newRow("allow list with a bad entry")
        << QStringList{"[network_setting]\n", "[network_setting]\nparameters_configuration_allow=127.0.0.1,10.1.0.0/40\n"}
        << 2 << "error: `[network_setting] parameters_configuration_allow`: `10.1.0.0/40` is not an address" << "allow";
    QTest::newRow("bind address not an address")
        << QStringList{"[network_setting]\n", "[network_setting]\nlocal_udp_listen_anchor_ip=eth0\n"} << 2
        << "error: `[network_setting] local_udp_listen_anchor_ip=eth0`: not an IP address" << "eth0";

    QTest::newRow("two anchors at one position")
        << QStringList{"A00000000006=\"10.00,15.00,3.00\"", "A00000000006=\"20.00,15.00,3.00\""} << 2
        << "error: `[anchor_coordinate] A00000000006`: at the same position as A00000000003" << "A00000000006";
    QTest::newRow("one id twice, other case")
        << QStringList{"A00000000006=", "a00000000005="} << 2
        << "error: `[anchor_coordinate] a00000000005`: the same anchor as line" << "a00000000005";
    QTest::newRow("bad anchor id") << QStringList{"A00000000006=", "A0000000006G="} << 2
                                   << "error: `[anchor_coordinate] A0000000006G`: not an anchor id of 12 hexadecimal "
                                      "digits" << "A0000000006G";
    QTest::newRow("coordinate not a number") << QStringList{"\"10.00,15.00,3.00\"", "\"10.00,1S.00,3.00\""} << 2
                                             << "error: `[anchor_coordinate] A00000000006`: 1 of its coordinates not a "
                                                "number; the program reads them as 0" << "1S.00";
    QTest::newRow("coordinates not quoted") << QStringList{"\"10.00,15.00,3.00\"", "10.00,15.00,3.00"} << 2
                                            << "error: `[anchor_coordinate] A00000000006`: not \"x,y,z\"" << "A00000000006";
    QTest::newRow("collinear anchors")
        << QStringList{"A00000000003=\"20.00,15.00,3.00\"\nA00000000004=\"0.00,15.00,3.00\"\n", "",
                       "A00000000006=\"10.00,15.00,3.00\"", "A00000000006=\"30.00,0.00,3.00\""}
        << 2 << "error: `[anchor_coordinate]`: all anchors stand on one line" << "[anchor_coordinate]";
    QTest::newRow("three anchors")
        << QStringList{"A00000000003=\"20.00,15.00,3.00\"\nA00000000004=\"0.00,15.00,3.00\"\n", "",
                       "A00000000005=\"10.00,0.00,3.00\"", ""}
        << 1 << "warning: `[anchor_coordinate]`: only 3 usable anchors" << "[anchor_coordinate]";
    QTest::newRow("poor coverage") << QStringList{"range_noise=auto", "range_noise=0.5"} << 1
                                   << "warning: % of the area the anchors enclose has an "
                                      "expected error above 30 cm (timing noise 0.5 m)" << "[anchor_coordinate]";
    QTest::newRow("tags above the anchors") << QStringList{"tag1=1.2", "tag1=4.5"} << 1
                                            << "warning: `[tag_high] tag1`: 4.50 m is above every anchor" << "tag1=";

    QTest::newRow("configuration endpoint is the program's own request port")
        << QStringList{"remote_udp_server_parameters_configuration_port=9103",
                       "remote_udp_server_parameters_configuration_port=9101"}
        << 2 << "error: `[network_setting] remote_udp_server_parameters_configuration_port`: replies to configuration "
                "requests go to the program's own request port" << "remote_udp_server_parameters_configuration_port=9101";
    QTest::newRow("reports into the anchor port")
        << QStringList{"remote_udp_server_location_port=9102", "remote_udp_server_location_port=9100"} << 2
        << "error: `[network_setting] remote_udp_server_location_port`: position reports go to the program's own "
           "anchor port" << "location_port=9100";
    QTest::newRow("listening ports collide")
        << QStringList{"local_udp_listen_parameters_configuration_port=9101",
                       "local_udp_listen_parameters_configuration_port=9100"}
        << 2 << "error: `[network_setting] local_udp_listen_parameters_configuration_port`: the same UDP port as "
                "local_udp_listen_anchor_port" << "configuration_port=9100";
    QTest::newRow("MQTT QoS the publisher refuses")
        << QStringList{"mqtt_enable=false", "mqtt_enable=true", "mqtt_qos=0", "mqtt_qos=2"} << 2
        << "error: `[mqtt]`: mqtt_qos \"2\" is not 0 or 1; the program runs without MQTT" << "mqtt_enable";
    QTest::newRow("MQTT prefix the publisher refuses")
        << QStringList{"mqtt_enable=false", "mqtt_enable=true", "mqtt_topic_prefix=site1/hall-1",
                       "mqtt_topic_prefix=site1/#"}
        << 2 << "error: `[mqtt]`: mqtt_topic_prefix \"site1/#\" cannot begin a topic" << "mqtt_enable";
    QTest::newRow("metrics on a host name") << QStringList{";metrics_listen=127.0.0.1:9464", "metrics_listen=localhost:9464"}
                                            << 2 << "error: `[metrics] metrics_listen=localhost:9464`: not ADDRESS:PORT"
                                            << "metrics_listen";
}

void tst_SolverPlan::findsEachProblem()
{
    QFETCH(QStringList, edits);
    QFETCH(int, code);
    QFETCH(QString, finding);
    QFETCH(QString, at);
    QString text = sample();
    QVERIFY(!text.isEmpty());
    for (int i = 0; i + 1 < edits.size(); i += 2) {
        QVERIFY2(text.contains(edits[i]), qPrintable(edits[i]));
        text.replace(edits[i], edits[i + 1]);
    }
    QTemporaryDir dir;
    QString out;
    QCOMPARE(check(dir, text, &out), code);
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // The summary comes last, and counts what is listed.
    const int errors = int(lines.filter(QRegularExpression(QStringLiteral("^error: "))).size());
    const int warnings = int(lines.filter(QRegularExpression(QStringLiteral("^warning: "))).size());
    QVERIFY2(!lines.isEmpty() && errors + warnings == lines.size() - 1, qPrintable(out));
    const auto count = [](int n, const QString &what) { return QStringLiteral("%1 %2%3").arg(n).arg(what, n == 1 ? "" : "s"); };
    QVERIFY2(lines.last().endsWith(code == 0 ? QStringLiteral(": no findings")
                                             : ": " + count(errors, "error") + ", " + count(warnings, "warning")),
             qPrintable(out));
    if (finding.isEmpty())
        return;
    // "LEVEL: FILE:LINE: text": the line is the one of `at` in the edited file.
    const int line = text.left(text.indexOf(at)).count(QLatin1Char('\n')) + 1;
    QVERIFY2(!at.isEmpty() && text.contains(at), qPrintable(at));
    const int colon = finding.indexOf(QLatin1String(": "));
    const QString expected = finding.left(colon + 2) + dir.filePath(QStringLiteral("config.ini")) + ':'
                             + QString::number(line) + ": ";
    const QString rest = finding.mid(colon + 2);
    QVERIFY2(std::any_of(lines.begin(), lines.end(),
                         [&](const QString &l) { return l.startsWith(expected) && l.contains(rest); }),
             qPrintable(expected + rest + "\n---\n" + out));
}

void tst_SolverPlan::unreadableFileIsAnError()
{
    const ToolRun run = runTool(QStringLiteral(SOLVER_PLAN), {"--check", "--config", "/nonexistent/config.ini"}, 20000);
    QCOMPARE(run.exitCode, 2);
    const QByteArray &out = run.out;
    QVERIFY2(out.startsWith("error: cannot read /nonexistent/config.ini") && out.endsWith(": 1 error, 0 warnings\n"),
             out.constData());
}

QTEST_GUILESS_MAIN(tst_SolverPlan)
#include "tst_solver_plan.moc"
