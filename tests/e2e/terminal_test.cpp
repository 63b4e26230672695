// tests/e2e/terminal_test.cpp: the device's text in KIVET mode as the user sees it: shown byte
// for byte, ESC 'E' clearing the screen, ESC with another byte hidden, and time stamps at the
// start of lines after a carriage return, switched by the command line and by F3.
#include <regex>

#include "tests/e2e/harness.h"

using namespace e2e;

namespace
{

const std::string CLEAR = "\x1b[H\x1b[2J";  // what a cleared screen looks like on the console
const std::string STAMP = "[0-5][0-9]:[0-5][0-9]\\.[0-9][0-9] ";  // minutes:seconds.hundredths

testing::AssertionResult matches(const std::string& text, const std::string& pattern)
{
    if (std::regex_match(text, std::regex(pattern))) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << "\"" << escaped(text) << "\" does not match " << escaped(pattern);
}

}  // namespace

TEST(Terminal, DeviceTextShownWholeEscEClearsAndEscHidesTheNextByte)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("KIVET32"));

    // More than one read and more than the text buffer holds: all of it, in order.
    std::string big;
    for (int i = 0; big.size() < 10000; ++i) {
        big += "line " + std::to_string(i) + "\r\n";
    }
    big += "|";
    ASSERT_TRUE(h.device().write(big));
    EXPECT_TRUE(h.screen_read("|") == big) << "the long text arrived changed";

    ASSERT_TRUE(h.device().write("one\r\n"));
    EXPECT_EQ(h.screen_read("\n"), "one\r\n");
    ASSERT_TRUE(h.device().write("\x1b"
                                 "Etwo|"));
    EXPECT_EQ(h.screen_read("|"), CLEAR + "two|");

    // ESC and any other byte: both hidden. ESC ESC 'E': the second ESC only waits again.
    ASSERT_TRUE(h.device().write("\x1bxthree|"));
    EXPECT_EQ(h.screen_read("|"), "three|");
    ASSERT_TRUE(h.device().write("\x1b\x1b"
                                 "Efour|"));
    EXPECT_EQ(h.screen_read("|"), CLEAR + "four|");

    // Text before the clear in the same read is shown on the cleared screen.
    ASSERT_TRUE(h.device().write("five\x1b"
                                 "Esix|"));
    EXPECT_EQ(h.screen_read("|"), CLEAR + "fivesix|");

    // The sequence split over two reads.
    ASSERT_TRUE(h.device().write("seven\x1b"));
    EXPECT_TRUE(h.screen_until("seven"));
    ASSERT_TRUE(h.device().write("Eeight|"));
    EXPECT_EQ(h.screen_read("|"), CLEAR + "eight|");
}

TEST(Terminal, TimeStampsStartLinesAfterCarriageReturn)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {"/TIMESTAMP", h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("KIVET32"));

    // The first line has none; CR and LF take none; an empty line has none.
    ASSERT_TRUE(h.device().write("x\r\ny\r\n\r\nz|"));
    EXPECT_TRUE(matches(h.screen_read("|"), "x\r\n" + STAMP + "y\r\n\r\n" + STAMP + "z\\|"));

    h.keys(KEY_F3);
    EXPECT_EQ(h.screen_read(".\n"), "\r\nKIVET32: Timestamp is Disabled.\n");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
    ASSERT_TRUE(h.device().write("a\rb|"));
    EXPECT_EQ(h.screen_read("|"), "a\rb|");

    h.keys(KEY_F3);
    EXPECT_EQ(h.screen_read(".\n"), "\r\nKIVET32: Timestamp is Enabled.\n");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
    ASSERT_TRUE(h.device().write("c\r"));
    EXPECT_TRUE(h.screen_until("c\r"));
    ASSERT_TRUE(h.device().write("d|"));  // the stamp waits across reads
    EXPECT_TRUE(matches(h.screen_read("|"), STAMP + "d\\|"));

    // A stamp pending when the option goes off is still put in once.
    ASSERT_TRUE(h.device().write("e\r"));
    EXPECT_TRUE(h.screen_until("e\r"));
    h.keys(KEY_F3);
    EXPECT_EQ(h.screen_read(".\n"), "\r\nKIVET32: Timestamp is Disabled.\n");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
    ASSERT_TRUE(h.device().write("f\rg|"));
    EXPECT_TRUE(matches(h.screen_read("|"), STAMP + "f\rg\\|"));
}
