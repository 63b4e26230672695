// tests/packet/framing_test.cpp: the frame encoder and the deframer, each against the test's
// own codec: the frame table round trip, then corrupted frames, escapes, overlong and empty
// frames, the text ring and the packet sender pass.
#include <string>
#include <vector>

#include "app/startup.h"
#include "output/drops.h"
#include "packet/framing.h"
#include "packet/link.h"
#include "packet/pool.h"
#include "packet/transfer.h"
#include "port/mode.h"
#include "tests/packet/wire.h"
#include "tests/support/fixture.h"

class Framing : public SystemTest
{
  protected:
    void SetUp() override ACQUIRE(link_lock)
    {
        SystemTest::SetUp();
        mode_flag = MODE_PASEL;
    }
    // One pass of the packet sender thread, which takes the link lock itself.
    static void sender_pass() REQUIRES(link_lock)
    {
        link_lock.give();
        packet_sender_pass();
        link_lock.take();
    }
};

struct FrameRow {
    const char* what;
    void (*build)();
    const char* packet;
    const char* frame;
};

static const FrameRow FRAME_TABLE[] = {
    {"ack 0", []() REQUIRES(link_lock) { pkt_send_ack(0); }, "07 00", "C0 07 00 F9 C0"},
    {"ack C0", []() REQUIRES(link_lock) { pkt_send_ack(0xC0); }, "07 C0", "C0 07 DB DC 39 C0"},
    {"end", []() REQUIRES(link_lock) { pkt_send_end(); }, "05", "C0 05 FB C0"},
    {"accept 128 500 1000", []() REQUIRES(link_lock) { pkt_send_accept(128, 500, 1000); },
     "04 00 80 01 F4 03 E8", "C0 04 00 80 01 F4 03 E8 9C C0"},
    {"data sum 40",
     []() REQUIRES(link_lock) { pkt_send_data(1, reinterpret_cast<const uint8_t*>("\x39"), 1); },
     "06 01 39", "C0 06 01 39 DB DC C0"},
    {"data sum 25",
     []() REQUIRES(link_lock) { pkt_send_data(1, reinterpret_cast<const uint8_t*>("\x1E"), 1); },
     "06 01 1E", "C0 06 01 1E DB DD C0"},
};

TEST_F(Framing, FrameTableEncodesAndDecodesByteExact)
{
    link_lock.assert_held();
    for (const FrameRow& row : FRAME_TABLE) {
        SCOPED_TRACE(row.what);
        row.build();
        EXPECT_TRUE(plat::fake_event_is_set(send_event));
        while (encoder_step() != 0) {
        }
        std::vector<std::string> writes = plat::fake_port_writes();
        ASSERT_EQ(writes.size(), 1u);  // the whole frame in one write
        EXPECT_EQ(writes[0], hex(row.frame));
        plat::fake_port_clear_written();

        feed_line(hex(row.frame));
        EXPECT_EQ(take_received(), std::vector<std::string>{hex(row.packet)});
        EXPECT_EQ(take_text(), "");
    }
    EXPECT_EQ(pool_free_count(), POOL_SIZE - 1);  // only the deframer's current Packet is out
}

TEST_F(Framing, EveryByteValueSurvivesTheRoundTrip)
{
    link_lock.assert_held();
    std::string payload;
    for (int i = 0; i < 128; i++) {
        payload.push_back(static_cast<char>(0x80 + i));  // C0 and DB among them
    }
    pkt_send_data(0xDB, reinterpret_cast<const uint8_t*>(payload.data()), 128);
    while (encoder_step() != 0) {
    }
    std::vector<std::string> writes = plat::fake_port_writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(unframe(writes[0]), data(0xDB, payload));
    feed_line(writes[0]);
    EXPECT_EQ(take_received(), std::vector<std::string>{data(0xDB, payload)});
}

TEST_F(Framing, TwoQueuedPacketsLeaveAsTwoWrites)
{
    link_lock.assert_held();
    pkt_send_ack(1);
    pkt_send_error(ERR_FILE);
    EXPECT_EQ(sent(), (std::vector<std::string>{ack(1), error_pkt(ERR_FILE)}));
    EXPECT_EQ(encoder_step(), 0);
    EXPECT_EQ(pool_free_count(), POOL_SIZE - 1);
}

TEST_F(Framing, LostLinkGivesBackEveryQueuedPacketAndDropsTheHalfFrame)
{
    link_lock.assert_held();
    pkt_send_ack(1);
    pkt_send_end();
    feed_line(frame_of(end_pkt()) + frame_of(ack(2)) + hex("C0 06 01"));
    framing_link_lost();
    EXPECT_EQ(pool_free_count(), POOL_SIZE - 1);  // nothing kept for a link that is gone
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(take_received().empty());
    feed_line("boot" + frame_of(end_pkt()));  // the new link's text, not the old frame's tail
    EXPECT_EQ(take_text(), "boot");
    EXPECT_EQ(take_received(), std::vector<std::string>{end_pkt()});
}

TEST_F(Framing, SenderPassEncodesOnlyInPaselMode)
{
    link_lock.assert_held();
    pkt_send_end();
    mode_flag = MODE_KIVET;
    sender_pass();
    EXPECT_TRUE(plat::fake_port_writes().empty());  // stays queued
    EXPECT_FALSE(plat::fake_event_is_set(send_event));

    mode_flag = MODE_PASEL;
    pkt_send_ack(0);
    sender_pass();
    EXPECT_EQ(plat::fake_port_writes(),
              (std::vector<std::string>{hex("C0 05 FB C0"), hex("C0 07 00 F9 C0")}));
}

TEST_F(Framing, TextAroundAFrameGoesToTheRing)
{
    link_lock.assert_held();
    feed_line("ok" + hex("C0 05 FB C0") + "?");
    EXPECT_EQ(take_text(), "ok?");
    EXPECT_EQ(take_received(), std::vector<std::string>{end_pkt()});
}

TEST_F(Framing, CorruptedFramesAreDroppedAndTheNextOneIsTaken)
{
    link_lock.assert_held();
    std::string good = frame_of(data(3, "hello"));

    std::string flipped = good;
    flipped[4] ^= 0x01;
    feed_line(flipped);
    EXPECT_TRUE(take_received().empty());
    EXPECT_EQ(pool_free_count(), POOL_SIZE - 1);  // the same Packet stays current

    feed_line(hex("C0 07 00 F8 C0"));  // sum FF
    EXPECT_TRUE(take_received().empty());
    EXPECT_TRUE(plat::fake_port_writes().empty());  // nothing is answered

    std::string fixed = flipped;  // 'e' became 'd': one more in the sum makes a good frame
    fixed[fixed.size() - 2] = static_cast<char>(fixed[fixed.size() - 2] + 1);
    feed_line(fixed);
    std::string hellp = data(3, "hello");
    hellp[3] ^= 0x01;
    EXPECT_EQ(take_received(), std::vector<std::string>{hellp});

    feed_line(good);
    EXPECT_EQ(take_received(), std::vector<std::string>{data(3, "hello")});
    EXPECT_EQ(take_text(), "");
}

TEST_F(Framing, CutFramesAreClosedByTheNextEnd)
{
    link_lock.assert_held();
    // Without its closing END a frame is closed by the next frame's opening END and still
    // taken; that frame's bytes are then text, and its closing END opens a frame.
    std::string cut = frame_of(data(1, "abc"));
    cut.pop_back();
    feed_line(cut + hex("C0 07 00 F9 C0"));
    EXPECT_EQ(take_received(), std::vector<std::string>{data(1, "abc")});
    EXPECT_EQ(take_text(), hex("07 00 F9"));
    feed_line(hex("05 FB C0"));
    EXPECT_EQ(take_received(), std::vector<std::string>{end_pkt()});

    // Without its checksum as well: dropped for its sum.
    cut.pop_back();
    feed_line(cut + hex("C0 07 00 F9 C0"));
    EXPECT_TRUE(take_received().empty());
    EXPECT_EQ(take_text(), hex("07 00 F9"));
}

TEST_F(Framing, EscapeSequencesInsideAFrame)
{
    link_lock.assert_held();
    // DB DD stores DB, DB DC stores C0, DB 41 stores DB (41 consumed), DB C0 stores DB and the
    // frame goes on.
    feed_line(hex("C0 06 01 DB DD DB DC DB 41 DB C0 A8 C0"));
    // 06 + 01 + DB + C0 + DB + DB = 0x358; 0x58 + 0xA8 = 0x100
    EXPECT_EQ(take_received(), std::vector<std::string>{hex("06 01 DB C0 DB DB")});
    EXPECT_EQ(take_text(), "");
}

TEST_F(Framing, OverlongFrameIsAbandonedAndTheRestIsText)
{
    link_lock.assert_held();
    std::string body(140, 'A');
    feed_line(hex("C0") + body + hex("C0"));
    // Stored bytes 1..131 fit block size 128 + 3; the 132nd abandons the frame.
    EXPECT_TRUE(take_received().empty());
    EXPECT_EQ(take_text(), std::string(140 - 132, 'A'));
    // The overlong frame's END opened a new frame.
    feed_line(hex("07 00 F9 C0"));
    EXPECT_EQ(take_received(), std::vector<std::string>{ack(0)});

    std::string full = data(9, std::string(128, 'z'));  // 131 stored bytes: the largest frame
    feed_line(frame_of(full));
    EXPECT_EQ(take_received(), std::vector<std::string>{full});
}

TEST_F(Framing, SmallBlockSizeBoundsReceivedFrames)
{
    link_lock.assert_held();
    frame_limit_set(16);
    feed_line(frame_of(data(1, std::string(16, 'x'))));  // 19 stored bytes
    EXPECT_EQ(take_received().size(), 1u);
    feed_line(frame_of(data(1, std::string(17, 'x'))));  // 20
    EXPECT_TRUE(take_received().empty());
    EXPECT_EQ(take_text(), "");  // abandoned at its last byte: only the checksum was left
}

TEST_F(Framing, EmptyFrameIsDroppedAndItsEndOpensTheNextFrame)
{
    link_lock.assert_held();
    feed_line(hex("C0 C0"));
    EXPECT_TRUE(take_received().empty());
    feed_line(hex("05 FB C0") + "hi" + hex("C0 C0 05 FB C0"));
    EXPECT_EQ(take_received(), (std::vector<std::string>{end_pkt(), end_pkt()}));
    EXPECT_EQ(take_text(), "hi");
    EXPECT_EQ(pool_free_count(), POOL_SIZE - 1);  // only the receive Packet is out
}

TEST_F(Framing, LinkComesBackInStepAfterAnOverlongFrame)
{
    link_lock.assert_held();
    // The overlong frame's tail is text and its closing END opens a frame; the next frame's
    // opening END must not leave it out of step for good.
    feed_line(hex("C0") + std::string(140, 'x') + hex("C0"));
    take_text();
    for (int i = 0; i < 3; i++) {
        feed_line(frame_of(ack(0)) + "ok");
    }
    EXPECT_EQ(take_received(), (std::vector<std::string>{ack(0), ack(0), ack(0)}));
    EXPECT_EQ(take_text(), "okokok");
}

TEST_F(Framing, TextBeyondTheRingIsShownWhole)
{
    link_lock.assert_held();
    std::string text;
    for (uint32_t i = 0; i < 2 * TEXT_RING_SIZE + 100; i++) {
        text.push_back(static_cast<char>('a' + i % 26));
    }
    plat::fake_console_clear_output();
    pasel_chunk(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()));
    pasel_drain();
    EXPECT_EQ(plat::fake_console_output(), text);
    plat::fake_console_clear_output();
    const std::string after = "after";  // the ring works on after it was full
    pasel_chunk(reinterpret_cast<const uint8_t*>(after.data()), 5);
    pasel_drain();
    EXPECT_EQ(plat::fake_console_output(), after);
}

// The same chunks taken byte by byte by the deframer and a chunk at a time by the link's front
// door: the same packets and the same text, frames and text split anywhere, the ring full.
TEST_F(Framing, ChunkAtOnceDoesWhatSingleBytesDo)
{
    link_lock.assert_held();
    const std::string stream =
        "hello" + frame_of(ack(3)) + hex("C0 07 00 00 C0") + "bad sum" + hex("C0 C0") +
        frame_of(end_pkt()) + hex("C0") + std::string(140, 'x') + hex("C0") + frame_of(ack(0)) +
        std::string(TEXT_RING_SIZE + 300, 't') + frame_of(data(2, "d")) + "tail";
    auto run = [&](size_t cut, bool at_once) REQUIRES(link_lock) {
        modules_init();
        line_text().clear();
        mode_flag = MODE_PASEL;
        std::string text;
        std::vector<std::string> packets;
        for (size_t i = 0; i < stream.size(); i += cut) {
            const std::string chunk = stream.substr(i, cut);
            if (at_once) {
                pasel_chunk(reinterpret_cast<const uint8_t*>(chunk.data()),
                            static_cast<uint32_t>(chunk.size()));
                const std::vector<std::string> got = take_received();  // not dispatched
                plat::fake_console_clear_output();
                pasel_drain();  // the text alone
                text += plat::fake_console_output();
                packets.insert(packets.end(), got.begin(), got.end());
                continue;
            } else {
                feed_line(chunk);
                text += take_text();
            }
            for (const std::string& p : take_received()) {
                packets.push_back(p);
            }
        }
        return std::make_pair(text, packets);
    };
    for (const size_t cut : {size_t{1}, size_t{5}, size_t{1000}, size_t{4096}}) {
        const auto bytewise = run(cut, false);
        EXPECT_EQ(run(cut, true), bytewise) << "cut " << cut;
    }
    EXPECT_EQ(run(4096, true).second,
              (std::vector<std::string>{ack(3), end_pkt(), ack(0), data(2, "d")}));
}

TEST_F(Framing, FrameIsDroppedWhenNoPacketCanReplaceIt)
{
    link_lock.assert_held();
    std::vector<Packet*> held;
    while (Packet* p = pool_take()) {
        held.push_back(p);
    }
    feed_line(frame_of(ack(5)));
    EXPECT_TRUE(take_received().empty());
    pool_give(held.back());
    held.pop_back();
    feed_line(frame_of(ack(6)));
    EXPECT_EQ(take_received(), std::vector<std::string>{ack(6)});
    for (Packet* p : held) {
        pool_give(p);
    }
}

// Every frame thrown away is counted by its reason, and so is a packet the host cannot send.
TEST_F(Framing, DroppedFramesAreCountedByReason)
{
    link_lock.assert_held();
    feed_line(hex("C0 07 00 00 C0") + hex("C0") + std::string(140, 'x') + hex("C0 C0"));
    EXPECT_EQ(drop_total(DROP_BAD_CHECKSUM), 1u);
    EXPECT_EQ(drop_total(DROP_TOO_LONG), 1u);
    std::vector<Packet*> held;
    while (Packet* p = pool_take()) {
        held.push_back(p);
    }
    feed_line(frame_of(ack(5)));
    pkt_send_ack(1);
    EXPECT_EQ(drop_total(DROP_NO_BUFFER), 2u);
    for (Packet* p : held) {
        pool_give(p);
    }
    EXPECT_EQ(drop_total(DROP_UNEXPECTED), 0u);
}
