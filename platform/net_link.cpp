// platform/net_link.cpp: a network port's link without OS contact (see net_link.h): the
// procedures of net.h, on the sockets of the backend's net.cpp.
#include "platform/net_link.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/lock_within.h"
#include "platform/net.h"
#include "platform/serial.h"
#include "platform/telnet.h"

namespace plat
{

namespace
{

constexpr uint32_t RAW_MAX = 4096;   // bytes received at a time
constexpr uint32_t OUT_MAX = 8192;   // bytes encoded at a time
constexpr uint32_t HELD_MAX = 4096;  // device bytes read by the open, handed out first

std::atomic<NetSocket> sock{NET_NO_SOCKET};
std::mutex net_mutex;  // the writes, the control bytes and the owed bytes
std::atomic<bool> cancelled{false};
std::atomic<bool> stalled{false};
std::atomic<int32_t> net_baud{0};
// Owed or control bytes wait for the socket's room: the receive thread's wait sends them when
// it comes. net_os_wake tells the wait that some were left.
std::atomic<bool> pending{false};
// The end of the connection was read (receive thread only), and the open's device bytes.
bool ended;
int end_error;
uint8_t held[HELD_MAX];
uint32_t held_len;
uint32_t held_pos;
uint8_t raw[RAW_MAX];  // receive thread only

// Encoded bytes that a send left unsent (under net_mutex).
uint8_t owed[OUT_MAX];
uint32_t owed_len;
uint8_t out_buf[OUT_MAX];

uint32_t slice(int32_t left)
{
    return static_cast<uint32_t>(left) < NET_SLICE_MS ? static_cast<uint32_t>(left) : NET_SLICE_MS;
}

// The owed bytes, then the control bytes, as far as the socket takes them now. Returns 1 when
// nothing is left, 0 when some is, -err on a failed send. Under net_mutex.
int flush_some(NetSocket s)
{
    while (owed_len > 0) {
        const int r = net_os_send(s, owed, owed_len);
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
        const int r = net_os_send(s, copy, n);
        if (r <= 0) {
            return r;
        }
        telnet_control_sent(static_cast<uint32_t>(r));
    }
}

// flush_some, and when bytes are left, the receive thread's wait is told to send them once the
// socket has room. Under net_mutex.
int flush_pending(NetSocket s)
{
    const int r = flush_some(s);
    if (r == 1) {
        pending = false;
    } else if (!pending.exchange(true)) {
        net_os_wake();
    }
    return r;
}

// Encodes and sends buf[0, n) until all went (returns n), the deadline passed or the server
// suspended sending past it (returns the bytes taken, fewer than n), or the send failed
// (-err). Bytes taken are sent or owed. Under net_mutex.
int send_data(NetSocket s, const uint8_t* buf, uint32_t n, uint32_t deadline)
{
    uint32_t done = 0;
    for (;;) {
        if (cancelled.load()) {
            return done > 0 ? static_cast<int>(done) : -NET_FAIL_CANCELLED;
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
            const int r = net_os_send(s, out_buf, made);
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
        if (f == 1) {
            net_os_pause(slice(left));  // suspended
        } else {
            net_os_wait_writable(s, slice(left));
        }
    }
}

// Reads what the socket holds now into buf (room bytes) through the telnet engine: the count of
// device bytes, or -err; marks the end of the connection when the server closed it.
int receive_now(NetSocket s, uint8_t* buf, uint32_t room)
{
    const uint32_t want = room < RAW_MAX ? room : RAW_MAX;
    bool closed = false;
    int close_error = 0;
    const int r = net_os_recv(s, raw, want, &closed, &close_error);
    if (r > 0) {
        return static_cast<int>(telnet_receive(raw, static_cast<uint32_t>(r), buf, tick_ms()));
    }
    if (closed) {
        // A failure that the close named (a reset, keep-alive unanswered) is said as such.
        ended = true;
        end_error = close_error != 0 ? close_error : NET_FAIL_CLOSED;
        if (close_error != 0) {
            telnet_note(false, "net: the connection failed: %s", error_text(close_error));
        } else {
            telnet_note(false, "net: the server closed the connection");
        }
        return 0;
    }
    if (r == 0) {
        return 0;
    }
    ended = true;
    end_error = -r;
    telnet_note(false, "net: the connection failed: %s", error_text(end_error));
    return r;
}

// The server's first bytes, for up to NET_GREETING_MS: a busy answer fails the open; the
// device's bytes are kept for the first reads.
int read_greeting(NetSocket s)
{
    const uint32_t deadline = tick_ms() + NET_GREETING_MS;
    for (;;) {
        net_answer_now(s);
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
        net_os_wait_readable(s, slice(left));
    }
}

}  // namespace

bool net_cancelled()
{
    return cancelled.load();
}

bool net_give_up_now()
{
    return cancelled.load() || net_connect_give_up();
}

int net_answer_now(NetSocket s)
{
    std::unique_lock<std::mutex> g(net_mutex, std::try_to_lock);
    if (!g.owns_lock()) {
        return -1;
    }
    return flush_pending(s) == 1 ? 1 : 0;
}

int net_wait_failed(int err)
{
    if (cancelled.load()) {
        net_os_pause(SERIAL_CANCELLED_PAUSE_MS);
        return 0;
    }
    net_os_pause(SERIAL_HANGUP_PAUSE_MS);
    return err;
}

int net_open(const char* name)
{
    NetName nn;
    if (!serial_net_name(name, &nn)) {
        return -NET_FAIL_NAME;
    }
    NetSocket s = NET_NO_SOCKET;
    char where[NET_WHERE_MAX] = "";
    int r = net_os_connect(nn, &s, where, sizeof where);
    if (r < 0) {
        return r;
    }
    ended = false;
    end_error = 0;
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
        sock = NET_NO_SOCKET;
        net_os_close(s);
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
        return -NET_FAIL_NAME;
    }
    net_baud = baud;
    std::lock_guard<std::mutex> g(net_mutex);
    telnet_settings(baud, raise_lines, tick_ms());
    const NetSocket s = sock.load();
    if (s == NET_NO_SOCKET) {
        return -NET_FAIL_NOT_OPEN;
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
    const NetSocket s = sock.load();
    if (s != NET_NO_SOCKET) {
        telnet_lines(up, tick_ms());
        (void)flush_pending(s);
    }
}

int net_wait()
{
    if (cancelled.load()) {
        net_os_pause(SERIAL_CANCELLED_PAUSE_MS);
        return 0;
    }
    const NetSocket s = sock.load();
    if (s == NET_NO_SOCKET) {
        return net_wait_failed(-NET_FAIL_NO_SOCKET);
    }
    if (held_pos < held_len) {
        return 1;
    }
    if (ended) {
        return net_wait_failed(-end_error);
    }
    const uint32_t replies_ms = telnet_check_replies(tick_ms());
    if (telnet_notes_waiting()) {
        return 0;  // for the caller to take them
    }
    return net_os_wait(s, replies_ms);
}

int net_queued()
{
    if (cancelled.load()) {
        return 0;
    }
    const NetSocket s = sock.load();
    if (s == NET_NO_SOCKET) {
        return -NET_FAIL_NO_SOCKET;
    }
    const int n = net_os_queued(s);
    if (n < 0) {
        return n;
    }
    const uint32_t held_n = held_len - held_pos;
    if (n == 0 && held_n == 0 && !ended && net_os_end_seen(s)) {
        return 1;  // the server closed the connection (or failed it): a read finds out which
    }
    const uint64_t total = static_cast<uint64_t>(n) + held_n;
    return total < INT_MAX ? static_cast<int>(total) : INT_MAX;
}

int net_read(uint8_t* buf, uint32_t n)
{
    const NetSocket s = sock.load();
    uint32_t done = 0;
    while (held_pos < held_len && done < n) {
        buf[done++] = held[held_pos++];
    }
    if (held_pos == held_len) {
        held_pos = 0;
        held_len = 0;
    }
    if (done < n && s != NET_NO_SOCKET && !ended) {
        const int r = receive_now(s, buf + done, n - done);
        if (r < 0 && done == 0) {
            return r;
        }
        if (r > 0) {
            done += static_cast<uint32_t>(r);
        }
        (void)net_answer_now(s);
    }
    return static_cast<int>(done);
}

int net_write(const uint8_t* buf, uint32_t n)
{
    std::lock_guard<std::mutex> g(net_mutex);
    const NetSocket s = sock.load();
    if (s == NET_NO_SOCKET) {
        return -NET_FAIL_NOT_OPEN;  // lost, not yet back
    }
    const uint32_t deadline =
        tick_ms() + (stalled.load() ? 0 : serial_write_budget_ms(net_baud.load(), n));
    const int r = send_data(s, buf, n, deadline);
    if (r < 0) {
        return r;
    }
    if (static_cast<uint32_t>(r) < n) {
        stalled = true;
        return -NET_FAIL_TIMEOUT;
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
    const NetSocket s = sock.load();
    if (s == NET_NO_SOCKET) {
        return -NET_FAIL_NOT_OPEN;
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
    const NetSocket s = sock.exchange(NET_NO_SOCKET);
    if (s != NET_NO_SOCKET) {
        net_os_close(s);
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
        net_os_pause(slice(left));
    }
}

void net_cancel()
{
    cancelled = true;
    net_os_cancel();
}

}  // namespace plat
