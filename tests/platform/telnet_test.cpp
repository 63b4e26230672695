// The telnet and com port control engine of a network port: what a real server does not show.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/telnet.h"

namespace
{

using namespace plat;
using namespace std::string_literals;

const std::string IAC = "\xff";
const std::string SB_COM = "\xff\xfa\x2c";
const std::string SE = "\xff\xf0";

std::string cmd(uint8_t verb, uint8_t opt)
{
    return IAC + static_cast<char>(verb) + static_cast<char>(opt);
}

std::string receive(const std::string& in, uint32_t now = 0)
{
    std::string out(in.size(), '\0');
    const uint32_t got = telnet_receive(reinterpret_cast<const uint8_t*>(in.data()),
                                        static_cast<uint32_t>(in.size()),
                                        reinterpret_cast<uint8_t*>(out.data()), now);
    out.resize(got);
    return out;
}

std::string control()
{
    const uint8_t* p = nullptr;
    const uint32_t n = telnet_control(&p);
    std::string s(reinterpret_cast<const char*>(p), n);
    telnet_control_sent(n);
    return s;
}

std::string encode(const std::string& in)
{
    std::string out(2 * in.size() + 2, '\0');
    uint32_t made = 0;
    const uint32_t took = telnet_encode(
        reinterpret_cast<const uint8_t*>(in.data()), static_cast<uint32_t>(in.size()),
        reinterpret_cast<uint8_t*>(out.data()), static_cast<uint32_t>(out.size()), &made);
    EXPECT_EQ(took, in.size());
    out.resize(made);
    return out;
}

struct Note {
    std::string text;
    bool console;
};

std::vector<Note> notes()
{
    std::vector<Note> all;
    char text[TN_NOTE_SIZE];
    bool console = false;
    while (telnet_take_note(text, sizeof text, &console)) {
        all.push_back({text, console});
    }
    return all;
}

std::vector<std::string> console_notes()
{
    std::vector<std::string> shown;
    for (const Note& n : notes()) {
        if (n.console) {
            shown.push_back(n.text);
        }
    }
    return shown;
}

// A telnet connection whose offers went and whose notes were read.
void start()
{
    telnet_start(true, 0);
    control();
    notes();
}

// The server took the com port option, the settings at rate went, and its notes were read.
void start_with_settings(int32_t rate)
{
    start();
    receive(cmd(TN_DO, TN_OPT_COM_PORT));
    telnet_settings(rate, false, 0);
    control();
    notes();
}

TEST(Telnet, ACommandSplitAnywhereIsTakenWhole)
{
    // A refused request, a rate reply with a doubled 0xFF, a suspend, device bytes around them.
    const std::string stream = "a"s + cmd(TN_DO, 24) + SB_COM + "\x65\x00\x01\xc2\xff\xff"s + SE +
                               "b" + IAC + IAC + SB_COM + "\x6c" + SE + "c\r\n";
    for (size_t i = 0; i <= stream.size(); ++i) {
        for (size_t j = i; j <= stream.size(); ++j) {
            start_with_settings(0x0001C2FF);
            std::string out = receive(stream.substr(0, i));
            out += receive(stream.substr(i, j - i));
            out += receive(stream.substr(j));
            ASSERT_EQ(out, "ab\xff"
                           "c\r\n")
                << i << " " << j;
            ASSERT_EQ(control(), cmd(TN_WONT, 24)) << i << " " << j;
            ASSERT_TRUE(telnet_suspended()) << i << " " << j;
            ASSERT_TRUE(console_notes().empty()) << i << " " << j;  // the rate asked for
        }
    }
}

TEST(Telnet, RefusedOptionsAreAnsweredOnce)
{
    start();
    // The server's usual greeting: only its WILL ECHO needs an answer.
    receive(
        "\xff\xfb\x03\xff\xfd\x03\xff\xfb\x01\xff\xfe\x01\xff\xfd\x00\xff\xfb\x00\xff\xfd\x2c"s);
    EXPECT_EQ(control(), cmd(TN_DONT, 1));
    const std::string ttype = cmd(TN_DO, 24);
    const std::string naws = cmd(TN_WILL, 31);
    receive(ttype + naws + ttype + naws + ttype + naws);
    EXPECT_EQ(control(), cmd(TN_WONT, 24) + cmd(TN_DONT, 31));
    // Its WONT and DONT that confirm what the client does are not answered.
    receive(cmd(TN_WONT, 24) + cmd(TN_DONT, 31) + cmd(TN_DONT, 24) + cmd(TN_WONT, 31));
    EXPECT_EQ(control(), "");
}

TEST(Telnet, IacInSubnegotiationsBothWays)
{
    start();
    receive(cmd(TN_DO, TN_OPT_COM_PORT));
    telnet_settings(0x0001C2FF, false, 0);
    const std::string rate = SB_COM + "\x01\x00\x01\xc2\xff\xff"s + SE;
    EXPECT_EQ(control().substr(0, rate.size()), rate);
    receive(SB_COM + "\x65\x00\x01\xc2\xff\xff"s + SE);
    EXPECT_TRUE(console_notes().empty());
    // A subnegotiation over the limit is dropped whole: its rate is not taken, what follows is.
    EXPECT_EQ(receive(SB_COM + "\x65\x00\x00\x25\x80"s + std::string(TN_SB_MAX, 'x') + SE + "ok"),
              "ok");
    EXPECT_TRUE(console_notes().empty());
}

TEST(Telnet, CrNulWhereBinaryIsRefused)
{
    start();
    receive(cmd(TN_WONT, TN_OPT_BINARY) + cmd(TN_DONT, TN_OPT_BINARY));
    EXPECT_EQ(receive("a\r\0b\r\nc\r"s), "a\rb\r\nc\r");
    EXPECT_EQ(receive("\0\0"s), "\0"s);  // the CR's NUL, then a NUL
    EXPECT_EQ(encode("a\rb\xff"), "a\r\0b\xff\xff"s);
    // Once binary is agreed both ways, CR and NUL pass as they are.
    receive(cmd(TN_WILL, TN_OPT_BINARY) + cmd(TN_DO, TN_OPT_BINARY));
    EXPECT_EQ(receive("a\r\0b"s), "a\r\0b"s);
    EXPECT_EQ(encode("a\rb"), "a\rb");
}

TEST(Telnet, ARateOtherThanAskedIsShown)
{
    // A rate report before any rate was asked for goes to the trace only.
    start();
    receive(SB_COM + "\x65\x00\x00\x4b\x00"s + SE);
    EXPECT_TRUE(console_notes().empty());
    start_with_settings(115200);
    receive(SB_COM + "\x65\x00\x00\x25\x80"s + SE);
    const auto shown = console_notes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("9600"), std::string::npos) << shown[0];
    EXPECT_NE(shown[0].find("115200"), std::string::npos) << shown[0];
}

TEST(Telnet, SuspendAndResume)
{
    start();
    receive(SB_COM + "\x6c" + SE);
    EXPECT_TRUE(telnet_suspended());
    receive(SB_COM + "\x6c" + SE);
    EXPECT_TRUE(telnet_suspended());
    receive(SB_COM + "\x6d" + SE);
    EXPECT_FALSE(telnet_suspended());
    receive(SB_COM + "\x6c" + SE);
    telnet_start(true, 0);  // a new connection starts unsuspended
    EXPECT_FALSE(telnet_suspended());
}

}  // namespace
