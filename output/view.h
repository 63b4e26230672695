// output/view.h: how the device's text goes out. As it came, by default; with a clock stamp at
// the start of each line, on the console and in the log, with /TIMESTAMP:CLOCK or :ISO; or on
// the console as hex lines (/HEX, Alt+H) while the log and the capture file keep the text.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t HEX_LINE_BYTES = 16;  // device bytes a hex line shows

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
