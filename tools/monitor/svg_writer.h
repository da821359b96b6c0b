#ifndef SVG_WRITER_H
#define SVG_WRITER_H

#include "tools/common/site_config.h"
#include "tools/monitor/truth_scorer.h"

#include <QByteArray>
#include <QVector>

// A plan view of the hall: anchors, the true tracks and the reported
// positions, one colour per tag, metres on a 1 m grid (y pointing up).
QByteArray renderSvg(const QVector<SiteAnchor> &anchors, const Truth &truth, const QVector<ReceivedReport> &reports);

#endif // SVG_WRITER_H
