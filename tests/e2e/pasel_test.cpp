// tests/e2e/pasel_test.cpp: the packet link (PASEL mode) as a device meets it over the line:
// files fetched and sent byte-exact in every size around the block size, the progress and
// received-bytes lines, the refusals, a lossy line that transfers get through by resends, a
// silent device that gets three resends and then the error packet, and the device's text
// between frames on the console, in the log file (wrapped) and in the capture file.
#include <cstdio>
#include <optional>
#include <regex>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/pasel_util.h"
#include "tools/devsim/impaired_link.h"
#include "tools/devsim/pasel_codec.h"
#include "tools/devsim/pasel_device.h"

using namespace e2e;
using devsim::Bytes;
using devsim::PaselDevice;
using devsim::PaselOptions;
using devsim::PaselResult;

namespace
{

constexpr uint16_t BLOCK = 128;  // the largest block size the host takes
constexpr uint16_t T1_MS = 500;
constexpr uint16_t T2_MS = 1000;
constexpr uint16_t FAST_MS = 300;  // T1 and T2 where resends are wanted: three timer ticks
constexpr size_t MB = size_t(1) << 20;
const std::vector<size_t> SIZES = {0, 1, 127, 128, 129, 300, MB};

std::string describe(const PaselResult& r)
{
    std::string s = r.failure.empty() ? "no failure" : r.failure;
    for (const std::string& n : r.notes) {
        s += "; " + n;
    }
    return s;
}

std::string size_name(char kind, size_t size)
{
    return std::string(1, kind) + std::to_string(size) + ".bin";
}

// The next sound packet from the host, taken apart; nothing when none came in time.
std::optional<devsim::Packet> next_packet(PaselDevice& dev, int timeout_ms)
{
    const std::optional<Bytes> raw = dev.receive(timeout_ms);
    if (!raw) {
        return std::nullopt;
    }
    return devsim::packet_parse(*raw);
}

// Receives packets until none comes for quiet_ms; returns them described ("ERROR 1", ...).
std::vector<std::string> packets_until_quiet(PaselDevice& dev, int quiet_ms)
{
    std::vector<std::string> seen;
    constexpr size_t MAX_PACKETS = 50;  // a host that never stops is a failure, not a hang
    while (seen.size() < MAX_PACKETS) {
        const std::optional<Bytes> raw = dev.receive(quiet_ms);
        if (!raw) {
            break;
        }
        seen.push_back(devsim::packet_describe(*raw));
    }
    return seen;
}

// Starts pasel32 on the Host's port with the given extra arguments (baud, log file).
testing::AssertionResult start_pasel(Host& h, const std::vector<std::string>& extra = {})
{
    std::vector<std::string> args = {h.port_name()};
    args.insert(args.end(), extra.begin(), extra.end());
    testing::AssertionResult ready = h.start(PASEL_BIN, args);
    if (ready) {
        return h.screen_until("Press <End> key to exit.\n");
    }
    return ready;
}

// Leaves host and device idle after a transfer: answers a resent END (its ACK was lost) and
// waits out the resends of an error packet. After a failure the device first tells the host,
// on the unspoiled line, that it gave up: an ERROR ends a reception the host would otherwise
// wait in for ever, and is ignored or answered with ERROR 4 in every other state.
void settle(Host& h, PaselDevice& dev, bool failed)
{
    if (failed) {
        (void)h.device().write(devsim::frame_encode(devsim::packet_error(devsim::ERR_TIMEOUT)));
    }
    constexpr int QUIET_MS = 700;  // longer than a resend after FAST_MS: the host is done
    for (int i = 0; i < 20 && !dev.idle(QUIET_MS).empty(); ++i) {
    }
}

// Transfers over a spoiled line and their outcomes.
class LossyRun
{
  public:
    explicit LossyRun(Host& h) : h_(h) {}

    // TRANSFERS gets or puts of about a dozen blocks each, T1 = T2 = FAST_MS.
    void transfers(devsim::ImpairedLink& line, bool put)
    {
        PaselOptions options;
        options.reply_timeout_ms = 500;  // the device's own resends: requests, put blocks, END
        options.tries = 6;
        options.data_timeout_ms = 5000;  // get: longer than the host's resends and give-up
        PaselDevice dev(line, options);
        for (int i = 0; i < TRANSFERS; ++i) {
            const std::string name = std::string(put ? "lp" : "lg") + std::to_string(i) + ".bin";
            const Bytes data = seeded_bytes(1200 + 97 * size_t(i), uint32_t(100 + i));
            PaselResult r;
            ++attempted_;
            if (put) {
                r = dev.put(name, data, BLOCK, FAST_MS, FAST_MS);
            } else {
                EXPECT_TRUE(write_file(h_.file(name), devsim::to_string(data)));
                r = dev.get(name, BLOCK, FAST_MS, FAST_MS);
            }
            host_repeats_ += r.duplicates;
            device_resends_ += r.resends;
            const std::string got = put ? read_file(h_.file(name)) : devsim::to_string(r.data);
            if (!r.ok) {
                ++failed_cleanly_;  // cleanly: the transfers after it still work
                std::printf("%s failed: %s\n", name.c_str(), describe(r).c_str());
            } else if (got == devsim::to_string(data)) {
                ++completed_;
            } else {
                ++corrupted_;
            }
            settle(h_, dev, !r.ok);
        }
    }

    void report(const char* what, const devsim::ImpairedLink& line)
    {
        const devsim::ImpairedLink::Counts out = line.outgoing_counts();
        const devsim::ImpairedLink::Counts in = line.incoming_counts();
        std::printf("impaired line, %s: %d attempted, %d completed, %d failed cleanly, "
                    "%d corrupted; frames dropped/corrupted: to the host %d/%d of %d, to the "
                    "device %d/%d of %d; host resends seen %d, device resends %d\n",
                    what, attempted_, completed_, failed_cleanly_, corrupted_, out.dropped,
                    out.corrupted, out.units, in.dropped, in.corrupted, in.units, host_repeats_,
                    device_resends_);
        EXPECT_EQ(corrupted_, 0);
        EXPECT_GE(completed_, attempted_ / 2) << "most transfers should get through";
        EXPECT_GT(host_repeats_ + device_resends_, 0) << "no transfer needed a resend";
    }

    // On a sound line the host works as before.
    void expect_sound_line()
    {
        PaselDevice dev(h_.device());
        const Bytes data = seeded_bytes(500, 7);
        PaselResult r = dev.put("after.bin", data, BLOCK, T1_MS, T2_MS);
        ASSERT_TRUE(r.ok) << describe(r);
        r = dev.get("after.bin", BLOCK, T1_MS, T2_MS);
        ASSERT_TRUE(r.ok) << describe(r);
        EXPECT_TRUE(r.data == data);
    }

  private:
    static constexpr int TRANSFERS = 5;

    Host& h_;
    int attempted_ = 0;
    int completed_ = 0;
    int failed_cleanly_ = 0;
    int corrupted_ = 0;
    int host_repeats_ = 0;    // repeated packets of the host the device answered again
    int device_resends_ = 0;  // packets the device sent again after its own time-out
};

// Drops 5% and corrupts 5% of the frames.
devsim::Impairment lossy()
{
    devsim::Impairment i;
    i.drop = 0.05;
    i.corrupt = 0.05;
    return i;
}

}  // namespace

TEST(PaselGet, DeviceFetchesFilesByteExactWithProgressAndRefusals)
{
    Host h;
    ASSERT_TRUE(start_pasel(h));
    PaselDevice dev(h.device());

    for (const size_t size : SIZES) {
        const std::string name = size_name('g', size);
        const Bytes data = seeded_bytes(size, uint32_t(size) + 1);
        ASSERT_TRUE(write_file(h.file(name), devsim::to_string(data)));
        const PaselResult r = dev.get(name, BLOCK, T1_MS, T2_MS);
        ASSERT_TRUE(r.ok) << name << ": " << describe(r);
        EXPECT_EQ(r.block_size, BLOCK) << name;
        EXPECT_EQ(r.data.size(), size) << name;
        EXPECT_TRUE(r.data == data) << name << " arrived changed";
        EXPECT_TRUE(r.notes.empty()) << name << ": " << describe(r);
        EXPECT_EQ(r.bad_frames, 0) << name;
    }

    // The 1 MB file's total lines count up to the whole file, each with its own percentage;
    // the last one says 100% and stays standing.
    const std::string done = "\rTotal 1048576 bytes, 1048576 bytes sent (100%)";
    const std::string progress = h.screen_read(done);
    const std::string last = h.screen_read("\n");
    EXPECT_TRUE(progress.ends_with(done)) << escaped(progress);
    EXPECT_TRUE(std::regex_match(last, std::regex(", [0-9]{2,}:[0-5][0-9] elapsed, .* left   \n")))
        << escaped(last);
    const std::regex line("\rTotal 1048576 bytes, ([0-9]+) bytes sent \\(([0-9]+)%\\)");
    uint64_t before = 0;
    int lines = 0;
    for (std::sregex_iterator it(progress.begin(), progress.end(), line), end; it != end; ++it) {
        const uint64_t sent = std::stoull((*it)[1]);
        EXPECT_GE(sent, before) << "bytes sent went back";
        EXPECT_LE(sent, MB);
        EXPECT_EQ(std::stoull((*it)[2]), sent * 100 / MB) << "at " << sent << " bytes";
        before = sent;
        ++lines;
    }
    EXPECT_GE(lines, 1);
    EXPECT_EQ(before, MB);

    // A file that is not there: ERROR 5 (the device acknowledges it and the host is idle).
    PaselResult r = dev.get("missing.bin", BLOCK, T1_MS, T2_MS);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, devsim::ERR_FILE) << describe(r);

    // Block size 1000 is capped to 128 in the ACCEPT; a smaller one is taken as asked. The
    // device notes any block larger than the accepted size and any change of T1 or T2.
    const Bytes data300 = seeded_bytes(300, 301);
    for (const uint16_t asked : {uint16_t(1000), uint16_t(64)}) {
        r = dev.get(size_name('g', 300), asked, T1_MS, T2_MS);
        ASSERT_TRUE(r.ok) << "block size " << asked << ": " << describe(r);
        EXPECT_EQ(r.block_size, asked > BLOCK ? BLOCK : asked);
        EXPECT_TRUE(r.data == data300) << "block size " << asked;
        EXPECT_TRUE(r.notes.empty()) << describe(r);
    }
}

TEST(PaselPut, DeviceSendsFilesThatLandByteExact)
{
    Host h;
    ASSERT_TRUE(start_pasel(h));
    PaselDevice dev(h.device());

    const std::regex final_line("([0-9]+) bytes received, [0-9]{2,}:[0-5][0-9] elapsed\n");
    for (const size_t size : SIZES) {
        const std::string name = size_name('p', size);
        const Bytes data = seeded_bytes(size, uint32_t(size) + 7);
        const PaselResult r = dev.put(name, data, BLOCK, T1_MS, T2_MS);
        ASSERT_TRUE(r.ok) << name << ": " << describe(r);
        EXPECT_EQ(r.block_size, BLOCK) << name;
        EXPECT_TRUE(r.notes.empty()) << name << ": " << describe(r);
        // The file is closed before the END is acknowledged: it is whole now.
        const std::string landed = read_file(h.file(name));
        EXPECT_EQ(landed.size(), size) << name;
        EXPECT_TRUE(landed == devsim::to_string(data)) << name << " landed changed";

        // The running lines end in blanks; the final one, after the last CR, in a line feed.
        const std::string text = h.screen_read("elapsed\n");
        const size_t cr = text.rfind('\r');
        ASSERT_NE(cr, std::string::npos) << escaped(text);
        std::smatch m;
        const std::string tail = text.substr(cr + 1);
        ASSERT_TRUE(std::regex_match(tail, m, final_line)) << escaped(tail);
        EXPECT_EQ(m[1], std::to_string(size));
    }

    // An existing file is truncated to what the device sends.
    ASSERT_TRUE(write_file(h.file("old.bin"), std::string(1000, 'x')));
    const Bytes small = seeded_bytes(300, 99);
    PaselResult r = dev.put("old.bin", small, BLOCK, T1_MS, T2_MS);
    ASSERT_TRUE(r.ok) << describe(r);
    EXPECT_TRUE(read_file(h.file("old.bin")) == devsim::to_string(small));

    // A file that cannot be created: ERROR 5, sent once, and the host stays idle, so the
    // next put goes through at once. A block size above 128 is capped for puts too.
    r = dev.put("no-such-dir/x.bin", small, BLOCK, T1_MS, T2_MS);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, devsim::ERR_FILE) << describe(r);
    r = dev.put("big-block.bin", small, 1000, T1_MS, T2_MS);
    ASSERT_TRUE(r.ok) << describe(r);
    EXPECT_EQ(r.block_size, BLOCK);
    EXPECT_TRUE(r.notes.empty()) << describe(r);
    EXPECT_TRUE(read_file(h.file("big-block.bin")) == devsim::to_string(small));
}

// A line that loses and spoils frames (fixed seeds): each transfer either completes byte-exact
// or fails cleanly, leaving both sides able to go on; none completes with wrong contents.
// Both directions are spoiled. On a get the host resends ACCEPT, DATA and END on its timer, the
// device its request. On a put the device resends what went unanswered, and the host answers a
// repeat of the block it has just written with its ACK again; a lost ACK 0 before DATA 1
// (answered with ERROR 4) or a lost ACK of the END ends a put cleanly as a failure.
TEST(PaselLink, GetsGetThroughLostAndCorruptedFrames)
{
    Host h;
    ASSERT_TRUE(start_pasel(h));
    LossyRun run(h);
    devsim::ImpairedLink line(h.device(), lossy(), lossy(), 20240601);
    run.transfers(line, false);
    run.report("gets", line);
    EXPECT_GT(line.outgoing_counts().dropped + line.outgoing_counts().corrupted, 0);
    EXPECT_GT(line.incoming_counts().dropped + line.incoming_counts().corrupted, 0);
    run.expect_sound_line();
}

TEST(PaselLink, PutsGetThroughLostAndCorruptedFrames)
{
    Host h;
    ASSERT_TRUE(start_pasel(h));
    LossyRun run(h);
    devsim::ImpairedLink line(h.device(), lossy(), lossy(), 20240602);
    run.transfers(line, true);
    run.report("puts", line);
    EXPECT_GT(line.outgoing_counts().dropped + line.outgoing_counts().corrupted, 0);
    EXPECT_GT(line.incoming_counts().dropped + line.incoming_counts().corrupted, 0);
    run.expect_sound_line();
}

// A device that stops answering: the unacknowledged packet goes four times in all (three
// resends), then the error packet follows, which itself goes four times unless acknowledged.
TEST(PaselTimer, SilentDeviceGetsThreeResendsThenTheErrorPacket)
{
    Host h;
    ASSERT_TRUE(start_pasel(h));
    PaselDevice dev(h.device());
    constexpr int PACKET_WAIT_MS = 5000;  // one resend is due after FAST_MS or 2 * FAST_MS
    constexpr int QUIET_MS = 1500;        // several resend intervals without a packet
    const Bytes data = seeded_bytes(300, 3);
    ASSERT_TRUE(write_file(h.file("d.bin"), devsim::to_string(data)));
    const Bytes get =
        devsim::packet_request(devsim::PKT_GET_REQUEST, BLOCK, FAST_MS, FAST_MS, "d.bin");
    const std::string accept =
        devsim::packet_describe(devsim::packet_accept(BLOCK, FAST_MS, FAST_MS));
    const std::string error1 = devsim::packet_describe(devsim::packet_error(devsim::ERR_TIMEOUT));

    // The ACCEPT is never acknowledged: ACCEPT x4, then ERROR 1 x4, then the host is idle.
    ASSERT_TRUE(dev.send(get));
    std::vector<std::string> seen = packets_until_quiet(dev, QUIET_MS);
    const std::vector<std::string> accept_then_error = {accept, accept, accept, accept,
                                                        error1, error1, error1, error1};
    EXPECT_EQ(seen, accept_then_error);

    // DATA 1 is never acknowledged: DATA 1 x4 (the same block each time), then ERROR 2, which
    // the device acknowledges.
    ASSERT_TRUE(dev.send(get));
    std::optional<devsim::Packet> p = next_packet(dev, PACKET_WAIT_MS);
    ASSERT_TRUE(p && p->op == devsim::PKT_ACCEPT);
    ASSERT_TRUE(dev.send(devsim::packet_ack(0)));
    const Bytes first(data.begin(), data.begin() + BLOCK);
    for (int i = 0; i < 4; ++i) {
        p = next_packet(dev, PACKET_WAIT_MS);
        ASSERT_TRUE(p) << "DATA 1, send " << i + 1;
        EXPECT_EQ(p->op, devsim::PKT_DATA);
        EXPECT_EQ(p->block, 1);
        EXPECT_TRUE(p->data == first);
    }
    p = next_packet(dev, PACKET_WAIT_MS);
    ASSERT_TRUE(p);
    EXPECT_EQ(devsim::packet_describe(*p), "ERROR 2");
    ASSERT_TRUE(dev.send(devsim::packet_ack(0)));

    // The END is never acknowledged: END x4, then ERROR 1, acknowledged.
    ASSERT_TRUE(dev.send(get));
    p = next_packet(dev, PACKET_WAIT_MS);
    ASSERT_TRUE(p && p->op == devsim::PKT_ACCEPT);
    ASSERT_TRUE(dev.send(devsim::packet_ack(0)));
    for (uint8_t block = 1; block <= 3; ++block) {
        p = next_packet(dev, PACKET_WAIT_MS);
        ASSERT_TRUE(p && p->op == devsim::PKT_DATA && p->block == block);
        ASSERT_TRUE(dev.send(devsim::packet_ack(uint8_t(block + 1))));
    }
    seen.clear();
    for (int i = 0; i < 5; ++i) {
        p = next_packet(dev, PACKET_WAIT_MS);
        ASSERT_TRUE(p) << "packet " << i + 1 << " after the last block";
        seen.push_back(devsim::packet_describe(*p));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"END", "END", "END", "END", error1}));
    ASSERT_TRUE(dev.send(devsim::packet_ack(0)));

    // The host is idle: a whole get goes through.
    const PaselResult r = dev.get("d.bin", BLOCK, T1_MS, T2_MS);
    ASSERT_TRUE(r.ok) << describe(r);
    EXPECT_TRUE(r.data == data);
}

// The device's text between frames: on the console as it came, in the log file wrapped after
// 75 columns with "!" CR LF, and unchanged in the capture file while F9 to F10 have one open.
TEST(PaselText, TextBetweenFramesIsShownLoggedAndCaptured)
{
    Host h;
    ASSERT_TRUE(start_pasel(h, {"57600", "p.log"}));
    PaselDevice dev(h.device());
    std::string log;  // what the log file should hold

    h.keys(KEY_F9);
    EXPECT_EQ(h.screen_read(":"), "\r\nInput filename:");
    type_keys(h, "cap.txt");
    h.keys(KEY_ENTER);
    EXPECT_EQ(h.screen_read("\"\n"), "cap.txt\r\nCapture file :\"cap.txt\"\n");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");

    // 80 letters between CR LF pairs: the log breaks the line after 74 of them.
    const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                "abcdefghijklmnopqr";
    ASSERT_EQ(letters.size(), 80u);
    const std::string text1 = "\r\n" + letters + "\r\n";
    ASSERT_TRUE(h.device().write(text1));
    EXPECT_EQ(h.screen_read(letters + "\r\n"), text1);
    log += "\r\n" + letters.substr(0, 74) + "!\r\n" + letters.substr(74) + "\r\n";
    EXPECT_TRUE(file_holds(h.file("p.log"), log));

    // A frame that fails its checksum is dropped without a word and is not text.
    Bytes bad = devsim::frame_encode(devsim::packet_ack(0));
    bad[2] ^= 0x01;
    Bytes mixed = devsim::to_bytes("xy");
    mixed.insert(mixed.end(), bad.begin(), bad.end());
    const Bytes z = devsim::to_bytes("z|");
    mixed.insert(mixed.end(), z.begin(), z.end());
    ASSERT_TRUE(h.device().write(mixed));
    EXPECT_EQ(h.screen_read("|"), "xyz|");
    log += "xyz|";

    // A whole transfer with text between its frames: the text is shown, logged and captured,
    // the frames are not.
    ASSERT_TRUE(write_file(h.file("one.bin"), "Q"));
    ASSERT_TRUE(
        dev.send(devsim::packet_request(devsim::PKT_GET_REQUEST, BLOCK, T1_MS, T2_MS, "one.bin")));
    std::optional<devsim::Packet> p = next_packet(dev, WAIT_MS);
    ASSERT_TRUE(p && p->op == devsim::PKT_ACCEPT);
    Bytes out = devsim::to_bytes("mid");
    Bytes frame = devsim::frame_encode(devsim::packet_ack(0));
    out.insert(out.end(), frame.begin(), frame.end());
    ASSERT_TRUE(h.device().write(out));
    p = next_packet(dev, WAIT_MS);
    ASSERT_TRUE(p && p->op == devsim::PKT_DATA && p->block == 1);
    EXPECT_TRUE(p->data == devsim::to_bytes("Q"));
    out = devsim::frame_encode(devsim::packet_ack(2));
    const Bytes dle = devsim::to_bytes("dle|");
    out.insert(out.end(), dle.begin(), dle.end());
    ASSERT_TRUE(h.device().write(out));
    p = next_packet(dev, WAIT_MS);
    ASSERT_TRUE(p && p->op == devsim::PKT_END);
    ASSERT_TRUE(dev.send(devsim::packet_ack(0)));
    EXPECT_TRUE(h.screen_until("mid"));
    EXPECT_TRUE(h.screen_until("dle|"));
    EXPECT_EQ(dev.take_text(), "");  // the host sent nothing but frames
    log += "middle|";

    h.keys(KEY_F10);
    EXPECT_TRUE(h.screen_until("\nCapture file :\"cap.txt\" (0 KB)\n"));
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
    EXPECT_TRUE(file_holds(h.file("cap.txt"), text1 + "xyz|middle|"));

    // Text after F10 is logged but not captured. The column count runs on across captures:
    // 12 characters since the last CR ("\n", "xyz|", "middle|"), so the marker follows the
    // 63rd letter of this text.
    ASSERT_TRUE(h.device().write(letters + "|"));
    std::string shown = h.screen_read("|");
    // The transfer's total line shows when the host handles an acknowledgement at least a
    // millisecond after the request: with the last block's, or as late as the final one's,
    // which may come after F10. Not at all when the whole transfer took less.
    if (shown.rfind("\rTotal 1 bytes, 1 bytes sent (100%)", 0) == 0) {
        shown.erase(0, shown.find('\n') + 1);
    }
    EXPECT_EQ(shown, letters + "|");
    log += letters.substr(0, 63) + "!\r\n" + letters.substr(63) + "|";
    EXPECT_TRUE(file_holds(h.file("p.log"), log));
    EXPECT_TRUE(file_holds(h.file("cap.txt"), text1 + "xyz|middle|"));

    // A second capture of 2500 characters, sent in pieces the host shows one by one: 2 KB.
    begin_capture(h, "cap2.txt");
    std::string text2;
    for (int i = 0; i < 5; ++i) {
        std::string piece(499, char('a' + i));
        piece += "|";
        ASSERT_TRUE(h.device().write(piece));
        EXPECT_TRUE(h.screen_until(piece));
        text2 += piece;
    }
    h.keys(KEY_F10);
    EXPECT_TRUE(h.screen_until("\nCapture file :\"cap2.txt\" (2 KB)\n"));
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
    EXPECT_TRUE(file_holds(h.file("cap2.txt"), text2));
    EXPECT_TRUE(file_holds(h.file("cap.txt"), text1 + "xyz|middle|"));
}
