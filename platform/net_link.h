// platform/net_link.h: a network port without OS contact (net_link.cpp, shared by both
// backends): the procedures of platform/net.h around the telnet engine (platform/telnet.h): the
// open's greeting wait that tells a busy server from the device, the held bytes, the owed and
// control bytes, the send loop with its deadline and the server's suspend, the write budget.
// What touches the OS (the connect, the raw sends and receives, the waits, the wake, the close,
// the error numbers) is each backend's net.cpp, behind the few procedures below.
//
// The socket is non-blocking; the receive thread waits for it; writes are serialised under a
// mutex of the link's own. A send cut short leaves the rest of its encoded bytes owed, to go
// first with the next one, so that the telnet stream is never broken in the middle of a command
// or a doubled IAC.
#pragma once

#include <cstdint>

#include "platform/serial.h"

namespace plat
{

// A connected socket: a file descriptor on Linux, a SOCKET on Windows (whose INVALID_SOCKET,
// all ones, is NET_NO_SOCKET here).
using NetSocket = intptr_t;
constexpr NetSocket NET_NO_SOCKET = -1;

constexpr uint32_t NET_SLICE_MS = 50;  // waits look for serial_cancel and give-ups this often
constexpr uint32_t NET_CONTROL_RETRY_MS = 20;  // the wait's look at control bytes that could not go
constexpr uint32_t NET_WHERE_MAX = 1025;       // the connected address as text

// The OS's numbers (positive) for the link's own failures, each backend's: a name that is no
// network port's (or a rate that is none); the program ended; a write the server did not take
// in time; a write or a setting with no connection; a wait with no connection; the server's
// plain close.
extern const int NET_FAIL_NAME;
extern const int NET_FAIL_CANCELLED;
extern const int NET_FAIL_TIMEOUT;
extern const int NET_FAIL_NOT_OPEN;
extern const int NET_FAIL_NO_SOCKET;
extern const int NET_FAIL_CLOSED;

// What the backends call.
// serial_cancel was called.
bool net_cancelled();
// A connect gives up now: serial_cancel, or the start-up's End and signals.
bool net_give_up_now();
// The bytes waiting to go (the receive side's answers, what a write left), sent now when no
// write holds the socket: 1 when none is left, 0 when the socket has no room, -1 when a write
// holds it (and sends them itself).
int net_answer_now(NetSocket s);
// A wait that failed with err (negative): no loss once the program ends (serial_close may
// have closed the socket under it), else the port's, after the pause.
int net_wait_failed(int err);

// What each backend defines.
// Looks up nn's host and connects to its first address that answers within SERIAL_CONNECT_MS,
// giving up at net_give_up_now; tunes the socket (a server that stops answering is found) and
// readies the wake. The socket in *out and its address as text in where (size bytes); 0, or
// -err.
int net_os_connect(const NetName& nn, NetSocket* out, char* where, uint32_t size);
// Sends what the socket takes of b[0, n) now: the count (0 when it has no room), or -err.
int net_os_send(NetSocket s, const uint8_t* b, uint32_t n);
// Reads what the socket holds now, at most n bytes into b: the count (0 when there is none),
// or -err for a failed receive. The end of the connection sets *closed and returns 0, with
// *close_error 0 for the server's close, else the failure (positive) that the close reported.
int net_os_recv(NetSocket s, uint8_t* b, uint32_t n, bool* closed, int* close_error);
// The bytes queued to read, or -err.
int net_os_queued(NetSocket s);
// Nothing is queued: true when the socket's end has come (a read finds out which).
bool net_os_end_seen(NetSocket s);
// Waits up to ms for room to send, or for bytes (or the end) to read.
void net_os_wait_writable(NetSocket s, uint32_t ms);
void net_os_wait_readable(NetSocket s, uint32_t ms);
// The receive thread's wait, once nothing is held: for the socket's bytes or end (1), up to
// replies_ms when it is not 0 (then 0), sending the bytes waiting as the socket has room
// (net_answer_now); a wake ends it with 0. A failure: a note, the pause, -err.
int net_os_wait(NetSocket s, uint32_t replies_ms);
// Tells the receive thread's wait that bytes wait to go (from a write, under the link's mutex).
void net_os_wake();
// serial_cancel: a wait in progress ends now, where the OS's wait needs to be told.
void net_os_cancel();
void net_os_pause(uint32_t ms);
void net_os_close(NetSocket s);

}  // namespace plat
