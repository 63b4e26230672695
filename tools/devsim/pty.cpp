// tools/devsim/pty.cpp: the pseudo-terminal pair (posix_openpt), raw slave, non-blocking master
// read and written with poll() and deadlines. Used by the emulator and the end-to-end tests.
#include "tools/devsim/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>

namespace devsim
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int WRITE_TIMEOUT_MS = 10000;  // bounds a write the host never drains
constexpr size_t READ_CHUNK = 4096;

[[noreturn]] void fail(const char* call)
{
    throw std::system_error(errno, std::generic_category(), call);
}

// Closes the fds opened so far and throws with the errno of the failed call.
[[noreturn]] void fail_closing(int master, int slave, const char* call)
{
    const int err = errno;
    if (slave >= 0) {
        ::close(slave);
    }
    ::close(master);
    errno = err;
    fail(call);
}

int ms_left(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::max<long long>(0, left));
}

}  // namespace

Pty::Pty()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        fail("posix_openpt");
    }
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        fail_closing(master_, slave_, "grantpt/unlockpt/ptsname");
    }
    slave_path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        fail_closing(master_, slave_, "open slave");
    }
    // A cooked slave would echo what the device sends back to it and translate CR/LF.
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) {
        fail_closing(master_, slave_, "tcgetattr");
    }
    cfmakeraw(&tio);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
        fail_closing(master_, slave_, "tcsetattr");
    }
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        fail_closing(master_, slave_, "fcntl O_NONBLOCK");
    }
}

Pty::~Pty()
{
    release_slave();
    ::close(master_);
}

void Pty::release_slave()
{
    if (slave_ >= 0) {
        ::close(slave_);
        slave_ = -1;
    }
}

std::string Pty::port_name() const
{
    const std::string dev = "/dev/";
    return slave_path_.rfind(dev, 0) == 0 ? slave_path_.substr(dev.size()) : slave_path_;
}

bool Pty::write(const Bytes& bytes)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(WRITE_TIMEOUT_MS);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd pfd{master_, POLLOUT, 0};
        const int left = ms_left(deadline);
        if (left == 0 || (poll(&pfd, 1, left) < 0 && errno != EINTR)) {
            return false;
        }
    }
    return true;
}

Bytes Pty::read_some(size_t max, int timeout_ms)
{
    if (!pending_.empty()) {
        const size_t n = std::min(max, pending_.size());
        Bytes out(pending_.begin(), pending_.begin() + long(n));
        pending_.erase(pending_.begin(), pending_.begin() + long(n));
        return out;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Bytes buf(std::min(max, READ_CHUNK));
    for (;;) {
        const ssize_t n = ::read(master_, buf.data(), buf.size());
        if (n > 0) {
            buf.resize(size_t(n));
            return buf;
        }
        // EIO comes only after release_slave(), once the host has closed the slave; it ends the
        // read empty, as any other error does.
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return {};
        }
        const int left = ms_left(deadline);
        if (left == 0) {
            return {};
        }
        pollfd pfd{master_, POLLIN, 0};
        (void)poll(&pfd, 1, left);  // EINTR or a timeout: the loop reads, then checks the time
    }
}

std::string Pty::read_until(const std::string& needle, int timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string seen;
    for (;;) {
        const size_t at = seen.find(needle);
        if (at != std::string::npos) {
            const size_t end = at + needle.size();
            pending_.insert(pending_.begin(), seen.begin() + long(end), seen.end());
            seen.resize(end);
            return seen;
        }
        const int left = ms_left(deadline);
        if (left == 0) {
            return seen;
        }
        const Bytes got = read_some(READ_CHUNK, left);
        seen.append(got.begin(), got.end());
    }
}

}  // namespace devsim
