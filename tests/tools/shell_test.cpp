// tests/tools/shell_test.cpp: the emulator's interactive side (tools/devsim/shell): line
// editing of typed bytes, the command parser, device text made safe for the host, and the shell
// over an in-memory link with the host's replies queued up front.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/tools/device_dir.h"
#include "tools/devsim/shell.h"

using namespace devsim;

namespace
{

struct Typed {
    std::string echo;
    std::vector<std::string> lines;
};

Typed type(LineEditor& ed, const std::string& keys)
{
    Typed t;
    for (const char c : keys) {
        if (std::optional<std::string> line = ed.feed(uint8_t(c), t.echo)) {
            t.lines.push_back(*line);
        }
    }
    return t;
}

ShellCommand parsed(const std::string& line)
{
    ShellCommand cmd;
    std::string error;
    EXPECT_TRUE(shell_parse(line, cmd, error)) << line << ": " << error;
    return cmd;
}

std::string parse_error(const std::string& line)
{
    ShellCommand cmd;
    std::string error;
    EXPECT_FALSE(shell_parse(line, cmd, error)) << line;
    return error;
}

Bytes le16(uint16_t v)
{
    return {uint8_t(v & 0xFF), uint8_t(v >> 8)};
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

}  // namespace

TEST(LineEditor, TypedLineIsEchoedAndEndsAtCr)
{
    LineEditor ed;
    const Typed t = type(ed, "ls\r");
    EXPECT_EQ(t.echo, "ls\r\n");
    EXPECT_EQ(t.lines, std::vector<std::string>{"ls"});
}

TEST(LineEditor, CrLfEndsOneLineAndLfAloneEndsOne)
{
    LineEditor ed;
    EXPECT_EQ(type(ed, "a\r\nb\n\n").lines, (std::vector<std::string>{"a", "b", ""}));
}

TEST(LineEditor, BackspaceAndDeleteTakeBackOneCharacter)
{
    LineEditor ed;
    const Typed t = type(ed, "\x7f"
                             "ab\x7f"
                             "c\x08"
                             "d\r");
    EXPECT_EQ(t.lines, std::vector<std::string>{"ad"});
    EXPECT_EQ(t.echo, "ab\b \bc\b \bd\r\n");  // nothing to take back at the start: no echo
}

TEST(LineEditor, CtrlCDropsTheLine)
{
    LineEditor ed;
    const Typed t = type(ed, "rm x\x03"
                             "ls\r");
    EXPECT_EQ(t.lines, (std::vector<std::string>{"", "ls"}));
    EXPECT_NE(t.echo.find("^C\r\n"), std::string::npos);
}

TEST(LineEditor, CursorKeysAreSwallowedAndUpRecallsTheLastLine)
{
    LineEditor ed;
    type(ed, "get a\r");
    const Typed t = type(ed, "xy\x1b[D\x1b[1;5C\x1b[A\r");
    EXPECT_EQ(t.lines, std::vector<std::string>{"get a"});
    EXPECT_EQ(t.echo, "xy\b \b\b \bget a\r\n");
}

TEST(LineEditor, EchoNeverCarriesBytesTheHostWouldInterpret)
{
    LineEditor ed;
    std::string echo;
    for (int b = 0; b < 256; ++b) {
        (void)ed.feed(uint8_t(b), echo);
    }
    for (const char c : echo) {
        EXPECT_NE(uint8_t(c), 0x02);
        EXPECT_NE(uint8_t(c), 0x1B);
        EXPECT_NE(uint8_t(c), 0xC0);
    }
}

TEST(LineEditor, OverlongLineIsCut)
{
    LineEditor ed;
    const Typed t = type(ed, std::string(SHELL_LINE_MAX + 50, 'x') + "\r");
    ASSERT_EQ(t.lines.size(), 1u);
    EXPECT_EQ(t.lines[0].size(), SHELL_LINE_MAX);
}

TEST(ShellParse, VerbsTakeTheirArguments)
{
    EXPECT_EQ(parsed("").verb, SH_NONE);
    EXPECT_EQ(parsed("  HELP ").verb, SH_HELP);

    const ShellCommand get = parsed("get sub/data.bin 64");
    EXPECT_EQ(get.verb, SH_GET);
    EXPECT_EQ(get.name, "sub/data.bin");
    EXPECT_EQ(get.block_size, 64);

    const ShellCommand put = parsed("put -f notes.txt");
    EXPECT_EQ(put.verb, SH_PUT);
    EXPECT_TRUE(put.force);
    EXPECT_EQ(put.name, "notes.txt");
    EXPECT_EQ(put.block_size, 0);

    EXPECT_EQ(parsed("flood 250").count, 250);
    EXPECT_EQ(parsed("mode PASEL").name, "PASEL");
    EXPECT_EQ(parsed("mode").name, "");
    EXPECT_EQ(parsed("echo  two  words ").name, "two  words ");
}

TEST(ShellParse, BadLinesAreRefusedWithTheUsage)
{
    EXPECT_NE(parse_error("sned x").find("unknown command"), std::string::npos);
    EXPECT_EQ(parse_error("get"), "usage: get NAME [BLOCKSIZE]");
    EXPECT_EQ(parse_error("get a 0"), "usage: get NAME [BLOCKSIZE]");
    EXPECT_EQ(parse_error("get a 64k"), "usage: get NAME [BLOCKSIZE]");
    EXPECT_EQ(parse_error("get a 1 2"), "usage: get NAME [BLOCKSIZE]");
    EXPECT_EQ(parse_error("put -f"), "usage: put [-f] FILE [BLOCKSIZE]");
    EXPECT_EQ(parse_error("flood 0"), "usage: flood N");
    EXPECT_EQ(parse_error("flood -3"), "usage: flood N");
    EXPECT_EQ(parse_error("flood 9999999"), "usage: flood N");
    EXPECT_EQ(parse_error("mode xmodem"), "usage: mode [kivet|pasel]");
    EXPECT_EQ(parse_error("ls -l"), "usage: ls");
    EXPECT_EQ(parse_error("cat"), "usage: cat NAME");
}

TEST(PrintableText, KeepsTextAndHidesBytesTheHostWouldInterpret)
{
    const Bytes data = {'a', '\n', 'b', '\r', '\n', 0x02, 0x1B, 'E', 0xC0, '\t', 0x00, 'z'};
    EXPECT_EQ(printable_text(data, 100), "a\r\nb\r\n..E. .z");
    EXPECT_EQ(printable_text(data, 3), "a\r\nb");
}

// The shell on the device end of an in-memory pair; the test types with feed() and plays the
// host by queueing its replies on the host end before the command that reads them.
class ShellTest : public DeviceDirTest
{
  protected:
    Shell make_shell(DeviceMode mode)
    {
        ShellConfig config;
        config.dir = dir_;
        config.setup.mode = mode;
        config.setup.reply_timeout_ms = 200;
        return Shell(device_, config);
    }
    // Everything the shell sent to the host so far.
    std::string host_saw()
    {
        std::string out;
        for (Bytes got; !(got = host_.read_some(4096, 0)).empty();) {
            out += to_string(got);
        }
        return out;
    }

    std::pair<MemoryLink, MemoryLink> pair_ = make_memory_pair();
    MemoryLink& device_ = pair_.first;
    MemoryLink& host_ = pair_.second;
};

TEST_F(ShellTest, StartsWithBannerAndPromptAndAnswersHelp)
{
    Shell shell = make_shell(DEV_KIVET);
    shell.start();
    EXPECT_NE(host_saw().find("devsim kivet> "), std::string::npos);
    shell.feed(to_bytes("help\r"));
    const std::string out = host_saw();
    EXPECT_EQ(out.rfind("help\r\n", 0), 0u);
    EXPECT_NE(out.find("flood N"), std::string::npos);
    EXPECT_EQ(out.find('\n', 0), out.find("\r\n", 0) + 1);  // every LF goes out as CR LF
}

TEST_F(ShellTest, GetSavesTheFileTheHostServes)
{
    Shell shell = make_shell(DEV_KIVET);
    ASSERT_TRUE(host_.write(cat({le16(7), le16(0)})));                   // open: handle 7
    ASSERT_TRUE(host_.write(cat({le16(3), to_bytes("abc"), le16(0)})));  // read: 3 bytes
    ASSERT_TRUE(host_.write(cat({le16(0), le16(0)})));                   // read: end of file
    ASSERT_TRUE(host_.write(le16(0)));                                   // close
    shell.feed(to_bytes("get pc/a.txt\r"));
    const std::string out = host_saw();
    EXPECT_NE(out.find(to_string(kivet_open(KV_MODE_READ, "pc/a.txt"))), std::string::npos);
    EXPECT_NE(out.find("got pc/a.txt: 3 bytes"), std::string::npos) << out;
    std::ifstream saved(std::filesystem::path(dir_) / "a.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), "abc");
}

TEST_F(ShellTest, PutOfAFileThePcHasSuggestsForce)
{
    Shell shell = make_shell(DEV_KIVET);
    std::ofstream(std::filesystem::path(dir_) / "n.txt") << "notes";
    ASSERT_TRUE(host_.write(cat({le16(0xFFFF), le16(80)})));  // open mode 2: the file exists
    shell.feed(to_bytes("put n.txt\r"));
    EXPECT_NE(host_saw().find("put -f n.txt"), std::string::npos);
}

TEST_F(ShellTest, PaselModeAnswersAStrayEndAndStillTakesTypedText)
{
    Shell shell = make_shell(DEV_PASEL);
    Bytes in = to_bytes("ec");
    const Bytes end = frame_encode(packet_end());
    in.insert(in.end(), end.begin(), end.end());
    const Bytes rest = to_bytes("ho hi\r");
    in.insert(in.end(), rest.begin(), rest.end());
    shell.feed(in);
    const std::string out = host_saw();
    EXPECT_NE(out.find(to_string(frame_encode(packet_ack(0)))), std::string::npos);
    EXPECT_NE(out.find("hi\r\ndevsim pasel> "), std::string::npos) << out;
}
