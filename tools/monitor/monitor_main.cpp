// solver_monitor: listens on the location endpoint, shows the position
// reports live per tag and ends with a summary, scored against the
// simulator's truth file when one is given.
#include "common/termination_signals.h"
#include "tools/monitor/anchor_health.h"
#include "tools/common/site_config.h"
#include "tools/common/tool_fail.h"
#include "tools/monitor/live_map_hub.h"
#include "tools/monitor/live_map_server.h"
#include "tools/monitor/live_table.h"
#include "tools/monitor/report_collector.h"
#include "tools/monitor/report_receiver.h"
#include "tools/monitor/svg_writer.h"
#include "tools/monitor/truth_scorer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const QString &message) { toolFail("solver_monitor", message); }

struct Options {
    QString listen;
    quint16 port = 0;
    double duration = 0; // 0: until SIGINT or SIGTERM
    double forgetAfter = 0;
    QString truth;
    QString svg;
    QString jsonSummary;
    bool quiet = false;
    QString httpHost; // empty: no live map
    quint16 httpPort = 0;
    int httpViewers = 0;
    QUrl metrics; // empty: no anchor health
    ScoreOptions scoring;
    SiteConfig site;
};

Options parseOptions(const QCoreApplication &app)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Live view and summary of the position reports."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("config"),
         QStringLiteral("Site config.ini: location port, anchors for the picture, delay window and smoothing "
                        "for the pairing."),
         QStringLiteral("file")},
        {QStringLiteral("listen"), QStringLiteral("Address to listen on."), QStringLiteral("ipv4"),
         QStringLiteral("127.0.0.1")},
        {QStringLiteral("port"), QStringLiteral("Location port (default: the config's)."), QStringLiteral("port")},
        {QStringLiteral("duration"), QStringLiteral("Seconds to listen; 0 until SIGINT or SIGTERM."),
         QStringLiteral("s"), QStringLiteral("0")},
        {QStringLiteral("forget-after"),
         QStringLiteral("Seconds a tag may stay silent before the table and the live map forget it."),
         QStringLiteral("s"), QStringLiteral("60")},
        {QStringLiteral("truth"), QStringLiteral("The simulator's truth file, for RMSE and latency."),
         QStringLiteral("file")},
        {QStringLiteral("delay"), QStringLiteral("Delay window of the engine (default: the config's)."),
         QStringLiteral("n")},
        {QStringLiteral("smooth-length"),
         QStringLiteral("Smoothing window of the engine, 0 for off (default: the config's)."), QStringLiteral("n")},
        {QStringLiteral("svg"), QStringLiteral("Write a picture of anchors, true tracks and reports."),
         QStringLiteral("file")},
        {QStringLiteral("json-summary"), QStringLiteral("Write the summary as JSON."), QStringLiteral("file")},
        {QStringLiteral("quiet"), QStringLiteral("No live table; only the summary.")},
        {QStringLiteral("http"),
         QStringLiteral("Serve a live map of the tags on ADDRESS:PORT (address 127.0.0.1 when left out; "
                        "port 0: any free one)."),
         QStringLiteral("address:port")},
        {QStringLiteral("http-viewers"), QStringLiteral("Live map pages served at once; more are refused."),
         QStringLiteral("n"), QStringLiteral("16")},
        {QStringLiteral("metrics"),
         QStringLiteral("The engine's metrics endpoint (http://ADDRESS:PORT/metrics): the live map shows each anchor's "
                        "health from it."),
         QStringLiteral("url")},
    });
    p.process(app);

    Options o;
    if (p.isSet(QStringLiteral("config"))) {
        QString error;
        QStringList warnings;
        if (!SiteConfig::load(p.value(QStringLiteral("config")), &o.site, &error, &warnings))
            fail(error);
        for (const QString &w : warnings)
            std::fprintf(stderr, "solver_monitor: %s\n", qPrintable(w));
        o.port = o.site.locationPort;
        o.scoring.delayWindow = o.site.delayWindow;
        o.scoring.smoothLength = o.site.smoothEnable ? o.site.smoothLength : 0;
    }
    bool ok = true;
    if (p.isSet(QStringLiteral("port")))
        o.port = p.value(QStringLiteral("port")).toUShort(&ok);
    if (!ok || o.port == 0)
        fail(QStringLiteral("no location port: give --port or --config"));
    o.listen = p.value(QStringLiteral("listen"));
    o.duration = p.value(QStringLiteral("duration")).toDouble(&ok);
    if (!ok || o.duration < 0)
        fail(QStringLiteral("--duration needs a number of seconds >= 0"));
    o.forgetAfter = p.value(QStringLiteral("forget-after")).toDouble(&ok);
    if (!ok || !(o.forgetAfter >= 1))
        fail(QStringLiteral("--forget-after needs a number of seconds >= 1"));
    if (p.isSet(QStringLiteral("delay")))
        o.scoring.delayWindow = p.value(QStringLiteral("delay")).toInt(&ok);
    if (!ok || o.scoring.delayWindow < 0)
        fail(QStringLiteral("--delay needs an integer >= 0"));
    if (p.isSet(QStringLiteral("smooth-length")))
        o.scoring.smoothLength = p.value(QStringLiteral("smooth-length")).toInt(&ok);
    if (!ok || o.scoring.smoothLength < 0)
        fail(QStringLiteral("--smooth-length needs an integer >= 0"));
    o.truth = p.value(QStringLiteral("truth"));
    o.svg = p.value(QStringLiteral("svg"));
    o.jsonSummary = p.value(QStringLiteral("json-summary"));
    o.quiet = p.isSet(QStringLiteral("quiet"));
    if (p.isSet(QStringLiteral("http")) && !parseHttpAddress(p.value(QStringLiteral("http")), &o.httpHost, &o.httpPort))
        fail(QStringLiteral("--http needs ADDRESS:PORT, for example 127.0.0.1:8080"));
    o.httpViewers = p.value(QStringLiteral("http-viewers")).toInt(&ok);
    if (!ok || o.httpViewers < 1 || o.httpViewers > 256)
        fail(QStringLiteral("--http-viewers needs an integer from 1 to 256"));
    if (p.isSet(QStringLiteral("metrics"))) {
        o.metrics = QUrl(p.value(QStringLiteral("metrics")), QUrl::StrictMode);
        if (!o.metrics.isValid() || o.metrics.scheme() != QLatin1String("http") || o.metrics.host().isEmpty())
            fail(QStringLiteral("--metrics needs an http URL, for example http://127.0.0.1:9464/metrics"));
        if (o.httpHost.isEmpty())
            fail(QStringLiteral("--metrics shows the anchors on the live map: give --http too"));
    }
    return o;
}

double tagRate(const TagLive &t)
{
    return t.reports > 1 && t.lastUs > t.firstUs ? (t.reports - 1) * 1e6 / double(t.lastUs - t.firstUs) : 0;
}

QString formatMetres(double v) { return v < 0 ? QStringLiteral("-") : QString::number(v, 'f', 3); }

QString formatMillis(qint64 us) { return us < 0 ? QStringLiteral("-") : QString::number(us / 1000.0, 'f', 3); }

qint64 wallUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void writeSummary(const Options &o, const ReportCollector &c, double seconds, const Truth *truth, const Score &score)
{
    QString text = QStringLiteral("\nsummary: %1 reports in %2 s from %3 tags, %4 datagrams that were not reports%5\n")
                       .arg(c.reports)
                       .arg(seconds, 0, 'f', 1)
                       .arg(c.tagsHeard)
                       .arg(c.invalid)
                       .arg(c.lastInvalid.isEmpty() ? QString() : QStringLiteral(" (last: %1)").arg(c.lastInvalid));
    if (c.outOfRange > 0)
        text += QStringLiteral("%1 reports refused as out of range (last: %2)\n").arg(c.outOfRange).arg(c.lastOutOfRange);
    if (c.tagsForgotten > 0)
        text += QStringLiteral("%1 tags forgotten after %2 s of silence; the table lists the others and those of the "
                               "truth\n")
                    .arg(c.tagsForgotten)
                    .arg(o.forgetAfter);
    if (c.reports > c.kept.size() && (truth || !o.svg.isEmpty()))
        text += QStringLiteral("kept for --truth and --svg: the first %1 reports\n").arg(c.kept.size());
    text += QStringLiteral("%1 %2 %3 %4 %5\n")
                .arg(QStringLiteral("tag"), -12)
                .arg(QStringLiteral("reports"), 8)
                .arg(QStringLiteral("rate/s"), 8)
                .arg(QStringLiteral("sent"), 8)
                .arg(QStringLiteral("rmse m"), 8);
    // The tags heard lately, and with a truth file every tag of it (a
    // forgotten one with the count of its kept reports).
    QStringList names = c.live.keys();
    for (auto it = score.tags.begin(); it != score.tags.end(); ++it) {
        if (!c.live.contains(it.key()))
            names.append(it.key());
    }
    std::sort(names.begin(), names.end());
    QJsonObject tags;
    for (const QString &name : names) {
        const auto t = c.live.constFind(name);
        const bool heard = t != c.live.constEnd();
        const TagScore s = score.tags.value(name);
        const qint64 reports = heard ? t->reports : s.reports;
        text += QStringLiteral("%1 %2 %3 %4 %5\n")
                    .arg(name, -12)
                    .arg(reports, 8)
                    .arg(heard ? QString::number(tagRate(*t), 'f', 2) : QStringLiteral("-"), 8)
                    .arg(truth ? QString::number(s.transmissions) : QStringLiteral("-"), 8)
                    .arg(truth ? formatMetres(s.rmse()) : QStringLiteral("-"), 8);
        QJsonObject tag{{QStringLiteral("reports"), reports}};
        if (heard) {
            tag.insert(QStringLiteral("rate_hz"), tagRate(*t));
            tag.insert(QStringLiteral("x"), t->last.x);
            tag.insert(QStringLiteral("y"), t->last.y);
            tag.insert(QStringLiteral("telemetry"), t->last.telemetry);
        }
        if (truth) {
            tag.insert(QStringLiteral("transmissions"), s.transmissions);
            tag.insert(QStringLiteral("paired"), s.paired);
            tag.insert(QStringLiteral("rmse_m"), s.rmse());
        }
        tags.insert(name, tag);
    }
    QJsonObject summary{{QStringLiteral("reports"), c.reports},
                        {QStringLiteral("invalid"), c.invalid},
                        {QStringLiteral("out_of_range"), c.outOfRange},
                        {QStringLiteral("tags_heard"), c.tagsHeard},
                        {QStringLiteral("tags_forgotten"), c.tagsForgotten},
                        {QStringLiteral("seconds"), seconds},
                        {QStringLiteral("hr_reports"), c.hrSeen},
                        {QStringLiteral("plain_reports"), c.plainSeen},
                        {QStringLiteral("tags"), tags}};
    if (truth) {
        text += QStringLiteral("RMSE %1 m over %2 paired reports (%3 unpaired; delay window %4, smoothing window %5); "
                               "latency p50 %6 ms, p99 %7 ms\n")
                    .arg(formatMetres(score.rmse()))
                    .arg(score.paired)
                    .arg(score.unpaired)
                    .arg(o.scoring.delayWindow)
                    .arg(o.scoring.smoothLength)
                    .arg(formatMillis(score.latencyPercentile(50)))
                    .arg(formatMillis(score.latencyPercentile(99)));
        // Against the RMS of the reported accuracies (report_accuracy): near 1 when they tell the truth.
        const double reported = c.reports == 0 ? 0 : std::sqrt(c.accuracySquares / double(c.reports));
        text += QStringLiteral("reported horizAccuracy RMS %1 m\n").arg(formatMetres(reported));
        summary.insert(QStringLiteral("reported_accuracy_rms_m"), reported);
        summary.insert(QStringLiteral("rmse_m"), score.rmse());
        summary.insert(QStringLiteral("paired"), score.paired);
        summary.insert(QStringLiteral("unpaired"), score.unpaired);
        summary.insert(QStringLiteral("latency_us"),
                       QJsonObject{{QStringLiteral("p50"), score.latencyPercentile(50)},
                                   {QStringLiteral("p99"), score.latencyPercentile(99)},
                                   {QStringLiteral("max"), score.latencyPercentile(100)}});
    }
    std::fputs(qPrintable(text), stdout);
    std::fflush(stdout);
    if (!o.jsonSummary.isEmpty()) {
        QFile file(o.jsonSummary);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(QJsonDocument(summary).toJson()) < 0)
            std::fprintf(stderr, "solver_monitor: cannot write %s\n", qPrintable(o.jsonSummary));
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("solver_monitor"));
    const Options o = parseOptions(app);

    ReportReceiver receiver;
    QString error;
    if (!receiver.bind(o.listen, o.port, &error))
        fail(error);

    quitOnTerminationSignals(app);

    ReportCollector collected(!o.truth.isEmpty() || !o.svg.isEmpty(), qint64(o.forgetAfter * 1e6));
    QSocketNotifier readable(receiver.descriptor(), QSocketNotifier::Read);
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        for (const ReportReceiver::Datagram &d : receiver.readAll())
            collected.take(d);
    });
    // Tags are forgotten within kForgetSweepMs after their time is up.
    constexpr int kForgetSweepMs = 2000;
    QTimer forgetting;
    QObject::connect(&forgetting, &QTimer::timeout, [&] { collected.forgetSilent(wallUs()); });
    forgetting.start(kForgetSweepMs);

    constexpr int kRefreshMs = 1000;
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    QString mapAddress; // shown under the table, which clears the screen
    QTimer view;
    QObject::connect(&view, &QTimer::timeout, [&] {
        const QString table = renderLiveTable(collected.live, kRefreshMs / 1000.0,
                                              {collected.reports, collected.invalid, collected.outOfRange});
        // Redraw in place on a terminal; a log or pipe gets one block per refresh.
        std::fputs(terminal ? "\x1b[H\x1b[2J" : "\n", stdout);
        std::fputs(qPrintable(table), stdout);
        std::fputs(qPrintable(mapAddress), stdout);
        std::fflush(stdout);
    });
    if (!o.quiet)
        view.start(kRefreshMs);
    if (o.duration > 0)
        QTimer::singleShot(int(o.duration * 1000), &app, &QCoreApplication::quit);
    std::fprintf(stderr, "solver_monitor: listening on %s:%u\n", qPrintable(o.listen), unsigned(receiver.port()));

    // The live map: the server answers on its own threads; this thread only
    // hands the reports to the hub and publishes what changed, every 150 ms.
    std::unique_ptr<LiveMapHub> map;
    std::unique_ptr<LiveMapServer> server;
    QTimer publisher;
    if (!o.httpHost.isEmpty()) {
        map.reset(new LiveMapHub(o.site.anchors, o.site.reportAccuracy));
        server.reset(new LiveMapServer(*map));
        if (!server->start(o.httpHost, o.httpPort, o.httpViewers, &error))
            fail(error);
        collected.map = map.get();
        QObject::connect(&publisher, &QTimer::timeout, [&] { map->publish(wallUs()); });
        publisher.start(150);
        const bool v6 = o.httpHost.contains(QLatin1Char(':'));
        mapAddress = QStringLiteral("live map at http://%1%2%3:%4/\n")
                         .arg(v6 ? QStringLiteral("[") : QString(), o.httpHost, v6 ? QStringLiteral("]") : QString())
                         .arg(server->port());
        std::fprintf(stderr, "solver_monitor: %s", qPrintable(mapAddress));
    }
    std::unique_ptr<MetricsPoller> poller;
    if (!o.metrics.isEmpty()) {
        QStringList ids;
        for (const SiteAnchor &a : o.site.anchors)
            ids.append(QString::fromLatin1(a.id.toHex().toUpper()));
        poller.reset(new MetricsPoller(o.metrics, ids, [&map](const std::string &json) { map->anchors(json); }));
    }

    QElapsedTimer clock;
    clock.start();
    app.exec();
    poller.reset();
    if (server) {
        map->close();
        server->stop();
    }
    // What is still waiting; reports that keep coming are not waited for.
    for (int i = 0; i < 64; ++i) {
        const QVector<ReportReceiver::Datagram> batch = receiver.readAll();
        if (batch.isEmpty())
            break;
        for (const ReportReceiver::Datagram &d : batch)
            collected.take(d);
    }
    const double seconds = clock.elapsed() / 1000.0;

    Truth truth;
    const bool haveTruth = !o.truth.isEmpty();
    if (haveTruth && !loadTruth(o.truth, &truth, &error))
        fail(error);
    Score score = scoreReports(truth, collected.kept, o.scoring);
    writeSummary(o, collected, seconds, haveTruth ? &truth : nullptr, score);
    if (!o.svg.isEmpty()) {
        QFile file(o.svg);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(renderSvg(o.site.anchors, truth, collected.kept)) < 0)
            fail(QStringLiteral("cannot write %1").arg(o.svg));
    }
    return 0;
}
