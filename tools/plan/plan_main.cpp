// solver_plan: the accuracy a layout of anchors can give, before anyone
// installs it. Reads a site's config.ini (anchors, tag height) and prints the
// expected position error over the hall, optionally a heat map, the positions
// of extra anchors that would help most, or all of it as JSON.
#include "common/config_file.h"
#include "tools/common/site_config.h"
#include "tools/common/tool_fail.h"
#include "tools/plan/config_check.h"
#include "tools/plan/accuracy_map.h"
#include "tools/plan/plan_svg.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Most cell-and-candidate evaluations of one suggestion, a few seconds' work.
constexpr double kMostSuggestWork = 2e8;

[[noreturn]] void fail(const QString &message) { toolFail("solver_plan", message); }

struct Options {
    SiteConfig site;
    QString configPath;
    double noise = 0.1;
    double step = 0.5;
    double margin = 0;
    int suggest = 0;
    double candidateStep = 1;
    double anchorHeight = 0;
    QString svg;
    bool json = false;
};

double number(const QCommandLineParser &p, const QString &name, double lowest, bool strictly)
{
    bool ok = false;
    const double v = p.value(name).toDouble(&ok);
    if (!ok || !std::isfinite(v) || (strictly ? !(v > lowest) : !(v >= lowest)))
        fail(QStringLiteral("--%1 needs a number %2 %3").arg(name, strictly ? ">" : ">=").arg(lowest));
    return v;
}

Options parseOptions(const QCoreApplication &app)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Expected position error (square root of the Cramer-Rao bound) of a site's anchor layout over its hall."));
    p.addHelpOption();
    p.addOptions({
        {QStringLiteral("config"), QStringLiteral("Site config.ini: anchors and tag height."), QStringLiteral("file")},
        {QStringLiteral("noise"), QStringLiteral("Timing noise of every anchor, metres of range."),
         QStringLiteral("m"), QStringLiteral("0.1")},
        {QStringLiteral("step"), QStringLiteral("Grid step in metres."), QStringLiteral("m"), QStringLiteral("0.5")},
        {QStringLiteral("margin"), QStringLiteral("Metres added around the anchors' bounding box."),
         QStringLiteral("m"), QStringLiteral("0")},
        {QStringLiteral("suggest"), QStringLiteral("Suggest positions for N more anchors."), QStringLiteral("N"),
         QStringLiteral("0")},
        {QStringLiteral("candidate-step"), QStringLiteral("Spacing of the candidate positions for --suggest."),
         QStringLiteral("m"), QStringLiteral("1")},
        {QStringLiteral("anchor-height"),
         QStringLiteral("Height of suggested anchors (default: mean of the configured ones)."), QStringLiteral("m")},
        {QStringLiteral("svg"), QStringLiteral("Write the heat map."), QStringLiteral("file")},
        {QStringLiteral("json"), QStringLiteral("Print everything as JSON instead of the text summary.")},
        {QStringLiteral("check"),
         QStringLiteral("Check the file (default: the program's config.ini) as the program reads it: unknown keys, "
                        "values, anchors, endpoints. Exit 0 clean, 1 warnings, 2 errors.")},
    });
    p.process(app);
    if (p.isSet(QStringLiteral("check"))) {
        // Without --config: the file beside the program, as the program reads it,
        // else the installed site's file.
        QString path = p.isSet(QStringLiteral("config")) ? p.value(QStringLiteral("config")) : ConfigFile::path();
#ifdef SOLVER_CONF_FILE
        if (!p.isSet(QStringLiteral("config")) && !QFileInfo::exists(path))
            path = QStringLiteral(SOLVER_CONF_FILE);
#endif
        QVector<plan::Finding> findings;
        QString why;
        if (!plan::checkConfig(path, &findings, &why)) {
            std::printf("error: %s\n%s: 1 error, 0 warnings\n", qPrintable(why), qPrintable(path));
            std::exit(2);
        }
        std::exit(plan::printFindings(path, findings));
    }

    Options o;
    if (!p.isSet(QStringLiteral("config")))
        fail(QStringLiteral("--config is required"));
    o.configPath = p.value(QStringLiteral("config"));
    QString error;
    QStringList warnings;
    if (!SiteConfig::load(o.configPath, &o.site, &error, &warnings))
        fail(error);
    for (const QString &w : warnings)
        std::fprintf(stderr, "solver_plan: %s\n", qPrintable(w));
    // The solver skips anchors that are not finite ("nan", "inf"); so does the plan.
    for (int i = o.site.anchors.size() - 1; i >= 0; --i) {
        const SiteAnchor &a = o.site.anchors[i];
        if (!std::isfinite(a.x) || !std::isfinite(a.y) || !std::isfinite(a.z)) {
            std::fprintf(stderr, "solver_plan: anchor %s skipped: coordinates not finite\n", qPrintable(a.key));
            o.site.anchors.remove(i);
        }
    }
    if (o.site.anchors.size() < 3)
        fail(QStringLiteral("%1 names fewer than 3 usable anchors").arg(o.configPath));
    if (!std::isfinite(o.site.tagHeight))
        fail(QStringLiteral("tag1 of tag_high is not a finite number"));
    o.noise = number(p, QStringLiteral("noise"), 0, true);
    o.step = number(p, QStringLiteral("step"), 0, true);
    o.margin = number(p, QStringLiteral("margin"), 0, false);
    bool ok = false;
    o.suggest = p.value(QStringLiteral("suggest")).toInt(&ok);
    if (!ok || o.suggest < 0 || o.suggest > 100)
        fail(QStringLiteral("--suggest needs a whole number from 0 to 100"));
    o.candidateStep = number(p, QStringLiteral("candidate-step"), 0, true);
    if (p.isSet(QStringLiteral("anchor-height"))) {
        o.anchorHeight = p.value(QStringLiteral("anchor-height")).toDouble(&ok);
        if (!ok || !std::isfinite(o.anchorHeight))
            fail(QStringLiteral("--anchor-height needs a number"));
    } else {
        for (const SiteAnchor &a : o.site.anchors)
            o.anchorHeight += a.z / o.site.anchors.size();
    }
    o.svg = p.value(QStringLiteral("svg"));
    o.json = p.isSet(QStringLiteral("json"));
    return o;
}

QJsonValue metresOrNull(double v) { return std::isfinite(v) ? QJsonValue(v) : QJsonValue(QJsonValue::Null); }

QString metresText(double v) { return std::isfinite(v) ? QString::asprintf("%.3f m", v) : QStringLiteral("singular"); }

QJsonObject toJson(const Options &o, const plan::Grid &grid, const plan::Summary &s,
                   const QVector<plan::Suggestion> &suggestions)
{
    QJsonArray anchors;
    for (const SiteAnchor &a : o.site.anchors)
        anchors.append(QJsonObject{{"id", a.key}, {"x", a.x}, {"y", a.y}, {"z", a.z}});
    QJsonArray cells;
    for (const plan::Cell &c : grid.cells)
        cells.append(QJsonObject{{"x", c.x},
                                 {"y", c.y},
                                 {"error_m", c.singular ? QJsonValue(QJsonValue::Null) : QJsonValue(c.error)},
                                 {"singular", c.singular},
                                 {"inside_hull", c.insideHull}});
    QJsonArray suggested;
    for (const plan::Suggestion &g : suggestions)
        suggested.append(QJsonObject{
            {"x", g.x}, {"y", g.y}, {"z", g.z}, {"p50_m", metresOrNull(g.p50)}, {"p90_m", metresOrNull(g.p90)},
            {"singular_cells", g.singular}});
    QJsonObject summary{{"cells", s.cells},
                        {"singular_cells", s.singular},
                        {"inside_hull_cells", s.insideHull},
                        {"p50_m", metresOrNull(s.p50)},
                        {"p90_m", metresOrNull(s.p90)},
                        {"share_under_10cm", s.under10cm},
                        {"share_under_30cm", s.under30cm},
                        {"share_under_100cm", s.under100cm}};
    summary.insert("worst", s.haveWorst ? QJsonValue(QJsonObject{{"x", s.worst.x},
                                                                  {"y", s.worst.y},
                                                                  {"error_m", s.worst.error}})
                                        : QJsonValue(QJsonValue::Null));
    return QJsonObject{{"config", o.configPath},
                       {"noise_m", o.noise},
                       {"tag_height_m", o.site.tagHeight},
                       {"step_m", grid.step},
                       {"columns", grid.columns},
                       {"rows", grid.rows},
                       {"anchors", anchors},
                       {"summary", summary},
                       {"cells", cells},
                       {"suggestions", suggested}};
}

void printSummary(const Options &o, const plan::Grid &grid, const plan::Summary &s,
                  const QVector<plan::Suggestion> &suggestions)
{
    std::printf("%s: %d anchors, tag height %.2f m, timing noise %.3f m, grid every %.2f m over x %.2f..%.2f, "
                "y %.2f..%.2f (%d points)\n",
                qPrintable(o.configPath), int(o.site.anchors.size()), o.site.tagHeight, o.noise, grid.step, grid.x0,
                grid.x0 + (grid.columns - 1) * grid.step, grid.y0, grid.y0 + (grid.rows - 1) * grid.step, s.cells);
    std::printf("expected position error, sqrt(CRLB): p50 %s, p90 %s", qPrintable(metresText(s.p50)),
                qPrintable(metresText(s.p90)));
    if (s.haveWorst)
        std::printf(", worst %.3f m at (%.2f, %.2f)\n", s.worst.error, s.worst.x, s.worst.y);
    else
        std::printf(", no point with a finite error\n");
    std::printf("share of the hall under 10 cm: %.1f%%, under 30 cm: %.1f%%, under 100 cm: %.1f%%\n",
                100.0 * s.under10cm, 100.0 * s.under30cm, 100.0 * s.under100cm);
    std::printf("inside the anchors' hull: %d of %d points; singular or nearly so (not numbered): %d\n",
                s.insideHull, s.cells, s.singular);
    if (!suggestions.isEmpty())
        std::printf("suggested anchors (greedy, candidates every %.2f m at height %.2f m):\n", o.candidateStep,
                    o.anchorHeight);
    for (int i = 0; i < suggestions.size(); ++i)
        std::printf("  +%d at (%.2f, %.2f, %.2f): p90 %s, p50 %s\n", i + 1, suggestions[i].x, suggestions[i].y,
                    suggestions[i].z, qPrintable(metresText(suggestions[i].p90)),
                    qPrintable(metresText(suggestions[i].p50)));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("solver_plan"));
    const Options o = parseOptions(app);

    plan::Grid grid;
    QString error;
    if (!plan::buildGrid(o.site, o.noise, o.step, o.margin, &grid, &error))
        fail(error);
    const plan::Summary summary = plan::summarise(grid);
    if (o.suggest > 0) {
        const double across = std::floor((grid.columns - 1) * grid.step / o.candidateStep) + 1;
        const double along = std::floor((grid.rows - 1) * grid.step / o.candidateStep) + 1;
        if (across * along * double(grid.cells.size()) > kMostSuggestWork)
            fail(QStringLiteral("--suggest would try %1 candidates on %2 points; give a larger --candidate-step or "
                                "--step")
                     .arg(across * along)
                     .arg(qulonglong(grid.cells.size())));
    }
    const QVector<plan::Suggestion> suggestions =
        plan::suggestAnchors(o.site, grid, o.site.tagHeight, o.noise, o.suggest, o.candidateStep, o.anchorHeight);

    if (!o.svg.isEmpty()) {
        // Written aside and renamed over, so a viewer never sees half a map.
        QSaveFile file(o.svg);
        const QByteArray svg = renderPlanSvg(o.site, grid, summary, o.noise, suggestions);
        if (!file.open(QIODevice::WriteOnly) || file.write(svg) != svg.size() || !file.commit())
            fail(QStringLiteral("cannot write %1: %2").arg(o.svg, file.errorString()));
    }
    if (o.json)
        std::fputs(QJsonDocument(toJson(o, grid, summary, suggestions)).toJson(QJsonDocument::Compact).constData(),
                   stdout);
    else
        printSummary(o, grid, summary, suggestions);
    return 0;
}
