// app/startup.h: program state set at start-up (mode, options, port settings), the command
// line, start-up and the End-key shutdown.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/threads.h"

constexpr uint8_t MODE_PASEL = 0;
constexpr uint8_t MODE_KIVET = 1;

constexpr int PORT_NAME_MAX = 7;  // characters, without the terminating zero
constexpr int LOG_NAME_MAX = 11;  // characters, without the terminating zero
constexpr int32_t DEFAULT_BAUD = 57600;

// 1 in KIVET mode, 0 in PASEL mode. Read by every thread, switched only by F4.
extern std::atomic<uint8_t> mode_flag;
// 1 while time stamps are on in KIVET text; toggled by F3.
extern uint8_t timestamp_option GUARDED_BY(link_lock);
// The byte the Backspace key produces: 0x7F in KIVET mode, 0x08 in PASEL mode; F2 toggles it.
extern uint8_t backspace_char GUARDED_BY(link_lock);
extern char port_name[PORT_NAME_MAX + 1];
extern int32_t baud_rate;
extern char log_name[LOG_NAME_MAX + 1];

// The hot-key list, printed after the usage text and by F1.
extern const char HOTKEY_TEXT[];

// "KIVET32" or "PASEL32" by the mode in force now.
const char* program_label();

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

// The whole program: start-up, then the console loop. Returns only an exit code of start-up.
int program_main(int argc, char** argv) EXCLUDES(link_lock);

// The End key: reports and closes the log and capture files, closes the transfer file, drops
// the modem lines, waits one second, closes the port and ends the process with code 0.
[[noreturn]] void shutdown() REQUIRES(link_lock);
