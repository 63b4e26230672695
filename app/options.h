// app/options.h: the values the command line sets (port, rate, log file, Backspace byte) and
// its parser, which also sets the mode and the time-stamp option.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr int PORT_NAME_MAX = 255;  // characters, without the terminating zero
constexpr int LOG_NAME_MAX = 255;   // characters, without the terminating zero
constexpr int32_t DEFAULT_BAUD = 57600;

// The byte the Backspace key produces: 0x7F in KIVET mode, 0x08 in PASEL mode; F2 toggles it.
extern uint8_t backspace_char GUARDED_BY(link_lock);
extern char port_name[PORT_NAME_MAX + 1];
extern int32_t baud_rate;
extern char log_name[LOG_NAME_MAX + 1];

// The hot-key list, printed after the usage text and by F1.
extern const char HOTKEY_TEXT[];

// Mode from the program's own name: the base name after the last '/' or '\', cut at its last
// '.', is KIVET when its first five characters are "kivet" in any case.
uint8_t mode_from_name(const char* argv0);
// The rate of the baud table whose text equals arg exactly, or 0.
int32_t baud_lookup(const char* arg);

constexpr int CMDLINE_RUN = -1;  // cmdline_parse: go on with start-up
// Reads the command line into the state above, prints the banner and the messages that go with
// it and opens the log file. Returns CMDLINE_RUN, or the exit code when the program must end now
// (0 after the usage text, 1 for an argument refused).
int cmdline_parse(int argc, char** argv) EXCLUDES(link_lock);
