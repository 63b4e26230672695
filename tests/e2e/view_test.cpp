// tests/e2e/view_test.cpp: the forms the device's text takes: clock and date stamps at the start of
// its lines on the console and in the log, in both modes, and the hex view on the console while
// the log and the capture file keep the bytes.
#include <chrono>
#include <regex>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/e2e/pasel_util.h"

using namespace e2e;

namespace
{

const std::string CLOCK = "([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} ";
const std::string ISO = "[0-9]{4}-(0[1-9]|1[0-2])-(0[1-9]|[12][0-9]|3[01])T" + CLOCK;
const std::string MINUTES = "[0-5][0-9]:[0-5][0-9]\\.[0-9][0-9] ";
const std::string_view KEY_ALT_H = "\x1bh";

testing::AssertionResult matches(const std::string& text, const std::string& pattern)
{
    if (std::regex_match(text, std::regex(pattern))) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << "\"" << escaped(text) << "\" does not match " << escaped(pattern);
}

// Waits until the file at path holds size bytes or more (files are written while the text is
// shown, so the screen can be ahead of them); returns what it holds then.
std::string file_when(const std::string& path, size_t size)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    std::string got = read_file(path);
    while (got.size() < size && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        got = read_file(path);
    }
    return got;
}

}  // namespace

TEST(TextView, ClockStampsStartEachLineOnConsoleAndLogInBothModes)
{
    {
        Host h;
        ASSERT_TRUE(h.start(KIVET_BIN, {"/TIMESTAMP:CLOCK", h.port_name(), "57600", "k.log"}));
        EXPECT_TRUE(h.screen_until("exit.\n"));
        // The first byte starts a line, so does the byte after CR, LF or CR LF; empty lines take
        // no stamp.
        const std::string text = "one\r\ntwo\nthree\r\r\n\r\nfour|";
        const std::string lines =
            CLOCK + "one\r\n" + CLOCK + "two\n" + CLOCK + "three\r\r\n\r\n" + CLOCK + "four\\|";
        ASSERT_TRUE(h.device().write(text));
        EXPECT_TRUE(matches(h.screen_read("|"), lines));
        const size_t stamped = text.size() + size_t{4} * 13;
        EXPECT_TRUE(matches(file_when(h.file("k.log"), stamped), lines));

        // F3 turns them off and on again in the form chosen.
        h.keys(KEY_F3);
        EXPECT_EQ(h.screen_read(".\n"), "\r\nKIVET32: Timestamp is Disabled.\n");
        EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
        ASSERT_TRUE(h.device().write("\r\nfive\r\n"));
        EXPECT_EQ(h.screen_read("five\r\n"), "\r\nfive\r\n");
        h.keys(KEY_F3);
        EXPECT_EQ(h.screen_read(".\n"), "\r\nKIVET32: Timestamp is Enabled.\n");
        EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
        ASSERT_TRUE(h.device().write("six|"));
        EXPECT_TRUE(matches(h.screen_read("|"), CLOCK + "six\\|"));
    }
    {
        // PASEL text, the date too; the capture file keeps the device's text as it came.
        Host h;
        ASSERT_TRUE(h.start(PASEL_BIN, {"-t:iso", h.port_name(), "57600", "p.log"}));
        EXPECT_TRUE(h.screen_until("exit.\n"));
        begin_capture(h, "cap.txt");

        const std::string text = "\r\nseven\r\neight|";
        const std::string lines = "\r\n" + ISO + "seven\r\n" + ISO + "eight\\|";
        ASSERT_TRUE(h.device().write(text));
        EXPECT_TRUE(matches(h.screen_read("|"), lines));
        EXPECT_TRUE(matches(file_when(h.file("p.log"), text.size() + size_t{2} * 24), lines));
        EXPECT_TRUE(file_holds(h.file("cap.txt"), text));
    }
}

TEST(TextView, HexViewShowsTheDeviceBytesWhileTheLogKeepsThem)
{
    {
        // KIVET text with the interpreter's own stamps on: in the log, not in the hex.
        Host h;
        ASSERT_TRUE(h.start(KIVET_BIN, {"/TIMESTAMP", "/HEX", h.port_name(), "57600", "k.log"}));
        EXPECT_TRUE(h.screen_until("exit.\n"));
        const std::string line0("Hello\r\n\0\x7f\x80\xffworld", 16);
        ASSERT_TRUE(h.device().write(line0));
        EXPECT_TRUE(h.screen_until(
            "\r00000000  48 65 6c 6c 6f 0d 0a 00  7f 80 ff 77 6f 72 6c 64  |Hello......world|\n"));
        // A line not yet full shows at once, and again whole in its place when it fills.
        ASSERT_TRUE(h.device().write("tail"));
        EXPECT_TRUE(h.screen_until("\r00000010  74 61 69 6c" + std::string(39, ' ') + "|tail|"));
        ASSERT_TRUE(h.device().write("-0123456789!"));
        EXPECT_TRUE(h.screen_until(
            "\r00000010  74 61 69 6c 2d 30 31 32  33 34 35 36 37 38 39 21  |tail-0123456789!|\n"));
        const std::string log = file_when(h.file("k.log"), 32 + 9);
        EXPECT_EQ(log.substr(0, 7), "Hello\r\n");
        EXPECT_TRUE(matches(log.substr(7, 9), MINUTES));
        EXPECT_EQ(log.substr(16), line0.substr(7) + "tail-0123456789!");

        // Alt+H: text again, then hex from offset 0.
        h.keys(KEY_ALT_H);
        EXPECT_EQ(h.screen_read(".\n"), "\r\nKIVET32: Hex view off.\n");
        ASSERT_TRUE(h.device().write("plain|"));
        EXPECT_EQ(h.screen_read("|"), "plain|");
        h.keys(KEY_ALT_H);
        EXPECT_EQ(h.screen_read(".\n"), "\r\nKIVET32: Hex view on.\n");
        ASSERT_TRUE(h.device().write("0123456789abcdef"));
        EXPECT_TRUE(h.screen_until(
            "\r00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"));
    }
    {
        // PASEL text between frames.
        Host h;
        ASSERT_TRUE(h.start(PASEL_BIN, {"-hex", h.port_name(), "57600", "p.log"}));
        EXPECT_TRUE(h.screen_until("exit.\n"));
        const std::string text = "PASEL text\r\n\t\x1b\x7f|";
        ASSERT_TRUE(h.device().write(text));
        EXPECT_TRUE(h.screen_until(
            "\r00000000  50 41 53 45 4c 20 74 65  78 74 0d 0a 09 1b 7f 7c  |PASEL text.....||\n"));
        EXPECT_TRUE(file_holds(h.file("p.log"), text));
    }
}
