// platform/win32/net.cpp: a network port on Windows: a Winsock TCP socket to a serial port
// server, telnet with the com port control option or raw bytes (platform/telnet.h), behind the
// same procedures as a COM port (serial.cpp hands a network port's calls here). The socket is
// non-blocking; WSAEventSelect ties its reads, its close and its room for sends to one event,
// which the receive thread waits for together with a wake event in one WaitForMultipleObjects,
// as it waits for a COM port's overlapped events. Writes are serialised under a mutex and wait
// for room with select(). A send cut short leaves the rest of its encoded bytes owed, to go first
// with the next one, so that the telnet stream is never broken in the middle of a command or a
// doubled IAC. Errors are -WSAGetLastError().
// winsock2.h first: windows.h would bring in the old winsock.h.
#include <winsock2.h>

#include <mstcpip.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/lock_within.h"
#include "platform/serial.h"
#include "platform/telnet.h"
#include "platform/win32/net.h"

// Options of newer Windows versions than the headers know: the seconds a send may go
// unacknowledged before the connection fails, and the keep-alive probes that go unanswered
// before it does. Older versions refuse them; the keep-alive times below still hold there.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

namespace plat
{
namespace win32
{

namespace
{

constexpr uint32_t SLICE_MS = 50;       // waits look for serial_cancel and give-ups this often
constexpr uint32_t RAW_MAX = 4096;      // bytes received at a time
constexpr uint32_t OUT_MAX = 8192;      // bytes encoded at a time
constexpr uint32_t HELD_MAX = 4096;     // device bytes read by the open, handed out first
constexpr DWORD CONTROL_RETRY_MS = 20;  // the wait's look at control bytes that could not go

std::once_flag wsa_once;
int wsa_error;  // WSAStartup's failure, or 0

std::atomic<SOCKET> sock{INVALID_SOCKET};
std::mutex net_mutex;  // the writes, the control bytes and the owed bytes
std::atomic<bool> cancelled{false};
std::atomic<bool> stalled{false};
std::atomic<int32_t> net_baud{0};
// Owed or control bytes wait for the socket's room: the receive thread's wait sends them when
// it comes (FD_WRITE, recorded after a send that found no room). wake_event tells the wait that
// some were left, and that the program ends.
std::atomic<bool> pending{false};
std::atomic<HANDLE> wake_event{nullptr};
// The socket's network events (WSAEventSelect): made once, receive thread's wait only.
WSAEVENT sock_event = WSA_INVALID_EVENT;
// The end of the connection was read, the server's close was seen (receive thread only), and
// the open's device bytes.
bool ended;
int end_error;
bool peer_closed;
int close_error;  // what FD_CLOSE said: 0 for a close, else the connection's failure
uint8_t held[HELD_MAX];
uint32_t held_len;
uint32_t held_pos;
uint8_t raw[RAW_MAX];  // receive thread only

// Encoded bytes that a send left unsent (under net_mutex).
uint8_t owed[OUT_MAX];
uint32_t owed_len;
uint8_t out_buf[OUT_MAX];

int wsa_failure()
{
    const int e = WSAGetLastError();
    return e != 0 ? -e : -static_cast<int>(ERROR_GEN_FAILURE);
}

void start_winsock()
{
    WSADATA data;
    wsa_error = WSAStartup(MAKEWORD(2, 2), &data);
}

// Waits up to ms for the socket to have bytes (or its end) to read, or room to send; the
// socket's event record is left alone. True when it has.
bool wait_socket(SOCKET s, bool for_read, uint32_t ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000) * 1000};
    return select(0, for_read ? &set : nullptr, for_read ? nullptr : &set, nullptr, &tv) > 0;
}

// Sends what the socket takes of b[0, n) now; returns the count (0 when it has no room, which
// records FD_WRITE for when it has) or -error.
int send_now(SOCKET s, const uint8_t* b, uint32_t n)
{
    const int w = ::send(s, reinterpret_cast<const char*>(b), static_cast<int>(n), 0);
    if (w != SOCKET_ERROR) {
        return w;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : wsa_failure();
}

// The owed bytes, then the control bytes, as far as the socket takes them now. Returns 1 when
// nothing is left, 0 when some is, -error on a failed send. Under net_mutex.
int flush_some(SOCKET s)
{
    while (owed_len > 0) {
        const int r = send_now(s, owed, owed_len);
        if (r <= 0) {
            return r;
        }
        std::memmove(owed, owed + r, owed_len - static_cast<uint32_t>(r));
        owed_len -= static_cast<uint32_t>(r);
    }
    for (;;) {
        const uint8_t* c = nullptr;
        const uint32_t n = telnet_control(&c);
        if (n == 0) {
            return 1;
        }
        uint8_t copy[TN_CONTROL_SIZE];
        std::memcpy(copy, c, n);
        const int r = send_now(s, copy, n);
        if (r <= 0) {
            return r;
        }
        telnet_control_sent(static_cast<uint32_t>(r));
    }
}

// flush_some, and when bytes are left, the receive thread's wait is told to send them once the
// socket has room. Under net_mutex.
int flush_pending(SOCKET s)
{
    const int r = flush_some(s);
    if (r == 1) {
        pending = false;
    } else if (!pending.exchange(true)) {
        const HANDLE w = wake_event.load();
        if (w != nullptr) {
            (void)SetEvent(w);
        }
    }
    return r;
}

// Encodes and sends buf[0, n) until all went (returns n), the deadline passed or the server
// suspended sending past it (returns the bytes taken, fewer than n), or the send failed
// (-error). Bytes taken are sent or owed. Under net_mutex.
int send_data(SOCKET s, const uint8_t* buf, uint32_t n, uint32_t deadline)
{
    uint32_t done = 0;
    for (;;) {
        if (cancelled.load()) {
            return done > 0 ? static_cast<int>(done) : -static_cast<int>(ERROR_OPERATION_ABORTED);
        }
        const int f = flush_pending(s);
        if (f < 0) {
            return f;
        }
        if (done == n && f == 1) {
            return static_cast<int>(n);
        }
        if (f == 1 && !telnet_suspended()) {
            uint32_t made = 0;
            const uint32_t took = telnet_encode(buf + done, n - done, out_buf, OUT_MAX, &made);
            const int r = send_now(s, out_buf, made);
            if (r < 0) {
                return r;
            }
            std::memcpy(owed, out_buf + r, made - static_cast<uint32_t>(r));
            owed_len = made - static_cast<uint32_t>(r);
            done += took;
            continue;
        }
        const int32_t left = static_cast<int32_t>(deadline - tick_ms());
        if (left <= 0) {
            return static_cast<int>(done);
        }
        const uint32_t slice = static_cast<uint32_t>(left) < SLICE_MS ? left : SLICE_MS;
        if (f == 1) {
            Sleep(slice);  // suspended
        } else {
            (void)wait_socket(s, false, slice);
        }
    }
}

uint32_t write_budget_ms(uint32_t n)
{
    const int32_t baud = net_baud.load();
    const uint64_t rate = baud > 0 ? static_cast<uint64_t>(baud) : 1;
    const uint64_t line_ms =
        (static_cast<uint64_t>(n) * SERIAL_BITS_PER_BYTE * 1000 + rate - 1) / rate;
    const uint64_t ms = line_ms * SERIAL_WRITE_MARGIN + SERIAL_WRITE_SLACK_MS;
    return ms < UINT32_MAX / 2 ? static_cast<uint32_t>(ms) : UINT32_MAX / 2;
}

// A live connection notices a server that stops answering: keep-alive probes after two seconds
// of silence, one a second, three unanswered, and sent bytes not acknowledged, both give up
// within about SERIAL_NET_DEAD_MS. A version of Windows that refuses the count or the send
// limit keeps its own (ten probes; the retransmissions' limit).
void tune(SOCKET s)
{
    BOOL one = TRUE;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    tcp_keepalive ka{1, 2000, 1000};
    DWORD got = 0;
    (void)WSAIoctl(s, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &got, nullptr, nullptr);
    DWORD count = 3;
    (void)setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count),
                     sizeof count);
    DWORD max_rt = SERIAL_NET_DEAD_MS / 1000;
    (void)setsockopt(s, IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&max_rt),
                     sizeof max_rt);
    // Every segment acknowledged at once: a server under Nagle's rule (ser2net's accepter keeps
    // it on) waits for the acknowledgement before it sends the rest of a reply.
    DWORD every = 1;
    (void)WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &every, sizeof every, nullptr, 0, &got, nullptr,
                   nullptr);
}

bool give_up_now()
{
    return cancelled.load() || net_connect_give_up();
}

// Connects to one address by the deadline; returns the socket in *out and 0, or -error.
int connect_one(const addrinfo* a, uint32_t deadline, SOCKET* out)
{
    SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == INVALID_SOCKET) {
        return wsa_failure();
    }
    (void)SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long nonblocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        const int err = wsa_failure();
        closesocket(s);
        return err;
    }
    if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
        *out = s;
        return 0;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
        const int err = wsa_failure();
        closesocket(s);
        return err;
    }
    for (;;) {
        if (give_up_now()) {
            closesocket(s);
            return -static_cast<int>(ERROR_OPERATION_ABORTED);
        }
        const int32_t left = static_cast<int32_t>(deadline - tick_ms());
        if (left <= 0) {
            closesocket(s);
            return -WSAETIMEDOUT;
        }
        const uint32_t slice = static_cast<uint32_t>(left) < SLICE_MS ? left : SLICE_MS;
        // A connect that succeeded makes the socket writable; one that failed marks it in the
        // exception set (Windows) or writable (elsewhere): its error tells which.
        fd_set wr;
        fd_set ex;
        FD_ZERO(&wr);
        FD_ZERO(&ex);
        FD_SET(s, &wr);
        FD_SET(s, &ex);
        timeval tv{0, static_cast<long>(slice) * 1000};
        if (select(0, nullptr, &wr, &ex, &tv) > 0) {
            int err = 0;
            int len = sizeof err;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
                err = WSAGetLastError();
            }
            if (err == 0 && FD_ISSET(s, &wr)) {
                *out = s;
                return 0;
            }
            closesocket(s);
            return err != 0 ? -err : -WSAECONNREFUSED;
        }
    }
}

// Reads what the socket holds now into buf (room bytes) through the telnet engine: the count of
// device bytes, or -error; marks the end of the connection when the server closed it.
int receive_now(SOCKET s, uint8_t* buf, uint32_t room)
{
    const uint32_t want = room < RAW_MAX ? room : RAW_MAX;
    const int r = ::recv(s, reinterpret_cast<char*>(raw), static_cast<int>(want), 0);
    if (r > 0) {
        return static_cast<int>(telnet_receive(raw, static_cast<uint32_t>(r), buf, tick_ms()));
    }
    if (r == 0 || (WSAGetLastError() == WSAEWOULDBLOCK && peer_closed)) {
        // Closed, or the close was seen and nothing more comes: a failure that FD_CLOSE named
        // (a reset, keep-alive unanswered) is said as such.
        ended = true;
        end_error = close_error != 0 ? close_error : WSAECONNRESET;
        if (close_error != 0) {
            telnet_note(false, "net: the connection failed: %s", error_text(-close_error));
        } else {
            telnet_note(false, "net: the server closed the connection");
        }
        return 0;
    }
    if (WSAGetLastError() == WSAEWOULDBLOCK) {
        return 0;
    }
    const int err = wsa_failure();
    ended = true;
    end_error = -err;
    telnet_note(false, "net: the connection failed: %s", error_text(err));
    return err;
}

// The bytes waiting to go (the receive side's answers, what a write left), sent now when no
// write holds the socket: 1 when none is left, 0 when the socket has no room, -1 when a write
// holds it (and sends them itself).
int answer_now(SOCKET s)
{
    std::unique_lock<std::mutex> g(net_mutex, std::try_to_lock);
    if (!g.owns_lock()) {
        return -1;
    }
    return flush_pending(s) == 1 ? 1 : 0;
}

// The server's first bytes, for up to NET_GREETING_MS: a busy answer fails the open; the
// device's bytes are kept for the first reads.
int read_greeting(SOCKET s)
{
    const uint32_t deadline = tick_ms() + NET_GREETING_MS;
    for (;;) {
        answer_now(s);
        const int got = receive_now(s, held + held_len, HELD_MAX - held_len);
        if (got > 0) {
            held_len += static_cast<uint32_t>(got);
        }
        const int busy = net_busy_match(held, held_len);
        if (busy == 2 || (ended && busy == 1 && held_len > 0)) {
            return -FAIL_PORT_BUSY;
        }
        if (ended) {
            return held_len > 0 ? 0 : -end_error;
        }
        if ((held_len > 0 && busy == 0) || held_len == HELD_MAX) {
            return 0;
        }
        const int32_t left = static_cast<int32_t>(deadline - tick_ms());
        if (left <= 0 || cancelled.load()) {
            return 0;
        }
        (void)wait_socket(s, true, static_cast<uint32_t>(left) < SLICE_MS ? left : SLICE_MS);
    }
}

// A wait that failed with err: no loss once the program ends (serial_close may have closed
// the socket under it), else the port's, after the pause.
int wait_failed(int err)
{
    if (cancelled.load()) {
        Sleep(SERIAL_CANCELLED_PAUSE_MS);
        return 0;
    }
    Sleep(SERIAL_HANGUP_PAUSE_MS);
    return err;
}

}  // namespace

int net_open(const char* name)
{
    NetName nn;
    if (!serial_net_name(name, &nn)) {
        return -static_cast<int>(ERROR_INVALID_PARAMETER);
    }
    std::call_once(wsa_once, start_winsock);
    if (wsa_error != 0) {
        return -wsa_error;
    }
    if (wake_event.load() == nullptr) {
        wake_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset
    }
    if (sock_event == WSA_INVALID_EVENT) {
        sock_event = WSACreateEvent();
    }
    if (wake_event.load() == nullptr || sock_event == WSA_INVALID_EVENT) {
        return -static_cast<int>(GetLastError());
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    const int g = getaddrinfo(nn.host, nn.port, &hints, &list);
    if (g != 0) {
        return -g;  // the system's own numbers: WSAHOST_NOT_FOUND and its kin
    }
    const uint32_t deadline = tick_ms() + SERIAL_CONNECT_MS;
    SOCKET s = INVALID_SOCKET;
    int r = -WSAEHOSTUNREACH;
    char where[NI_MAXHOST] = "";
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        r = connect_one(a, deadline, &s);
        if (r == 0) {
            (void)getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), where,
                              sizeof where, nullptr, 0, NI_NUMERICHOST);
            break;
        }
        if (r == -static_cast<int>(ERROR_OPERATION_ABORTED) || r == -WSAETIMEDOUT) {
            break;
        }
    }
    freeaddrinfo(list);
    if (r < 0) {
        return r;
    }
    tune(s);
    // Reads, the server's close and room for sends set sock_event; the socket stays
    // non-blocking.
    (void)WSAResetEvent(sock_event);
    if (WSAEventSelect(s, sock_event, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        const int err = wsa_failure();
        closesocket(s);
        return err;
    }
    ended = false;
    end_error = 0;
    peer_closed = false;
    close_error = 0;
    held_len = 0;
    held_pos = 0;
    stalled = false;
    {
        std::lock_guard<std::mutex> lock(net_mutex);
        owed_len = 0;
        telnet_start(nn.telnet, tick_ms());
        sock = s;
    }
    telnet_note(false, "net: connected to %s port %s (%s)", where, nn.port,
                nn.telnet ? "telnet, com port control" : "raw bytes");
    r = read_greeting(s);
    if (r < 0) {
        std::lock_guard<std::mutex> lock(net_mutex);
        sock = INVALID_SOCKET;
        closesocket(s);
        if (r == -FAIL_PORT_BUSY) {
            telnet_note(false, "net: server says its port is busy");
        }
        return r;
    }
    return 0;
}

int net_set_state(int32_t baud, bool raise_lines)
{
    if (baud <= 0) {
        return -static_cast<int>(ERROR_INVALID_PARAMETER);
    }
    net_baud = baud;
    std::lock_guard<std::mutex> g(net_mutex);
    telnet_settings(baud, raise_lines, tick_ms());
    const SOCKET s = sock.load();
    if (s == INVALID_SOCKET) {
        return -static_cast<int>(ERROR_INVALID_HANDLE);
    }
    const int r = flush_pending(s);
    return r < 0 ? r : 0;
}

void net_set_lines(bool up, uint32_t lock_ms)
{
    std::unique_lock<std::mutex> g(net_mutex, std::defer_lock);
    if (!lock_within(g, lock_ms)) {
        return;
    }
    const SOCKET s = sock.load();
    if (s != INVALID_SOCKET) {
        telnet_lines(up, tick_ms());
        (void)flush_pending(s);
    }
}

int net_wait()
{
    if (cancelled.load()) {
        Sleep(SERIAL_CANCELLED_PAUSE_MS);
        return 0;
    }
    const SOCKET s = sock.load();
    if (s == INVALID_SOCKET) {
        return wait_failed(-static_cast<int>(ERROR_INVALID_HANDLE));
    }
    if (held_pos < held_len) {
        return 1;
    }
    if (ended) {
        return wait_failed(-end_error);
    }
    const uint32_t replies_ms = telnet_check_replies(tick_ms());
    if (telnet_notes_waiting()) {
        return 0;  // for the caller to take them
    }
    // Bytes already there, or the server's close seen and not yet read: FD_READ is recorded
    // again only after a recv, and FD_CLOSE once.
    u_long queued = 0;
    if (peer_closed || (ioctlsocket(s, FIONREAD, &queued) == 0 && queued > 0)) {
        return 1;
    }
    DWORD timeout = replies_ms > 0 ? replies_ms : INFINITE;
    // Bytes that find no room now go when FD_WRITE says the socket has some.
    if (answer_now(s) < 0 && (timeout == INFINITE || timeout > CONTROL_RETRY_MS)) {
        timeout = CONTROL_RETRY_MS;  // a write holds the socket
    }
    const HANDLE events[2] = {sock_event, wake_event.load()};
    const DWORD w = WaitForMultipleObjects(2, events, FALSE, timeout);
    if (w == WAIT_TIMEOUT || w == WAIT_OBJECT_0 + 1) {
        return 0;  // a look at the replies or the bytes waiting to go
    }
    if (w != WAIT_OBJECT_0) {
        return wait_failed(-static_cast<int>(GetLastError()));
    }
    WSANETWORKEVENTS ne{};
    if (WSAEnumNetworkEvents(s, sock_event, &ne) != 0) {
        const int err = wsa_failure();
        if (!cancelled.load()) {
            telnet_note(false, "net: the connection failed: %s", error_text(err));
        }
        return wait_failed(err);
    }
    if ((ne.lNetworkEvents & FD_CLOSE) != 0) {
        peer_closed = true;  // what is still queued is read first; the read then finds the end
        close_error = ne.iErrorCode[FD_CLOSE_BIT];
    }
    return (ne.lNetworkEvents & (FD_READ | FD_CLOSE)) != 0 ? 1 : 0;
}

int net_queued()
{
    if (cancelled.load()) {
        return 0;
    }
    const SOCKET s = sock.load();
    if (s == INVALID_SOCKET) {
        return -static_cast<int>(ERROR_INVALID_HANDLE);
    }
    u_long n = 0;
    if (ioctlsocket(s, FIONREAD, &n) != 0) {
        return wsa_failure();
    }
    const uint32_t held_n = held_len - held_pos;
    if (n == 0 && held_n == 0 && !ended && peer_closed) {
        return 1;  // the server closed the connection (or failed it): a read finds out which
    }
    const uint64_t total = static_cast<uint64_t>(n) + held_n;
    return total < INT_MAX ? static_cast<int>(total) : INT_MAX;
}

int net_read(uint8_t* buf, uint32_t n)
{
    const SOCKET s = sock.load();
    uint32_t done = 0;
    while (held_pos < held_len && done < n) {
        buf[done++] = held[held_pos++];
    }
    if (held_pos == held_len) {
        held_pos = 0;
        held_len = 0;
    }
    if (done < n && s != INVALID_SOCKET && !ended) {
        const int r = receive_now(s, buf + done, n - done);
        if (r < 0 && done == 0) {
            return r;
        }
        if (r > 0) {
            done += static_cast<uint32_t>(r);
        }
        (void)answer_now(s);
    }
    return static_cast<int>(done);
}

int net_write(const uint8_t* buf, uint32_t n)
{
    std::lock_guard<std::mutex> g(net_mutex);
    const SOCKET s = sock.load();
    if (s == INVALID_SOCKET) {
        return -static_cast<int>(ERROR_INVALID_HANDLE);  // lost, not yet back
    }
    const uint32_t deadline = tick_ms() + (stalled.load() ? 0 : write_budget_ms(n));
    const int r = send_data(s, buf, n, deadline);
    if (r < 0) {
        return r;
    }
    if (static_cast<uint32_t>(r) < n) {
        stalled = true;
        return -static_cast<int>(ERROR_TIMEOUT);
    }
    stalled = false;
    return r;
}

int net_write_some(const uint8_t* buf, uint32_t n, uint32_t wait_ms)
{
    std::unique_lock<std::mutex> g(net_mutex, std::defer_lock);
    if (!lock_within(g, wait_ms)) {
        return 0;
    }
    const SOCKET s = sock.load();
    if (s == INVALID_SOCKET) {
        return -static_cast<int>(ERROR_INVALID_HANDLE);
    }
    const int r = send_data(s, buf, n, tick_ms() + wait_ms);
    if (r > 0) {
        stalled = false;  // the server reads again
    }
    return r;
}

void net_close(uint32_t lock_ms)
{
    std::unique_lock<std::mutex> g(net_mutex, std::defer_lock);
    if (!lock_within(g, lock_ms)) {
        return;
    }
    const SOCKET s = sock.exchange(INVALID_SOCKET);
    if (s != INVALID_SOCKET) {
        closesocket(s);  // a socket, never CloseHandle
    }
    owed_len = 0;
    pending = false;
}

void net_name_wait(uint32_t ms)
{
    const uint32_t deadline = tick_ms() + ms;
    for (;;) {
        const int32_t left = static_cast<int32_t>(deadline - tick_ms());
        if (left <= 0 || cancelled.load()) {
            return;
        }
        Sleep(static_cast<uint32_t>(left) < SLICE_MS ? static_cast<DWORD>(left) : SLICE_MS);
    }
}

void net_cancel()
{
    cancelled = true;
    const HANDLE w = wake_event.load();
    if (w != nullptr) {
        (void)SetEvent(w);  // a wait in progress ends now
    }
}

}  // namespace win32
}  // namespace plat
