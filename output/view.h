// output/view.h: how the device's text goes out. As it came, by default; with a clock stamp at
// the start of each line, on the console and in the log, with /TIMESTAMP:CLOCK or :ISO.
#pragma once

#include <cstdint>

#include "platform/threads.h"

void view_init() REQUIRES(link_lock);

// KIVET text, one console flush: to the console and to the log, with the clock stamps when they
// are on.
void view_kivet(const uint8_t* s, uint32_t n) REQUIRES(link_lock);
// PASEL text between frames, one show: to the log wrapped and to the console, with the clock
// stamps when they are on, and unchanged to the capture file.
void view_pasel(const uint8_t* s, uint32_t n) REQUIRES(link_lock);
