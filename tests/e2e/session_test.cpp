// tests/e2e/session_test.cpp: one whole session on one port, as a user and a device live it:
// the banner with a log file, device text byte for byte (XON and XOFF included: no flow control
// swallows them), a key at the device, the host file service's replies byte for byte, F4 to
// PASEL mode and a file got by the packet link, and End with the log holding the text shown.
// Under Wine the port is a COM port: the Windows build's serial and console backends end to end.
#include "tests/e2e/harness.h"
#include "tests/e2e/pasel_util.h"
#include "tools/devsim/kivet_device.h"
#include "tools/devsim/pasel_device.h"

using namespace e2e;
using devsim::Bytes;

TEST(Session, DeviceTextKeysFileServiceAndPacketLinkOnOnePort)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name(), "115200", "w.log"}));
    EXPECT_EQ(h.screen_read("exit.\n"), "KIVET32" + std::string(VERSION_TEXT) +
                                            "\nLog file: \"w.log\", Press <End> key to exit.\n");

    // Device text byte for byte, XON and XOFF included.
    const std::string text = "device \x11 text \x13 with\tcontrols\r\n";
    ASSERT_TRUE(h.device().write(text));
    EXPECT_EQ(h.screen_read(text), text);

    // A key reaches the device.
    h.keys("k");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "k");

    // The host file service: open, read, close, reply bytes exactly.
    ASSERT_TRUE(write_file(h.file("hello.RMS"), "hello"));
    ASSERT_TRUE(h.device().write(devsim::kivet_open(1, "hello.RMS")));
    EXPECT_EQ(h.device().read_text(4, WAIT_MS), std::string("\x01\x00\x00\x00", 4));
    ASSERT_TRUE(h.device().write(devsim::kivet_read(1, 16)));
    EXPECT_EQ(h.device().read_text(9, WAIT_MS), std::string("\x05\x00hello\x00\x00", 9));
    ASSERT_TRUE(h.device().write(devsim::kivet_close(1)));
    EXPECT_EQ(h.device().read_text(2, WAIT_MS), std::string("\x00\x00", 2));

    // F4 to PASEL mode, then the device gets a 300-byte file by the packet link.
    h.keys(KEY_F4);
    EXPECT_NE(h.screen_read("Backspace key: 08\n").find("change to PASEL32"), std::string::npos);
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
    const Bytes file = seeded_bytes(300, 12);
    ASSERT_TRUE(write_file(h.file("p300.bin"), devsim::to_string(file)));
    devsim::PaselDevice dev(h.device());
    const devsim::PaselResult r = dev.get("p300.bin", 128, 500, 1000);
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_TRUE(r.data == file) << "the file arrived changed";

    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_NE(h.screen_read("program terminated.\n").find("Log file \"w.log\""), std::string::npos);
    EXPECT_EQ(read_file(h.file("w.log")), text);
}
