// tools/devsim/session.cpp: host arrival and departure seen from the master of the pair (the
// master reports the slave's settings and, once no slave fd is open, a hang-up), and the
// put-back Link. Used by tools/devsim/main.cpp; no shared state.
#include "tools/devsim/session.h"

#include <poll.h>
#include <termios.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace devsim
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int WATCH_STEP_MS = 50;    // how often the slave's settings are looked at
constexpr int HOST_SETTLE_MS = 300;  // the host purges the line right after configuring it
constexpr size_t READ_CHUNK = 4096;

// poll() on fd for events within timeout_ms; the events that came, 0 on none.
short poll_events(int fd, short events, int timeout_ms)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, timeout_ms) > 0 ? p.revents : short(0);
}

}  // namespace

HostWatch::HostWatch(Pty& pty) : pty_(pty)
{
    termios tio{};
    // On Linux the master reports the slave's settings.
    if (tcgetattr(pty_.master_fd(), &tio) == 0) {
        initial_cflag_ = tio.c_cflag;
        initial_speed_ = cfgetospeed(&tio);
    }
}

bool HostWatch::host_arrived() const
{
    termios tio{};
    if (tcgetattr(pty_.master_fd(), &tio) == 0 &&
        (tio.c_cflag != initial_cflag_ || cfgetospeed(&tio) != initial_speed_)) {
        return true;
    }
    return (poll_events(pty_.master_fd(), POLLIN, 0) & POLLIN) != 0;
}

bool HostWatch::wait_for_host(int timeout_ms, const volatile std::sig_atomic_t& stop)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeout_ms));
    while (!host_arrived()) {
        if (stop != 0 || (timeout_ms >= 0 && Clock::now() >= deadline)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(WATCH_STEP_MS));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(HOST_SETTLE_MS));
    pty_.release_slave();
    return stop == 0;
}

bool HostWatch::host_gone() const
{
    return pty_.slave_released() && (poll_events(pty_.master_fd(), POLLIN, 0) & POLLHUP) != 0;
}

bool BufferedLink::write(const Bytes& bytes)
{
    return inner_.write(bytes);
}

Bytes BufferedLink::read_some(size_t max, int timeout_ms)
{
    if (pending_.empty()) {
        return inner_.read_some(max, timeout_ms);
    }
    const size_t n = std::min(max, pending_.size());
    Bytes out(pending_.begin(), pending_.begin() + long(n));
    pending_.erase(pending_.begin(), pending_.begin() + long(n));
    return out;
}

void BufferedLink::unread(const Bytes& bytes)
{
    pending_.insert(pending_.begin(), bytes.begin(), bytes.end());
}

size_t BufferedLink::drain(int timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t dropped = 0;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const Bytes got = read_some(READ_CHUNK, std::max(0, int(left.count())));
        if (got.empty()) {
            return dropped;
        }
        dropped += got.size();
        if (Clock::now() >= deadline) {
            return dropped;  // a host that never stops sending must not hold us
        }
    }
}

}  // namespace devsim
