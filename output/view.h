// output/view.h: how the device's text goes out, and the time stamps of every form. As it came,
// by default; with a clock stamp at the start of each line, on the console and in the log, with
// /TIMESTAMP:CLOCK or :ISO; or on the console as hex lines (/HEX, Alt+H) while the log and the
// capture file keep the text. The "mm:ss.hh " stamps of KIVET text are the stream interpreter's
// to put in; they are built here too.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t HEX_LINE_BYTES = 16;  // device bytes a hex line shows
constexpr uint32_t STAMP_LEN = 9;        // "mm:ss.hh "

// 1 while time stamps are on; set from the command line, toggled by F3.
extern uint8_t timestamp_option GUARDED_BY(link_lock);

// The form of the stamp that timestamp_option turns on; set from the command line only.
enum StampForm : uint8_t {
    STAMP_MINUTES = 0,  // "mm:ss.hh ", KIVET text only, put in by the stream interpreter
    STAMP_CLOCK = 1,    // "hh:mm:ss.mmm ", device text of both modes, put in here
    STAMP_ISO = 2,      // "YYYY-MM-DDThh:mm:ss.mmm ", likewise
};
extern uint8_t timestamp_form GUARDED_BY(link_lock);
constexpr uint32_t CLOCK_STAMP_MAX = 24;  // characters of the longest clock stamp

// True while the stream interpreter puts "mm:ss.hh " stamps into KIVET text.
inline bool minute_stamps_on() REQUIRES(link_lock)
{
    return timestamp_option != 0 && timestamp_form == STAMP_MINUTES;
}

// 1 while the console shows the device's text as hex lines; set from the command line, toggled
// by Alt+H.
extern uint8_t hex_view GUARDED_BY(link_lock);

void view_init() REQUIRES(link_lock);

// KIVET text, one console flush: to the console (as text or as hex) and to the log, with the
// clock stamps when they are on. stamps, when not null, has one bit a byte, set for the bytes of
// the interpreter's own stamps, which the hex view leaves out.
void view_kivet(const uint8_t* s, uint32_t n, const uint8_t* stamps) REQUIRES(link_lock);
// PASEL text between frames, one show: to the log wrapped and to the console (as text or as
// hex), with the clock stamps when they are on, and unchanged to the capture file.
void view_pasel(const uint8_t* s, uint32_t n) REQUIRES(link_lock);

// Turns the hex view on or off; a view turned on starts at offset 0 on a line of its own.
// Returns the new setting.
uint8_t hex_view_toggle() REQUIRES(link_lock);

// The current local time as "mm:ss.hh " (minutes, seconds, hundredths, one blank); the
// returned buffer is overwritten by the next call.
const char* timestamp_text() REQUIRES(link_lock);
// The current local time as "hh:mm:ss.mmm " (STAMP_CLOCK) or "YYYY-MM-DDThh:mm:ss.mmm "
// (STAMP_ISO), hours 00-23, milliseconds; a buffer of its own, overwritten by the next call.
const char* clock_stamp_text(uint8_t form) REQUIRES(link_lock);
