// tests/tools/session_test.cpp: how the emulator notices the host (tools/devsim/session) on a
// real pseudo-terminal pair, the slave opened and configured as the host does it; and the
// put-back link and the line-rate pacing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "tools/devsim/session.h"

using namespace devsim;

namespace
{

volatile std::sig_atomic_t no_stop = 0;

// Opens the slave by its port name and sets the line up the way the host program does.
int open_and_configure_as_host(const Pty& pty)
{
    const int fd = ::open(("/dev/" + pty.port_name()).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&tio, B57600);
        cfsetospeed(&tio, B57600);
        (void)tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

}  // namespace

TEST(HostWatch, SeesTheHostConfigureTheLineAndThenCloseIt)
{
    Pty pty;
    HostWatch watch(pty);
    EXPECT_FALSE(watch.host_arrived());
    EXPECT_FALSE(watch.wait_for_host(60, no_stop));
    EXPECT_FALSE(pty.slave_released());  // no host: the pair keeps its own slave fd

    const int host = open_and_configure_as_host(pty);
    ASSERT_GE(host, 0);
    EXPECT_TRUE(watch.host_arrived());
    ASSERT_TRUE(watch.wait_for_host(5000, no_stop));
    EXPECT_TRUE(pty.slave_released());
    EXPECT_FALSE(watch.host_gone());
    ASSERT_TRUE(pty.write(std::string("banner")));  // the device speaks once the host is there
    char got[6];
    ASSERT_EQ(::read(host, got, sizeof got), 6);

    ::close(host);
    EXPECT_TRUE(watch.host_gone());
}

TEST(HostWatch, AFirstByteFromTheHostCountsAsArrival)
{
    Pty pty;
    HostWatch watch(pty);
    const int host = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(host, 0);
    EXPECT_FALSE(watch.host_arrived());  // opened, not configured
    ASSERT_EQ(::write(host, "\r", 1), 1);
    EXPECT_TRUE(watch.host_arrived());
    ::close(host);
}

TEST(BufferedLink, PutBackBytesComeFirstAndDrainTakesAll)
{
    auto [device, host] = make_memory_pair();
    BufferedLink link(device);
    ASSERT_TRUE(host.write(to_bytes("cd")));
    link.unread(to_bytes("b"));
    link.unread(to_bytes("a"));
    EXPECT_EQ(to_string(link.read_exactly(4, 1000)), "abcd");
    ASSERT_TRUE(host.write(to_bytes("xyz")));
    link.unread(to_bytes("w"));
    EXPECT_EQ(link.drain(20), 4u);
    EXPECT_TRUE(link.read_some(10, 0).empty());
}

TEST(PacedLink, CarriesBothWaysAtTheLineRateInOrder)
{
    auto [device, host] = make_memory_pair();
    PacedLink paced(device, 9600);  // 960 bytes a second: 192 bytes take 0.2 s
    Bytes bytes(192);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = uint8_t(i);
    }
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(paced.write(bytes));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(host.read_exactly(bytes.size(), 1000), bytes);

    ASSERT_TRUE(host.write(bytes));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(paced.read_exactly(bytes.size(), 5000), bytes);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}
