// Port open and its failure reports.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/options.h"
#include "output/drops.h"
#include "output/logfile.h"
#include "packet/framing.h"
#include "packet/transfer.h"
#include "platform/errors.h"
#include "platform/fake/fake.h"
#include "port/mode.h"
#include "port/port.h"
#include "tests/port/port_fixture.h"
#include "tests/support/fixture.h"

namespace
{

TEST_F(PortOpen, ConfiguresPurgesAndRaisesTheLines)
{
    link_lock.assert_held();
    EXPECT_EQ(open_port(), 0);
    EXPECT_TRUE(plat::fake_port_open());
    EXPECT_TRUE(plat::fake_port_lines_up());
    EXPECT_EQ(plat::fake_port_purges(), 1);
    EXPECT_EQ(plat::fake_console_output(), "");
}

TEST_F(PortOpen, DirectoryAndRegularFileAreNotDevices)
{
    link_lock.assert_held();
    std::strcpy(port_name, "COM9");
    plat::fake_port_set_kind(1, 0);
    EXPECT_EQ(open_port(), 1);
    EXPECT_FALSE(plat::fake_port_open());  // no open was tried
    plat::fake_port_set_kind(0, 1);
    EXPECT_EQ(open_port(), 1);
    EXPECT_EQ(plat::fake_console_output(),
              "ERROR: \"COM9\" is not device file.\nERROR: \"COM9\" is not device file.\n");
}

TEST_F(PortOpen, RefusedSettingsAreReportedAndCloseTheLog)
{
    link_lock.assert_held();
    ASSERT_TRUE(log_open("x.log"));
    baud_rate = 0;
    EXPECT_EQ(open_port(), 1);
    EXPECT_EQ(plat::fake_console_output(), "SetCommState() ERROR.\nERROR #" +
                                               std::to_string(EINVAL) + ": " +
                                               plat::error_text(EINVAL) + "\n");
    EXPECT_FALSE(log_is_open());

    plat::fake_console_clear_output();
    plat::fake_port_fail("get_state", ENOTTY);
    EXPECT_EQ(open_port(), 1);
    EXPECT_EQ(plat::fake_console_output(), "GetCommState() ERROR.\nERROR #" +
                                               std::to_string(ENOTTY) + ": " +
                                               plat::error_text(ENOTTY) + "\n");
}

// The console thread's send of the keys that wait, which it makes without the link lock.
static uint32_t keys_send() REQUIRES(link_lock)
{
    link_lock.give();
    const uint32_t left = port_keys_send();
    link_lock.take();
    return left;
}

// A write a stalled device does not take and a key the line cannot take are counted; a write
// that fails on a lost port is not (it is the old device's work, which ends with it).
TEST_F(PortOpen, StalledWritesAndKeysNotTakenAreCounted)
{
    link_lock.assert_held();
    plat::fake_port_fail("write", plat::FAIL_TIMED_OUT);
    port_write_buf(reinterpret_cast<const uint8_t*>("ab"), 2);
    plat::fake_port_fail("write", EIO);
    port_write_byte('c');
    EXPECT_EQ(drop_total(DROP_STALLED), 1u);
    plat::fake_port_fail("write", EIO);  // the first key waits in the key buffer, and the rest
    for (uint32_t i = 0; i < KEY_BUF_SIZE + 2; ++i) {
        port_key_byte('k');
    }
    EXPECT_EQ(drop_total(DROP_KEY), 2u);  // beyond the buffer
    plat::fake_port_fail("write", EIO);   // lost: what waits goes with the old device
    EXPECT_EQ(keys_send(), 0u);
    EXPECT_EQ(drop_total(DROP_KEY), KEY_BUF_SIZE + 2);
}

}  // namespace
