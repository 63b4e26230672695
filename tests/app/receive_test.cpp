// tests/app/receive_test.cpp: the receive thread's pump and its PASEL loop head, and the lost
// port's reopen.
#include <cerrno>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/receive.h"
#include "output/logfile.h"
#include "packet/framing.h"
#include "packet/link.h"
#include "packet/transfer.h"
#include "platform/fake/fake.h"
#include "port/mode.h"
#include "port/port.h"
#include "tests/support/fixture.h"

namespace
{

class Receive : public SystemTest
{
  protected:
    void pass() REQUIRES(link_lock)
    {
        link_lock.give();
        receive_pass();
        link_lock.take();
    }
    // Opens the port as start-up does: without the link lock.
    static int open(const char* name, int32_t baud) REQUIRES(link_lock)
    {
        link_lock.give();
        const int r = port_open(name, baud);
        link_lock.take();
        return r;
    }
};

TEST_F(Receive, KivetChunksAreShownWholeWithNulBytes)
{
    link_lock.assert_held();
    ASSERT_TRUE(log_open("k.log"));
    std::string text(10000, 'a');
    text[5000] = '\0';
    plat::fake_port_feed(text);
    pass();
    EXPECT_EQ(plat::fake_port_queued(), 0u);
    EXPECT_EQ(plat::fake_console_output(), text);
    log_close();
    EXPECT_EQ(read_file("k.log"), text);
}

TEST_F(Receive, PaselTextAndPacketsWaitForTheNextLoopHead)
{
    link_lock.assert_held();
    mode_flag = MODE_PASEL;
    ASSERT_TRUE(capture_open("c.txt"));
    plat::fake_port_feed(std::string("ok\xC0\x07\x00\xF9\xC0?", 8));  // text, ACK 0, text
    pass();
    EXPECT_EQ(plat::fake_console_output(), "");  // read, not yet shown
    pass();
    EXPECT_EQ(plat::fake_console_output(), "ok?\n");  // text first, then the idle line feed
    capture_close();
    EXPECT_EQ(read_file("c.txt"), "ok?");
    // The lone ACK in the idle state was answered with an error packet, queued for sending.
    while (encoder_step() != 0) {
    }
    EXPECT_EQ(plat::fake_port_written(), std::string("\xC0\x03\x04\xF9\xC0", 5));
}

TEST_F(Receive, HeldPaselTextWaitsWhileInKivetMode)
{
    link_lock.assert_held();
    mode_flag = MODE_PASEL;
    plat::fake_port_feed("abc");
    pass();
    mode_flag = MODE_KIVET;
    plat::fake_port_feed("xyz");
    pass();
    EXPECT_EQ(plat::fake_console_output(), "xyz");
    mode_flag = MODE_PASEL;
    pass();
    EXPECT_EQ(plat::fake_console_output(), "xyzabc");
}

TEST_F(Receive, FailedWaitReopensThePortAndFailedReadLosesNothingQueued)
{
    link_lock.assert_held();
    const int opened = open("COM1", 57600);
    ASSERT_EQ(opened, 0);
    plat::fake_port_fail("wait", EIO);     // hung up
    plat::fake_port_fail("open", ENOENT);  // not back at the first try
    plat::fake_port_feed("one");
    pass();
    EXPECT_EQ(plat::fake_console_output(),
              "\r\nKIVET32: Port \"COM1\" lost, waiting for it to come back.\n"
              "\r\nKIVET32: Port \"COM1\" is back.\none");
    EXPECT_EQ(plat::fake_sleeps(), (std::vector<uint32_t>{100, 1000}));
    EXPECT_TRUE(plat::fake_port_open());
    EXPECT_TRUE(plat::fake_port_lines_up());
    EXPECT_EQ(plat::fake_port_purges(), 1);  // at the open only: a returning device is heard
    plat::fake_console_clear_output();
    plat::fake_port_fail("read", EIO);
    plat::fake_port_feed("two");
    pass();
    pass();
    EXPECT_EQ(plat::fake_console_output(), "two");
}

}  // namespace
