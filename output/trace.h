// output/trace.h: the protocol trace (/TRACE:<file>): one line per event of the device's file
// service and packet link, each with the clock time ("hh:mm:ss.mmm "), written as it happens so
// that the file holds every line up to a crash or a kill. Runs of plain text are counted, not
// copied, and repeats of noise are summarised. Without a trace file every call returns at once.
#pragma once

#include <cstdint>

#include "platform/threads.h"

// Opens (creates or truncates) the trace file; false when it cannot be opened, with the error
// in *err.
bool trace_open(const char* name, int* err) REQUIRES(link_lock);
bool trace_is_on() REQUIRES(link_lock);
void trace_close() REQUIRES(link_lock);
// One event: the line's text after the time stamp, without a line end. Text counted before it
// is traced first.
void trace_event(const char* fmt, ...) REQUIRES(link_lock) __attribute__((format(printf, 1, 2)));
// An event that noise on the line can bring many times a second (a frame dropped, an unknown
// command): the first of its kind (its format) in a second is traced as trace_event traces it;
// the later ones in that second are counted, and when the second is over (seen at the next
// trace call, or at trace_end) one line gives the last one's text and the count:
// "<text> (x<count> since <hh:mm:ss.mmm of the first>)".
void trace_repeat(const char* fmt, ...) REQUIRES(link_lock) __attribute__((format(printf, 1, 2)));
// n more bytes of the device's plain text (traced as one "text <n> bytes" line before the
// next event traced whole, or by trace_text_end).
void trace_text(uint32_t n) REQUIRES(link_lock);
// The end of a chunk read: the text counted so far is traced now, unless a text line was
// written less than a second ago (then it waits for the next line of text or event).
void trace_text_end() REQUIRES(link_lock);
// The "end" line, after the counts of every repeat still open.
void trace_end() REQUIRES(link_lock);
// name (n bytes) in double quotes into out (size bytes, at least 8), with '"', '\' and the
// bytes outside printable ASCII as \xNN; cut with "..." where it does not fit. Returns out.
const char* trace_quote(const char* name, uint32_t n, char* out, uint32_t size);
