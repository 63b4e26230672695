// output/text.h: the console text buffer: KIVET text for one flush per chunk, handed to
// output/view.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t TEXT_BUF_SIZE = 4096;  // holds at most TEXT_BUF_SIZE - 1 characters

void text_init() REQUIRES(link_lock);
// Appends one character; flushes first when the buffer is full.
void text_append(uint8_t c) REQUIRES(link_lock);
// Appends n characters as n appends would: each time the buffer is full it is flushed first.
void text_append_run(const uint8_t* s, uint32_t n) REQUIRES(link_lock);
// Appends a time stamp's characters as appends would, marked as no text of the device's (the
// hex view leaves them out).
void text_append_stamp(const char* stamp) REQUIRES(link_lock);
// Drops what the buffer holds without showing it.
void text_empty() REQUIRES(link_lock);
// Shows the held characters on the console and appends them to the log file, by count (through
// output/view, which puts in the clock stamps and shows the hex view).
void text_flush() REQUIRES(link_lock);
