// output/drops.cpp: the drop counter. Owns one count per reason, counted by the frame codec and
// the transfer machine (packet/) and by the port's writes and key buffer (port/), and read by
// the F1 status, the trace and the shutdown report (app/). The counts are atomics: the port
// counts on whichever thread writes, without the link lock.
#include "output/drops.h"

#include <atomic>
#include <cstdio>

#include "output/trace.h"

static const char* const DROP_NAME[DROP_REASONS] = {
    "bad checksum",      "too long",       "no packet buffer",
    "unexpected packet", "stalled device", "key not taken",
};

static std::atomic<uint32_t> drop_counts[DROP_REASONS];
static uint32_t drop_traced[DROP_REASONS] GUARDED_BY(link_lock);  // as drop_trace last saw them

void drop_init()
{
    for (int r = 0; r < DROP_REASONS; ++r) {
        drop_counts[r].store(0, std::memory_order_relaxed);
        drop_traced[r] = 0;
    }
}

void drop_count(DropReason r, uint32_t n)
{
    if (r < DROP_REASONS) {
        drop_counts[r].fetch_add(n, std::memory_order_relaxed);
    }
}

uint32_t drop_total(DropReason r)
{
    return r < DROP_REASONS ? drop_counts[r].load(std::memory_order_relaxed) : 0;
}

bool drop_any()
{
    for (const std::atomic<uint32_t>& c : drop_counts) {
        if (c.load(std::memory_order_relaxed) != 0) {
            return true;
        }
    }
    return false;
}

const char* drop_list(char* out, uint32_t size)
{
    uint32_t k = 0;
    out[0] = '\0';
    for (int r = 0; r < DROP_REASONS; ++r) {
        const uint32_t n = drop_counts[r].load(std::memory_order_relaxed);
        if (n == 0 || k >= size) {
            continue;
        }
        const int w =
            std::snprintf(out + k, size - k, "%s%s %u", k != 0 ? ", " : "", DROP_NAME[r], n);
        k = w > 0 ? k + static_cast<uint32_t>(w) : k;
    }
    return out;
}

void drop_trace()
{
    // Each with a format of its own, so that the trace summarises each kind's repeats apart.
    const uint32_t stalled = drop_total(DROP_STALLED);
    if (stalled != drop_traced[DROP_STALLED]) {
        drop_traced[DROP_STALLED] = stalled;
        trace_repeat("write dropped: the device is stalled (%u in all)", stalled);
    }
    const uint32_t keys = drop_total(DROP_KEY);
    if (keys != drop_traced[DROP_KEY]) {
        drop_traced[DROP_KEY] = keys;
        trace_repeat("key dropped: the line could not take it (%u in all)", keys);
    }
}

void drop_trace_end()
{
    drop_trace();
    char list[DROP_LIST_MAX];
    trace_event("dropped: %s", drop_any() ? drop_list(list, sizeof list) : "nothing");
}
