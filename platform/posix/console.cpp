// platform/posix/console.cpp: the console on Linux. Keys: standard input, raw when it is a
// terminal, decoded by keydecode; SIGTERM, SIGINT and SIGHUP arrive as an End key through a
// self-pipe. Output: standard output, unbuffered, one mutex keeping the order of the calls.
#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/keydecode.h"

namespace plat
{

namespace
{

constexpr int ESC_PAUSE_MS = 50;  // a lone ESC followed by this much silence is the Esc key
constexpr int PENDING_MAX = 256;  // decoded events waiting for the next read
constexpr int READ_MAX = 64;      // bytes read from standard input at a time

std::mutex out_mutex;
bool in_is_tty;
bool saved_valid;
termios saved_mode;
bool input_ended;
int signal_pipe[2] = {-1, -1};
volatile std::sig_atomic_t signal_seen;

KeyEvent pending[PENDING_MAX];  // console thread only
int pending_count;

void on_signal(int)
{
    signal_seen = 1;
    char b = 1;
    (void)!write(signal_pipe[1], &b, 1);
}

void write_all(const void* buf, size_t n)
{
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = ::write(STDOUT_FILENO, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                pollfd pf{STDOUT_FILENO, POLLOUT, 0};
                (void)poll(&pf, 1, 100);
                continue;
            }
            return;  // the console is gone: nothing to show it on
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void push_pending(const KeyEvent* ev, int n)
{
    for (int i = 0; i < n && pending_count < PENDING_MAX; ++i) {
        pending[pending_count++] = ev[i];
    }
}

int take_pending(KeyEvent* ev, int max)
{
    int n = pending_count < max ? pending_count : max;
    for (int i = 0; i < n; ++i) {
        ev[i] = pending[i];
    }
    for (int i = n; i < pending_count; ++i) {
        pending[i - n] = pending[i];
    }
    pending_count -= n;
    return n;
}

}  // namespace

void console_init()
{
    keydecode_init();
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction sa = {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    in_is_tty = isatty(STDIN_FILENO) != 0;
    if (in_is_tty && tcgetattr(STDIN_FILENO, &saved_mode) == 0) {
        saved_valid = true;
        std::atexit(console_restore);
        termios t = saved_mode;
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | ISIG | IEXTEN);
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &t);
    }
}

void console_restore()
{
    if (saved_valid) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
    }
}

void console_flush_input()
{
    // Keys typed while the last batch was handled are dropped. Input that is not a terminal is
    // a script of keys, not typing: nothing of it is dropped.
    if (in_is_tty) {
        pending_count = 0;
        (void)tcflush(STDIN_FILENO, TCIFLUSH);
    }
}

int console_read_keys(KeyEvent* ev, int max)
{
    for (;;) {
        if (signal_seen != 0) {
            ev[0] = KeyEvent{1, KEY_END, 0, 0};
            return 1;
        }
        if (pending_count > 0) {
            return take_pending(ev, max);
        }
        pollfd p[2] = {{signal_pipe[0], POLLIN, 0}, {input_ended ? -1 : STDIN_FILENO, POLLIN, 0}};
        int timeout = keydecode_pending() ? ESC_PAUSE_MS : -1;
        int r = poll(p, 2, timeout);
        if (r < 0) {
            continue;  // EINTR: the signal flag is looked at above
        }
        KeyEvent got[KEYDECODE_MAX_EVENTS];
        if (r == 0) {
            push_pending(got, keydecode_idle(got));
            continue;
        }
        if ((p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            uint8_t buf[READ_MAX];
            ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                // End of input: the program goes on serving the device until a signal.
                input_ended = true;
                push_pending(got, keydecode_idle(got));
                continue;
            }
            for (ssize_t i = 0; i < n; ++i) {
                push_pending(got, keydecode_byte(buf[i], got));
            }
        }
    }
}

void console_print(const char* fmt, ...)
{
    char buf[8192];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n <= 0) {
        return;
    }
    size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
    std::lock_guard<std::mutex> g(out_mutex);
    write_all(buf, len);
}

void console_write(const void* buf, size_t n)
{
    std::lock_guard<std::mutex> g(out_mutex);
    write_all(buf, n);
}

void console_putc(uint8_t c)
{
    std::lock_guard<std::mutex> g(out_mutex);
    write_all(&c, 1);
}

void console_clear()
{
    static const char clear[] = "\x1b[H\x1b[2J";
    std::lock_guard<std::mutex> g(out_mutex);
    write_all(clear, sizeof clear - 1);
}

}  // namespace plat
