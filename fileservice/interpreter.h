// fileservice/interpreter.h: the KIVET stream interpreter. Separates the device's text (to the
// console text buffer, with time stamps), ESC 'E' (clear screen) and the in-band commands of
// the host file service (0x02, a command code, arguments).
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint8_t CMD_INTRO = 0x02;  // starts an in-band command in the device's text
constexpr uint8_t TEXT_ESC = 0x1B;   // ESC 'E' clears the screen; ESC + other byte: both dropped

// Command states: which consumer gets the next byte.
enum CmdState : uint8_t {
    CS_TEXT = 0,
    CS_CODE = 1,  // command code expected
    CS_OPEN = 2,
    CS_CLOSE = 3,
    CS_READ = 4,
    CS_WRITE = 5,
    CS_CMD5 = 6,
};

void interp_init() REQUIRES(link_lock);
// KIVET mode's front door: one chunk read from the port, through the interpreter, its text
// shown and logged in one console flush.
void kivet_chunk(const uint8_t* buf, uint32_t n) REQUIRES(link_lock);
// The device is gone: a command under way ends and the files it held open are closed (it
// says how many on the console).
void kivet_link_lost() REQUIRES(link_lock);
// Interprets one byte from the device.
void interp_byte(uint8_t b) REQUIRES(link_lock);
// Interprets n bytes in order, exactly as n calls of interp_byte would; runs of plain text go
// to the console text buffer at once.
void interp_chunk(const uint8_t* buf, uint32_t n) REQUIRES(link_lock);
// Ends the command under way: sends its status word's two low bytes, low first, and returns to
// text.
void status_reply(uint32_t status_word) REQUIRES(link_lock);
CmdState interp_state() REQUIRES(link_lock);
// Position within the arguments of the command under way (0 at its first argument byte).
uint32_t interp_arg_step() REQUIRES(link_lock);
