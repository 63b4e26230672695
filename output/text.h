// output/text.h: the console text buffer (KIVET text for one flush per chunk) and the time stamp.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t TEXT_BUF_SIZE = 4096;  // holds at most TEXT_BUF_SIZE - 1 characters
constexpr uint32_t STAMP_LEN = 9;         // "mm:ss.hh "

// 1 while time stamps are on in KIVET text; set from the command line, toggled by F3.
extern uint8_t timestamp_option GUARDED_BY(link_lock);

void text_init() REQUIRES(link_lock);
// Appends one character; flushes first when the buffer is full.
void text_append(uint8_t c) REQUIRES(link_lock);
// Appends n characters as n appends would: each time the buffer is full it is flushed first.
void text_append_run(const uint8_t* s, uint32_t n) REQUIRES(link_lock);
// Drops what the buffer holds without showing it.
void text_empty() REQUIRES(link_lock);
// Shows the held characters on the console and appends them to the log file, by count.
void text_flush() REQUIRES(link_lock);

// The current local time as "mm:ss.hh " (minutes, seconds, hundredths, one blank); the
// returned buffer is overwritten by the next call.
const char* timestamp_text() REQUIRES(link_lock);
