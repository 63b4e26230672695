// tests/fileservice/interpreter_test.cpp: the stream interpreter's text, ESC and command
// states, time stamps, and the status reply.
#include <string>
#include <vector>

#include "fileservice/interpreter.h"
#include "output/text.h"
#include "output/view.h"
#include "tests/fileservice/wire.h"
#include "tests/support/fixture.h"

namespace
{

class Interpreter : public SystemTest
{
  protected:
    // What the buffer holds, shown the way the read pump shows it.
    static std::string shown() REQUIRES(link_lock)
    {
        plat::fake_console_clear_output();
        text_flush();
        return plat::fake_console_output();
    }
};

const std::string STATUS_OK = bytes({0, 0});
const std::string CLEAR = "\x1b[H\x1b[2J";  // what the fake console records for a clear

TEST_F(Interpreter, TextIsAppendedUnchangedControlBytesAndNulIncluded)
{
    link_lock.assert_held();
    const std::string text = bytes({'a', 0x00, 0x0D, 0x0A, 0x07, 0x7F, 0xFF, 'b'});
    feed(text);
    EXPECT_EQ(shown(), text);
    EXPECT_TRUE(plat::fake_port_writes().empty());
}

TEST_F(Interpreter, IntroTwiceReturnsToTextWithoutReply)
{
    link_lock.assert_held();
    feed(bytes({'a', 0x02, 0x02, 'b'}));
    EXPECT_EQ(shown(), "ab");
    EXPECT_EQ(interp_state(), CS_TEXT);
    EXPECT_TRUE(plat::fake_port_writes().empty());
}

TEST_F(Interpreter, UnknownCodesAreDroppedAndTheNextByteIsText)
{
    link_lock.assert_held();
    std::string expected;
    for (int code = 0x06; code <= 0xFF; ++code) {
        feed(bytes({0x02, code}));
        ASSERT_EQ(interp_state(), CS_TEXT) << code;
        feed("t");
        expected += "t";
    }
    EXPECT_EQ(shown(), expected);
    EXPECT_TRUE(plat::fake_port_writes().empty());
}

TEST_F(Interpreter, KnownCodesEnterTheirArgumentStates)
{
    link_lock.assert_held();
    const std::vector<std::pair<int, CmdState>> codes = {
        {0x00, CS_OPEN}, {0x01, CS_CLOSE}, {0x03, CS_READ}, {0x04, CS_WRITE}, {0x05, CS_CMD5}};
    for (const auto& [code, state] : codes) {
        interp_init();
        feed(bytes({0x02, 0x05, 0, 0, 0, 0, 0}));  // a whole command leaves the step at 5
        feed(bytes({0x02, code}));
        EXPECT_EQ(interp_state(), state) << code;
        EXPECT_EQ(interp_arg_step(), 0u) << code;
    }
}

TEST_F(Interpreter, EscEClearsTheScreenAndEarlierTextShowsAfterIt)
{
    link_lock.assert_held();
    feed("ab\x1b"
         "Ec");
    EXPECT_EQ(plat::fake_console_clears(), 1);
    EXPECT_EQ(plat::fake_console_output(), CLEAR);
    EXPECT_EQ(shown(), "abc");
}

TEST_F(Interpreter, EscAndAnyOtherByteAreBothDropped)
{
    link_lock.assert_held();
    feed("\x1bx\x1b\n\x1b");
    feed(bytes({0x00, 'q'}));
    EXPECT_EQ(shown(), "q");
    EXPECT_EQ(plat::fake_console_clears(), 0);
}

TEST_F(Interpreter, EscEscEClearsTheScreen)
{
    link_lock.assert_held();
    feed("\x1b\x1b"
         "E");
    EXPECT_EQ(plat::fake_console_clears(), 1);
    EXPECT_EQ(shown(), "");
}

TEST_F(Interpreter, EscThenCommandKeepsEscPendingForTheByteAfterTheReply)
{
    link_lock.assert_held();
    feed(bytes({0x1B, 0x02, 0x05, 1, 2, 3, 4, 5}));
    EXPECT_EQ(plat::fake_port_written(), STATUS_OK);
    feed("Ez");
    EXPECT_EQ(plat::fake_console_clears(), 1);
    EXPECT_EQ(shown(), "z");
}

TEST_F(Interpreter, IntroAndEscAreArgumentBytesInsideACommand)
{
    link_lock.assert_held();
    feed(bytes({0x02, 0x05, 0x02, 0x1B, 0x02, 0x1B, 'E'}));
    EXPECT_EQ(plat::fake_port_writes(), std::vector<std::string>{STATUS_OK});
    EXPECT_EQ(plat::fake_console_clears(), 0);
    feed("x");
    EXPECT_EQ(shown(), "x");
}

TEST_F(Interpreter, CommandSplitOverChunksBehavesAsInOne)
{
    link_lock.assert_held();
    // The read pump empties the buffer before each chunk and flushes after it.
    const std::string cmd = bytes({'a', 0x02, 0x05, 9, 8, 7, 6, 5, 'b'});
    for (const char c : cmd) {
        text_empty();
        interp_byte(static_cast<uint8_t>(c));
        text_flush();
    }
    EXPECT_EQ(plat::fake_port_writes(), std::vector<std::string>{STATUS_OK});
    EXPECT_EQ(plat::fake_console_output(), "ab");
}

TEST_F(Interpreter, StampGoesBeforeEachLineAfterACrButNotEmptyLines)
{
    link_lock.assert_held();
    plat::fake_local_time_set(10, 7, 3, 456);
    timestamp_option = 1;
    feed("x\r\ny\r\n\r\nz");
    EXPECT_EQ(shown(), "x\r\n07:03.45 y\r\n\r\n07:03.45 z");
}

TEST_F(Interpreter, StampPendingWhenTheOptionGoesOffIsInsertedOnce)
{
    link_lock.assert_held();
    plat::fake_local_time_set(0, 1, 2, 30);
    timestamp_option = 1;
    feed("a\r");
    timestamp_option = 0;
    feed("\nb\rc");
    EXPECT_EQ(shown(), "a\r\n01:02.03 b\rc");
}

TEST_F(Interpreter, StampPendingSurvivesACommand)
{
    link_lock.assert_held();
    plat::fake_local_time_set(0, 0, 0, 0);
    timestamp_option = 1;
    feed(bytes({'a', 0x0D, 0x02, 0x05, 0, 0, 0, 0, 0, 'b'}));
    EXPECT_EQ(shown(), "a\r00:00.00 b");
}

TEST_F(Interpreter, StatusReplySendsTheLowTwoBytesLowFirstInOneWrite)
{
    link_lock.assert_held();
    feed(bytes({0x02, 0x05}));
    status_reply(0x12345678);
    EXPECT_EQ(plat::fake_port_writes(), std::vector<std::string>{bytes({0x78, 0x56})});
    EXPECT_EQ(interp_state(), CS_TEXT);
}

// The same chunks interpreted byte by byte and a chunk at a time: the same console text (clears,
// which the fake console records in its output, stamps and full-buffer flushes in place), the same
// replies, the same state after them.
TEST_F(Interpreter, ChunkAtOnceDoesWhatSingleBytesDo)
{
    link_lock.assert_held();
    plat::fake_local_time_set(10, 7, 3, 456);
    const std::string stream = "plain\r\nline\x1b"
                               "Ecleared\x1bxgone\r\r\n" +
                               bytes({0, 'n', 0x02, 0x02, 'm', 0x02, 0x07, 'k'}) +
                               open_cmd(1, "missing.txt") + std::string(5000, 'L') + "\r\nend" +
                               bytes({0x1B, 0x02, 0x05, 1, 2, 3, 4, 5}) + "Ex\r";
    auto run = [&](size_t cut, bool at_once) REQUIRES(link_lock) {
        interp_init();
        text_init();
        plat::fake_console_clear_output();
        plat::fake_port_clear_written();
        for (size_t i = 0; i < stream.size(); i += cut) {
            const std::string chunk = stream.substr(i, cut);
            text_empty();
            if (at_once) {
                interp_chunk(reinterpret_cast<const uint8_t*>(chunk.data()),
                             static_cast<uint32_t>(chunk.size()));
            } else {
                feed(chunk);
            }
            text_flush();
        }
        std::string replies;
        for (const std::string& w : plat::fake_port_writes()) {
            replies += "[" + w + "]";
        }
        return plat::fake_console_output() + "|" + replies + "|" + std::to_string(interp_state());
    };
    for (const uint8_t stamps : {0, 1}) {
        timestamp_option = stamps;
        for (const size_t cut : {size_t{1}, size_t{7}, size_t{4095}, size_t{4096}, stream.size()}) {
            const std::string bytewise = run(cut, false);
            EXPECT_EQ(run(cut, true), bytewise) << "cut " << cut << " stamps " << int(stamps);
            EXPECT_EQ(bytewise.find("07:03.45 ") != std::string::npos, stamps != 0);
        }
    }
}

}  // namespace
