// output/trace.cpp: the protocol trace file. Each line is formatted into one buffer and written
// in one write, so a line is never split and every line written survives the program. Called
// with link_lock held, from whichever thread meets the event.
#include "output/trace.h"

#include <cstdarg>
#include <cstdio>

#include "platform/clock.h"
#include "platform/files.h"

constexpr uint32_t TRACE_LINE_MAX = 1024;

static int trace_fd GUARDED_BY(link_lock) = -1;
static uint32_t text_pending GUARDED_BY(link_lock);  // plain text bytes not yet traced
static char line_buf[TRACE_LINE_MAX] GUARDED_BY(link_lock);

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
        trace_text_end();
        (void)plat::file_close(trace_fd);
        trace_fd = -1;
    }
    text_pending = 0;
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

void trace_text_end()
{
    if (trace_fd < 0 || text_pending == 0) {
        return;
    }
    const int head = trace_stamp();
    const uint32_t n = text_pending;
    text_pending = 0;
    trace_write(head + std::snprintf(line_buf + head, TRACE_LINE_MAX - static_cast<uint32_t>(head),
                                     "text %u bytes", n));
}

void trace_text(uint32_t n)
{
    if (trace_fd >= 0) {
        text_pending += n;
    }
}

void trace_event(const char* fmt, ...)
{
    if (trace_fd < 0) {
        return;
    }
    trace_text_end();
    const int head = trace_stamp();
    va_list ap;
    va_start(ap, fmt);
    const int n =
        std::vsnprintf(line_buf + head, TRACE_LINE_MAX - static_cast<uint32_t>(head), fmt, ap);
    va_end(ap);
    trace_write(n < 0 ? n : head + n);
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
