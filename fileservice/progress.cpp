// fileservice/progress.cpp: the transfer progress counters and the display that prints them on
// one console line rewritten in place ("\r" first, blanks last), at most once per elapsed second.
// The host file service and the packet transfer advance the counters; the display runs when the
// receive thread hands over a PASEL packet and when the device reads a file block in KIVET mode.
// All of it runs with link_lock held.
#include "fileservice/progress.h"

#include "platform/clock.h"
#include "platform/console.h"
#include "port/mode.h"

constexpr uint32_t MS_PER_S = 1000;

uint32_t prog_total;
uint32_t prog_done;
uint32_t prog_start;
uint32_t prog_elapsed;
uint32_t prog_last_s;
uint32_t prog_flag;

void progress_init()
{
    prog_total = 0;
    prog_done = 0;
    prog_start = 0;
    prog_elapsed = 0;
    prog_last_s = 0;
    prog_flag = 0;
}

// The total line, once the clamp has been applied and done and elapsed are known to be nonzero.
static void progress_total_line(uint32_t s) REQUIRES(link_lock)
{
    // 64 bits: done * 100 wraps 32 bits past about 43 MB, and (elapsed / 100) * (total / 10)
    // for a 10 MB file after some seven minutes. The divisions stay in their order.
    const uint64_t percent = static_cast<uint64_t>(prog_done) * 100 / prog_total;
    const uint64_t estimate_s =
        static_cast<uint64_t>(prog_elapsed / 100) * (prog_total / 10) / prog_done;
    // The truncation of total / 10 can make the estimate fall short of the time already spent
    // (always for totals under 10 bytes): nothing is left then.
    const uint64_t left_s = estimate_s > s ? estimate_s - s : 0;
    plat::console_print("\rTotal %u bytes, %u bytes sent (%u%%), %.2u:%.2u elapsed, "
                        "%.2llu:%.2llu left   ",
                        prog_total, prog_done, static_cast<unsigned>(percent), s / 60, s % 60,
                        static_cast<unsigned long long>(left_s / 60),
                        static_cast<unsigned long long>(left_s % 60));
}

void progress_show(LinkPhase phase)
{
    const uint32_t now = plat::tick_ms();
    prog_elapsed = now - prog_start;  // unsigned: survives one wrap of the tick count
    const uint32_t s = prog_elapsed / MS_PER_S;

    // A PASEL receive knows no total: it shows how much has arrived.
    if (s > prog_last_s && mode_flag.load() == MODE_PASEL && phase == LP_RECEIVING) {
        prog_last_s = s;
        plat::console_print("\r%u bytes received, %.2u:%.2u elapsed     ", prog_done, s / 60,
                            s % 60);
    }

    if (prog_total != 0 && (s > prog_last_s || prog_done >= prog_total)) {
        prog_last_s = s;
        if (prog_done > prog_total) {
            prog_done = prog_total;
        }
        // Nothing to divide by yet; a transfer complete at 0 ms is shown by the next call.
        if (prog_done != 0 && prog_elapsed != 0) {
            progress_total_line(s);
            if (prog_done == prog_total) {
                prog_total = 0;
                prog_done = 0;
                plat::console_print("\n");  // the final line stays standing
            }
        }
    }

    // An idle PASEL link restarts the clock: the next request's transfer counts from here.
    if (mode_flag.load() == MODE_PASEL && phase == LP_IDLE) {
        plat::console_print("\n");
        prog_total = 0;
        prog_done = 0;
        prog_start = plat::tick_ms();
        prog_last_s = 0;
    }
}
