#include "tools/monitor/svg_writer.h"

#include <QMap>
#include <QRectF>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPixelsWide = 1000;
constexpr double kBorder = 1.5;         // metres shown around everything
constexpr int kMostPointsPerTag = 4000; // thin long runs so the file stays viewable
const char *const kPalette[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e",
                                "#17becf", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22"};

QString num(double v) { return QString::number(v, 'f', 1); }

} // namespace

QByteArray renderSvg(const QVector<SiteAnchor> &anchors, const Truth &truth, const QVector<ReceivedReport> &reports)
{
    // QRectF treats a zero-size rectangle as null, so the extent is kept by hand.
    double left = 0, right = 0, bottom = 0, top = 0;
    bool any = false;
    auto include = [&](double x, double y) {
        if (!std::isfinite(x) || !std::isfinite(y))
            return;
        left = any ? std::min(left, x) : x;
        right = any ? std::max(right, x) : x;
        bottom = any ? std::min(bottom, y) : y;
        top = any ? std::max(top, y) : y;
        any = true;
    };
    for (const SiteAnchor &a : anchors)
        include(a.x, a.y);
    for (const auto &rows : truth)
        for (const TruthRow &r : rows)
            include(r.x, r.y);
    // Reports far outside the hall would shrink the picture to nothing; they
    // are counted in the legend instead of drawn.
    if (!any || right - left <= 0 || top - bottom <= 0) {
        left = bottom = 0;
        right = top = 10;
    }
    // QRectF here is in metres with y growing upwards: top() is the smallest y.
    const QRectF hall(left - 5, bottom - 5, right - left + 10, top - bottom + 10);
    const QRectF box(left - kBorder, bottom - kBorder, right - left + 2 * kBorder, top - bottom + 2 * kBorder);

    const double scale = kPixelsWide / box.width();
    const double legendHeight = 24;
    const double height = box.height() * scale;
    auto px = [&](double x) { return num((x - box.left()) * scale); };
    auto py = [&](double y) { return num((box.bottom() - y) * scale); };

    QStringList tags = truth.keys();
    for (const ReceivedReport &r : reports)
        if (!tags.contains(r.tag))
            tags.append(r.tag);
    std::sort(tags.begin(), tags.end());
    QMap<QString, QString> colour;
    for (int i = 0; i < tags.size(); ++i)
        colour[tags[i]] = QString::fromLatin1(kPalette[i % (sizeof kPalette / sizeof *kPalette)]);

    QString svg;
    svg += QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" "
                          "font-family=\"sans-serif\" font-size=\"12\">\n")
               .arg(num(kPixelsWide), num(height + legendHeight));
    svg += QStringLiteral("<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n<g stroke=\"#e4e4e4\">\n");
    for (double x = std::ceil(box.left()); x <= box.right(); x += 1)
        svg += QStringLiteral("<line x1=\"%1\" y1=\"0\" x2=\"%1\" y2=\"%2\"/>\n").arg(px(x), num(height));
    for (double y = std::ceil(box.top()); y <= box.bottom(); y += 1)
        svg += QStringLiteral("<line x1=\"0\" y1=\"%1\" x2=\"%2\" y2=\"%1\"/>\n").arg(py(y), num(kPixelsWide));
    svg += QStringLiteral("</g>\n");

    for (const QString &tag : tags) {
        const QVector<TruthRow> rows = truth.value(tag);
        if (rows.isEmpty())
            continue;
        const int stride = std::max(1, int(rows.size() / kMostPointsPerTag));
        QString points;
        for (int i = 0; i < rows.size(); i += stride)
            points += px(rows[i].x) + QLatin1Char(',') + py(rows[i].y) + QLatin1Char(' ');
        svg += QStringLiteral("<polyline fill=\"none\" stroke=\"%1\" stroke-width=\"1.5\" points=\"%2\"/>\n")
                   .arg(colour[tag], points.trimmed());
    }

    // Obstacle episodes (a truth file of simulated obstacles): the stretch of
    // the true track while an anchor was blocked, drawn wide, a dashed line to
    // that anchor and when it was, in seconds from the first transmission.
    qint64 firstUs = 0;
    for (const auto &rows : truth)
        if (!rows.isEmpty())
            firstUs = firstUs == 0 ? rows.first().sentUs : std::min(firstUs, rows.first().sentUs);
    QMap<QByteArray, const SiteAnchor *> anchorById;
    for (const SiteAnchor &a : anchors)
        anchorById.insert(a.id.toHex().toUpper(), &a);
    int episodes = 0;
    QString drawn;
    for (const QString &tag : tags) {
        const QVector<TruthRow> rows = truth.value(tag);
        for (int i = 0; i < rows.size();) {
            int end = i + 1;
            while (end < rows.size() && rows[end].blocked == rows[i].blocked)
                ++end;
            if (!rows[i].blocked.isEmpty()) {
                ++episodes;
                const int stride = std::max(1, (end - i) / 200);
                QString points;
                for (int k = i; k < end; k += stride)
                    points += px(rows[k].x) + QLatin1Char(',') + py(rows[k].y) + QLatin1Char(' ');
                const TruthRow &mid = rows[(i + end) / 2];
                drawn += QStringLiteral("<polyline fill=\"none\" stroke=\"#e53935\" stroke-opacity=\"0.35\" "
                                        "stroke-width=\"7\" points=\"%1\"/>\n")
                             .arg(points.trimmed());
                QStringList names;
                for (const QByteArray &id : rows[i].blocked.split(' ')) {
                    const SiteAnchor *a = anchorById.value(id);
                    names.append(a ? a->key : QString::fromLatin1(id));
                    if (a)
                        drawn += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\" stroke=\"#e53935\" "
                                                "stroke-dasharray=\"4 4\"/>\n")
                                     .arg(px(mid.x), py(mid.y), px(a->x), py(a->y));
                }
                drawn += QStringLiteral("<text x=\"%1\" y=\"%2\" fill=\"#b71c1c\" font-size=\"10\">%3 blocked %4-%5 s</text>\n")
                             .arg(px(mid.x), py(mid.y), names.join(QLatin1Char(' ')).toHtmlEscaped(),
                                  QString::number((rows[i].sentUs - firstUs) / 1e6, 'f', 1),
                                  QString::number((rows[end - 1].sentUs - firstUs) / 1e6, 'f', 1));
            }
            i = end;
        }
    }
    if (episodes > 0)
        svg += QStringLiteral("<g class=\"episodes\">\n") + drawn + QStringLiteral("</g>\n");

    QMap<QString, int> count;
    for (const ReceivedReport &r : reports)
        ++count[r.tag];
    QMap<QString, int> seen;
    int outside = 0;
    svg += QStringLiteral("<g fill-opacity=\"0.55\">\n");
    for (const ReceivedReport &r : reports) {
        const int stride = std::max(1, count[r.tag] / kMostPointsPerTag);
        if (seen[r.tag]++ % stride != 0)
            continue;
        if (!hall.contains(QPointF(r.x, r.y))) {
            ++outside;
            continue;
        }
        svg += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"2.5\" fill=\"%3\"/>\n")
                   .arg(px(r.x), py(r.y), colour[r.tag]);
    }
    svg += QStringLiteral("</g>\n");

    for (const SiteAnchor &a : anchors) {
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"10\" height=\"10\" fill=\"black\"/>\n")
                   .arg(num((a.x - box.left()) * scale - 5), num((box.bottom() - a.y) * scale - 5));
        // Labels of anchors in the right half end at the anchor, so they stay inside the picture.
        const bool rightHalf = a.x > box.center().x();
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"%6\">%3 (%4, %5)</text>\n")
                   .arg(num((a.x - box.left()) * scale + (rightHalf ? -8 : 8)),
                        num((box.bottom() - a.y) * scale - 8), a.key.toHtmlEscaped(), QString::number(a.x),
                        QString::number(a.y), rightHalf ? QStringLiteral("end") : QStringLiteral("start"));
    }

    double lx = 6;
    const QString ly = num(height + 16);
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\">lines: true tracks, dots: reports</text>\n").arg(num(lx), ly);
    lx += 230;
    if (episodes > 0) {
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" fill=\"#b71c1c\">red: %3 obstacle episodes, dashed to the "
                              "blocked anchor</text>\n")
                   .arg(num(lx), ly)
                   .arg(episodes);
        lx += 330;
    }
    for (const QString &tag : tags) {
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" fill=\"%3\">%4</text>\n")
                   .arg(num(lx), ly, colour[tag], tag.toHtmlEscaped());
        lx += 110;
    }
    if (outside > 0)
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\">%3 reports outside the hall not drawn</text>\n")
                   .arg(num(lx), ly)
                   .arg(outside);
    svg += QStringLiteral("</svg>\n");
    return svg.toUtf8();
}
