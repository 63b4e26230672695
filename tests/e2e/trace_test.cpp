// tests/e2e/trace_test.cpp: the protocol trace (/TRACE:<file>) of a file-service exchange and of
// a packet transfer with a spoiled frame and a time-out: every event a line, in order.
#include <cstdio>
#include <regex>

#include "tests/e2e/harness.h"
#include "tests/e2e/pasel_util.h"
#include "tools/devsim/kivet_device.h"
#include "tools/devsim/pasel_codec.h"
#include "tools/devsim/pasel_device.h"

using namespace e2e;

namespace
{

// True when each pattern matches a whole line of trace, each on a later line than the one
// before; the lines' time stamps are checked for every line.
testing::AssertionResult trace_holds(const std::string& trace,
                                     const std::vector<std::string>& patterns)
{
    static const std::regex STAMP("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} (.*)$");
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl = trace.find('\n'); nl != std::string::npos; nl = trace.find('\n', at)) {
        lines.push_back(trace.substr(at, nl - at));
        at = nl + 1;
    }
    size_t next = 0;
    for (const std::string& want : patterns) {
        const std::regex re(want);
        for (; next < lines.size(); ++next) {
            std::smatch m;
            if (!std::regex_match(lines[next], m, STAMP)) {
                return testing::AssertionFailure() << "no time stamp: " << lines[next];
            }
            if (std::regex_match(m[1].str(), re)) {
                break;
            }
        }
        if (next == lines.size()) {
            return testing::AssertionFailure() << "no line \"" << want << "\" in order in:\n"
                                               << trace;
        }
        ++next;
    }
    return testing::AssertionSuccess();
}

}  // namespace

TEST(Trace, FileServiceAndPacketLinkEventsInOrder)
{
    {
        Host h;
        ASSERT_TRUE(write_file(h.file("hello.txt"), "hello"));
        ASSERT_TRUE(h.start(KIVET_BIN, {"/TRACE:k.trc", h.port_name()}));
        ASSERT_TRUE(h.device().write("boot\r\n"));
        ASSERT_TRUE(h.screen_until("boot\r\n"));
        devsim::KivetClient client(h.device());
        const devsim::KivetReply r = client.fetch_file("hello.txt");
        ASSERT_TRUE(r.ok()) << "status " << r.status;
        h.keys(KEY_END);
        EXPECT_EQ(h.wait_exit(), 0);
        EXPECT_TRUE(trace_holds(read_file(h.file("k.trc")),
                                {"start: KIVET32 mode, port \".*\" at 57600 baud", "text 6 bytes",
                                 "open \"hello.txt\" mode 1 -> handle 1 status 0",
                                 "read handle 1 count 256 -> 5 bytes status 0",
                                 "read handle 1 count 256 -> 0 bytes status 0",
                                 "close handle 1 -> status 0", "end"}));
    }
    Host h;
    ASSERT_TRUE(write_file(h.file("d.bin"), std::string(100, 'd')));
    ASSERT_TRUE(h.start(PASEL_BIN, {"-trace:p.trc", h.port_name()}));
    ASSERT_TRUE(h.screen_until("exit.\n"));
    devsim::PaselDevice dev(h.device());
    constexpr uint16_t FAST_MS = 300;
    const devsim::Bytes get =
        devsim::packet_request(devsim::PKT_GET_REQUEST, 128, FAST_MS, FAST_MS, "d.bin");
    devsim::Bytes spoiled = devsim::frame_encode(get);
    spoiled[3] ^= 0x01;  // a bit flipped inside the frame
    ASSERT_TRUE(h.device().write(spoiled));
    ASSERT_TRUE(dev.send(get));
    ASSERT_TRUE(dev.receive(5000));  // the ACCEPT, not acknowledged
    ASSERT_TRUE(dev.receive(5000));  // the ACCEPT again, after the time-out
    ASSERT_TRUE(dev.send(devsim::packet_ack(0)));
    ASSERT_TRUE(dev.receive(5000));  // DATA 1
    ASSERT_TRUE(dev.send(devsim::packet_ack(2)));
    ASSERT_TRUE(dev.receive(5000));  // END
    ASSERT_TRUE(dev.send(devsim::packet_ack(0)));
    (void)device_reads_for(h, 300);
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_TRUE(trace_holds(
        read_file(h.file("p.trc")),
        {"frame dropped: bad checksum, .*", "in  GET \"d.bin\" block size 128 T1 300 T2 300",
         "out ACCEPT block size 128 T1 300 T2 300", "time-out in send start: resend 1 of 3",
         "out ACCEPT block size 128 T1 300 T2 300", "in  ACK block 0",
         "out DATA block 1 length 100", "in  ACK block 2", "out END", "in  ACK block 0", "end"}));
}

// Line noise on a PASEL line: spoiled and overlong frames and stray packets, each counted by its
// reason, said by F1 and the shutdown report and traced at the end.
TEST(Trace, DropsAreCountedByReasonInTheStatusTheReportAndTheTrace)
{
    constexpr int SPOILED = 40;
    constexpr int OVERLONG = 5;
    constexpr int STRAY = 3;
    Host h;
    ASSERT_TRUE(h.start(PASEL_BIN, {"-trace:d.trc", h.port_name()}));
    ASSERT_TRUE(h.screen_until("exit.\n"));
    devsim::PaselDevice dev(h.device());
    devsim::Bytes noise;
    for (int i = 0; i < SPOILED; ++i) {
        devsim::Bytes f = devsim::frame_encode(devsim::packet_ack(static_cast<uint8_t>(i)));
        f[2] ^= 0x01;  // the block number's bit flipped: the checksum no longer holds
        noise.insert(noise.end(), f.begin(), f.end());
    }
    for (int i = 0; i < OVERLONG; ++i) {
        noise.push_back(0xC0);
        noise.insert(noise.end(), 140, 'x');
        noise.push_back(0xC0);
    }
    ASSERT_TRUE(h.device().write(noise));
    for (int i = 0; i < STRAY; ++i) {
        ASSERT_TRUE(dev.send(devsim::packet_ack(1)));  // nothing under way: refused
        ASSERT_TRUE(dev.receive(5000));                // the protocol error
    }
    const std::string counts = "bad checksum " + std::to_string(SPOILED) + ", too long " +
                               std::to_string(OVERLONG) + ", unexpected packet " +
                               std::to_string(STRAY);
    h.keys(KEY_F1);
    EXPECT_TRUE(h.screen_until("Dropped: " + counts + "\n"));
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_TRUE(h.screen_until("PASEL32: Dropped: " + counts + "."));
    EXPECT_TRUE(h.screen_until("PASEL32: program terminated."));
    EXPECT_TRUE(trace_holds(read_file(h.file("d.trc")), {"dropped: " + counts, "end"}));
    std::printf("drops counted: %s of %d spoiled, %d overlong, %d stray\n", counts.c_str(), SPOILED,
                OVERLONG, STRAY);
}
