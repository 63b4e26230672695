// tests/e2e/network_test.cpp: a port on another machine, through a real ser2net on 127.0.0.1
// serving the pseudo-terminal the test plays the device on: the server's banner and the
// device's text with every byte value exact in the log, typed keys exact at the device, over
// telnet with the com port option and over raw TCP; the rate asked for set on the device's
// line; both file services byte-exact; the server stopped and started again; a server whose
// port another client holds; End while a connect hangs.
#include <termios.h>

#include <chrono>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/e2e/pasel_util.h"
#include "tools/devsim/kivet_device.h"
#include "tools/devsim/pasel_device.h"

using namespace e2e;

namespace
{

constexpr double END_WITHIN_S = 3.0;

// ser2net without its wait for more device bytes before it sends them: an exchange at a time.
const Ser2netOptions NO_CHARDELAY = [] {
    Ser2netOptions o;
    o.chardelay = false;
    return o;
}();

// Every byte value but the two the KIVET interpreter takes from the text (0x02 starts a file
// service command, ESC drops the byte after it), then the pairs a telnet layer could spoil:
// CR NUL, CR LF, IAC IAC.
std::string every_text_byte_value()
{
    std::string s;
    for (int b = 0; b < 256; ++b) {
        if (b != 0x02 && b != 0x1B) {
            s += char(b);
        }
    }
    return s + std::string("\r\0\r\n\xff\xff\r", 7);
}

// The program's port on ser2net's, started, its banner line through "exit.\n" on the screen.
testing::AssertionResult start_on(Host& h, const Ser2net& s, const std::string& bin,
                                  std::vector<std::string> args = {})
{
    args.insert(args.begin(), s.name());
    h.spawn(bin, args);
    testing::AssertionResult shown = h.screen_until("Press <End> key to exit.\n");
    return shown ? h.wait_ready() : shown;
}

// The message of a lost port, and of its return.
std::string lost_text(const std::string& label, const Ser2net& s)
{
    return label + ": Port \"" + s.name() + "\" lost, waiting for it to come back.\n";
}
std::string back_text(const std::string& label, const Ser2net& s)
{
    return label + ": Port \"" + s.name() + "\" is back.\n";
}

// The device's line speed as the server set it.
speed_t device_speed(Host& h)
{
    termios t{};
    (void)tcgetattr(h.device().master_fd(), &t);
    return cfgetospeed(&t);
}

// Banner and device text into the log, keys to the device: the same for both kinds of port.
void banner_text_and_keys_exact(bool telnet)
{
    Host h;
    Ser2net s(h.device(), h.dir(), {.telnet = telnet, .banner = "HELLO FROM THE SERVER\\r\\n"});
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(start_on(h, s, KIVET_BIN, {"115200", "net.log"}));
    ASSERT_TRUE(h.screen_until("HELLO FROM THE SERVER\r\n"));

    const std::string text = every_text_byte_value() + "<end>";
    ASSERT_TRUE(h.device().write(text));
    ASSERT_TRUE(h.screen_until("<end>"));
    EXPECT_TRUE(file_holds(h.file("net.log"), "HELLO FROM THE SERVER\r\n" + text));

    // Keys: plain ones, CR, Tab, a Ctrl key, a cursor key, Backspace, and the byte 0xFF: as a
    // terminal passes it natively; under Wine, whose console reads the terminal as UTF-8, the
    // no-break space, 0xFF in the console's code page 437.
    const std::string ff = on_wine() ? "\xc2\xa0" : "\xff";
    const std::string keys = "ab\rc\t\x01" + std::string(KEY_UP) + "\x7f" + ff + "x" + ff + ff;
    const std::string want = "ab\rc\t\x01\x1b[A\x7f\xffx\xff\xff";
    h.keys(keys);
    EXPECT_EQ(escaped(h.device().read_text(want.size(), WAIT_MS)), escaped(want));
    EXPECT_EQ(h.device().read_some(64, 300).size(), 0u) << "bytes beyond the keys at the device";
}

class Network : public testing::Test
{
};

}  // namespace

TEST_F(Network, Rfc2217CarriesBannerTextAndKeysExactly)
{
    banner_text_and_keys_exact(true);
}

TEST_F(Network, RawTcpCarriesBannerTextAndKeysUntouched)
{
    banner_text_and_keys_exact(false);
}

TEST_F(Network, RateAskedForIsSetOnTheDevicesLine)
{
    Host h;
    Ser2net s(h.device(), h.dir());  // the server's own setting: 115200
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(start_on(h, s, KIVET_BIN, {"9600"}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    while (device_speed(h) != B9600 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(device_speed(h), speed_t(B9600));
    EXPECT_EQ(h.screen().find("not the"), std::string::npos) << "the server took the rate";
}

TEST_F(Network, KivetReadAndPaselGetAreByteExact)
{
    const std::string data = random_bytes(200000, 24);
    {
        Host h;
        Ser2net s(h.device(), h.dir(), NO_CHARDELAY);
        ASSERT_TRUE(s.start());
        ASSERT_TRUE(start_on(h, s, KIVET_BIN, {"115200"}));
        ASSERT_TRUE(write_file(h.file("k.bin"), data));
        devsim::KivetClient client(h.device());
        const devsim::KivetReply r = client.fetch_file("k.bin");
        ASSERT_TRUE(r.ok()) << "status " << r.status;
        EXPECT_TRUE(devsim::to_string(r.data) == data) << "the KIVET read arrived changed";
    }
    {
        Host h;
        Ser2net s(h.device(), h.dir(), NO_CHARDELAY);
        ASSERT_TRUE(s.start());
        ASSERT_TRUE(start_on(h, s, PASEL_BIN, {"115200"}));
        ASSERT_TRUE(write_file(h.file("p.bin"), data));
        devsim::PaselDevice dev(h.device());
        const devsim::PaselResult r = dev.get("p.bin", 128, 500, 1000);
        ASSERT_TRUE(r.ok) << r.failure;
        EXPECT_TRUE(devsim::to_string(r.data) == data) << "the PASEL get arrived changed";
        EXPECT_EQ(r.bad_frames, 0);
    }
}

TEST_F(Network, ServerStoppedAndStartedAgainIsLostThenBack)
{
    Host h;
    Ser2net s(h.device(), h.dir());
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(start_on(h, s, KIVET_BIN, {"115200"}));
    ASSERT_TRUE(h.device().write("before|"));
    ASSERT_TRUE(h.screen_until("before|"));

    s.stop();
    ASSERT_TRUE(h.screen_until(lost_text("KIVET32", s)));
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(h.screen_until(back_text("KIVET32", s)));
    ASSERT_TRUE(h.device().write("after|"));
    EXPECT_TRUE(h.screen_until("after|"));
    h.keys("k");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "k");
    const std::string screen = h.screen();
    EXPECT_EQ(screen.find(lost_text("KIVET32", s)), screen.rfind(lost_text("KIVET32", s)))
        << "lost said more than once";
}

TEST_F(Network, BusyServerIsSaidOnceThenConnectedWhenFree)
{
    Host h;
    Ser2net s(h.device(), h.dir(), {.telnet = false, .banner = "FREE\\r\\n"});
    ASSERT_TRUE(s.start());
    Ser2netClient first(s.port());
    ASSERT_TRUE(first.read_until("FREE\r\n"));  // ser2net serves it: the port is held

    h.spawn(KIVET_BIN, {s.name(), "115200"});
    const std::string busy = "KIVET32: Port \"" + s.name() +
                             "\" is in use by another client of its server; trying again until "
                             "it is free.\n";
    ASSERT_TRUE(h.screen_until(busy));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a few tries meanwhile
    const std::string said = h.screen();
    EXPECT_EQ(said.find(busy), said.rfind(busy)) << "busy said more than once";

    first.close();
    ASSERT_TRUE(h.screen_until("FREE\r\n"));
    ASSERT_TRUE(h.device().write("served|"));
    EXPECT_TRUE(h.screen_until("served|"));
}

TEST_F(Network, EndWithinThreeSecondsWhileAConnectHangs)
{
    // At start-up: the first connect hangs.
    for (const bool by_signal : {false, true}) {
        if (by_signal && left_out_on_wine("SIGTERM: Wine ends a Windows program at once")) {
            continue;
        }
        HangingListener l;
        ASSERT_TRUE(l.hangs(200)) << "the listener's connects do not hang";
        Host h;
        h.spawn(KIVET_BIN, {"rfc2217://127.0.0.1:" + std::to_string(l.port()), "115200"});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // into the connect
        double took = 0;
        EXPECT_EQ(end_by(h, by_signal, &took), 0) << (by_signal ? "SIGTERM" : "End");
        EXPECT_LE(took, END_WITHIN_S) << (by_signal ? "SIGTERM" : "End");
        std::printf("End at a hanging start-up connect (%s): %.3f s\n",
                    by_signal ? "SIGTERM" : "End", took);
    }

    // A reconnect that hangs: the server gone, its port left to a listener that never accepts.
    Host h;
    Ser2net s(h.device(), h.dir());
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(start_on(h, s, KIVET_BIN, {"115200"}));
    s.stop();
    ASSERT_TRUE(h.screen_until(lost_text("KIVET32", s)));
    HangingListener l(s.port());
    ASSERT_TRUE(l.hangs(200)) << "the listener's connects do not hang";
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past a few reconnect pauses
    double took = 0;
    EXPECT_EQ(end_by(h, false, &took), 0);
    EXPECT_LE(took, END_WITHIN_S);
    std::printf("End at a hanging reconnect: %.3f s\n", took);
}
