// output/view.cpp: the device's text on its way to the console and the log: the clock stamps
// that start its lines, and the hex view of it on the console; and the time stamps' option,
// form and text, the interpreter's "mm:ss.hh " stamps among them. Line starts and the hex line
// being filled are followed a byte at a time across chunks, modes and shows, since the console
// and the log are one stream whatever the mode. Called by the console flush (KIVET text) and the
// packet link's show (PASEL text) on the receive thread, and by the key handler (Alt+H), always
// with link_lock held.
#include "output/view.h"

#include <cstdio>
#include <cstring>

#include "output/logfile.h"
#include "platform/clock.h"
#include "platform/console.h"

constexpr uint8_t VIEW_CR = 0x0D;      // CR and LF end a line; the next byte that is neither
constexpr uint8_t VIEW_LF = 0x0A;      // starts one
constexpr uint8_t PRINT_FIRST = 0x20;  // the printable column shows these bytes as they are,
constexpr uint8_t PRINT_LAST = 0x7E;   // every other byte as '.'
// "\r", offset, two blanks, 16 pairs with a blank after each and one more after the eighth, a
// blank, "|", 16 characters, "|", "\n".
constexpr uint32_t HEX_LINE_MAX =
    1 + 8 + 2 + HEX_LINE_BYTES * 3 + 1 + 1 + 1 + HEX_LINE_BYTES + 1 + 1;
constexpr uint32_t STAMPED_SIZE = 16384;  // stamped text is written in pieces up to this size
constexpr uint32_t HEX_OUT_SIZE = 100 * HEX_LINE_MAX;  // hex lines written in one piece
constexpr uint32_t STAMP_BUF_SIZE = 64;

uint8_t hex_view;
uint8_t timestamp_option;
uint8_t timestamp_form;

static char stamp_buf[STAMP_BUF_SIZE] GUARDED_BY(link_lock);  // the last time stamp built
static char clock_buf[STAMP_BUF_SIZE] GUARDED_BY(link_lock);  // the last clock stamp built

static bool line_start GUARDED_BY(link_lock);  // the next byte that is neither CR nor LF
                                               // starts a line
static uint8_t stamped[STAMPED_SIZE] GUARDED_BY(link_lock);      // text with its clock stamps
static uint8_t hex_bytes[HEX_LINE_BYTES] GUARDED_BY(link_lock);  // the hex line being filled
static uint32_t hex_fill GUARDED_BY(link_lock);                  // bytes in it so far
static uint32_t hex_offset GUARDED_BY(link_lock);  // bytes shown as hex before it (wraps)
static char hex_out[HEX_OUT_SIZE] GUARDED_BY(link_lock);

void view_init()
{
    hex_view = 0;
    timestamp_form = STAMP_MINUTES;
    stamp_buf[0] = '\0';
    clock_buf[0] = '\0';
    line_start = true;  // the first text byte after the start begins a line
    hex_fill = 0;
    hex_offset = 0;
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

// A piece of text, its clock stamps in it, to the console (unless the hex view shows the text)
// and to the log: as PASEL text (wrapped) or as KIVET text (unchanged).
static void text_out(const uint8_t* s, uint32_t n, bool pasel) REQUIRES(link_lock)
{
    if (pasel) {
        log_wrapped(s, n);
    }
    if (hex_view == 0) {
        plat::console_write(s, n);
    }
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

// The hex line being filled, at out: whole (with its line end) or as far as it goes, padded so
// that its printable column stands where a whole line's does. Returns its length.
static uint32_t hex_line(char* out, bool whole) REQUIRES(link_lock)
{
    static const char DIGITS[] = "0123456789abcdef";
    char* p = out;
    *p++ = '\r';
    for (int shift = 28; shift >= 0; shift -= 4) {
        *p++ = DIGITS[(hex_offset >> shift) & 0xF];
    }
    *p++ = ' ';
    *p++ = ' ';
    for (uint32_t j = 0; j < HEX_LINE_BYTES; ++j) {
        *p++ = j < hex_fill ? DIGITS[hex_bytes[j] >> 4] : ' ';
        *p++ = j < hex_fill ? DIGITS[hex_bytes[j] & 0xF] : ' ';
        *p++ = ' ';
        if (j == HEX_LINE_BYTES / 2 - 1) {
            *p++ = ' ';
        }
    }
    *p++ = ' ';
    *p++ = '|';
    for (uint32_t j = 0; j < hex_fill; ++j) {
        const uint8_t b = hex_bytes[j];
        *p++ = b >= PRINT_FIRST && b <= PRINT_LAST ? static_cast<char>(b) : '.';
    }
    *p++ = '|';
    if (whole) {
        *p++ = '\n';
    }
    return static_cast<uint32_t>(p - out);
}

// Device bytes as hex lines on the console, in one write where they fit. A line not yet full is
// shown as far as it goes, from the start of the console line and without a line end, so that
// the next bytes write it again whole in the same place.
static void hex_show(const uint8_t* s, uint32_t n, const uint8_t* stamps) REQUIRES(link_lock)
{
    uint32_t k = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (stamps != nullptr && (stamps[i / 8] >> (i % 8) & 1) != 0) {
            continue;
        }
        hex_bytes[hex_fill++] = s[i];
        if (hex_fill == HEX_LINE_BYTES) {
            if (k + HEX_LINE_MAX > HEX_OUT_SIZE) {
                plat::console_write(hex_out, k);
                k = 0;
            }
            k += hex_line(hex_out + k, true);
            hex_offset += HEX_LINE_BYTES;
            hex_fill = 0;
        }
    }
    if (hex_fill != 0) {
        if (k + HEX_LINE_MAX > HEX_OUT_SIZE) {
            plat::console_write(hex_out, k);
            k = 0;
        }
        k += hex_line(hex_out + k, false);
    }
    if (k != 0) {
        plat::console_write(hex_out, k);
    }
}

void view_kivet(const uint8_t* s, uint32_t n, const uint8_t* stamps)
{
    if (n == 0) {
        return;
    }
    if (hex_view != 0) {
        hex_show(s, n, stamps);
    }
    lines_out(s, n, false);
}

void view_pasel(const uint8_t* s, uint32_t n)
{
    if (n == 0) {
        return;
    }
    if (hex_view == 0 && !clock_stamps_on()) {
        log_text(s, n);  // log and capture, then the console: as without the view
        plat::console_write(s, n);
        lines_follow(s, n);
        return;
    }
    if (hex_view != 0) {
        hex_show(s, n, nullptr);
    }
    lines_out(s, n, true);
    capture_write(s, n);
}

uint8_t hex_view_toggle()
{
    hex_view = hex_view != 0 ? 0 : 1;
    hex_fill = 0;
    hex_offset = 0;
    return hex_view;
}

const char* timestamp_text()
{
    const plat::LocalTime t = plat::local_time();
    (void)std::snprintf(stamp_buf, sizeof stamp_buf, "%02d:%02d.%02d ", t.minute, t.second,
                        t.millisecond / 10);
    return stamp_buf;
}

const char* clock_stamp_text(uint8_t form)
{
    const plat::LocalTime t = plat::local_time();
    if (form == STAMP_ISO) {
        (void)std::snprintf(clock_buf, sizeof clock_buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d ",
                            t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
    } else {
        (void)std::snprintf(clock_buf, sizeof clock_buf, "%02d:%02d:%02d.%03d ", t.hour, t.minute,
                            t.second, t.millisecond);
    }
    return clock_buf;
}
