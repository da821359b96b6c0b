// The per-anchor left-out totals: counted by the algorithm thread, read by
// another (the metrics endpoint) at the same time without a lock. A reader
// sees only whole entries, counts that never go back, and at the end every
// count exactly.
#include "common/metrics.h"

#include <QTest>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

constexpr int kAnchors = 40;
constexpr int kRounds = 2000;

// Ids the other tests of this program never use.
void anchorId(int n, quint8 (&id)[6])
{
    const quint8 bytes[6] = {0xFE, 0xED, 0, 0, 0, quint8(n)};
    std::memcpy(id, bytes, 6);
}

} // namespace

class tst_AnchorTotals : public QObject
{
    Q_OBJECT
private slots:
    void readWhileCounting();
};

void tst_AnchorTotals::readWhileCounting()
{
    std::atomic<bool> done{false};
    bool readerOk = true;
    QString readerFault;
    std::thread reader([&] {
        QVector<quint64> last(kAnchors, 0);
        while (!done.load()) {
            for (const metrics::AnchorTotal &t : metrics::anchorLeftOutTotals()) {
                if (t.anchor[0] != 0xFE || t.anchor[1] != 0xED || t.anchor[5] >= kAnchors || t.count == 0) {
                    readerOk = false;
                    readerFault = QStringLiteral("torn entry");
                    return;
                }
                if (t.count < last[t.anchor[5]]) {
                    readerOk = false;
                    readerFault = QStringLiteral("a count went back");
                    return;
                }
                last[t.anchor[5]] = t.count;
            }
        }
    });
    // Anchor n is counted from round n on, so new anchors keep appearing.
    quint8 id[6];
    for (int round = 0; round < kRounds; ++round)
        for (int n = 0; n <= qMin(round, kAnchors - 1); ++n) {
            anchorId(n, id);
            metrics::addAnchorLeftOut(id);
        }
    done = true;
    reader.join();
    QVERIFY2(readerOk, qPrintable(readerFault));
    const QVector<metrics::AnchorTotal> totals = metrics::anchorLeftOutTotals();
    QCOMPARE(totals.size(), kAnchors);
    for (const metrics::AnchorTotal &t : totals)
        QCOMPARE(t.count, quint64(kRounds - t.anchor[5]));
}

QTEST_GUILESS_MAIN(tst_AnchorTotals)
#include "tst_anchor_totals.moc"
