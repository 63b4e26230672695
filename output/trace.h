// output/trace.h: the protocol trace (/TRACE:<file>): one line per event of the device's file
// service and packet link, each with the clock time ("hh:mm:ss.mmm "), written as it happens so
// that the file holds every line up to a crash or a kill. Runs of plain text are counted, not
// copied. Without a trace file every call returns at once.
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
// n more bytes of the device's plain text (traced as one "text <n> bytes" line before the
// next event, or by trace_text_end).
void trace_text(uint32_t n) REQUIRES(link_lock);
// The text counted so far, traced now.
void trace_text_end() REQUIRES(link_lock);
// name (n bytes) in double quotes into out (size bytes, at least 8), with '"', '\' and the
// bytes outside printable ASCII as \xNN; cut with "..." where it does not fit. Returns out.
const char* trace_quote(const char* name, uint32_t n, char* out, uint32_t size);
