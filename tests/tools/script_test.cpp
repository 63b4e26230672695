// tests/tools/script_test.cpp: the emulator's script language (tools/devsim/script): words and
// escapes, the parser and its line-numbered errors, and the runner over an in-memory link with
// the host's side queued up front; also the --impair setting and the command line
// (tools/devsim/options).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/tools/device_dir.h"
#include "tools/devsim/options.h"
#include "tools/devsim/pasel_codec.h"
#include "tools/devsim/script.h"

using namespace devsim;

namespace
{

std::vector<std::string> words_of(const std::string& line)
{
    std::vector<std::string> words;
    std::string error;
    EXPECT_TRUE(script_words(line, words, error)) << line << ": " << error;
    return words;
}

std::vector<ScriptStep> parse_ok(const std::string& text)
{
    std::string error;
    std::optional<std::vector<ScriptStep>> steps = script_parse(text, error);
    EXPECT_TRUE(steps.has_value()) << error;
    return steps.value_or(std::vector<ScriptStep>{});
}

std::string parse_error(const std::string& text)
{
    std::string error;
    EXPECT_FALSE(script_parse(text, error).has_value()) << text;
    return error;
}

Bytes le16(uint16_t v)
{
    return {uint8_t(v & 0xFF), uint8_t(v >> 8)};
}

}  // namespace

TEST(ScriptWords, QuotesKeepBlanksAndEscapesWorkEverywhere)
{
    EXPECT_EQ(words_of("send  \"a b\\r\\n\"  x\\x41\\e\\\\ # comment"),
              (std::vector<std::string>{"send", "a b\r\n", "xA\x1B\\"}));
    EXPECT_EQ(words_of("send \"say \\\"hi\\\"\\t\" \"#not a comment\""),
              (std::vector<std::string>{"send", "say \"hi\"\t", "#not a comment"}));
    EXPECT_EQ(words_of("send \\0"), (std::vector<std::string>{"send", std::string(1, '\0')}));
    EXPECT_EQ(words_of("send \"\""), (std::vector<std::string>{"send", ""}));
    EXPECT_TRUE(words_of("   # only a comment").empty());
    EXPECT_EQ(words_of("log x\r"), (std::vector<std::string>{"log", "x"}));  // a CRLF script
}

TEST(ScriptWords, BrokenQuotesAndEscapesAreErrors)
{
    for (const std::string line :
         {"send \"open", "send \\q", "send \\x4", "send \\xZZ", "send \\"}) {
        std::vector<std::string> words;
        std::string error;
        EXPECT_FALSE(script_words(line, words, error)) << line;
        EXPECT_FALSE(error.empty());
    }
}

TEST(ScriptParse, StepsCarryTheirFieldsAndLineNumbers)
{
    const std::vector<ScriptStep> steps = parse_ok("# a script\n"
                                                   "send help\\r\n"
                                                   "\n"
                                                   "expect \"devsim> \" 2500\n"
                                                   "expect ok\n"
                                                   "get dir/big.bin bs=64 t1=500 t2=700\n"
                                                   "put mine.bin as=theirs.bin open=3 fail=80\n"
                                                   "fetch x.txt as=y.txt\n"
                                                   "mode pasel\n"
                                                   "create blob 1000\n"
                                                   "expect-file blob ../pc/blob\n"
                                                   "send a=b\n"
                                                   "expect-hangup\n");
    ASSERT_EQ(steps.size(), 11u);
    EXPECT_EQ(steps[0].line, 2);
    EXPECT_EQ(steps[0].verb, SC_SEND);
    EXPECT_EQ(steps[0].text, "help\r");
    EXPECT_EQ(steps[1].line, 4);
    EXPECT_EQ(steps[1].text, "devsim> ");
    EXPECT_EQ(steps[1].ms, 2500);
    EXPECT_EQ(steps[2].ms, -1);  // the default time-out
    EXPECT_EQ(steps[3].verb, SC_GET);
    EXPECT_EQ(steps[3].text, "dir/big.bin");
    EXPECT_EQ(steps[3].other, "big.bin");  // kept under its last name
    EXPECT_EQ(steps[3].block_size, 64);
    EXPECT_EQ(steps[3].t1_ms, 500);
    EXPECT_EQ(steps[3].t2_ms, 700);
    EXPECT_EQ(steps[4].other, "theirs.bin");
    EXPECT_EQ(steps[4].open_mode, KV_MODE_UPDATE);
    EXPECT_EQ(steps[4].fail, 80);
    EXPECT_EQ(steps[5].other, "y.txt");
    EXPECT_EQ(steps[6].mode, DEV_PASEL);
    EXPECT_EQ(steps[7].size, 1000u);
    EXPECT_EQ(steps[8].other, "../pc/blob");
    EXPECT_EQ(steps[9].text, "a=b");  // send knows no options: it is text
    EXPECT_EQ(steps[10].verb, SC_EXPECT_HANGUP);
}

TEST(ScriptParse, ErrorsNameTheLine)
{
    EXPECT_EQ(parse_error("send x\nsned y\n"), "line 2: unknown command 'sned'");
    EXPECT_EQ(parse_error("send a b"), "line 1: send takes 1 words (quote text with blanks)");
    EXPECT_NE(parse_error("expect x 5s").find("line 1: expect:"), std::string::npos);
    EXPECT_NE(parse_error("expect \"\"").find("needs some text"), std::string::npos);
    EXPECT_NE(parse_error("\n\nsend \"x").find("line 3:"), std::string::npos);
    EXPECT_NE(parse_error("mode xmodem").find("kivet or pasel"), std::string::npos);
    EXPECT_NE(parse_error("get a bs=0").find("bs="), std::string::npos);
    EXPECT_NE(parse_error("get a bs=70000").find("bs="), std::string::npos);
    EXPECT_NE(parse_error("store a open=1").find("open="), std::string::npos);
    EXPECT_NE(parse_error("put a fail=0").find("fail="), std::string::npos);
    EXPECT_NE(parse_error("get a as=../b").find("plain file name"), std::string::npos);
    EXPECT_NE(parse_error("put ../a").find("plain name"), std::string::npos);
    EXPECT_NE(parse_error("create a lots").find("size"), std::string::npos);
}

// The runner on the device end of an in-memory pair, in a fresh device directory; the test
// plays the host on the other end.
class ScriptRun : public DeviceDirTest
{
  protected:
    int run(const std::string& script)
    {
        report_.str("");
        ScriptEnv env{link_, dir_, DEV_KIVET, {}, report_};
        return script_run(parse_ok(script), env);
    }
    std::string host_saw()
    {
        std::string out;
        for (Bytes got; !(got = host_.read_some(4096, 0)).empty();) {
            out += to_string(got);
        }
        return out;
    }

    std::pair<MemoryLink, MemoryLink> pair_ = make_memory_pair();
    MemoryLink& host_ = pair_.second;
    BufferedLink link_{pair_.first};
    std::ostringstream report_;
};

TEST_F(ScriptRun, ExpectKeepsWhatFollowsItsMatchForTheNextStep)
{
    ASSERT_TRUE(host_.write(to_bytes("xx one two\r")));
    EXPECT_EQ(run("send \"hi\\r\"\nexpect one 100\nexpect \"two\\r\" 100\n"), 0) << report_.str();
    EXPECT_EQ(host_saw(), "hi\r");
}

TEST_F(ScriptRun, ExpectThatTimesOutFailsAndShowsWhatCame)
{
    ASSERT_TRUE(host_.write(to_bytes("nope\r\n")));
    EXPECT_EQ(run("expect yes 50\nsend never\n"), 1);
    EXPECT_NE(report_.str().find("line 1: expect \"yes\": not seen within 50 ms; the host sent "
                                 "\"nope\\r\\n\"  FAILED"),
              std::string::npos)
        << report_.str();
    EXPECT_EQ(host_saw(), "");  // the steps after the failure did not run
}

TEST_F(ScriptRun, FetchSavesTheFileAndExpectFileComparesIt)
{
    const std::string pc = dir_ + "/pc.txt";
    std::ofstream(pc) << "data";
    ASSERT_TRUE(host_.write(le16(3)));  // open: handle 3, status 0
    ASSERT_TRUE(host_.write(le16(0)));
    ASSERT_TRUE(host_.write(Bytes{4, 0, 'd', 'a', 't', 'a', 0, 0}));  // read: 4 bytes
    ASSERT_TRUE(host_.write(Bytes{0, 0, 0, 0}));                      // read: end of file
    ASSERT_TRUE(host_.write(le16(0)));                                // close
    EXPECT_EQ(run("fetch some/where.txt as=copy.txt\nexpect-file copy.txt " + pc + "\n"), 0)
        << report_.str();
    EXPECT_EQ(run("write other.txt dat\nexpect-file other.txt " + pc + "\n"), 1);
    EXPECT_NE(report_.str().find("3 and 4 bytes"), std::string::npos) << report_.str();
}

TEST_F(ScriptRun, FailOptionWantsThatStatusAndNoOther)
{
    ASSERT_TRUE(host_.write(Bytes{0xFF, 0xFF, 2, 0}));  // open fails: file not found
    EXPECT_EQ(run("fetch gone.txt fail=2\n"), 0) << report_.str();
    ASSERT_TRUE(host_.write(Bytes{0xFF, 0xFF, 5, 0}));  // open fails: access denied
    EXPECT_EQ(run("fetch gone.txt fail=2\n"), 1);
    ASSERT_TRUE(host_.write(Bytes{0xFF, 0xFF, 5, 0}));
    EXPECT_EQ(run("fetch gone.txt\n"), 1);
}

TEST_F(ScriptRun, StoreSendsTheDeviceFileInWrites)
{
    ASSERT_TRUE(host_.write(le16(1)));  // open: handle 1
    ASSERT_TRUE(host_.write(le16(0)));
    ASSERT_TRUE(host_.write(le16(0)));  // write 250 bytes
    ASSERT_TRUE(host_.write(le16(0)));  // write 50 bytes
    ASSERT_TRUE(host_.write(le16(0)));  // close
    EXPECT_EQ(run("create blob 300\nstore blob as=pc.bin open=3\n"), 0) << report_.str();
    const std::string sent = host_saw();
    EXPECT_EQ(sent.rfind(to_string(kivet_open(KV_MODE_UPDATE, "pc.bin")), 0), 0u);
    EXPECT_NE(sent.find(to_string(kivet_close(1))), std::string::npos);
}

TEST_F(ScriptRun, ExpectHangupAsksTheWatch)
{
    int polls = 0;
    ScriptEnv env{link_, dir_, DEV_KIVET, [&polls]() { return ++polls >= 3; }, report_};
    EXPECT_EQ(script_run(parse_ok("expect-hangup 2000\n"), env), 0);
    ScriptEnv never{link_, dir_, DEV_KIVET, {}, report_};
    EXPECT_EQ(script_run(parse_ok("expect-hangup 10\n"), never), 1);
}

// A tried transfer that fails is reported and the script goes on; settle then tells a PASEL host
// that the device gave up (an ERROR), and does nothing after a transfer that held.
TEST_F(ScriptRun, TriedTransferGoesOnAndSettleTellsTheHost)
{
    EXPECT_EQ(run("mode pasel\ntry get a.bin wait=30\nsettle 30\nsettle\nlog after\n"), 0)
        << report_.str();
    EXPECT_NE(report_.str().find("line 2: get a.bin: failed: "), std::string::npos);
    EXPECT_EQ(report_.str().find("FAILED"), std::string::npos) << report_.str();
    EXPECT_NE(report_.str().find("line 4: settle: nothing failed"), std::string::npos);
    EXPECT_NE(report_.str().find("line 5: after"), std::string::npos);
    const std::string sent = host_saw();
    EXPECT_TRUE(sent.ends_with(to_string(frame_encode(packet_error(ERR_TIMEOUT)))))
        << "the settle's ERROR after the request's four sends";
    EXPECT_EQ(run("get a.bin wait=30\nlog never\n"), 1);  // untried, it ends the script
    EXPECT_NE(parse_error("try send x").find("try takes a transfer"), std::string::npos);
    EXPECT_NE(parse_error("get a wait=0").find("wait="), std::string::npos);
}

// impair hands the setting to the link for the steps after it; off clears it.
TEST_F(ScriptRun, ImpairSetsTheLinkFromThatStepOn)
{
    std::vector<ImpairSetting> set;
    ScriptEnv env{link_, dir_, DEV_KIVET, {}, report_};
    env.impair = [&set](const ImpairSetting& s) { set.push_back(s); };
    EXPECT_EQ(script_run(parse_ok("impair drop=0.5,seed=9\nimpair off\n"), env), 0);
    ASSERT_EQ(set.size(), 2u);
    EXPECT_DOUBLE_EQ(set[0].incoming.drop, 0.5);
    EXPECT_EQ(set[0].seed, 9u);
    EXPECT_DOUBLE_EQ(set[1].outgoing.drop, 0);
    EXPECT_EQ(run("impair off\n"), 1);  // a link that cannot be spoiled
    EXPECT_NE(parse_error("impair drop=2").find("--impair"), std::string::npos);
}

TEST(ImpairParse, TakesEveryKeyAndOneDirection)
{
    ImpairSetting s;
    std::string error;
    ASSERT_TRUE(impair_parse("drop=0.02,corrupt=0.01,dup=0.5,delay=0.05:20,seed=7", s, error))
        << error;
    EXPECT_TRUE(s.on);
    EXPECT_EQ(s.seed, 7u);
    EXPECT_DOUBLE_EQ(s.outgoing.drop, 0.02);
    EXPECT_DOUBLE_EQ(s.incoming.corrupt, 0.01);
    EXPECT_DOUBLE_EQ(s.incoming.duplicate, 0.5);
    EXPECT_DOUBLE_EQ(s.outgoing.delay, 0.05);
    EXPECT_EQ(s.outgoing.delay_ms, 20);
    EXPECT_TRUE(s.outgoing.whole_frames);

    ASSERT_TRUE(impair_parse("drop=0.1,bytes,dir=in", s, error)) << error;
    EXPECT_DOUBLE_EQ(s.outgoing.drop, 0);
    EXPECT_DOUBLE_EQ(s.incoming.drop, 0.1);
    EXPECT_FALSE(s.incoming.whole_frames);
    EXPECT_FALSE(s.outgoing.whole_frames);
}

TEST(ImpairParse, RefusesWhatItCannotUse)
{
    for (const std::string list : {"drop=1.5", "drop=", "delay=0.1", "delay=0.1:x", "seed=-1",
                                   "dir=up", "bytes=1", "loss=0.1", "drop=0.1,,dup=0.1"}) {
        ImpairSetting s;
        std::string error;
        EXPECT_FALSE(impair_parse(list, s, error)) << list;
    }
}

TEST(OptionsParse, ScriptBoundsTheWaitForTheHostUnlessTold)
{
    Options o;
    std::string error;
    ASSERT_TRUE(options_parse({"--script", "s.txt", "--mode", "pasel", "--dir", "d"}, o, error));
    EXPECT_EQ(o.host_timeout_ms, 30000);
    EXPECT_EQ(o.mode, DEV_PASEL);
    EXPECT_EQ(o.dir, "d");

    Options shell;
    ASSERT_TRUE(options_parse({"--port-file", "p"}, shell, error));
    EXPECT_LT(shell.host_timeout_ms, 0);

    Options bad;
    EXPECT_FALSE(options_parse({"--mode"}, bad, error));
    EXPECT_FALSE(options_parse({"--mode", "ymodem"}, bad, error));
    EXPECT_FALSE(options_parse({"--colour", "red"}, bad, error));
    EXPECT_FALSE(options_parse({"--host-timeout", "soon"}, bad, error));
    EXPECT_FALSE(options_parse({"--baud", "fast"}, bad, error));

    Options paced;
    ASSERT_TRUE(options_parse({"--baud", "115200"}, paced, error));
    EXPECT_EQ(paced.baud, 115200);
}
