// platform/telnet.h: the byte stream of a network port, without OS contact (both backends share
// it). A `tcp://` port carries the device's bytes as they are. An `rfc2217://` port speaks
// telnet with the com port control option: a byte-at-a-time state machine that keeps its state
// across reads, answers the server's option requests (BINARY and SGA agreed, every other option
// refused, each answered at most once per change of state), sends the line settings once the
// server takes the option, and takes the server's replies and requests (the rate in force, flow
// suspend and resume) as they come, never waiting for one. What it notes for the trace and the
// console waits in a small queue that the port's reader empties.
//
// Safe for several threads: each call takes a mutex of the engine's own, never held across I/O.
#pragma once

#include <cstdint>

namespace plat
{

// Telnet bytes and the options this client knows.
constexpr uint8_t TN_IAC = 255;
constexpr uint8_t TN_DONT = 254;
constexpr uint8_t TN_DO = 253;
constexpr uint8_t TN_WONT = 252;
constexpr uint8_t TN_WILL = 251;
constexpr uint8_t TN_SB = 250;
constexpr uint8_t TN_SE = 240;
constexpr uint8_t TN_OPT_BINARY = 0;
constexpr uint8_t TN_OPT_SGA = 3;
constexpr uint8_t TN_OPT_COM_PORT = 44;

// Com port control commands the client sends; the server answers each with the code plus
// CPC_REPLY. CPC_SUSPEND and CPC_RESUME are the server's own flow requests.
constexpr uint8_t CPC_SET_BAUDRATE = 1;
constexpr uint8_t CPC_SET_DATASIZE = 2;
constexpr uint8_t CPC_SET_PARITY = 3;
constexpr uint8_t CPC_SET_STOPSIZE = 4;
constexpr uint8_t CPC_SET_CONTROL = 5;
constexpr uint8_t CPC_REPLY = 100;
constexpr uint8_t CPC_NOTIFY_LINESTATE = 106;
constexpr uint8_t CPC_NOTIFY_MODEMSTATE = 107;
constexpr uint8_t CPC_SUSPEND = 108;
constexpr uint8_t CPC_RESUME = 109;
// SET-CONTROL values this client sends.
constexpr uint8_t CPC_FLOW_NONE = 1;
constexpr uint8_t CPC_DTR_ON = 8;
constexpr uint8_t CPC_DTR_OFF = 9;
constexpr uint8_t CPC_RTS_ON = 11;
constexpr uint8_t CPC_RTS_OFF = 12;

constexpr uint32_t TN_SB_MAX = 64;           // a longer subnegotiation is dropped whole
constexpr uint32_t TN_ANSWERS_MAX = 4;       // answers to one option in a connection, at most
constexpr uint32_t TN_CONTROL_SIZE = 1024;   // bytes of requests and answers waiting to go
constexpr uint32_t TN_REPLY_WAIT_MS = 3000;  // a setting not answered by then is noted, once
constexpr uint32_t TN_NOTE_SIZE = 120;       // one note's text, its zero included
constexpr uint32_t TN_NOTES = 16;            // notes waiting; the oldest go first when full

// A new connection, at tick now (milliseconds, any clock that wraps): raw bytes (telnet false)
// or telnet. With telnet, the client's own offers go into the control queue at once: WILL
// COM-PORT, WILL and DO BINARY, WILL and DO SGA.
void telnet_start(bool telnet, uint32_t now);
bool telnet_on();

// The port's settings: the rate, 8 data bits, no parity, one stop bit, no flow control, and
// with raise_lines DTR and RTS on. Queued at once when the server has taken the com port
// option, else kept until it does (never, for a server that refuses it). Nothing for raw bytes.
void telnet_settings(int32_t baud, bool raise_lines, uint32_t now);
// DTR and RTS both on (up) or off, as SET-CONTROL requests.
void telnet_lines(bool up, uint32_t now);

// n bytes received: the device's bytes among them go to out (at most n), in order; the rest is
// telnet, answered into the control queue and noted. Returns the bytes put in out.
uint32_t telnet_receive(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t now);
// The device's bytes to send: encodes whole bytes of in (IAC doubled; CR as CR NUL in a
// direction without BINARY) into out, at most cap bytes (cap >= 2). Returns the bytes of in
// taken and sets *out_n to the bytes made.
uint32_t telnet_encode(const uint8_t* in, uint32_t n, uint8_t* out, uint32_t cap, uint32_t* out_n);

// The control bytes waiting to go (requests, answers): sets *p to them and returns how many.
uint32_t telnet_control(const uint8_t** p);
// n of them went.
void telnet_control_sent(uint32_t n);
// The server asked the client to stop sending (flow-control suspend) and has not resumed.
bool telnet_suspended();

// Notes settings the server has left unanswered for TN_REPLY_WAIT_MS (each once). Returns the
// milliseconds until the next such look is due, or 0 when none is outstanding.
uint32_t telnet_check_replies(uint32_t now);

// A note for the trace (and, with console, for the user too), made by the backend: connected,
// lost, busy.
void telnet_note(bool console, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// True when a note waits.
bool telnet_notes_waiting();
// Takes the oldest note: its text into text (size bytes) and whether the user should see it.
// Returns false when there is none.
bool telnet_take_note(char* text, uint32_t size, bool* console);

}  // namespace plat

namespace plat
{

// For the backends' network ports.
// The open's connect gives up now: serial_open_give_up's function says so.
bool net_connect_give_up();
// The first text of ser2net's answer to a client of a port that another client holds (it then
// closes the connection).
constexpr char NET_BUSY_TEXT[] = "Port already in use";
// What the first n device bytes of a connection say: 2 when they start with NET_BUSY_TEXT, 1
// while they are the start of it, else 0.
int net_busy_match(const uint8_t* b, uint32_t n);
// How long an open waits for the server's first bytes, to tell a busy answer from the device.
constexpr uint32_t NET_GREETING_MS = 300;

}  // namespace plat
