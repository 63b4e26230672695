// platform/posix/net.cpp: a network port on Linux: a TCP socket to a serial port server,
// telnet with the com port control option or raw bytes (platform/telnet.h), behind the same
// procedures as a tty (serial.cpp hands a network port's calls here). The socket is
// non-blocking; the receive thread waits for it with poll(); writes are serialised under a
// mutex. A send cut short leaves the rest of its encoded bytes owed, to go first with the next
// one, so that the telnet stream is never broken in the middle of a command or a doubled IAC.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/lock_within.h"
#include "platform/serial.h"
#include "platform/telnet.h"

namespace plat
{
namespace posix
{

namespace
{

constexpr int SLICE_MS = 50;          // waits look for serial_cancel and give-ups this often
constexpr uint32_t RAW_MAX = 4096;    // bytes received at a time
constexpr uint32_t OUT_MAX = 8192;    // bytes encoded at a time
constexpr uint32_t HELD_MAX = 4096;   // device bytes read by the open, handed out first
constexpr int CONTROL_RETRY_MS = 20;  // the wait's look at control bytes that could not go

std::atomic<int> sock{-1};
std::mutex net_mutex;  // the writes, the control bytes and the owed bytes
std::atomic<bool> cancelled{false};
std::atomic<bool> stalled{false};
std::atomic<int32_t> net_baud{0};
// Owed or control bytes wait for the socket's room: the receive thread's wait sends them when
// it comes. wake_fd tells the wait that some were left.
std::atomic<bool> pending{false};
std::atomic<int> wake_fd{-1};
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

void pause_ms(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Sends what the socket takes of b[0, n) now; returns the count or -errno.
int send_now(int fd, const uint8_t* b, uint32_t n)
{
    for (;;) {
        ssize_t w = ::send(fd, b, n, MSG_NOSIGNAL);
        if (w >= 0) {
            return static_cast<int>(w);
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -errno;
    }
}

// The owed bytes, then the control bytes, as far as the socket takes them now. Returns 1 when
// nothing is left, 0 when some is, -errno on a failed send. Under net_mutex.
int flush_some(int fd)
{
    while (owed_len > 0) {
        const int r = send_now(fd, owed, owed_len);
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
        const int r = send_now(fd, copy, n);
        if (r <= 0) {
            return r;
        }
        telnet_control_sent(static_cast<uint32_t>(r));
    }
}

// flush_some, and when bytes are left, the receive thread's wait is told to send them once the
// socket has room. Under net_mutex.
int flush_pending(int fd)
{
    const int r = flush_some(fd);
    if (r == 1) {
        pending = false;
    } else if (!pending.exchange(true) && wake_fd.load() >= 0) {
        const uint64_t one = 1;
        (void)!::write(wake_fd.load(), &one, sizeof one);
    }
    return r;
}

// Waits up to ms for the socket to take bytes.
void wait_writable(int fd, int ms)
{
    pollfd p{fd, POLLOUT, 0};
    (void)poll(&p, 1, ms);
}

// Encodes and sends buf[0, n) until all went (returns n), the deadline passed or the server
// suspended sending past it (returns the bytes taken, fewer than n), or the send failed
// (-errno). Bytes taken are sent or owed. Under net_mutex.
int send_data(int fd, const uint8_t* buf, uint32_t n, uint32_t deadline)
{
    uint32_t done = 0;
    for (;;) {
        if (cancelled.load()) {
            return done > 0 ? static_cast<int>(done) : -ECANCELED;
        }
        const int f = flush_pending(fd);
        if (f < 0) {
            return f;
        }
        if (done == n && f == 1) {
            return static_cast<int>(n);
        }
        if (f == 1 && !telnet_suspended()) {
            uint32_t made = 0;
            const uint32_t took = telnet_encode(buf + done, n - done, out_buf, OUT_MAX, &made);
            const int r = send_now(fd, out_buf, made);
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
            pause_ms(static_cast<uint32_t>(left < SLICE_MS ? left : SLICE_MS));  // suspended
        } else {
            wait_writable(fd, left < SLICE_MS ? left : SLICE_MS);
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

// A live connection notices a server that stops answering: keep-alive probes after a second
// and a half of silence, and sent bytes not acknowledged, both give up within SERIAL_NET_DEAD_MS.
void tune(int fd)
{
    int one = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = 2;
    int interval = 1;
    int count = 3;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    unsigned int user_ms = SERIAL_NET_DEAD_MS;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_ms, sizeof user_ms);
}

bool give_up_now()
{
    return cancelled.load() || net_connect_give_up();
}

// Connects to one address by the deadline; returns the socket or -errno.
int connect_one(const addrinfo* a, uint32_t deadline)
{
    int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
        return -errno;
    }
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
        return fd;
    }
    if (errno != EINPROGRESS) {
        const int err = errno;
        ::close(fd);
        return -err;
    }
    for (;;) {
        if (give_up_now()) {
            ::close(fd);
            return -ECANCELED;
        }
        const int32_t left = static_cast<int32_t>(deadline - tick_ms());
        if (left <= 0) {
            ::close(fd);
            return -ETIMEDOUT;
        }
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, left < SLICE_MS ? left : SLICE_MS) > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
                err = errno;
            }
            if (err == 0) {
                return fd;
            }
            ::close(fd);
            return -err;
        }
    }
}

// Reads what the socket holds now into buf (room bytes) through the telnet engine: the count of
// device bytes, or -errno; marks the end of the connection when the server closed it.
int receive_now(int fd, uint8_t* buf, uint32_t room)
{
    const uint32_t want = room < RAW_MAX ? room : RAW_MAX;
    for (;;) {
        ssize_t r = ::recv(fd, raw, want, 0);
        if (r > 0) {
            // Each segment acknowledged at once: a server that waits for the acknowledgement
            // before it sends the rest of a reply (Nagle's rule; ser2net's accepter keeps it on)
            // would otherwise wait out the delayed acknowledgement, up to 40 ms an exchange.
            int one = 1;
            (void)setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            return static_cast<int>(telnet_receive(raw, static_cast<uint32_t>(r), buf, tick_ms()));
        }
        if (r == 0) {
            ended = true;
            end_error = ECONNRESET;
            telnet_note(false, "net: the server closed the connection");
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        ended = true;
        end_error = errno;
        telnet_note(false, "net: the connection failed: %s", error_text(end_error));
        return -end_error;
    }
}

// The bytes waiting to go (the receive side's answers, what a write left), sent now when no
// write holds the socket: 1 when none is left, 0 when the socket has no room, -1 when a write
// holds it (and sends them itself).
int answer_now(int fd)
{
    std::unique_lock<std::mutex> g(net_mutex, std::try_to_lock);
    if (!g.owns_lock()) {
        return -1;
    }
    return flush_pending(fd) == 1 ? 1 : 0;
}

// The server's first bytes, for up to NET_GREETING_MS: a busy answer fails the open; the
// device's bytes are kept for the first reads.
int read_greeting(int fd)
{
    const uint32_t deadline = tick_ms() + NET_GREETING_MS;
    for (;;) {
        answer_now(fd);
        const int got = receive_now(fd, held + held_len, HELD_MAX - held_len);
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
        pollfd p{fd, POLLIN, 0};
        (void)poll(&p, 1, left < SLICE_MS ? left : SLICE_MS);
    }
}

}  // namespace

int net_open(const char* name)
{
    NetName nn;
    if (!serial_net_name(name, &nn)) {
        return -EINVAL;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    const int g = getaddrinfo(nn.host, nn.port, &hints, &list);
    if (g != 0) {
        return g == EAI_SYSTEM ? -errno : -ENXIO;  // no such host
    }
    const uint32_t deadline = tick_ms() + SERIAL_CONNECT_MS;
    int fd = -EHOSTUNREACH;
    char where[INET6_ADDRSTRLEN] = "";
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        fd = connect_one(a, deadline);
        if (fd >= 0 || fd == -ECANCELED || fd == -ETIMEDOUT) {
            if (fd >= 0) {
                const void* addr =
                    a->ai_family == AF_INET6
                        ? static_cast<const void*>(
                              &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr)
                        : static_cast<const void*>(
                              &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
                (void)inet_ntop(a->ai_family, addr, where, sizeof where);
            }
            break;
        }
    }
    freeaddrinfo(list);
    if (fd < 0) {
        return fd;
    }
    tune(fd);
    if (wake_fd.load() < 0) {
        wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
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
        sock = fd;
    }
    telnet_note(false, "net: connected to %s port %s (%s)", where, nn.port,
                nn.telnet ? "telnet, com port control" : "raw bytes");
    const int r = read_greeting(fd);
    if (r < 0) {
        std::lock_guard<std::mutex> lock(net_mutex);
        sock = -1;
        ::close(fd);
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
        return -EINVAL;
    }
    net_baud = baud;
    std::lock_guard<std::mutex> g(net_mutex);
    telnet_settings(baud, raise_lines, tick_ms());
    const int fd = sock.load();
    return fd < 0 ? -EIO : (flush_pending(fd) < 0 ? -EIO : 0);
}

void net_set_lines(bool up, uint32_t lock_ms)
{
    std::unique_lock<std::mutex> g(net_mutex, std::defer_lock);
    if (!lock_within(g, lock_ms)) {
        return;
    }
    const int fd = sock.load();
    if (fd >= 0) {
        telnet_lines(up, tick_ms());
        (void)flush_pending(fd);
    }
}

int net_wait()
{
    if (cancelled.load()) {
        pause_ms(SERIAL_CANCELLED_PAUSE_MS);
        return 0;
    }
    const int fd = sock.load();
    if (fd < 0) {
        pause_ms(SERIAL_HANGUP_PAUSE_MS);
        return -EBADF;
    }
    if (held_pos < held_len) {
        return 1;
    }
    if (ended) {
        pause_ms(SERIAL_HANGUP_PAUSE_MS);
        return -end_error;
    }
    const uint32_t replies_ms = telnet_check_replies(tick_ms());
    if (telnet_notes_waiting()) {
        return 0;  // for the caller to take them
    }
    int timeout = replies_ms > 0 ? static_cast<int>(replies_ms) : -1;
    short events = POLLIN;
    const int sent = answer_now(fd);
    if (sent == 0) {
        events |= POLLOUT;  // the socket's room sends them
    } else if (sent < 0 && (timeout < 0 || timeout > CONTROL_RETRY_MS)) {
        timeout = CONTROL_RETRY_MS;
    }
    pollfd ps[2] = {{fd, events, 0}, {wake_fd.load(), POLLIN, 0}};
    const int r = poll(ps, 2, timeout);
    if (r <= 0) {
        return 0;  // a look at the replies or the bytes waiting to go; EINTR
    }
    if (ps[1].revents != 0) {
        uint64_t count = 0;
        (void)!::read(wake_fd.load(), &count, sizeof count);
    }
    const pollfd& p = ps[0];
    if ((p.revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) == 0) {
        return 0;  // room for the bytes waiting, or bytes left by a write: sent by the next wait
    }
    if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0) {
        int err = 0;
        socklen_t len = sizeof err;
        (void)getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        err = err != 0 ? err : ECONNRESET;
        telnet_note(false, "net: the connection failed: %s", error_text(err));
        pause_ms(SERIAL_HANGUP_PAUSE_MS);
        return -err;
    }
    return 1;
}

int net_queued()
{
    if (cancelled.load()) {
        return 0;
    }
    const int fd = sock.load();
    if (fd < 0) {
        return -EBADF;
    }
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) {
        return -errno;
    }
    const int held_n = static_cast<int>(held_len - held_pos);
    if (n == 0 && held_n == 0 && !ended) {
        // Readable with nothing queued: the server closed the connection (or failed it); a
        // read finds out which.
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0) {
            return 1;
        }
    }
    return n + held_n;
}

int net_read(uint8_t* buf, uint32_t n)
{
    const int fd = sock.load();
    uint32_t done = 0;
    while (held_pos < held_len && done < n) {
        buf[done++] = held[held_pos++];
    }
    if (held_pos == held_len) {
        held_pos = 0;
        held_len = 0;
    }
    if (done < n && fd >= 0 && !ended) {
        const int r = receive_now(fd, buf + done, n - done);
        if (r < 0 && done == 0) {
            return r;
        }
        if (r > 0) {
            done += static_cast<uint32_t>(r);
        }
        (void)answer_now(fd);
    }
    return static_cast<int>(done);
}

int net_write(const uint8_t* buf, uint32_t n)
{
    std::lock_guard<std::mutex> g(net_mutex);
    const int fd = sock.load();
    if (fd < 0) {
        return -EIO;
    }
    const uint32_t deadline = tick_ms() + (stalled.load() ? 0 : write_budget_ms(n));
    const int r = send_data(fd, buf, n, deadline);
    if (r < 0) {
        return r;
    }
    if (static_cast<uint32_t>(r) < n) {
        stalled = true;
        return -ETIMEDOUT;
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
    const int fd = sock.load();
    if (fd < 0) {
        return -EIO;
    }
    const int r = send_data(fd, buf, n, tick_ms() + wait_ms);
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
    const int fd = sock.exchange(-1);
    if (fd >= 0) {
        ::close(fd);
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
        pause_ms(static_cast<uint32_t>(left < SLICE_MS ? left : SLICE_MS));
    }
}

void net_cancel()
{
    cancelled = true;
}

}  // namespace posix
}  // namespace plat
