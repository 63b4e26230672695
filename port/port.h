// port/port.h: port open, the two write primitives every sender uses, the error report and
// the closing of the port at shutdown.
#pragma once

#include <cstdint>

#include "platform/threads.h"

// /NORESET: DTR and RTS stay as they are at the open, at a reopen and at the end of the program
// (many boards wire them to their reset and boot pins). Set by the command line before any
// thread starts.
extern bool noreset_option;

// Opens and configures the port named name (as the command line gives it) at baud bits per
// second. Returns 0, 1 after a failure that it has reported on the console, or PORT_OPEN_ENDED
// when End or a signal ended the connect to a network port (the console must be initialised
// first for that). A network port whose server says it is busy is said so once and tried
// again until it is free. Keeps name and baud for port_reopen.
constexpr int PORT_OPEN_ENDED = 2;
int port_open(const char* name, int32_t baud);
// What the port has noted (a network port's connection and its server's replies): each into
// the trace, and those for the user on the console as well.
void port_notes() REQUIRES(link_lock);

// The receive thread's answer to a port that hung up or failed, in two steps. port_lost closes
// it and says so on the console. port_reopen opens the same name again, set up as port_open
// does but not purged, as soon as it is there again (at once when its folder changes, else
// about every second; a network port's server after pauses that double from 0.1 s to 3.2 s),
// and says so; a server that says it is busy is said so once. A pseudo-terminal slave named
// directly is not opened again: port_lost says so and port_reopen waits for the end of the program.
// Nor is a symbolic link that still leads to the lost terminal's path: port_reopen waits until it
// is changed or leads elsewhere.
void port_lost() EXCLUDES(link_lock);
void port_reopen() EXCLUDES(link_lock);
// For the end of the program: writes in flight and later ones give up at once, and the
// receive thread stops reading, so that the link lock comes free.
void port_cancel();
// Prints the serial ports present, one a line ("  /dev/ttyUSB0", a stable name as
// "  /dev/serial/by-id/... -> /dev/ttyUSB0"); returns how many.
int port_list_show();

// Hands one byte to the port and returns without waiting for it to leave. Never fails to the
// caller: a lost byte shows up at the device.
void port_write_byte(uint8_t b);
// Typed bytes (the console thread's: keys, the F keys' and the dialogs' CR) wait for a device
// that does not read, in order, and are never dropped. port_key_byte hands one on without
// waiting: to the driver at once when nothing waits before it and the driver takes it now, else
// into the key buffer (KEY_BUF_SIZE bytes), which port_keys_send empties. The console thread
// takes no more keys at a time than the buffer holds.
constexpr uint32_t KEY_BUF_SIZE = 256;
void port_key_byte(uint8_t b);
// Writes what the key buffer holds, waiting for the driver's room for up to KEY_SEND_SLICE_MS;
// returns the bytes still waiting (none after a failed write: the port is lost, and what
// waited for it goes as the rest of the old device's work). Not under the link lock, so that the
// receive thread goes on reading and showing the device's text meanwhile; the console thread looks
// for End and the signals between two calls.
constexpr uint32_t KEY_SEND_SLICE_MS = 50;
uint32_t port_keys_send() EXCLUDES(link_lock);
// Writes n bytes and returns when they are written. Writes from several threads never
// interleave and never discard one another's bytes or received bytes.
void port_write_buf(const uint8_t* buf, uint32_t n);

// Prints "<name> ERROR.\nERROR #<err>: <the text of err>\n" and closes the log file.
void error_report(const char* name, int err) EXCLUDES(link_lock);

// Shutdown's end of the port: drops DTR and RTS, waits one second, closes the port; with
// /NORESET it only closes the port.
void port_shut();
// The end of the program while another thread may still use the port: drops DTR and RTS only
// (nothing with /NORESET); the process exit closes the port.
void port_drop_lines();
// Alt+R: drops DTR and RTS for RESET_PULSE_MS and raises them again, /NORESET or not.
constexpr uint32_t RESET_PULSE_MS = 100;
void port_reset_pulse();
