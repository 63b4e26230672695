// platform/posix/serial.cpp: the serial port on Linux: a tty device (or a pseudo-terminal) in
// raw mode, opened exclusively, read when poll() says bytes are there, written under a mutex so
// that writes from several threads never interleave.
#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/clock.h"
#include "platform/lock_within.h"
#include "platform/net.h"

namespace plat
{
namespace posix
{
int serial_set_any_speed(int fd, int baud);
}

namespace
{

constexpr int WRITE_SLICE_MS = 100;  // a waiting write looks for serial_cancel this often

// The receive thread reads port_fd without the mutex (it alone closes and opens the port);
// every other thread uses it under write_mutex, so that a port closed on a hang-up can never
// leave a write on a descriptor number that now names another file.
std::atomic<int> port_fd{-1};
std::mutex write_mutex;
std::atomic<int32_t> port_baud{0};  // the rate set last, for the write deadline
std::atomic<bool> cancelled{false};
std::atomic<bool> stalled{false};   // the last write timed out: the device reads nothing
std::atomic<bool> net_port{false};  // the port is a network port: its calls go to net.cpp
int name_watch_fd = -1;             // inotify, for serial_name_wait (receive thread only)

// The pseudo-terminal the port was last opened on, for serial_same_lost_terminal: its path
// ("" when the port is another device, or the terminal is let go), and the symbolic link the
// name was then (link_ino 0 when it was none). Written by the open, read by the lost port's
// looks: start-up, then the receive thread only.
char opened_pts[SERIAL_PATH_MAX];
dev_t link_dev;
ino_t link_ino;
timespec link_ctime;

constexpr char PTS_DIR[] = "/dev/pts/";

// After an open of path as fd: notes the terminal and the link, if the port is a pseudo-terminal.
void note_terminal(const char* path, int fd)
{
    opened_pts[0] = '\0';
    struct stat sb;
    if (ttyname_r(fd, opened_pts, sizeof opened_pts) != 0 ||
        std::strncmp(opened_pts, PTS_DIR, sizeof PTS_DIR - 1) != 0 || lstat(path, &sb) != 0) {
        opened_pts[0] = '\0';
        return;
    }
    link_dev = sb.st_dev;
    link_ino = S_ISLNK(sb.st_mode) ? sb.st_ino : 0;
    link_ctime = sb.st_ctim;
}

speed_t standard_speed(int32_t baud)
{
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return B0;
    }
}

int modem_lines(unsigned long request)
{
    int bits = TIOCM_DTR | TIOCM_RTS;
    return ioctl(port_fd.load(), request, &bits) == 0 ? 0 : -errno;
}

}  // namespace

int serial_is_directory(const char* name)
{
    if (serial_is_net_name(name) != 0) {
        return 0;
    }
    char path[SERIAL_PATH_MAX];
    serial_path(name, path);
    struct stat sb;
    return stat(path, &sb) == 0 && S_ISDIR(sb.st_mode) ? 1 : 0;
}

int serial_open(const char* name)
{
    net_port = serial_is_net_name(name) != 0;
    if (net_port.load()) {
        opened_pts[0] = '\0';
        return net_open(name);
    }
    char path[SERIAL_PATH_MAX];
    serial_path(name, path);
    int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -errno;
    }
    // Exclusive: a second program on the same port would split the byte stream.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        return -err;
    }
    if (isatty(fd) && ioctl(fd, TIOCEXCL) != 0) {
        int err = errno;
        ::close(fd);
        return -err;
    }
    note_terminal(path, fd);
    std::lock_guard<std::mutex> g(write_mutex);
    port_fd = fd;
    return 0;
}

int serial_same_lost_terminal(const char* name)
{
    if (opened_pts[0] == '\0') {
        return 0;
    }
    char path[SERIAL_PATH_MAX];
    serial_path(name, path);
    struct stat sb;
    bool same = false;
    if (lstat(path, &sb) != 0) {
        same = link_ino == 0;  // no link there any more; a terminal's own name gone with it
    } else if (S_ISLNK(sb.st_mode) != (link_ino != 0) ||
               (link_ino != 0 && (sb.st_dev != link_dev || sb.st_ino != link_ino ||
                                  sb.st_ctim.tv_sec != link_ctime.tv_sec ||
                                  sb.st_ctim.tv_nsec != link_ctime.tv_nsec))) {
        // A link where there was none, or the other way round; or the link made anew or
        // changed: pointed somewhere by someone.
        same = false;
    } else {
        // The same link: it leads to the old terminal's path, to nothing (the terminal gone, a
        // number not given out again yet), or, through a link further on, somewhere else.
        char real[PATH_MAX];
        same = realpath(path, real) == nullptr || std::strcmp(real, opened_pts) == 0;
    }
    if (!same) {
        opened_pts[0] = '\0';  // from now on the name is followed wherever it leads
    }
    return same ? 1 : 0;
}

int serial_is_regular_file()
{
    if (net_port.load()) {
        return 0;
    }
    struct stat sb;
    return fstat(port_fd.load(), &sb) == 0 && S_ISREG(sb.st_mode) ? 1 : 0;
}

int serial_get_state()
{
    if (net_port.load()) {
        return 0;
    }
    termios t;
    return tcgetattr(port_fd.load(), &t) == 0 ? 0 : -errno;
}

int serial_set_state(int32_t baud, bool raise_lines)
{
    if (baud <= 0) {
        return -EINVAL;  // a zero rate would hang the line up
    }
    if (net_port.load()) {
        return net_set_state(baud, raise_lines);
    }
    int fd = port_fd.load();
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        return -errno;
    }
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    if (!raise_lines) {
        t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);  // the last close would drop DTR and RTS
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    speed_t sp = standard_speed(baud);
    if (sp != B0) {
        cfsetispeed(&t, sp);
        cfsetospeed(&t, sp);
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        return -errno;
    }
    if (sp == B0) {
        int r = posix::serial_set_any_speed(fd, baud);
        if (r != 0) {
            return r;
        }
    }
    port_baud = baud;
    if (raise_lines) {
        (void)modem_lines(TIOCMBIS);  // a pseudo-terminal has no modem lines: not an error
    }
    return 0;
}

void serial_drop_lines()
{
    // A write that cannot give up in time leaves the lines as they are rather than hold the
    // end of the program.
    if (net_port.load()) {
        net_set_lines(false, WRITE_SLICE_MS * 3);
        return;
    }
    std::unique_lock<std::mutex> g(write_mutex, std::defer_lock);
    if (lock_within(g, WRITE_SLICE_MS * 3) && port_fd.load() >= 0) {
        (void)modem_lines(TIOCMBIC);
    }
}

void serial_set_lines(bool up)
{
    // After a write in flight, which gives up by its deadline at the latest.
    if (net_port.load()) {
        net_set_lines(up, UINT32_MAX / 2);
        return;
    }
    std::lock_guard<std::mutex> g(write_mutex);
    if (port_fd.load() >= 0) {
        (void)modem_lines(up ? TIOCMBIS : TIOCMBIC);
    }
}

void serial_purge()
{
    if (net_port.load()) {
        return;  // what a server sends first is the device's: its banner, its boot text
    }
    (void)tcflush(port_fd.load(), TCIOFLUSH);
}

int serial_wait()
{
    if (cancelled.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(SERIAL_CANCELLED_PAUSE_MS));
        return 0;
    }
    if (net_port.load()) {
        return net_wait();
    }
    const int fd = port_fd.load();
    if (fd < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(SERIAL_HANGUP_PAUSE_MS));
        return -EBADF;
    }
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, -1);
    if (r < 0) {
        int err = errno;
        if (err == EINTR) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(SERIAL_HANGUP_PAUSE_MS));
        return -err;
    }
    if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
        return (p.revents & POLLIN) != 0 ? 1 : 0;
    }
    if (cancelled.load()) {
        // Hung up while the program ends: no loss to report, a wait after serial_cancel.
        std::this_thread::sleep_for(std::chrono::milliseconds(SERIAL_CANCELLED_PAUSE_MS));
        return 0;
    }
    // Hung up or failed (an adapter pulled out, the other end of a pty closed). A hung-up line
    // reports POLLIN too, with nothing to read: only bytes still queued are worth a read.
    int queued = 0;
    if ((p.revents & POLLNVAL) == 0 && ioctl(fd, FIONREAD, &queued) == 0 && queued > 0) {
        return 1;
    }
    return (p.revents & POLLNVAL) != 0 ? -EBADF : -EIO;
}

int serial_queued()
{
    if (cancelled.load()) {
        return 0;
    }
    if (net_port.load()) {
        return net_queued();
    }
    int n = 0;
    if (ioctl(port_fd.load(), FIONREAD, &n) != 0) {
        return -errno;
    }
    return n;
}

int serial_read(uint8_t* buf, uint32_t n)
{
    if (net_port.load()) {
        return net_read(buf, n);
    }
    for (;;) {
        ssize_t r = ::read(port_fd.load(), buf, n);
        if (r >= 0) {
            return static_cast<int>(r);
        }
        if (errno == EAGAIN) {
            return 0;
        }
        if (errno != EINTR) {
            return -errno;
        }
    }
}

// Writes buf[*done, n) to fd, counting what goes in *done, until all went (0), the deadline
// passed (-ETIMEDOUT), serial_cancel was called (-ECANCELED) or the write failed (-errno). A
// full driver buffer (the device reads nothing, or flow is stopped) is waited for a slice at a
// time. Called with write_mutex held.
static int write_until(int fd, const uint8_t* buf, uint32_t n, uint32_t deadline, uint32_t* done)
{
    while (*done < n) {
        if (cancelled.load()) {
            return -ECANCELED;
        }
        ssize_t w = ::write(fd, buf + *done, n - *done);
        if (w > 0) {
            *done += static_cast<uint32_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && errno != EAGAIN) {
            return -errno;
        }
        const int32_t left = static_cast<int32_t>(deadline - tick_ms());
        if (left <= 0) {
            return -ETIMEDOUT;
        }
        pollfd p{fd, POLLOUT, 0};
        (void)poll(&p, 1, left < WRITE_SLICE_MS ? left : WRITE_SLICE_MS);
    }
    return 0;
}

int serial_write(const uint8_t* buf, uint32_t n)
{
    if (net_port.load()) {
        return net_write(buf, n);
    }
    std::lock_guard<std::mutex> g(write_mutex);
    const int fd = port_fd.load();
    if (fd < 0) {
        return -EIO;  // lost, not yet back
    }
    // A stalled line gets no time: what the driver cannot take now is not waited for.
    const uint32_t deadline =
        tick_ms() + (stalled.load() ? 0 : serial_write_budget_ms(port_baud.load(), n));
    uint32_t done = 0;
    const int r = write_until(fd, buf, n, deadline, &done);
    if (r < 0) {
        if (r == -ETIMEDOUT) {
            stalled = true;
        }
        return r;
    }
    stalled = false;
    return static_cast<int>(n);
}

int serial_write_byte(uint8_t b)
{
    // write() returns once the byte is in the driver's buffer, not when it has left the line.
    return serial_write(&b, 1);
}

int serial_write_some(const uint8_t* buf, uint32_t n, uint32_t wait_ms)
{
    if (net_port.load()) {
        return net_write_some(buf, n, wait_ms);
    }
    std::unique_lock<std::mutex> g(write_mutex, std::defer_lock);
    if (!lock_within(g, wait_ms)) {
        return 0;  // another write holds the port: the bytes wait for the next call
    }
    const int fd = port_fd.load();
    if (fd < 0) {
        return -EIO;  // lost, not yet back
    }
    uint32_t done = 0;
    const int r = write_until(fd, buf, n, tick_ms() + wait_ms, &done);
    if (done > 0) {
        stalled = false;  // the device reads again
        return static_cast<int>(done);
    }
    return r == -ETIMEDOUT ? 0 : r;
}

void serial_close()
{
    // Writes give up within a slice once cancelled and at once on a hung-up line; should one
    // hold on all the same, the port stays open for the process exit to close.
    if (net_port.load()) {
        net_close(WRITE_SLICE_MS * 3);
        return;
    }
    std::unique_lock<std::mutex> g(write_mutex, std::defer_lock);
    if (!lock_within(g, WRITE_SLICE_MS * 3)) {
        return;
    }
    int fd = port_fd.exchange(-1);
    if (fd >= 0) {
        ::close(fd);
    }
}

void serial_name_wait(const char* name, uint32_t ms)
{
    if (serial_is_net_name(name) != 0) {
        net_name_wait(ms);  // a server has no folder to watch: the pause the caller asks
        return;
    }
    char path[SERIAL_PATH_MAX];
    serial_path(name, path);
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::snprintf(path, sizeof path, ".");
    } else if (slash == path) {
        slash[1] = '\0';  // a name in the root folder
    } else {
        *slash = '\0';
    }
    if (name_watch_fd < 0) {
        name_watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    // A device node or link made, moved in or given its owner and mode (udev makes the node
    // first and opens it to the group after). The folder may itself be gone (by-id links go
    // with the last adapter): then a short poll.
    const uint32_t mask = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR;
    if (name_watch_fd < 0 || inotify_add_watch(name_watch_fd, path, mask) < 0) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(ms < SERIAL_NAME_POLL_MS ? ms : SERIAL_NAME_POLL_MS));
        return;
    }
    pollfd p{name_watch_fd, POLLIN, 0};
    (void)poll(&p, 1, static_cast<int>(ms));
    alignas(inotify_event) char events[4096];
    while (::read(name_watch_fd, events, sizeof events) > 0) {
    }
}

void serial_cancel()
{
    cancelled = true;
    net_cancel();
}

}  // namespace plat
