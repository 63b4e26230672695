// output/progress.cpp: the transfer progress counters and the display that prints them on one
// console line rewritten in place ("\r" first, blanks last), at most once per elapsed second.
// The host file service and the packet transfer advance the counters; the display runs when the
// receive thread hands over a PASEL packet and when the device reads a file block in KIVET mode.
// All of it runs with link_lock held.
#include "output/progress.h"

#include "platform/clock.h"
#include "platform/console.h"

constexpr uint32_t MS_PER_S = 1000;

static ProgressCounters prog GUARDED_BY(link_lock);

void progress_init()
{
    prog = ProgressCounters{};
}

void progress_begin(uint32_t total)
{
    prog.start = plat::tick_ms();
    prog.last_s = 0;
    prog.total = total;
    prog.done = 0;
    prog.shown = 1;
}

void progress_quiet()
{
    prog.shown = 0;  // the counters of an earlier file stay as they are
}

void progress_end()
{
    prog.total = 0;
    prog.done = 0;
    prog.shown = 0;
}

void progress_size(uint32_t total)
{
    prog.total = total;
}

void progress_add(uint32_t n)
{
    prog.done += n;
}

const ProgressCounters& progress_counters()
{
    return prog;
}

// The total line, once the clamp has been applied and done and elapsed are known to be nonzero.
static void progress_total_line(uint32_t s) REQUIRES(link_lock)
{
    // 64 bits: done * 100 wraps 32 bits past about 43 MB, and (elapsed / 100) * (total / 10)
    // for a 10 MB file after some seven minutes. The divisions stay in their order.
    const uint64_t percent = static_cast<uint64_t>(prog.done) * 100 / prog.total;
    const uint64_t estimate_s =
        static_cast<uint64_t>(prog.elapsed / 100) * (prog.total / 10) / prog.done;
    // The truncation of total / 10 can make the estimate fall short of the time already spent
    // (always for totals under 10 bytes): nothing is left then.
    const uint64_t left_s = estimate_s > s ? estimate_s - s : 0;
    plat::console_print("\rTotal %u bytes, %u bytes sent (%u%%), %.2u:%.2u elapsed, "
                        "%.2llu:%.2llu left   ",
                        prog.total, prog.done, static_cast<unsigned>(percent), s / 60, s % 60,
                        static_cast<unsigned long long>(left_s / 60),
                        static_cast<unsigned long long>(left_s % 60));
}

// "<done> bytes received, mm:ss elapsed", then tail.
static void progress_received_line(uint32_t s, const char* tail) REQUIRES(link_lock)
{
    plat::console_print("\r%u bytes received, %.2u:%.2u elapsed%s", prog.done, s / 60, s % 60,
                        tail);
}

void progress_show(LinkPhase phase)
{
    if (phase == LP_FILE_READ && prog.shown == 0) {
        return;
    }
    const uint32_t now = plat::tick_ms();
    prog.elapsed = now - prog.start;  // unsigned: survives one wrap of the tick count
    const uint32_t s = prog.elapsed / MS_PER_S;

    // A packet receive knows no total: it shows how much has arrived.
    if (s > prog.last_s && phase == LP_RECEIVING) {
        prog.last_s = s;
        progress_received_line(s, "     ");
    }

    if (prog.total != 0 && (s > prog.last_s || prog.done >= prog.total)) {
        prog.last_s = s;
        if (prog.done > prog.total) {
            prog.done = prog.total;
        }
        // Nothing to divide by yet; a transfer complete at 0 ms is shown by the next call.
        if (prog.done != 0 && prog.elapsed != 0) {
            progress_total_line(s);
            if (prog.done == prog.total) {
                prog.total = 0;
                prog.done = 0;
                plat::console_print("\n");  // the final line stays standing
            }
        }
    }

    // An idle packet link restarts the clock: the next request's transfer counts from here.
    if (phase == LP_IDLE) {
        plat::console_print("\n");
        prog.total = 0;
        prog.done = 0;
        prog.start = plat::tick_ms();
        prog.last_s = 0;
    }
}

void progress_received_end()
{
    prog.elapsed = plat::tick_ms() - prog.start;
    progress_received_line(prog.elapsed / MS_PER_S, "\n");
}
