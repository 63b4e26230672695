// platform/posix/console.cpp: the console on Linux. Keys: standard input, raw when it is a
// terminal, decoded by keydecode; SIGTERM, SIGINT and SIGHUP arrive as an End key through a
// self-pipe. Output: standard output, unbuffered, one mutex keeping the order of the calls.
// Where the terminal's only output processing is NL to CR NL (the usual setting), the program
// does that itself and turns the terminal's off: the kernel then takes each write whole instead
// of in pieces between line ends, and a console that shows much device text keeps up with it.
// Once the program ends, console output has a deadline (console_ending).
#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/keydecode.h"

namespace plat
{

namespace
{

constexpr int ESC_PAUSE_MS = 50;  // a lone ESC followed by this much silence is the Esc key
constexpr int READ_MAX = 64;      // bytes read from standard input at a time

constexpr int OUT_SLICE_MS = 100;  // a write that finds the console full looks again this often
// From End or a signal on, a write still blocked this long after it, or blocked for a slice
// after that, is dropped: the console's last chance to drain.
constexpr int END_GRACE_MS = 500;

using Clock = std::chrono::steady_clock;

std::mutex out_mutex;
int out_fd = STDOUT_FILENO;  // under out_mutex; see out_open
std::atomic<bool> out_given_up{false};
std::atomic<Clock::rep> out_deadline{0};  // End or a signal + END_GRACE_MS, 0 before either
thread_local bool on_console_thread;      // the thread that called console_init
bool in_is_tty;
bool saved_valid;
termios saved_mode;
bool out_saved_valid;
termios out_saved_mode;
std::atomic<bool> out_add_cr;  // each NL goes out as CR NL
char out_buf[8192];            // one write's worth of CR NL output, under out_mutex
bool input_ended;
int signal_pipe[2] = {-1, -1};
std::atomic<int> signal_seen{0};  // lock-free: set by the signal handler, read by any thread

// Console thread only: decoded events waiting for the next read, and when the decoder's open
// sequence got its last byte.
KeyQueue pending;
Clock::time_point pending_since;

void on_signal(int /*sig*/)
{
    signal_seen = 1;
    char b = 1;
    (void)!write(signal_pipe[1], &b, 1);
}

void input_take();

// Arms the deadline of console output, once.
void ending_arm()
{
    Clock::rep none = 0;
    const Clock::rep at =
        (Clock::now() + std::chrono::milliseconds(END_GRACE_MS)).time_since_epoch().count();
    (void)out_deadline.compare_exchange_strong(none, at);
}

// Milliseconds a write blocked since `since` may still wait before it is dropped (0: now), or
// -1 while the program is not ending.
int blocked_ms_left(Clock::time_point since)
{
    const Clock::rep d = out_deadline.load();
    if (d == 0) {
        return -1;
    }
    const Clock::time_point give_up = std::max(Clock::time_point(Clock::duration(d)),
                                               since + std::chrono::milliseconds(OUT_SLICE_MS));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits up to OUT_SLICE_MS for room on the console. Meanwhile a signal, and on the console
// thread an End typed, arm the deadline: the console thread may be the writer that waits.
void wait_for_room(int ms)
{
    const bool watch = out_deadline.load() == 0;
    const bool keys = watch && on_console_thread && !input_ended &&
                      keyqueue_room(&pending) >= KEYDECODE_MAX_EVENTS;
    pollfd p[3] = {{out_fd, POLLOUT, 0},
                   {watch ? signal_pipe[0] : -1, POLLIN, 0},
                   {keys ? STDIN_FILENO : -1, POLLIN, 0}};
    (void)poll(p, 3, ms);
    if ((p[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        input_take();  // the keys wait in the queue, in order, for the console loop
    }
    if (signal_seen != 0 || (on_console_thread && keyqueue_has_end(&pending))) {
        ending_arm();
    }
}

void write_all(const void* buf, size_t n)
{
    const char* p = static_cast<const char*>(buf);
    bool blocked = false;
    Clock::time_point blocked_since;
    while (n > 0) {
        ssize_t w = ::write(out_fd, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                if (out_given_up.load()) {
                    return;  // nobody reads the console, and the program ends
                }
                if (!blocked) {
                    blocked = true;
                    blocked_since = Clock::now();
                }
                const int left = blocked_ms_left(blocked_since);
                if (left == 0) {
                    out_given_up = true;  // the console did not drain in time: the rest is dropped
                    return;
                }
                wait_for_room(left > 0 && left < OUT_SLICE_MS ? left : OUT_SLICE_MS);
                continue;
            }
            return;  // the console is gone: nothing to show it on
        }
        p += w;
        n -= static_cast<size_t>(w);
        blocked = false;
    }
}

// Output to a terminal or a pipe goes through a description of its own, opened non-blocking, so
// that a write waiting for a console nobody reads can give up at the end of the program.
// Standard output's own description is shared with the shell, and is left as it is. A file
// never blocks and keeps standard output (its offset and append mode are the shell's).
void out_open()
{
    struct stat sb;
    if (fstat(STDOUT_FILENO, &sb) != 0 || !(S_ISCHR(sb.st_mode) || S_ISFIFO(sb.st_mode))) {
        return;
    }
    const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        std::lock_guard<std::mutex> g(out_mutex);
        out_fd = fd;
    }
}

// Writes buf as the terminal would with its NL to CR NL processing on: each NL goes out as
// CR NL, in writes of up to out_buf's size. Called with out_mutex held.
void write_out(const void* buf, size_t n)
{
    if (!out_add_cr.load()) {
        write_all(buf, n);
        return;
    }
    const char* p = static_cast<const char*>(buf);
    const char* end = p + n;
    size_t used = 0;
    while (p < end) {
        if (used + 2 > sizeof out_buf) {
            write_all(out_buf, used);
            used = 0;
        }
        size_t room = sizeof out_buf - 1 - used;  // one place kept for the CR of an NL
        size_t span = static_cast<size_t>(end - p) < room ? static_cast<size_t>(end - p) : room;
        const void* nl = std::memchr(p, '\n', span);
        size_t k = nl != nullptr ? static_cast<size_t>(static_cast<const char*>(nl) - p) : span;
        std::memcpy(out_buf + used, p, k);
        used += k;
        p += k;
        if (nl != nullptr) {
            out_buf[used++] = '\r';
            out_buf[used++] = '\n';
            ++p;
        }
    }
    write_all(out_buf, used);
}

// Takes over the terminal's NL to CR NL output processing when it is the only processing on,
// so that the text shown is the same.
void output_init()
{
    termios t;
    if (isatty(STDOUT_FILENO) == 0 || tcgetattr(STDOUT_FILENO, &t) != 0) {
        return;
    }
    const tcflag_t others = static_cast<tcflag_t>(OLCUC | OCRNL | ONOCR | ONLRET | OFILL | OFDEL |
                                                  NLDLY | CRDLY | TABDLY | BSDLY | VTDLY | FFDLY);
    if ((t.c_oflag & OPOST) == 0 || (t.c_oflag & ONLCR) == 0 || (t.c_oflag & others) != 0) {
        return;
    }
    out_saved_mode = t;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    if (tcsetattr(STDOUT_FILENO, TCSANOW, &t) == 0) {
        out_saved_valid = true;
        out_add_cr.store(true);
    }
}

}  // namespace

void console_init()
{
    on_console_thread = true;
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
    output_init();
    out_open();
}

void console_restore()
{
    // Standard output first: where it is the same terminal as standard input, the mode saved
    // from standard input is the one the terminal had before the program.
    if (out_saved_valid) {
        out_add_cr.store(false);
        (void)tcsetattr(STDOUT_FILENO, TCSANOW, &out_saved_mode);
    }
    if (saved_valid) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
    }
}

namespace
{

// Reads what standard input holds, as much as the queue can surely take once decoded, and
// queues its key events; waits for nothing. A sequence left open by an earlier read and silent
// since for the Esc pause is ended first (a lone ESC is the Esc key), however late the bytes
// after it are read. End of input is noted once.
void input_take()
{
    int fit = keyqueue_room(&pending) / KEYDECODE_MAX_EVENTS;
    if (fit <= 0) {
        return;  // read again once the queue has room: the bytes wait in the terminal
    }
    uint8_t buf[READ_MAX];
    KeyEvent got[KEYDECODE_MAX_EVENTS];
    ssize_t n = ::read(STDIN_FILENO, buf, fit < READ_MAX ? static_cast<size_t>(fit) : READ_MAX);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        // End of input: the program goes on serving the device until a signal.
        input_ended = true;
        keyqueue_push(&pending, got, keydecode_idle(got));
        return;
    }
    if (n < 0) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (keydecode_pending() && now - pending_since >= std::chrono::milliseconds(ESC_PAUSE_MS)) {
        keyqueue_push(&pending, got, keydecode_idle(got));
    }
    for (ssize_t i = 0; i < n; ++i) {
        keyqueue_push(&pending, got, keydecode_byte(buf[i], got));
    }
    pending_since = now;
}

// Milliseconds until the open sequence's pause is over (0: it is), -1 when none is open.
int pause_ms_left()
{
    if (!keydecode_pending()) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        pending_since + std::chrono::milliseconds(ESC_PAUSE_MS) - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool console_end_waiting()
{
    for (;;) {
        if (signal_seen != 0) {
            return true;
        }
        pollfd p{input_ended ? -1 : STDIN_FILENO, POLLIN, 0};
        if (keyqueue_room(&pending) < KEYDECODE_MAX_EVENTS || poll(&p, 1, 0) <= 0 ||
            (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            return keyqueue_has_end(&pending);
        }
        input_take();
    }
}

int console_read_keys(KeyEvent* ev, int max)
{
    for (;;) {
        if (signal_seen != 0) {
            ev[0] = KeyEvent{1, KEY_END, 0, 0};
            return 1;
        }
        if (keyqueue_count(&pending) > 0) {
            return keyqueue_take(&pending, ev, max);
        }
        pollfd p[2] = {{signal_pipe[0], POLLIN, 0}, {input_ended ? -1 : STDIN_FILENO, POLLIN, 0}};
        int r = poll(p, 2, pause_ms_left());
        if (r < 0) {
            continue;  // EINTR: the signal flag is looked at above
        }
        if (r == 0) {
            KeyEvent got[KEYDECODE_MAX_EVENTS];
            keyqueue_push(&pending, got, keydecode_idle(got));
            continue;
        }
        if ((p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            input_take();
        }
    }
}

void console_write(const void* buf, size_t n)
{
    std::lock_guard<std::mutex> g(out_mutex);
    write_out(buf, n);
}

void console_clear()
{
    static const char clear[] = "\x1b[H\x1b[2J";
    std::lock_guard<std::mutex> g(out_mutex);
    write_all(clear, sizeof clear - 1);
}

void console_ending()
{
    ending_arm();
}

void console_give_up()
{
    out_given_up = true;
}

}  // namespace plat
