// app/options.h: the values the command line sets (port, rate, log file, Backspace byte) and
// its parser, which reads the command line into an options value and does nothing else:
// start-up acts on that value (app/startup.h).
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

// The banner's format (the program's label for its %s), the usage text that follows the label,
// and the hot-key list, printed after the usage text and by F1. The version is the build's
// (CMake's project version); the build date is the device's users' fixed text.
#ifndef KIVET_VERSION
#error "KIVET_VERSION is set by the build (CMakeLists.txt)"
#endif
inline constexpr char BANNER_FORMAT[] = "%s Version " KIVET_VERSION ", Build: Oct 21 2002";
extern const char USAGE_TEXT[];
extern const char HOTKEY_TEXT[];

// Mode from the program's own name: the base name after the last '/' or '\', cut at its last
// '.', is KIVET when its first five characters are "kivet" in any case.
uint8_t mode_from_name(const char* argv0);
// The rate of the baud table whose text equals arg exactly, or 0.
int32_t baud_lookup(const char* arg);

// What the command line asks start-up to do.
enum CmdlineAction : uint8_t {
    CMDLINE_OPEN = 0,       // open the port and run
    CMDLINE_HELP = 1,       // the usage text, then the end
    CMDLINE_LIST = 2,       // the serial ports present, then the end
    CMDLINE_LONG_PORT = 3,  // the port name is longer than PORT_NAME_MAX: refused
};

// The command line read. The names point into the arguments; nullptr when not given.
struct Options {
    uint8_t action;      // a CmdlineAction
    uint8_t mode;        // MODE_KIVET or MODE_PASEL: the program's name, then /KIVET or /PASEL
    bool noreset;        // /NORESET
    bool append;         // /APPEND: the log is written on at its end
    uint8_t timestamp;   // 1 after /TIMESTAMP
    uint8_t stamp_form;  // its form, a StampForm
    uint8_t hex;         // 1 after /HEX
    const char* root;    // /ROOT:<dir>: the directory the device's file names are confined to
    const char* trace;   // /TRACE:<file>: the protocol trace file
    const char* port;    // <com>
    bool rate_given;     // <baud> given: rate is its value (0 for no number)
    bool rate_listed;    // and its text is one of the baud table
    int32_t rate;
    const char* log;    // <file>
    bool log_too_long;  // longer than LOG_NAME_MAX: no log file
};

// Reads the command line (argv[0] the program's name) into *o. Touches no other state, and
// prints nothing.
void cmdline_parse(int argc, char** argv, Options* o);
