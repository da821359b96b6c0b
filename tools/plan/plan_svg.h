#ifndef PLAN_SVG_H
#define PLAN_SVG_H

#include "tools/common/site_config.h"
#include "tools/plan/accuracy_map.h"

#include <QByteArray>

// A plan view of the expected position error: one square per grid point,
// coloured by its band (fixed bands in metres, so maps of different layouts
// compare), singular points hatched, the anchors' hull dashed, the anchors
// with their ids in the monitor's style and suggested anchors as open squares.
QByteArray renderPlanSvg(const SiteConfig &site, const plan::Grid &grid, const plan::Summary &summary, double sigma,
                         const QVector<plan::Suggestion> &suggestions);

#endif // PLAN_SVG_H
