#include "tools/monitor/truth_scorer.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cmath>

bool parseTruth(const QByteArray &csv, Truth *out, QString *error)
{
    Truth truth;
    const QList<QByteArray> lines = csv.split('\n');
    for (int n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines[n].trimmed();
        if (line.isEmpty() || line.startsWith("sent_us"))
            continue;
        const QList<QByteArray> f = line.split(',');
        bool ok[6] = {};
        TruthRow row;
        // A seventh column, the blocked anchors, comes with simulated obstacles.
        if (f.size() == 6 || f.size() == 7) {
            row.sentUs = f[0].toLongLong(&ok[0]);
            row.sequence = f[2].toInt(&ok[1]);
            row.x = f[3].toDouble(&ok[2]);
            row.y = f[4].toDouble(&ok[3]);
            row.z = f[5].toDouble(&ok[4]);
            ok[5] = f[1].size() == 12;
            if (f.size() == 7)
                row.blocked = f[6].trimmed();
        }
        if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; })) {
            *error = QStringLiteral("truth line %1 is not sent_us,tag,seq,x,y,z[,blocked]").arg(n + 1);
            return false;
        }
        truth[QString::fromLatin1(f[1]).toUpper()].append(row);
    }
    *out = truth;
    return true;
}

bool loadTruth(const QString &path, Truth *out, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    return parseTruth(file.readAll(), out, error);
}

bool referenceFor(const QVector<TruthRow> &rows, qint64 arrivalUs, const ScoreOptions &options, QPointF *reference,
                  qint64 *latencyUs)
{
    const auto after = std::upper_bound(rows.begin(), rows.end(), arrivalUs,
                                        [](qint64 t, const TruthRow &r) { return t < r.sentUs; });
    const int trigger = int(after - rows.begin()) - 1;
    const int described = trigger - options.delayWindow;
    if (trigger < 0 || described < 0)
        return false;
    *latencyUs = arrivalUs - rows[trigger].sentUs;
    if (options.smoothLength <= 1) {
        *reference = QPointF(rows[described].x, rows[described].y);
        return true;
    }
    const int first = described - (options.smoothLength - 1);
    if (first < 0)
        return false;
    QPointF sum;
    for (int i = first; i < described; ++i)
        sum += QPointF(rows[i].x, rows[i].y);
    *reference = sum / (options.smoothLength - 1);
    return true;
}

double TagScore::rmse() const { return paired > 0 ? std::sqrt(sumSquares / paired) : -1; }

double Score::rmse() const { return paired > 0 ? std::sqrt(sumSquares / paired) : -1; }

qint64 Score::latencyPercentile(double p) const
{
    if (latenciesUs.isEmpty())
        return -1;
    const int rank = int(std::ceil(p / 100.0 * latenciesUs.size()));
    return latenciesUs[std::clamp(rank - 1, 0, latenciesUs.size() - 1)];
}

Score scoreReports(const Truth &truth, const QVector<ReceivedReport> &reports, const ScoreOptions &options)
{
    Score score;
    for (auto it = truth.begin(); it != truth.end(); ++it)
        score.tags[it.key()].transmissions = it.value().size();
    for (const ReceivedReport &r : reports) {
        TagScore &tag = score.tags[r.tag];
        ++tag.reports;
        QPointF reference;
        qint64 latency = 0;
        const auto rows = truth.constFind(r.tag);
        if (rows == truth.constEnd() || !referenceFor(*rows, r.arrivalUs, options, &reference, &latency)) {
            ++score.unpaired;
            continue;
        }
        const double dx = r.x - reference.x(), dy = r.y - reference.y();
        const double squared = dx * dx + dy * dy;
        ++tag.paired;
        tag.sumSquares += squared;
        ++score.paired;
        score.sumSquares += squared;
        score.latenciesUs.append(latency);
    }
    std::sort(score.latenciesUs.begin(), score.latenciesUs.end());
    return score;
}
