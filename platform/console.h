// platform/console.h: the console: key events in, messages and device text out.
// Output: console_print (formatted messages), console_write and console_putc (the "console
// device") all go to standard output, unbuffered, in the order of the calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat
{

// Virtual-key codes and control-key state flags, as the key handler expects them.
enum VirtualKey : uint16_t {
    VK_BACK = 0x08,
    VK_TAB = 0x09,
    VK_RETURN = 0x0D,
    VK_ESCAPE = 0x1B,
    VK_PRIOR = 0x21,  // Page Up
    VK_NEXT = 0x22,   // Page Down
    VK_END = 0x23,
    VK_HOME = 0x24,
    VK_LEFT = 0x25,
    VK_UP = 0x26,
    VK_RIGHT = 0x27,
    VK_DOWN = 0x28,
    VK_INSERT = 0x2D,
    VK_DELETE = 0x2E,
    VK_KEY_6 = 0x36,
    VK_F1 = 0x70,
    VK_F2 = 0x71,
    VK_F3 = 0x72,
    VK_F4 = 0x73,
    VK_F5 = 0x74,
    VK_F6 = 0x75,
    VK_F7 = 0x76,
    VK_F8 = 0x77,
    VK_F9 = 0x78,
    VK_F10 = 0x79,
    VK_F11 = 0x7A,
    VK_F12 = 0x7B,
    VK_OTHER = 0xFF,  // any other key from the terminal: a character key
};

constexpr uint32_t RIGHT_ALT_PRESSED = 0x01;
constexpr uint32_t LEFT_ALT_PRESSED = 0x02;
constexpr uint32_t RIGHT_CTRL_PRESSED = 0x04;
constexpr uint32_t LEFT_CTRL_PRESSED = 0x08;
constexpr uint32_t SHIFT_PRESSED = 0x10;

// One key event as the Windows console would deliver it.
struct KeyEvent {
    uint8_t key_down;  // nonzero for a press
    uint16_t vk;       // virtual-key code
    uint8_t ch;        // character the key produced, 0 for keys that produce none
    uint32_t ctrl;     // control-key state flags
};

// Puts standard input in raw mode when it is a terminal (no echo, not canonical, no signals,
// no CR/LF translation, no XON/XOFF) and installs handlers that turn SIGTERM, SIGINT and SIGHUP
// into an End key. The terminal is restored by console_restore and by process_exit.
void console_init();
void console_restore();

// Discards key events that are waiting.
void console_flush_input();
// Waits until at least one key event is there and returns up to max of them (max >= 1).
// At end of a non-terminal input it waits for a signal without end.
int console_read_keys(KeyEvent* ev, int max);

// Formatted message on standard output.
void console_print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Raw bytes (device text) on standard output, by count: NUL bytes included.
void console_write(const void* buf, size_t n);
// One character straight to the console device.
void console_putc(uint8_t c);
// Clears the screen (ESC [ H ESC [ 2 J); complete when it returns.
void console_clear();

}  // namespace plat
