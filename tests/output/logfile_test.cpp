// tests/output/logfile_test.cpp: the log's PASEL text write with its wrap mark, the capture file
// and the sizes reported in KB.
#include <string>

#include "output/logfile.h"
#include "tests/support/fixture.h"

namespace
{

class LogChar : public SystemTest
{
  protected:
    static void put(const std::string& s) REQUIRES(link_lock)
    {
        for (const char c : s) {
            const uint8_t b = static_cast<uint8_t>(c);
            log_text(&b, 1);
        }
    }
};

TEST_F(LogChar, WrapsEightyLettersAfterCrLfAndCaptureStaysRaw)
{
    link_lock.assert_held();
    ASSERT_TRUE(log_open("log.txt"));
    ASSERT_TRUE(capture_open("cap.txt"));
    const std::string letters(80, 'a');
    put("\r\n" + letters + "\r\n");

    // The LF after the CR is a column of its own: 74 letters fit before the mark.
    EXPECT_EQ(read_file("log.txt"),
              "\r\n" + std::string(74, 'a') + "!\r\n" + std::string(6, 'a') + "\r\n");
    EXPECT_EQ(read_file("cap.txt"), "\r\n" + letters + "\r\n");
}

TEST_F(LogChar, LineFeedsAloneAreMarkedEverySeventyFiveAndCountingRestarts)
{
    link_lock.assert_held();
    ASSERT_TRUE(log_open("log.txt"));
    put("\r" + std::string(75, '\n') + std::string(75, 'b') + "c");
    EXPECT_EQ(read_file("log.txt"),
              "\r" + std::string(75, '\n') + "!\r\n" + std::string(75, 'b') + "!\r\nc");
}

TEST_F(LogChar, ColumnsAdvanceOnlyWhileALogIsOpenAndSurviveReopening)
{
    link_lock.assert_held();
    ASSERT_TRUE(capture_open("cap.txt"));
    put(std::string(100, 'x'));  // capture only: no column is counted
    ASSERT_TRUE(log_open("one.txt"));
    put(std::string(70, 'y'));
    log_close();
    ASSERT_TRUE(log_open("two.txt"));
    put(std::string(6, 'z'));  // columns 71..76: the mark follows the fifth

    EXPECT_EQ(read_file("one.txt"), std::string(70, 'y'));
    EXPECT_EQ(read_file("two.txt"), "zzzzz!\r\nz");
    EXPECT_EQ(read_file("cap.txt"),
              std::string(100, 'x') + std::string(70, 'y') + std::string(6, 'z'));
}

// A drain's text written at once: the same log and capture as character by character, the
// column carried from one call to the next and across the writer's own buffer.
TEST_F(LogChar, TextAtOnceWritesWhatCharactersWrite)
{
    link_lock.assert_held();
    std::string text = "\r\n" + std::string(80, 'a') + "\r\n" + std::string(160, '\n') + "\rx";
    for (int i = 0; i < 3000; i++) {
        text += "line " + std::to_string(i) + std::string(i % 90, '.') + (i % 3 != 0 ? "\r\n" : "");
    }
    ASSERT_TRUE(log_open("one.txt"));
    ASSERT_TRUE(capture_open("cap1.txt"));
    put(text);
    logfile_init();
    ASSERT_TRUE(log_open("all.txt"));
    ASSERT_TRUE(capture_open("cap2.txt"));
    for (size_t i = 0, len = 999; i < text.size(); i += len, len = len == 999 ? 20000 : 999) {
        const std::string piece = text.substr(i, len);
        log_text(reinterpret_cast<const uint8_t*>(piece.data()),
                 static_cast<uint32_t>(piece.size()));
    }
    log_close();
    capture_close();
    EXPECT_EQ(read_file("all.txt"), read_file("one.txt"));
    EXPECT_EQ(read_file("cap2.txt"), text);
}

TEST_F(LogChar, LogWriteNeitherWrapsNorMovesTheColumn)
{
    link_lock.assert_held();
    ASSERT_TRUE(log_open("log.txt"));
    ASSERT_TRUE(capture_open("cap.txt"));
    const std::string text(200, 'k');
    log_write(text.data(), static_cast<uint32_t>(text.size()));
    put(std::string(75, 'm'));
    EXPECT_EQ(read_file("log.txt"), text + std::string(75, 'm') + "!\r\n");
    EXPECT_EQ(read_file("cap.txt"), std::string(75, 'm'));  // KIVET text never reaches it
}

TEST_F(LogChar, SizesAreWholeThousandsOfBytesWritten)
{
    link_lock.assert_held();
    ASSERT_TRUE(log_open("log.txt"));
    ASSERT_TRUE(capture_open("cap.txt"));
    const std::string text(999, 'q');
    log_write(text.data(), 999);
    put("\r");  // one byte more in each: 1000 in the log, 1 in the capture
    EXPECT_EQ(log_kb(), 1);
    EXPECT_EQ(capture_kb(), 0);
    put(std::string(998, '\r'));
    EXPECT_EQ(capture_kb(), 0);
    put("\r");
    EXPECT_EQ(capture_kb(), 1);

    ASSERT_TRUE(log_open("again.txt"));  // truncated and counted from 0
    EXPECT_EQ(log_kb(), 0);
}

TEST_F(LogChar, OpenFailureLeavesNoFile)
{
    link_lock.assert_held();
    EXPECT_FALSE(log_open("missing/dir/log.txt"));
    EXPECT_FALSE(log_is_open());
    plat::fake_file_fail("open", EACCES);
    EXPECT_FALSE(capture_open("cap.txt"));
    EXPECT_FALSE(capture_is_open());
    put("abc");  // goes nowhere, without harm
}

}  // namespace
