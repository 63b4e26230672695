// output/text.cpp: the console text buffer, through which KIVET text reaches the console and the
// log file once per chunk read: each flush hands the held bytes and the marks of the
// interpreter's stamps to output/view.
// Called by the stream interpreter and the read pump (receive thread) and by the key handler
// (console thread), always with link_lock held.
#include "output/text.h"

#include <cstring>

#include "output/view.h"

static uint8_t text_buf[TEXT_BUF_SIZE] GUARDED_BY(link_lock);  // characters held
static uint32_t text_len GUARDED_BY(link_lock);                // how many; < TEXT_BUF_SIZE
// One bit a held character, set for the characters of a stamp; stamp_marks counts them.
static uint8_t stamp_bits[TEXT_BUF_SIZE / 8] GUARDED_BY(link_lock);
static uint32_t stamp_marks GUARDED_BY(link_lock);

void text_init()
{
    text_len = 0;
    memset(stamp_bits, 0, sizeof stamp_bits);
    stamp_marks = 0;
}

static void marks_clear() REQUIRES(link_lock)
{
    if (stamp_marks != 0) {
        memset(stamp_bits, 0, sizeof stamp_bits);
        stamp_marks = 0;
    }
}

void text_append(uint8_t c)
{
    // One place stays free, as it always has, so the buffer never holds more than 4095.
    if (text_len >= TEXT_BUF_SIZE - 1) {
        text_flush();
    }
    text_buf[text_len++] = c;
}

void text_append_run(const uint8_t* s, uint32_t n)
{
    while (n > 0) {
        if (text_len >= TEXT_BUF_SIZE - 1) {
            text_flush();
        }
        const uint32_t room = TEXT_BUF_SIZE - 1 - text_len;
        const uint32_t k = n < room ? n : room;
        memcpy(text_buf + text_len, s, k);
        text_len += k;
        s += k;
        n -= k;
    }
}

void text_append_stamp(const char* stamp)
{
    for (; *stamp != '\0'; ++stamp) {
        text_append(static_cast<uint8_t>(*stamp));
        const uint32_t at = text_len - 1;
        stamp_bits[at / 8] = static_cast<uint8_t>(stamp_bits[at / 8] | 1u << (at % 8));
        ++stamp_marks;
    }
}

void text_empty()
{
    text_len = 0;
    marks_clear();
}

void text_flush()
{
    // By count, not as a string: a NUL in the device's text must not cut off what follows it
    // on the console or in the log.
    if (text_len != 0) {
        view_kivet(text_buf, text_len, stamp_marks != 0 ? stamp_bits : nullptr);
    }
    text_len = 0;
    marks_clear();
}
