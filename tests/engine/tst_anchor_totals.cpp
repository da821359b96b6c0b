// The per-anchor counters: counted by the algorithm thread, read by another (the metrics endpoint) at the same time
// without a lock. A reader sees counts that never go back, and at the end every count exactly.
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
    void slotsFollowConfiguredAnchors();
};

void tst_AnchorTotals::readWhileCounting()
{
    std::atomic<bool> done{false};
    QString readerFault;
    std::thread reader([&] {
        QVector<quint64> last(kAnchors, 0);
        quint8 id[6];
        while (!done.load() && readerFault.isEmpty()) {
            for (int n = 0; n < kAnchors; ++n) {
                anchorId(n, id);
                const quint64 count = metrics::anchorValue(metrics::AnchorCounter::LeftOut, id);
                if (count < last[n])
                    readerFault = QStringLiteral("a count went back");
                last[n] = count;
            }
            // Once an anchor is counted (its records first), its family stays.
            if (last[0] > 0 && !metrics::exposition().contains("solver_anchor_records_total"))
                readerFault = QStringLiteral("the exposition lost a family");
        }
    });
    // Anchor n is counted from round n on, so new anchors keep appearing.
    quint8 id[6];
    for (int round = 0; round < kRounds; ++round)
        for (int n = 0; n <= qMin(round, kAnchors - 1); ++n) {
            anchorId(n, id);
            metrics::addAnchor(metrics::AnchorCounter::Records, id);
            metrics::addAnchor(metrics::AnchorCounter::LeftOut, id);
        }
    done = true;
    reader.join();
    QVERIFY2(readerFault.isEmpty(), qPrintable(readerFault));
    for (int n = 0; n < kAnchors; ++n) {
        anchorId(n, id);
        QCOMPARE(metrics::anchorValue(metrics::AnchorCounter::LeftOut, id), quint64(kRounds - n));
    }
}

// An anchor removed from the configuration gives its slot back: a full table takes a new anchor again.
void tst_AnchorTotals::slotsFollowConfiguredAnchors()
{
    QByteArray ids; // 6 bytes an anchor, one more than there are slots
    for (int n = 0; n <= metrics::kAnchorSlotLimit; ++n)
        ids += QByteArray::fromHex("FA0000000000").replace(4, 2, QByteArray(1, char(n >> 8)) + char(n));
    const auto id = [&ids](int n) { return reinterpret_cast<const quint8 *>(ids.constData()) + 6 * n; };
    const auto count = [&id](int n) { return metrics::anchorValue(metrics::AnchorCounter::Records, id(n)); };
    metrics::keepAnchors(nullptr, 0); // what the test before counted
    for (int n = 0; n <= metrics::kAnchorSlotLimit; ++n)
        metrics::addAnchor(metrics::AnchorCounter::Records, id(n), 2);
    QCOMPARE(count(metrics::kAnchorSlotLimit), quint64(0)); // the table was full
    metrics::keepAnchors(id(0), 1000);
    QVERIFY(count(999) == 2 && count(1000) == 0);
    QVERIFY(!metrics::exposition().contains(ids.mid(6 * 1000, 6).toHex().toUpper()));
    metrics::addAnchor(metrics::AnchorCounter::Records, id(metrics::kAnchorSlotLimit));
    QCOMPARE(count(metrics::kAnchorSlotLimit), quint64(1));
}

QTEST_GUILESS_MAIN(tst_AnchorTotals)
#include "tst_anchor_totals.moc"
