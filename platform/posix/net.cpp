// platform/posix/net.cpp: a network port's contact with Linux (platform/net_link.h): a
// non-blocking TCP socket to a serial port server, connected and tuned here, its sends and
// receives, the receive thread's poll() on it and on an eventfd that a write sets when it leaves
// bytes for the wait to send. Errors are -errno.
#include <arpa/inet.h>
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
#include <cstdint>
#include <thread>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/net_link.h"
#include "platform/serial.h"
#include "platform/telnet.h"

namespace plat
{

const int NET_FAIL_NAME = EINVAL;
const int NET_FAIL_CANCELLED = ECANCELED;
const int NET_FAIL_TIMEOUT = ETIMEDOUT;
const int NET_FAIL_NOT_OPEN = EIO;
const int NET_FAIL_NO_SOCKET = EBADF;
const int NET_FAIL_CLOSED = ECONNRESET;

namespace
{

// Tells the wait that owed or control bytes were left.
std::atomic<int> wake_fd{-1};

int fd_of(NetSocket s)
{
    return static_cast<int>(s);
}

int slice_of(int32_t left)
{
    return left < static_cast<int32_t>(NET_SLICE_MS) ? left : static_cast<int>(NET_SLICE_MS);
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
        if (net_give_up_now()) {
            ::close(fd);
            return -ECANCELED;
        }
        const int32_t left = static_cast<int32_t>(deadline - tick_ms());
        if (left <= 0) {
            ::close(fd);
            return -ETIMEDOUT;
        }
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, slice_of(left)) > 0) {
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

}  // namespace

int net_os_connect(const NetName& nn, NetSocket* out, char* where, uint32_t size)
{
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
                (void)inet_ntop(a->ai_family, addr, where, size);
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
    *out = fd;
    return 0;
}

int net_os_send(NetSocket s, const uint8_t* b, uint32_t n)
{
    for (;;) {
        ssize_t w = ::send(fd_of(s), b, n, MSG_NOSIGNAL);
        if (w >= 0) {
            return static_cast<int>(w);
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -errno;
    }
}

int net_os_recv(NetSocket s, uint8_t* b, uint32_t n, bool* closed, int* close_error)
{
    const int fd = fd_of(s);
    for (;;) {
        ssize_t r = ::recv(fd, b, n, 0);
        if (r > 0) {
            // Each segment acknowledged at once: a server that waits for the acknowledgement
            // before it sends the rest of a reply (Nagle's rule; ser2net's accepter keeps it on)
            // would otherwise wait out the delayed acknowledgement, up to 40 ms an exchange.
            int one = 1;
            (void)setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            return static_cast<int>(r);
        }
        if (r == 0) {
            *closed = true;
            *close_error = 0;
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -errno;
    }
}

int net_os_queued(NetSocket s)
{
    int n = 0;
    return ioctl(fd_of(s), FIONREAD, &n) != 0 ? -errno : n;
}

bool net_os_end_seen(NetSocket s)
{
    // Readable with nothing queued: the server closed the connection (or failed it).
    pollfd p{fd_of(s), POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

void net_os_wait_writable(NetSocket s, uint32_t ms)
{
    pollfd p{fd_of(s), POLLOUT, 0};
    (void)poll(&p, 1, static_cast<int>(ms));
}

void net_os_wait_readable(NetSocket s, uint32_t ms)
{
    pollfd p{fd_of(s), POLLIN, 0};
    (void)poll(&p, 1, static_cast<int>(ms));
}

int net_os_wait(NetSocket s, uint32_t replies_ms)
{
    const int fd = fd_of(s);
    int timeout = replies_ms > 0 ? static_cast<int>(replies_ms) : -1;
    short events = POLLIN;
    const int sent = net_answer_now(s);
    if (sent == 0) {
        events |= POLLOUT;  // the socket's room sends them
    } else if (sent < 0 && (timeout < 0 || timeout > static_cast<int>(NET_CONTROL_RETRY_MS))) {
        timeout = static_cast<int>(NET_CONTROL_RETRY_MS);
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
        net_os_pause(SERIAL_HANGUP_PAUSE_MS);
        return -err;
    }
    return 1;
}

void net_os_wake()
{
    if (wake_fd.load() >= 0) {
        const uint64_t one = 1;
        (void)!::write(wake_fd.load(), &one, sizeof one);
    }
}

void net_os_cancel()
{
    // Nothing to tell: the poll ends at its next byte or time-out, and the wait then pauses.
}

void net_os_pause(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void net_os_close(NetSocket s)
{
    ::close(fd_of(s));
}

}  // namespace plat
