#include "common/metrics.h"

#include <atomic>
#include <mutex>

namespace metrics {
namespace {

struct alignas(64) Slot {
    std::atomic<quint64> count{0};
};

Slot g_slots[int(Counter::Count)];

struct Exposed {
    const char *family;
    const char *labels;
};

// In the order of Counter.
constexpr Exposed kExposed[] = {
    {"solver_records_received_total", ""},
    {"solver_datagrams_malformed_total", ""},
    {"solver_records_dropped_total", "reason=\"fifo_limit\""},
    {"solver_records_dropped_total", "reason=\"unconfigured_anchor\""},
    {"solver_records_dropped_total", "reason=\"tag_limit\""},
    {"solver_records_dropped_total", "reason=\"arrival_spread\""},
    {"solver_transmissions_solved_total", ""},
    {"solver_transmissions_failed_total", "reason=\"divergence\""},
    {"solver_transmissions_failed_total", "reason=\"outside_region\""},
    {"solver_transmissions_failed_total", "reason=\"too_few_anchors\""},
    {"solver_reports_sent_total", ""},
    {"solver_track_fixes_gated_total", ""},
    {"solver_track_restarts_total", ""},
};
static_assert(sizeof kExposed / sizeof kExposed[0] == size_t(Counter::Count), "one exposed name per counter");

// An anchor's slot: its id in the low 48 bits of `id`, written before the
// slot is published through g_anchorSlotsUsed.
struct alignas(16) AnchorSlot {
    std::atomic<quint64> id{0};
    std::atomic<quint64> count{0};
};

AnchorSlot g_anchorSlots[kAnchorSlots];
std::atomic<int> g_anchorSlotsUsed{0};
std::mutex g_anchorSlotsWriter; // taken only to publish a new anchor

quint64 packedId(const quint8 (&anchor)[6])
{
    quint64 id = 0;
    for (quint8 byte : anchor)
        id = (id << 8) | byte;
    return id;
}

AnchorSlot *findAnchorSlot(quint64 id, int used)
{
    for (int i = 0; i < used; ++i)
        if (g_anchorSlots[i].id.load(std::memory_order_relaxed) == id)
            return &g_anchorSlots[i];
    return nullptr;
}

} // namespace

void addAnchorLeftOut(const quint8 (&anchor)[6]) noexcept
{
    const quint64 id = packedId(anchor);
    AnchorSlot *slot = findAnchorSlot(id, g_anchorSlotsUsed.load(std::memory_order_acquire));
    if (!slot) {
        std::lock_guard<std::mutex> lock(g_anchorSlotsWriter);
        const int used = g_anchorSlotsUsed.load(std::memory_order_relaxed);
        slot = findAnchorSlot(id, used);
        if (!slot) {
            if (used == kAnchorSlots)
                return;
            slot = &g_anchorSlots[used];
            slot->id.store(id, std::memory_order_relaxed);
            g_anchorSlotsUsed.store(used + 1, std::memory_order_release);
        }
    }
    slot->count.fetch_add(1, std::memory_order_relaxed);
}

QVector<AnchorTotal> anchorLeftOutTotals()
{
    const int used = g_anchorSlotsUsed.load(std::memory_order_acquire);
    QVector<AnchorTotal> totals(used);
    for (int i = 0; i < used; ++i) {
        quint64 id = g_anchorSlots[i].id.load(std::memory_order_relaxed);
        for (int b = 5; b >= 0; --b, id >>= 8)
            totals[i].anchor[b] = quint8(id & 0xff);
        totals[i].count = g_anchorSlots[i].count.load(std::memory_order_relaxed);
    }
    return totals;
}

void add(Counter counter, quint64 n) noexcept { g_slots[int(counter)].count.fetch_add(n, std::memory_order_relaxed); }

quint64 value(Counter counter) noexcept { return g_slots[int(counter)].count.load(std::memory_order_relaxed); }

const char *familyName(Counter counter) noexcept { return kExposed[int(counter)].family; }

const char *labelText(Counter counter) noexcept { return kExposed[int(counter)].labels; }

} // namespace metrics
