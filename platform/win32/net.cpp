// platform/win32/net.cpp: a network port's contact with Windows (platform/net_link.h): a
// non-blocking Winsock TCP socket to a serial port server, connected and tuned here, its sends
// and receives, and the receive thread's wait. WSAEventSelect ties the socket's reads, its close
// and its room for sends to one event, which the wait takes together with a wake event in one
// WaitForMultipleObjects, as it waits for a COM port's overlapped events. Writes wait for room
// with select(). Errors are -WSAGetLastError().
// winsock2.h first: windows.h would bring in the old winsock.h.
#include <winsock2.h>

#include <mstcpip.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/net_link.h"
#include "platform/serial.h"
#include "platform/telnet.h"

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

const int NET_FAIL_NAME = ERROR_INVALID_PARAMETER;
const int NET_FAIL_CANCELLED = ERROR_OPERATION_ABORTED;
const int NET_FAIL_TIMEOUT = ERROR_TIMEOUT;
const int NET_FAIL_NOT_OPEN = ERROR_INVALID_HANDLE;  // lost, not yet back
const int NET_FAIL_NO_SOCKET = ERROR_INVALID_HANDLE;
const int NET_FAIL_CLOSED = WSAECONNRESET;

namespace
{

std::once_flag wsa_once;
int wsa_error;  // WSAStartup's failure, or 0

// The wake event tells the wait that owed or control bytes were left (they go when FD_WRITE,
// recorded after a send that found no room, says the socket has some), and that the program
// ends.
std::atomic<HANDLE> wake_event{nullptr};
// The socket's network events (WSAEventSelect): made once, receive thread's wait only.
WSAEVENT sock_event = WSA_INVALID_EVENT;
// The server's close was seen (receive thread only).
bool peer_closed;
int close_error;  // what FD_CLOSE said: 0 for a close, else the connection's failure

SOCKET socket_of(NetSocket s)
{
    return static_cast<SOCKET>(s);
}

uint32_t slice_of(int32_t left)
{
    return static_cast<uint32_t>(left) < NET_SLICE_MS ? static_cast<uint32_t>(left) : NET_SLICE_MS;
}

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
        if (net_give_up_now()) {
            closesocket(s);
            return -static_cast<int>(ERROR_OPERATION_ABORTED);
        }
        const int32_t left = static_cast<int32_t>(deadline - tick_ms());
        if (left <= 0) {
            closesocket(s);
            return -WSAETIMEDOUT;
        }
        const uint32_t slice = slice_of(left);
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

}  // namespace

int net_os_connect(const NetName& nn, NetSocket* out, char* where, uint32_t size)
{
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
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        r = connect_one(a, deadline, &s);
        if (r == 0) {
            (void)getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), where,
                              static_cast<DWORD>(size), nullptr, 0, NI_NUMERICHOST);
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
    peer_closed = false;
    close_error = 0;
    *out = static_cast<NetSocket>(s);
    return 0;
}

int net_os_send(NetSocket s, const uint8_t* b, uint32_t n)
{
    // No room records FD_WRITE for when there is some.
    const int w = ::send(socket_of(s), reinterpret_cast<const char*>(b), static_cast<int>(n), 0);
    if (w != SOCKET_ERROR) {
        return w;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : wsa_failure();
}

int net_os_recv(NetSocket s, uint8_t* b, uint32_t n, bool* closed, int* close_error_out)
{
    const int r = ::recv(socket_of(s), reinterpret_cast<char*>(b), static_cast<int>(n), 0);
    if (r > 0) {
        return r;
    }
    if (r == 0 || (WSAGetLastError() == WSAEWOULDBLOCK && peer_closed)) {
        // Closed, or the close was seen and nothing more comes.
        *closed = true;
        *close_error_out = close_error;
        return 0;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : wsa_failure();
}

int net_os_queued(NetSocket s)
{
    u_long n = 0;
    if (ioctlsocket(socket_of(s), FIONREAD, &n) != 0) {
        return wsa_failure();
    }
    return n < INT_MAX ? static_cast<int>(n) : INT_MAX;
}

bool net_os_end_seen(NetSocket)
{
    return peer_closed;
}

void net_os_wait_writable(NetSocket s, uint32_t ms)
{
    (void)wait_socket(socket_of(s), false, ms);
}

void net_os_wait_readable(NetSocket s, uint32_t ms)
{
    (void)wait_socket(socket_of(s), true, ms);
}

int net_os_wait(NetSocket ns, uint32_t replies_ms)
{
    const SOCKET s = socket_of(ns);
    // Bytes already there, or the server's close seen and not yet read: FD_READ is recorded
    // again only after a recv, and FD_CLOSE once.
    u_long queued = 0;
    if (peer_closed || (ioctlsocket(s, FIONREAD, &queued) == 0 && queued > 0)) {
        return 1;
    }
    DWORD timeout = replies_ms > 0 ? replies_ms : INFINITE;
    // Bytes that find no room now go when FD_WRITE says the socket has some.
    if (net_answer_now(ns) < 0 && (timeout == INFINITE || timeout > NET_CONTROL_RETRY_MS)) {
        timeout = NET_CONTROL_RETRY_MS;  // a write holds the socket
    }
    const HANDLE events[2] = {sock_event, wake_event.load()};
    const DWORD w = WaitForMultipleObjects(2, events, FALSE, timeout);
    if (w == WAIT_TIMEOUT || w == WAIT_OBJECT_0 + 1) {
        return 0;  // a look at the replies or the bytes waiting to go
    }
    if (w != WAIT_OBJECT_0) {
        return net_wait_failed(-static_cast<int>(GetLastError()));
    }
    WSANETWORKEVENTS ne{};
    if (WSAEnumNetworkEvents(s, sock_event, &ne) != 0) {
        const int err = wsa_failure();
        if (!net_cancelled()) {
            telnet_note(false, "net: the connection failed: %s", error_text(err));
        }
        return net_wait_failed(err);
    }
    if ((ne.lNetworkEvents & FD_CLOSE) != 0) {
        peer_closed = true;  // what is still queued is read first; the read then finds the end
        close_error = ne.iErrorCode[FD_CLOSE_BIT];
    }
    return (ne.lNetworkEvents & (FD_READ | FD_CLOSE)) != 0 ? 1 : 0;
}

void net_os_wake()
{
    const HANDLE w = wake_event.load();
    if (w != nullptr) {
        (void)SetEvent(w);
    }
}

void net_os_cancel()
{
    net_os_wake();  // a wait in progress ends now
}

void net_os_pause(uint32_t ms)
{
    Sleep(ms);
}

void net_os_close(NetSocket s)
{
    closesocket(socket_of(s));  // a socket, never CloseHandle
}

}  // namespace plat
