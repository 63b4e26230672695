// output/logfile.h: the log file and the capture file, and the text write through which PASEL
// text reaches them (the log wrapped after 75 columns, the capture unchanged).
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t LOG_WRAP_COLUMNS = 75;

void logfile_init() REQUIRES(link_lock);

// For the end of the program when another thread holds the link lock: log and capture writes
// stop from now on, so that the holder lets the lock go soon; what was written stays, a whole
// prefix of the text. Needs no lock.
void output_give_up();

// Opens (creates or truncates) the log file; false when it cannot be opened, with the errno in
// *err when err is given. With append, a file that exists keeps what it holds, every write goes
// to its end, and its size counts from what it held.
bool log_open(const char* name, int* err = nullptr, bool append = false) REQUIRES(link_lock);
bool log_is_open() REQUIRES(link_lock);
// Size written so far in KB (bytes / 1000, rounded toward zero).
long log_kb() REQUIRES(link_lock);
void log_close() REQUIRES(link_lock);
// Appends bytes to the log unchanged (KIVET text); no effect without a log file.
void log_write(const void* buf, uint32_t n) REQUIRES(link_lock);

bool capture_open(const char* name) REQUIRES(link_lock);
bool capture_is_open() REQUIRES(link_lock);
long capture_kb() REQUIRES(link_lock);
void capture_close() REQUIRES(link_lock);

// n PASEL text characters: to the log with the wrap marker "!" CR LF after every 75 columns (a
// CR resets the column; the count runs on from one call to the next), and unchanged to the
// capture file; in a few large writes.
void log_text(const uint8_t* s, uint32_t n) REQUIRES(link_lock);
// The two halves of log_text: the log, wrapped, and the capture file, unchanged.
void log_wrapped(const uint8_t* s, uint32_t n) REQUIRES(link_lock);
void capture_write(const uint8_t* s, uint32_t n) REQUIRES(link_lock);
