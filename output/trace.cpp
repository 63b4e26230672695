// output/trace.cpp: the protocol trace file. Each line is formatted into one buffer and written
// in one write, so a line is never split and every line written survives the program. Called
// with link_lock held, from whichever thread meets the event. What a noisy line repeats many
// times a second is summarised, so that the trace grows with the events, not with the noise.
#include "output/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/files.h"

constexpr uint32_t TRACE_LINE_MAX = 1024;
constexpr uint32_t STAMP_LEN = 12;  // "hh:mm:ss.mmm"

// Repeats: an event of trace_repeat opens a window of REPEAT_WINDOW_MS for its kind (its
// format) and is written whole; the later ones of that kind in the window are counted, and the
// last one's text is kept for the line that closes the window. A window that counted some goes
// on, twice as long each time up to REPEAT_WINDOW_MAX_MS, so that noise that lasts for hours
// costs a line a minute; one that counted none ends, and the next of its kind is written whole
// again. Text lines come the same way: at most one a window apart, each with the bytes since the
// last, the window growing while only text comes and back to a second at an event.
constexpr uint32_t REPEAT_WINDOW_MS = 1000;
constexpr uint32_t REPEAT_WINDOW_MAX_MS = 60000;
constexpr uint32_t REPEAT_KINDS = 8;       // windows open at once; a ninth kind closes the oldest
constexpr uint32_t REPEAT_TEXT_MAX = 160;  // of the last counted event's text

struct RepeatWindow {
    const char* kind;  // the event's format, nullptr for a free window
    uint32_t first_ms;
    uint32_t span_ms;                 // the window's length
    char first_stamp[STAMP_LEN + 1];  // the time stamp of the event written whole
    uint32_t count;                   // events of the kind counted since it
    char last[REPEAT_TEXT_MAX];       // the last counted one's text
};

static int trace_fd GUARDED_BY(link_lock) = -1;
static uint32_t text_pending GUARDED_BY(link_lock);  // plain text bytes not yet traced
static bool text_traced GUARDED_BY(link_lock);       // a text line written, at text_ms
static uint32_t text_ms GUARDED_BY(link_lock);
static uint32_t text_span_ms GUARDED_BY(link_lock) = REPEAT_WINDOW_MS;  // between text lines
static RepeatWindow windows[REPEAT_KINDS] GUARDED_BY(link_lock);
static char line_buf[TRACE_LINE_MAX] GUARDED_BY(link_lock);

static void windows_close(uint32_t now, bool all) REQUIRES(link_lock);

bool trace_open(const char* name, int* err)
{
    trace_close();
    const int fd = plat::file_open(name, plat::FO_WRITE_PLAIN);
    if (fd < 0) {
        *err = -fd;
        return false;
    }
    trace_fd = fd;
    return true;
}

bool trace_is_on()
{
    return trace_fd >= 0;
}

void trace_close()
{
    if (trace_fd >= 0) {
        windows_close(0, true);
        trace_text_end();
        (void)plat::file_close(trace_fd);
        trace_fd = -1;
    }
    text_pending = 0;
    text_traced = false;
    text_span_ms = REPEAT_WINDOW_MS;
    for (RepeatWindow& w : windows) {
        w.kind = nullptr;
    }
}

// The line in line_buf, from the time stamp to the text's end: a line end, one write.
static void trace_write(int n) REQUIRES(link_lock)
{
    if (n < 0) {
        return;
    }
    uint32_t len = static_cast<uint32_t>(n) < TRACE_LINE_MAX - 1 ? static_cast<uint32_t>(n)
                                                                 : TRACE_LINE_MAX - 2;
    line_buf[len++] = '\n';
    (void)plat::file_write(trace_fd, line_buf, len);  // a failed trace write is not reported
}

// The time stamp at the head of line_buf; its length.
static int trace_stamp() REQUIRES(link_lock)
{
    const plat::LocalTime t = plat::local_time();
    return std::snprintf(line_buf, TRACE_LINE_MAX, "%02d:%02d:%02d.%03d ", t.hour, t.minute,
                         t.second, t.millisecond);
}

// The text counted so far as one line, if there is any.
static void text_line(uint32_t now) REQUIRES(link_lock)
{
    if (text_pending == 0) {
        return;
    }
    const int head = trace_stamp();
    const uint32_t n = text_pending;
    text_pending = 0;
    text_traced = true;
    text_ms = now;
    trace_write(head + std::snprintf(line_buf + head, TRACE_LINE_MAX - static_cast<uint32_t>(head),
                                     "text %u bytes", n));
}

// Ends a window: one whose events were counted ends with one line, the last one's text and the
// count. With go_on, one that counted some opens the next, twice as long, at now.
static void window_end(RepeatWindow& w, uint32_t now, bool go_on) REQUIRES(link_lock)
{
    if (w.count == 0) {
        w.kind = nullptr;
        return;
    }
    const int head = trace_stamp();
    trace_write(head + std::snprintf(line_buf + head, TRACE_LINE_MAX - static_cast<uint32_t>(head),
                                     "%s (x%u since %s)", w.last, w.count, w.first_stamp));
    if (!go_on) {
        w.kind = nullptr;
        return;
    }
    w.first_ms = now;
    w.span_ms = w.span_ms * 2 < REPEAT_WINDOW_MAX_MS ? w.span_ms * 2 : REPEAT_WINDOW_MAX_MS;
    std::memcpy(w.first_stamp, line_buf, STAMP_LEN);
    w.count = 0;
}

// The window opened first, of those open (that are over at now, unless all); nullptr for none.
static RepeatWindow* window_oldest(uint32_t now, bool all) REQUIRES(link_lock)
{
    RepeatWindow* oldest = nullptr;
    for (RepeatWindow& w : windows) {
        if (w.kind != nullptr && (all || now - w.first_ms >= w.span_ms) &&
            (oldest == nullptr || static_cast<int32_t>(w.first_ms - oldest->first_ms) < 0)) {
            oldest = &w;
        }
    }
    return oldest;
}

// Ends the windows that are over at now (all of them with all), the first opened first.
static void windows_close(uint32_t now, bool all)
{
    // A window that goes on starts at now, so it is not over again in this loop.
    for (RepeatWindow* w = window_oldest(now, all); w != nullptr; w = window_oldest(now, all)) {
        window_end(*w, now, !all);
    }
}

void trace_text_end()
{
    if (trace_fd < 0) {
        return;
    }
    const uint32_t now = plat::tick_ms();
    windows_close(now, false);
    if (!text_traced) {
        text_line(now);
    } else if (now - text_ms >= text_span_ms && text_pending > 0) {
        // Text that kept coming through the window widens the next; after a pause it is a second.
        const bool steady = now - text_ms < 2 * text_span_ms;
        text_line(now);
        text_span_ms = !steady                                   ? REPEAT_WINDOW_MS
                       : text_span_ms * 2 < REPEAT_WINDOW_MAX_MS ? text_span_ms * 2
                                                                 : REPEAT_WINDOW_MAX_MS;
    }
}

void trace_text(uint32_t n)
{
    if (trace_fd >= 0) {
        text_pending += n;
    }
}

// An event's line, whole, after the text counted before it.
static void event_line(uint32_t now, const char* fmt, va_list ap) REQUIRES(link_lock)
    __attribute__((format(printf, 2, 0)));
static void event_line(uint32_t now, const char* fmt, va_list ap)
{
    text_line(now);
    text_span_ms = REPEAT_WINDOW_MS;
    const int head = trace_stamp();
    const int n =
        std::vsnprintf(line_buf + head, TRACE_LINE_MAX - static_cast<uint32_t>(head), fmt, ap);
    trace_write(n < 0 ? n : head + n);
}

void trace_event(const char* fmt, ...)
{
    if (trace_fd < 0) {
        return;
    }
    const uint32_t now = plat::tick_ms();
    windows_close(now, false);
    va_list ap;
    va_start(ap, fmt);
    event_line(now, fmt, ap);
    va_end(ap);
}

void trace_repeat(const char* fmt, ...)
{
    if (trace_fd < 0) {
        return;
    }
    const uint32_t now = plat::tick_ms();
    windows_close(now, false);
    RepeatWindow* slot = nullptr;
    for (RepeatWindow& w : windows) {
        if (w.kind != nullptr && std::strcmp(w.kind, fmt) == 0) {
            va_list ap;
            va_start(ap, fmt);
            (void)std::vsnprintf(w.last, sizeof w.last, fmt, ap);
            va_end(ap);
            w.count++;
            return;
        }
        if (w.kind == nullptr && slot == nullptr) {
            slot = &w;
        }
    }
    if (slot == nullptr) {
        slot = window_oldest(now, true);  // every window taken: the oldest ends early
        window_end(*slot, now, false);
    }
    va_list ap;
    va_start(ap, fmt);
    event_line(now, fmt, ap);
    va_end(ap);
    slot->kind = fmt;
    slot->first_ms = now;
    slot->span_ms = REPEAT_WINDOW_MS;
    std::memcpy(slot->first_stamp, line_buf, STAMP_LEN);
    slot->first_stamp[STAMP_LEN] = '\0';
    slot->count = 0;
}

void trace_end()
{
    if (trace_fd < 0) {
        return;
    }
    windows_close(0, true);
    trace_event("end");
}

const char* trace_quote(const char* name, uint32_t n, char* out, uint32_t size)
{
    static const char HEX[] = "0123456789abcdef";
    uint32_t k = 0;
    out[k++] = '"';
    for (uint32_t i = 0; i < n; ++i) {
        const uint8_t c = static_cast<uint8_t>(name[i]);
        const bool plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
        if (k + (plain ? 1 : 4) + 5 > size) {
            out[k++] = '.';
            out[k++] = '.';
            out[k++] = '.';
            break;
        }
        if (plain) {
            out[k++] = static_cast<char>(c);
        } else {
            out[k++] = '\\';
            out[k++] = 'x';
            out[k++] = HEX[c >> 4];
            out[k++] = HEX[c & 0x0F];
        }
    }
    out[k++] = '"';
    out[k] = '\0';
    return out;
}
