// platform/console.h: the console: key events in, messages and device text out.
// Output: console_print (formatted messages), console_write and console_putc (the "console
// device") all go to standard output, unbuffered, in the order of the calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat
{

// Key codes and modifier flags, as the key handler expects them. The names start with KEY_ so
// that they clash with no system header's macros.
enum VirtualKey : uint16_t {
    KEY_BACK = 0x08,
    KEY_TAB = 0x09,
    KEY_RETURN = 0x0D,
    KEY_ESCAPE = 0x1B,
    KEY_PRIOR = 0x21,  // Page Up
    KEY_NEXT = 0x22,   // Page Down
    KEY_END = 0x23,
    KEY_HOME = 0x24,
    KEY_LEFT = 0x25,
    KEY_UP = 0x26,
    KEY_RIGHT = 0x27,
    KEY_DOWN = 0x28,
    KEY_INSERT = 0x2D,
    KEY_DELETE = 0x2E,
    KEY_6 = 0x36,
    KEY_F1 = 0x70,
    KEY_F2 = 0x71,
    KEY_F3 = 0x72,
    KEY_F4 = 0x73,
    KEY_F5 = 0x74,
    KEY_F6 = 0x75,
    KEY_F7 = 0x76,
    KEY_F8 = 0x77,
    KEY_F9 = 0x78,
    KEY_F10 = 0x79,
    KEY_F11 = 0x7A,
    KEY_F12 = 0x7B,
    KEY_OEM_MINUS = 0xBD,  // the '-' key of the main block
    KEY_OTHER = 0xFF,      // any other key from the terminal: a character key
};

constexpr uint32_t KEY_RIGHT_ALT = 0x01;
constexpr uint32_t KEY_LEFT_ALT = 0x02;
constexpr uint32_t KEY_RIGHT_CTRL = 0x04;
constexpr uint32_t KEY_LEFT_CTRL = 0x08;
constexpr uint32_t KEY_SHIFT = 0x10;

// A key event: press or release, key code, character, modifier flags.
struct KeyEvent {
    uint8_t key_down;  // nonzero for a press
    uint16_t vk;       // key code (VirtualKey, or the code of a character key)
    uint8_t ch;        // character the key produced, 0 for keys that produce none
    uint32_t ctrl;     // modifier flags (KEY_RIGHT_ALT ... KEY_SHIFT)
};

// Puts standard input in raw mode when it is a terminal or console (no echo, no line editing,
// Ctrl+C a key, line ends and flow-control characters as typed) and turns the system's ways of
// ending a console program (an interrupt, a hang-up, closing the console, the end of the
// session) into an End key. The mode is restored by console_restore and by process_exit.
void console_init();
void console_restore();

// Takes in the key events typed meanwhile, without waiting, and says whether End (or a way of
// ending the program that arrives as End) is among those waiting: for a console thread that
// waits for something else. Nothing is discarded; console_read_keys returns them in order.
bool console_end_waiting();
// Waits until at least one key event is there and returns up to max of them (max >= 1).
// At end of a non-terminal input it waits without end for End (the system's request to end).
int console_read_keys(KeyEvent* ev, int max);

// Formatted message on standard output.
void console_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Raw bytes (device text) on standard output, by count: NUL bytes included.
void console_write(const void* buf, size_t n);
// One character straight to the console device.
void console_putc(uint8_t c);
// Clears the screen (ESC [ H ESC [ 2 J); complete when it returns.
void console_clear();
// The program is ending (End, a signal): from now on console output has a deadline. A write
// still waiting for the console half a second after the first call, or waiting a tenth of a
// second at any time after that, is dropped, and so is all later output the console cannot take
// at once: no thread, the caller included, waits for a console nobody reads for long. The
// backends arm it themselves on a signal, and on an End typed while the console thread's own
// write waits. Output the console takes goes out as before.
void console_ending();
// For the end of the program: output that cannot go out within a short while (a console nobody
// reads: a paused terminal, a pipe not drained) is dropped from now on, so that no thread waits
// on the console for long, and a write waiting now gives up.
void console_give_up();

}  // namespace plat
