// tests/tools/pty_test.cpp: the pseudo-terminal pair (tools/devsim/pty) as the host program
// sees it: the slave opened by name, raw, both directions, reads bounded by deadlines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "tools/devsim/pty.h"

using namespace devsim;

namespace
{

// Opens the slave the way the host does: its path is /dev/ and the port name.
int open_as_host(const Pty& pty)
{
    return ::open(("/dev/" + pty.port_name()).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

TEST(Pty, PortNameIsTheSlavePathBelowDev)
{
    Pty pty;
    EXPECT_EQ(pty.slave_path(), "/dev/" + pty.port_name());
    EXPECT_EQ(pty.port_name().rfind("pts/", 0), 0u);
}

TEST(Pty, BytesCrossRawBothWays)
{
    Pty pty;
    const int host = open_as_host(pty);
    ASSERT_GE(host, 0);
    const char raw[] = "text\r\n\x02\x00\x7f\x03";
    const std::string device_says(raw, sizeof raw - 1);  // the NUL and the bytes after it too
    ASSERT_TRUE(pty.write(device_says));
    std::string got(device_says.size(), '\0');
    ASSERT_EQ(::read(host, got.data(), got.size()), ssize_t(got.size()));
    EXPECT_EQ(got, device_says);
    EXPECT_EQ(pty.read_some(64, 50), Bytes{});  // no echo of what the device wrote

    const std::string host_says = "ab\rcd\xC0\xDB";
    ASSERT_EQ(::write(host, host_says.data(), host_says.size()), ssize_t(host_says.size()));
    EXPECT_EQ(pty.read_text(host_says.size(), 5000), host_says);
    ::close(host);
}

TEST(Pty, ReadUntilKeepsWhatFollowsTheNeedle)
{
    Pty pty;
    const int host = open_as_host(pty);
    ASSERT_GE(host, 0);
    ASSERT_EQ(::write(host, "hello KIVET32 rest", 18), 18);
    EXPECT_EQ(pty.read_until("KIVET32", 5000), "hello KIVET32");
    EXPECT_EQ(pty.read_text(5, 5000), " rest");
    EXPECT_EQ(pty.read_until("never", 50), "");
    ::close(host);
}

TEST(Pty, MasterStaysReadableAfterTheHostCloses)
{
    Pty pty;
    int host = open_as_host(pty);
    ASSERT_GE(host, 0);
    ::close(host);
    EXPECT_EQ(pty.read_some(64, 0), Bytes{});
    host = open_as_host(pty);
    ASSERT_GE(host, 0);
    ASSERT_EQ(::write(host, "again", 5), 5);
    EXPECT_EQ(pty.read_text(5, 5000), "again");
    ::close(host);
}
