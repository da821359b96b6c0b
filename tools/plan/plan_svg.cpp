#include "tools/plan/plan_svg.h"

#include "tools/sim/tag_path.h"

#include <QPointF>
#include <QString>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

constexpr double kPixelsWide = 1000;
constexpr double kBorder = 1.5; // metres shown around the grid
// Upper edges of the colour bands in metres; the last band is open.
const double kBands[] = {0.02, 0.03, 0.05, 0.07, 0.1, 0.15, 0.2, 0.3, 0.5, 1.0};
const char *const kColours[] = {"#006837", "#1a9850", "#66bd63", "#a6d96a", "#d9ef8b", "#ffffbf",
                                "#fee08b", "#fdae61", "#f46d43", "#d73027", "#a50026"};
constexpr int kBandCount = int(std::size(kBands)) + 1;
static_assert(std::size(kColours) == std::size(kBands) + 1, "one colour per band");

QString num(double v) { return QString::number(v, 'f', 1); }

int band(double error)
{
    int b = 0;
    while (b < kBandCount - 1 && error >= kBands[b])
        ++b;
    return b;
}

QString metres(double v) { return QString::number(v, 'g', 3); }

QString bandLabel(int b)
{
    if (b == 0)
        return QStringLiteral("< %1").arg(metres(kBands[0]));
    if (b == kBandCount - 1)
        return QStringLiteral(">= %1").arg(metres(kBands[b - 1]));
    return QStringLiteral("%1-%2").arg(metres(kBands[b - 1]), metres(kBands[b]));
}

QString errorText(double v)
{
    return std::isfinite(v) ? QString::number(v, 'f', 3) + " m" : QStringLiteral("singular");
}

} // namespace

QByteArray renderPlanSvg(const SiteConfig &site, const plan::Grid &grid, const plan::Summary &summary, double sigma,
                         const QVector<plan::Suggestion> &suggestions)
{
    const double half = grid.step / 2;
    const double left = grid.x0 - half - kBorder;
    const double right = grid.x0 + (grid.columns - 1) * grid.step + half + kBorder;
    const double bottom = grid.y0 - half - kBorder;
    const double top = grid.y0 + (grid.rows - 1) * grid.step + half + kBorder;
    const double scale = kPixelsWide / (right - left);
    const double height = (top - bottom) * scale;
    const double legendHeight = 66;
    auto px = [&](double x) { return (x - left) * scale; };
    auto py = [&](double y) { return (top - y) * scale; };

    QString svg;
    svg += QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" "
                          "font-family=\"sans-serif\" font-size=\"12\">\n")
               .arg(num(kPixelsWide), num(height + legendHeight));
    svg += QStringLiteral("<defs><pattern id=\"singular\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\">"
                          "<rect width=\"6\" height=\"6\" fill=\"#bbbbbb\"/>"
                          "<path d=\"M0,6 L6,0\" stroke=\"#444444\" stroke-width=\"1\"/></pattern></defs>\n");
    svg += QStringLiteral("<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n<g stroke=\"none\">\n");
    // Squares a hair larger than the step, so that no seams show between them.
    const QString side = num(grid.step * scale + 0.6);
    for (const plan::Cell &c : grid.cells) {
        const QString fill = c.singular ? QStringLiteral("url(#singular)")
                                        : QString::fromLatin1(kColours[band(c.error)]);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%3\" fill=\"%4\"/>\n")
                   .arg(num(px(c.x - half)), num(py(c.y + half)), side, fill);
    }
    svg += QStringLiteral("</g>\n");

    QVector<QPointF> points;
    for (const SiteAnchor &a : site.anchors)
        points.append(QPointF(a.x, a.y));
    const QVector<QPointF> hull = sim::convexHull(points);
    if (hull.size() >= 3) {
        QString outline;
        for (const QPointF &p : hull)
            outline += num(px(p.x())) + QLatin1Char(',') + num(py(p.y())) + QLatin1Char(' ');
        svg += QStringLiteral("<polygon points=\"%1\" fill=\"none\" stroke=\"black\" stroke-width=\"1.5\" "
                              "stroke-dasharray=\"6,4\"/>\n")
                   .arg(outline.trimmed());
    }

    const double centreX = (left + right) / 2;
    // Configured anchors are labelled above, suggested ones below, so that a
    // suggestion next to an anchor keeps both labels readable.
    auto label = [&](double x, double y, const QString &text, bool below = false) {
        // Labels of anchors in the right half end at the anchor, so they stay inside the picture.
        const bool rightHalf = x > centreX;
        return QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"%3\">%4</text>\n")
            .arg(num(px(x) + (rightHalf ? -8 : 8)), num(py(y) + (below ? 18 : -8)),
                 rightHalf ? QStringLiteral("end") : QStringLiteral("start"), text.toHtmlEscaped());
    };
    for (const SiteAnchor &a : site.anchors) {
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"10\" height=\"10\" fill=\"black\"/>\n")
                   .arg(num(px(a.x) - 5), num(py(a.y) - 5));
        svg += label(a.x, a.y,
                     QStringLiteral("%1 (%2, %3)").arg(a.key, QString::number(a.x), QString::number(a.y)));
    }
    for (int i = 0; i < suggestions.size(); ++i) {
        const plan::Suggestion &s = suggestions[i];
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"10\" height=\"10\" fill=\"white\" stroke=\"black\" "
                              "stroke-width=\"2\"/>\n")
                   .arg(num(px(s.x) - 5), num(py(s.y) - 5));
        svg += label(s.x, s.y, QStringLiteral("+%1 (%2, %3)").arg(i + 1).arg(s.x).arg(s.y), true);
    }

    QString title = QStringLiteral("expected position error sqrt(CRLB), timing noise %1 m: p50 %2, p90 %3")
                        .arg(metres(sigma), errorText(summary.p50), errorText(summary.p90));
    if (summary.haveWorst)
        title += QStringLiteral(", worst %1 at (%2, %3)")
                     .arg(errorText(summary.worst.error))
                     .arg(summary.worst.x)
                     .arg(summary.worst.y);
    QString key = QStringLiteral("black squares: anchors; dashed line: their hull");
    if (!suggestions.isEmpty())
        key += QStringLiteral("; open squares: suggested anchors, in the order chosen");
    svg += QStringLiteral("<text x=\"6\" y=\"%1\">%2</text>\n").arg(num(height + 16), title.toHtmlEscaped());
    svg += QStringLiteral("<text x=\"6\" y=\"%1\">%2</text>\n").arg(num(height + 32), key.toHtmlEscaped());
    const double ly = height + 44;
    svg += QStringLiteral("<text x=\"6\" y=\"%1\">metres:</text>\n").arg(num(ly + 12));
    double lx = 56;
    for (int b = 0; b <= kBandCount; ++b) {
        const bool singular = b == kBandCount;
        const QString text = singular ? QStringLiteral("singular") : bandLabel(b);
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"14\" height=\"14\" fill=\"%3\" stroke=\"#888888\"/>\n")
                   .arg(num(lx), num(ly), singular ? QStringLiteral("url(#singular)") : QString(kColours[b]));
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\">%3</text>\n")
                   .arg(num(lx + 18), num(ly + 12), text.toHtmlEscaped());
        lx += 30 + 6.5 * text.size();
    }
    svg += QStringLiteral("</svg>\n");
    return svg.toUtf8();
}
