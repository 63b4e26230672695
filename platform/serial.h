// platform/serial.h: the one serial port of the program.
// Port names: COMn (n >= 1, any case) is the n-th serial port; rfc2217://HOST:PORT and
// tcp://HOST:PORT are a port on another machine (below); the backend takes any other name as
// its system names devices (a path, or a device's name).
// Every procedure returns 0 or a count on success and -err otherwise, err being
// the OS's number of the failure taken at the failing call (platform/errors.h).
#pragma once

#include <cstdint>

namespace plat
{

constexpr int SERIAL_PATH_MAX = 272;  // bytes of a device path: a prefix, 255 characters, a zero

// The timing both backends keep: a failed line is looked at again every
// SERIAL_HANGUP_PAUSE_MS; serial_wait after serial_cancel pauses SERIAL_CANCELLED_PAUSE_MS; a
// write gives up after SERIAL_WRITE_MARGIN times its bytes' time at the line's rate (start bit,
// 8 data bits, stop bit) plus SERIAL_WRITE_SLACK_MS.
constexpr uint32_t SERIAL_HANGUP_PAUSE_MS = 200;
constexpr uint32_t SERIAL_CANCELLED_PAUSE_MS = 1000;
constexpr uint32_t SERIAL_WRITE_SLACK_MS = 1000;
constexpr uint32_t SERIAL_WRITE_MARGIN = 2;
constexpr uint32_t SERIAL_BITS_PER_BYTE = 10;

// Milliseconds a write of n bytes may take at baud (a rate of 0 counts as 1): twice their time
// on the line, plus SERIAL_WRITE_SLACK_MS.
inline uint32_t serial_write_budget_ms(int32_t baud, uint32_t n)
{
    const uint64_t rate = baud > 0 ? static_cast<uint64_t>(baud) : 1;
    const uint64_t line_ms =
        (static_cast<uint64_t>(n) * SERIAL_BITS_PER_BYTE * 1000 + rate - 1) / rate;
    const uint64_t ms = line_ms * SERIAL_WRITE_MARGIN + SERIAL_WRITE_SLACK_MS;
    return ms < UINT32_MAX / 2 ? static_cast<uint32_t>(ms) : UINT32_MAX / 2;
}

// True for COMn, n >= 1, in any case: the n-th serial port.
inline bool serial_is_com_name(const char* name)
{
    bool com = (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
               (name[2] == 'M' || name[2] == 'm') && name[3] >= '1' && name[3] <= '9';
    for (const char* p = name + 3; com && *p != '\0'; ++p) {
        com = *p >= '0' && *p <= '9';
    }
    return com;
}
// A network port: a TCP connection to HOST (a name, an IPv4 address, or an IPv6 address in
// brackets) at PORT, carrying telnet with the com port control option (rfc2217://) or the
// device's bytes as they are (tcp://). It is the same port to every caller: open, settings,
// writes, waits, loss and return. The connect gives up after SERIAL_CONNECT_MS; a server that
// stops answering is lost after about SERIAL_NET_DEAD_MS. A server that answers that its port
// is busy (and closes) fails the open with FAIL_PORT_BUSY.
constexpr uint32_t SERIAL_CONNECT_MS = 5000;
constexpr uint32_t SERIAL_NET_DEAD_MS = 5000;
constexpr uint32_t SERIAL_HOST_MAX = 256;
struct NetName {
    char host[SERIAL_HOST_MAX];  // without brackets
    char port[8];
    bool telnet;  // rfc2217://, not tcp://
};
// 1 when name starts as a network port's name does (rfc2217:// or tcp://, any case), else 0.
int serial_is_net_name(const char* name);
// Splits a network port's name; false when it is not one, or is not well formed.
bool serial_net_name(const char* name, NetName* out);
// The open of a network port looks at give_up (when set) between two slices of its connect
// and gives up with a cancel error when it says so; serial_cancel does the same. For the
// start-up, whose End and signals are the console's: nullptr afterwards.
void serial_open_give_up(bool (*give_up)());
// What the network port has to say (connected, the server's replies to each setting, flow
// suspend and resume, lost, busy), oldest first: its text into text (size bytes), and whether
// the user should see it as well as the trace. False when nothing waits.
bool serial_take_note(char* text, uint32_t size, bool* console);

// The device path of a port name, into path (SERIAL_PATH_MAX bytes).
void serial_path(const char* name, char* path);
// 1 when a port of this name may be opened again after it was lost, 0 for a name the system
// hands to the next device that asks for one (a pseudo-terminal named by its number).
int serial_reopenable(const char* name);
// For a lost port whose name may be opened again: 1 while the name is still the symbolic link
// (the same link, not one made anew) that led to the pseudo-terminal the port was last opened
// on, and leads to that terminal's path or to nothing: a terminal opened later gets the lost
// one's number, and is not the device. 0 for any other device, and from the first look that
// finds the link changed, removed or leading elsewhere: whatever it leads to then is opened.
int serial_same_lost_terminal(const char* name);

// 1 when the port name resolves to a directory, else 0 (also when it does not exist).
int serial_is_directory(const char* name);
// Opens the port for reading and writing, exclusively: a port that another program holds fails.
int serial_open(const char* name);
// 1 when the open port is a regular file (not a device), else 0.
int serial_is_regular_file();
// Reads the port's settings (fails for a device that is not a serial port or terminal).
int serial_get_state();
// Raw mode, 8 data bits, no parity, one stop bit, no flow control, the modem status lines
// ignored and the receiver on, at baud (any rate the device takes; 0 is refused as an invalid
// parameter). With raise_lines, raises DTR and RTS where the device has modem lines; without,
// leaves both as they are, also at the close.
int serial_set_state(int32_t baud, bool raise_lines);
// Drops DTR and RTS; errors are ignored.
void serial_drop_lines();
// Raises (up) or drops DTR and RTS together, after a write in flight; errors are ignored (a
// pseudo-terminal has no modem lines, a lost port none at all).
void serial_set_lines(bool up);
// Discards what the driver holds in both directions.
void serial_purge();
// Waits until bytes are received or the line changes. Returns 1 when bytes may be queued, 0 for
// another event, -err when the port hung up or failed (an adapter pulled out, the other end
// of a pseudo-terminal closed, no port open): the port is then of no more use until it is
// closed and opened again. After serial_cancel it pauses and returns 0.
int serial_wait();
// Bytes waiting in the driver's input buffer, or -err.
int serial_queued();
// Reads up to n bytes that are queued; never waits for more.
int serial_read(uint8_t* buf, uint32_t n);
// Writes all n bytes before returning; writes from several threads never interleave. Gives up
// with a time-out error when the bytes do not leave within the time they need at the line's rate
// (twice it, plus a second), and with a cancel error once serial_cancel has been called.
// After a time-out the line counts as stalled (the device reads nothing): a write then gives
// up at once, with the time-out error, when the driver cannot take its bytes straight away,
// until a write goes through whole. A device that stops reading costs one deadline, not one
// for every reply still owed to it.
int serial_write(const uint8_t* buf, uint32_t n);
// Hands one byte to the port and returns without waiting for it to leave the line; it keeps
// its place in order with other writes.
int serial_write_byte(uint8_t b);
// Writes as many of the n bytes as the driver takes within about wait_ms (0: what it takes at
// once) and returns how many, 0 included (also when another write holds the port that long),
// or -err: for bytes that wait for a device that does not read, without the stalled rule.
// Bytes that go show the device reads again: the line no longer counts as stalled.
int serial_write_some(const uint8_t* buf, uint32_t n, uint32_t wait_ms);
void serial_close();
// For a port that is gone: waits until its name may have come back (something changed in the
// folder that holds it) or ms milliseconds have passed, whichever is first; where the folder
// cannot be watched, about SERIAL_NAME_POLL_MS. Never spins.
void serial_name_wait(const char* name, uint32_t ms);
constexpr uint32_t SERIAL_NAME_POLL_MS = 100;
// For the end of the program: a write in flight gives up at once and no later one starts,
// serial_queued reports nothing queued, and serial_wait only pauses, so that no thread holds
// the link lock for long on the port's account.
void serial_cancel();

}  // namespace plat
