// tests/output/text_test.cpp: the console text buffer and the time stamp.
#include <string>

#include "output/logfile.h"
#include "output/text.h"
#include "output/view.h"
#include "tests/support/fixture.h"

namespace
{

using TextBuffer = SystemTest;

TEST_F(TextBuffer, FullBufferFlushesBeforeTheLastAppend)
{
    link_lock.assert_held();
    ASSERT_TRUE(log_open("log.txt"));
    for (uint32_t i = 0; i < TEXT_BUF_SIZE - 1; ++i) {
        text_append(static_cast<uint8_t>('a' + i % 26));
    }
    EXPECT_EQ(plat::fake_console_output(), "");
    text_append('!');

    const std::string out = plat::fake_console_output();
    ASSERT_EQ(out.size(), TEXT_BUF_SIZE - 1);
    EXPECT_EQ(out.substr(0, 3), "abc");
    EXPECT_EQ(read_file("log.txt"), out);
    plat::fake_console_clear_output();
    text_flush();
    EXPECT_EQ(plat::fake_console_output(), "!");  // the one byte held after the full flush
}

TEST_F(TextBuffer, NulBytesReachConsoleAndLogByCount)
{
    link_lock.assert_held();
    ASSERT_TRUE(log_open("log.txt"));
    const std::string text("a\0b\0\0c", 6);
    for (const char c : text) {
        text_append(static_cast<uint8_t>(c));
    }
    text_flush();
    EXPECT_EQ(plat::fake_console_output(), text);
    EXPECT_EQ(read_file("log.txt"), text);
    plat::fake_console_clear_output();
    text_flush();
    EXPECT_EQ(plat::fake_console_output(), "");  // nothing held after the flush
}

TEST_F(TextBuffer, EmptyDropsWithoutShowingAndCaptureGetsNothing)
{
    link_lock.assert_held();
    ASSERT_TRUE(capture_open("cap.txt"));
    text_append('x');
    text_empty();
    text_append('y');
    text_flush();
    text_flush();  // nothing held: nothing more shown
    EXPECT_EQ(plat::fake_console_output(), "y");
    EXPECT_EQ(read_file("cap.txt"), "");
}

TEST_F(TextBuffer, TimestampShowsMinutesSecondsAndHundredths)
{
    link_lock.assert_held();
    plat::fake_local_time_set(10, 7, 3, 456);
    EXPECT_STREQ(timestamp_text(), "07:03.45 ");
    plat::fake_local_time_set(23, 59, 59, 999);
    const std::string s = timestamp_text();
    EXPECT_EQ(s, "59:59.99 ");
    EXPECT_EQ(s.size(), STAMP_LEN);
}

}  // namespace
