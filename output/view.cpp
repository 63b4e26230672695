// output/view.cpp: the device's text on its way to the console and the log: the clock stamps
// that start its lines. Line starts are followed a byte at a time across chunks, modes and
// shows, since the console and the log are one stream whatever the mode. Called by the console
// flush (KIVET text) and the packet link's show (PASEL text) on the receive thread, always with
// link_lock held.
#include "output/view.h"

#include <cstring>

#include "output/logfile.h"
#include "output/text.h"
#include "platform/console.h"

constexpr uint8_t VIEW_CR = 0x0D;         // CR and LF end a line; the next byte that is neither
constexpr uint8_t VIEW_LF = 0x0A;         // starts one
constexpr uint32_t STAMPED_SIZE = 16384;  // stamped text is written in pieces up to this size

static bool line_start GUARDED_BY(link_lock);  // the next byte that is neither CR nor LF
                                               // starts a line
static uint8_t stamped[STAMPED_SIZE] GUARDED_BY(link_lock);  // text with its clock stamps

void view_init()
{
    line_start = true;  // the first text byte after the start begins a line
}

// Follows the line starts through text that gets no stamps: only its last byte tells.
static void lines_follow(const uint8_t* s, uint32_t n) REQUIRES(link_lock)
{
    line_start = s[n - 1] == VIEW_CR || s[n - 1] == VIEW_LF;
}

static bool clock_stamps_on() REQUIRES(link_lock)
{
    return timestamp_option != 0 && timestamp_form != STAMP_MINUTES;
}

// A piece of text, its clock stamps in it, to the console and to the log: as PASEL text
// (wrapped) or as KIVET text (unchanged).
static void text_out(const uint8_t* s, uint32_t n, bool pasel) REQUIRES(link_lock)
{
    if (pasel) {
        log_wrapped(s, n);
    }
    plat::console_write(s, n);
    if (!pasel) {
        log_write(s, n);
    }
}

// Text to the console and the log, with a clock stamp before the first byte of each line when
// they are on. The stamp is read once per call: the lines of one chunk came together.
static void lines_out(const uint8_t* s, uint32_t n, bool pasel) REQUIRES(link_lock)
{
    if (!clock_stamps_on()) {
        lines_follow(s, n);
        text_out(s, n, pasel);
        return;
    }
    const char* stamp = nullptr;
    uint32_t stamp_len = 0;
    uint32_t k = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t b = s[i];
        if (k + CLOCK_STAMP_MAX + 1 > STAMPED_SIZE) {
            text_out(stamped, k, pasel);
            k = 0;
        }
        if (b == VIEW_CR || b == VIEW_LF) {
            line_start = true;
        } else if (line_start) {
            line_start = false;
            if (stamp == nullptr) {
                stamp = clock_stamp_text(timestamp_form);
                stamp_len = static_cast<uint32_t>(strlen(stamp));
            }
            memcpy(stamped + k, stamp, stamp_len);
            k += stamp_len;
        }
        stamped[k++] = b;
    }
    text_out(stamped, k, pasel);
}

void view_kivet(const uint8_t* s, uint32_t n)
{
    if (n == 0) {
        return;
    }
    lines_out(s, n, false);
}

void view_pasel(const uint8_t* s, uint32_t n)
{
    if (n == 0) {
        return;
    }
    if (!clock_stamps_on()) {
        log_text(s, n);  // log and capture, then the console: as without the view
        plat::console_write(s, n);
        lines_follow(s, n);
        return;
    }
    lines_out(s, n, true);
    capture_write(s, n);
}
