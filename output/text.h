// output/text.h: the console text buffer (KIVET text for one flush per chunk) and the time stamps.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t TEXT_BUF_SIZE = 4096;  // holds at most TEXT_BUF_SIZE - 1 characters
constexpr uint32_t STAMP_LEN = 9;         // "mm:ss.hh "

// 1 while time stamps are on; set from the command line, toggled by F3.
extern uint8_t timestamp_option GUARDED_BY(link_lock);

// The form of the stamp that timestamp_option turns on; set from the command line only.
enum StampForm : uint8_t {
    STAMP_MINUTES = 0,  // "mm:ss.hh ", KIVET text only, put in by the stream interpreter
    STAMP_CLOCK = 1,    // "hh:mm:ss.mmm ", device text of both modes (output/view)
    STAMP_ISO = 2,      // "YYYY-MM-DDThh:mm:ss.mmm ", likewise
};
extern uint8_t timestamp_form GUARDED_BY(link_lock);
constexpr uint32_t CLOCK_STAMP_MAX = 24;  // characters of the longest clock stamp

// True while the stream interpreter puts "mm:ss.hh " stamps into KIVET text.
inline bool minute_stamps_on() REQUIRES(link_lock)
{
    return timestamp_option != 0 && timestamp_form == STAMP_MINUTES;
}

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

// The current local time as "mm:ss.hh " (minutes, seconds, hundredths, one blank); the
// returned buffer is overwritten by the next call.
const char* timestamp_text() REQUIRES(link_lock);
// The current local time as "hh:mm:ss.mmm " (STAMP_CLOCK) or "YYYY-MM-DDThh:mm:ss.mmm "
// (STAMP_ISO), hours 00-23, milliseconds; a buffer of its own, overwritten by the next call.
const char* clock_stamp_text(uint8_t form) REQUIRES(link_lock);
