#include "common/metrics.h"

#include <atomic>

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
    {"solver_records_dropped_total", "reason=\"pending_evicted\""},
    {"solver_records_dropped_total", "reason=\"behind_window\""},
    {"solver_transmissions_solved_total", ""},
    {"solver_transmissions_failed_total", "reason=\"divergence\""},
    {"solver_transmissions_failed_total", "reason=\"outside_region\""},
    {"solver_transmissions_failed_total", "reason=\"too_few_anchors\""},
    {"solver_reports_sent_total", ""},
    {"solver_reports_dropped_total", "reason=\"send_failed\""},
    {"solver_requests_ignored_total", "reason=\"own_reply_socket\""},
    {"solver_requests_ignored_total", "reason=\"reply_document\""},
};
static_assert(sizeof kExposed / sizeof kExposed[0] == size_t(Counter::Count), "one exposed name per counter");

} // namespace

void add(Counter counter, quint64 n) noexcept { g_slots[int(counter)].count.fetch_add(n, std::memory_order_relaxed); }

quint64 value(Counter counter) noexcept { return g_slots[int(counter)].count.load(std::memory_order_relaxed); }

const char *familyName(Counter counter) noexcept { return kExposed[int(counter)].family; }

const char *labelText(Counter counter) noexcept { return kExposed[int(counter)].labels; }

} // namespace metrics
