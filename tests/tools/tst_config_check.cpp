// solver_plan --check as a program, on the sample configuration with one
// thing changed per row: the finding, the line it names, the exit code.
#include "../support/test_support.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace {

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

class tst_ConfigCheck : public QObject
{
    Q_OBJECT

private slots:
    void findsEachProblem_data();
    void findsEachProblem();
    void unreadableFileIsAnError();
};

void tst_ConfigCheck::findsEachProblem_data()
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
    QTest::newRow("FIFO limit 0") << QStringList{"anchor_fifo_limit=100000", "anchor_fifo_limit=0"} << 1
                                  << "warning: `[network_setting] anchor_fifo_limit=0`: outside 1..1000000; the "
                                     "program uses 100000" << "anchor_fifo_limit=";
    QTest::newRow("FIFO limit above the most")
        << QStringList{"anchor_fifo_limit=100000", "anchor_fifo_limit=2000000000"} << 1
        << "warning: `[network_setting] anchor_fifo_limit=2000000000`: outside 1..1000000; the program uses 1000000"
        << "anchor_fifo_limit=";
    QTest::newRow("delay window beyond a sequence")
        << QStringList{"delay_window_1908=2", "delay_window_1908=300"} << 1
        << "warning: `[algorithm_config] delay_window_1908=300`: outside 0..255; the program uses 44" << "300";
    QTest::newRow("max age negative") << QStringList{"[network_setting]\n", "[network_setting]\nanchor_max_age_ms=-5\n"}
                                      << 1 << "warning: `[network_setting] anchor_max_age_ms=-5`: outside "
                                              "0..2147483647; the program uses 200" << "anchor_max_age_ms";
    QTest::newRow("switch not exactly true") << QStringList{"report_accuracy=true", "report_accuracy=True"} << 1
                                             << "warning: `[algorithm_config] report_accuracy=True`: on only when "
                                                "exactly `true`" << "report_accuracy";
    QTest::newRow("noise negative") << QStringList{"range_noise=auto", "range_noise=-0.05"} << 2
                                    << "error: `[algorithm_config] range_noise=-0.05`: not a positive number of metres "
                                       "nor `auto`" << "range_noise";
    QTest::newRow("smoothing window too short") << QStringList{"s_length=5", "s_length=1", "track_filter=true",
                                                               "track_filter=false"}
                                                << 1 << "warning: `[algorithm_config] s_length=1`: outside" << "s_length";
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

void tst_ConfigCheck::findsEachProblem()
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

void tst_ConfigCheck::unreadableFileIsAnError()
{
    const ToolRun run = runTool(QStringLiteral(SOLVER_PLAN), {"--check", "--config", "/nonexistent/config.ini"}, 20000);
    QCOMPARE(run.exitCode, 2);
    const QByteArray &out = run.out;
    QVERIFY2(out.startsWith("error: cannot read /nonexistent/config.ini") && out.endsWith(": 1 error, 0 warnings\n"),
             out.constData());
}

QTEST_GUILESS_MAIN(tst_ConfigCheck)
#include "tst_config_check.moc"
