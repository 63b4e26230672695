// tests/tools/impaired_link_test.cpp: the spoiling Link wrapper (tools/devsim/impaired_link):
// each kind of damage in both directions, text left alone, same seed same damage.
#include <gtest/gtest.h>

#include "tools/devsim/impaired_link.h"
#include "tools/devsim/pasel_codec.h"

using namespace devsim;

namespace
{

// Frames whose bodies hold END and ESC bytes, text between them.
Bytes traffic(int frames)
{
    Bytes out;
    for (int i = 0; i < frames; ++i) {
        const Bytes f = frame_encode(packet_data(uint8_t(i), {0xC0, uint8_t(i), 0xDB, 0x11}));
        out.insert(out.end(), f.begin(), f.end());
        out.push_back('t');
    }
    return out;
}

struct Decoded {
    int frames = 0;
    int bad = 0;
    std::string text;
    std::vector<Bytes> packets;
};

Decoded decode_all(Link& link)
{
    FrameDecoder d;
    for (Bytes got; !(got = link.read_some(4096, 0)).empty();) {
        d.feed(got);
    }
    Decoded out;
    while (auto e = d.next()) {
        switch (e->kind) {
        case RX_TEXT:
            out.text += to_string(e->bytes);
            break;
        case RX_FRAME:
            ++out.frames;
            out.packets.push_back(e->bytes);
            break;
        case RX_BAD_FRAME:
            ++out.bad;
            break;
        }
    }
    return out;
}

// Writes traffic through a wrapper spoiling outgoing bytes and decodes what arrived.
Decoded through_outgoing(const Impairment& spoil, uint32_t seed, int frames = 100)
{
    auto [near, far] = make_memory_pair();
    ImpairedLink line(near, spoil, {}, seed);
    EXPECT_TRUE(line.write(traffic(frames)));
    return decode_all(far);
}

}  // namespace

TEST(ImpairedLink, UnspoiledTrafficPassesUnchanged)
{
    auto [near, far] = make_memory_pair();
    ImpairedLink line(near, {}, {}, 1);
    ASSERT_TRUE(line.write(traffic(10)));
    EXPECT_EQ(far.read_exactly(traffic(10).size(), 1000), traffic(10));
}

TEST(ImpairedLink, EachKindOfDamageHitsFramesAndSparesText)
{
    Decoded d = through_outgoing({.drop = 1}, 7);
    EXPECT_EQ(d.frames + d.bad, 0);
    EXPECT_EQ(d.text, std::string(100, 't'));

    d = through_outgoing({.corrupt = 1}, 7);
    EXPECT_EQ(d.frames, 0);
    EXPECT_EQ(d.bad, 100);  // each frame keeps its framing and fails its sum
    EXPECT_EQ(d.text, std::string(100, 't'));

    d = through_outgoing({.duplicate = 1}, 7, 3);
    ASSERT_EQ(d.packets.size(), 6u);
    EXPECT_EQ(d.packets[0], d.packets[1]);
    EXPECT_NE(d.packets[1], d.packets[2]);
    EXPECT_EQ(d.packets[4], d.packets[5]);

    d = through_outgoing({.delay = 1, .delay_ms = 1}, 7, 5);
    ASSERT_EQ(d.packets.size(), 5u);
    for (size_t i = 0; i < d.packets.size(); ++i) {
        EXPECT_EQ(d.packets[i][1], i);  // held back, never reordered
    }
}

TEST(ImpairedLink, SameSeedSameDamage)
{
    const Impairment half{.drop = 0.3, .corrupt = 0.3, .duplicate = 0.3};
    const Decoded a = through_outgoing(half, 42);
    const Decoded b = through_outgoing(half, 42);
    const Decoded c = through_outgoing(half, 43);
    EXPECT_EQ(a.packets, b.packets);
    EXPECT_EQ(a.bad, b.bad);
    EXPECT_NE(a.packets, c.packets);
    EXPECT_GT(a.frames, 0);
    EXPECT_GT(a.bad, 0);
}

TEST(ImpairedLink, IncomingDamageAndDelayApplyOnRead)
{
    auto [near, far] = make_memory_pair();
    ImpairedLink line(near, {}, {.corrupt = 1, .delay = 1, .delay_ms = 20}, 3);
    ASSERT_TRUE(far.write(traffic(4)));
    FrameDecoder d;
    int bad = 0;
    std::string text;
    for (int i = 0; i < 100 && (bad < 4 || text.size() < 4); ++i) {  // bounds the wait only
        d.feed(line.read_some(4096, 50));
        while (auto e = d.next()) {
            bad += e->kind == RX_BAD_FRAME;
            EXPECT_NE(e->kind, RX_FRAME);
            if (e->kind == RX_TEXT) {
                text += to_string(e->bytes);
            }
        }
    }
    EXPECT_EQ(bad, 4);
    EXPECT_EQ(text, "tttt");
    EXPECT_EQ(line.incoming_counts().corrupted, 4);
}

TEST(ImpairedLink, FrameSplitOverWritesIsHeldUntilWhole)
{
    auto [near, far] = make_memory_pair();
    ImpairedLink line(near, {.duplicate = 1}, {}, 5);
    const Bytes f = frame_encode(packet_ack(9));
    ASSERT_TRUE(line.write(Bytes(f.begin(), f.begin() + 2)));
    EXPECT_TRUE(far.read_some(64, 0).empty());
    ASSERT_TRUE(line.write(Bytes(f.begin() + 2, f.end())));
    const Decoded d = decode_all(far);
    EXPECT_EQ(d.packets, std::vector<Bytes>({packet_ack(9), packet_ack(9)}));
}

TEST(ImpairedLink, ByteModeSpoilsEveryByteIncludingText)
{
    auto [near, far] = make_memory_pair();
    ImpairedLink line(near, {.drop = 1, .whole_frames = false}, {}, 9);
    ASSERT_TRUE(line.write(traffic(3)));
    EXPECT_TRUE(far.read_some(4096, 0).empty());
    EXPECT_EQ(line.outgoing_counts().units, int(traffic(3).size()));
}

// A script changes the spoiling between transfers; only spoilable frames are counted.
TEST(ImpairedLink, NewSettingSpoilsFromThenOnAndCountsGoOn)
{
    auto [near, far] = make_memory_pair();
    ImpairedLink line(near, {}, {}, 1);
    ASSERT_TRUE(line.write(traffic(3)));
    EXPECT_EQ(decode_all(far).frames, 3);
    line.set({.drop = 1}, {}, 2);
    ASSERT_TRUE(line.write(traffic(3)));
    EXPECT_EQ(decode_all(far).frames, 0);
    line.set({}, {}, 3);
    ASSERT_TRUE(line.write(traffic(3)));
    EXPECT_EQ(decode_all(far).frames, 3);
    EXPECT_EQ(line.outgoing_counts().units, 3);
    EXPECT_EQ(line.outgoing_counts().dropped, 3);
}

TEST(ImpairedLink, SoundSettingHoldsNoHalfFrame)
{
    auto [near, far] = make_memory_pair();
    ImpairedLink line(near, {}, {}, 1);
    const Bytes kivet_reply = {0x03, 0x00, 0xC0, 0x41, 0x42, 0x00, 0x00};  // a 0xC0 in the data
    ASSERT_TRUE(line.write(kivet_reply));
    EXPECT_EQ(far.read_some(64, 0), kivet_reply);
    ASSERT_TRUE(far.write(kivet_reply));
    EXPECT_EQ(line.read_some(64, 100), kivet_reply);
}
