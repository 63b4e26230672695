// tests/tools/pasel_codec_test.cpp: the device side's frame encoder and decoder and its packet
// builders and parsers (tools/devsim/pasel_codec).
#include <gtest/gtest.h>

#include "tools/devsim/pasel_codec.h"

using namespace devsim;

namespace
{

std::vector<FrameDecoder::Event> decode(const Bytes& wire)
{
    FrameDecoder d;
    d.feed(wire);
    std::vector<FrameDecoder::Event> out;
    while (auto e = d.next()) {
        out.push_back(*e);
    }
    return out;
}

struct FrameCase {
    Bytes packet;
    Bytes frame;
};

// Known frames of the link, escapes in the body and in the checksum included.
const FrameCase FRAME_TABLE[] = {
    {{0x07, 0x00}, {0xC0, 0x07, 0x00, 0xF9, 0xC0}},
    {{0x07, 0xC0}, {0xC0, 0x07, 0xDB, 0xDC, 0x39, 0xC0}},
    {{0x05}, {0xC0, 0x05, 0xFB, 0xC0}},
    {{0x04, 0x00, 0x80, 0x01, 0xF4, 0x03, 0xE8},
     {0xC0, 0x04, 0x00, 0x80, 0x01, 0xF4, 0x03, 0xE8, 0x9C, 0xC0}},
    {{0x06, 0x01, 0x39}, {0xC0, 0x06, 0x01, 0x39, 0xDB, 0xDC, 0xC0}},
    {{0x06, 0x01, 0x1E}, {0xC0, 0x06, 0x01, 0x1E, 0xDB, 0xDD, 0xC0}},
};

}  // namespace

TEST(FrameCodec, KnownFramesEncodeAndDecodeBack)
{
    for (const FrameCase& c : FRAME_TABLE) {
        EXPECT_EQ(frame_encode(c.packet), c.frame) << packet_describe(c.packet);
        const auto events = decode(c.frame);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, RX_FRAME);
        EXPECT_EQ(events[0].bytes, c.packet);
    }
}

TEST(FrameCodec, EveryByteValueSurvivesTheRoundTrip)
{
    Bytes packet{PKT_DATA, 0xC0};
    for (int b = 0; b < 256; ++b) {
        packet.push_back(uint8_t(b));
    }
    const auto events = decode(frame_encode(packet));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, RX_FRAME);
    EXPECT_EQ(events[0].bytes, packet);
}

TEST(FrameDecoder, TextBetweenFramesIsKeptInOrder)
{
    Bytes wire = to_bytes("ok");
    const Bytes end = frame_encode(packet_end());
    wire.insert(wire.end(), end.begin(), end.end());
    wire.insert(wire.end(), end.begin(), end.end());
    wire.push_back('?');
    const auto events = decode(wire);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind, RX_TEXT);
    EXPECT_EQ(to_string(events[0].bytes), "ok");
    EXPECT_EQ(events[1].kind, RX_FRAME);
    EXPECT_EQ(events[2].kind, RX_FRAME);
    EXPECT_EQ(events[2].bytes, packet_end());
    EXPECT_EQ(events[3].kind, RX_TEXT);
    EXPECT_EQ(to_string(events[3].bytes), "?");
}

TEST(FrameDecoder, TextSplitAcrossFeedsMergesWhileNewest)
{
    FrameDecoder d;
    d.feed(to_bytes("he"));
    d.feed(to_bytes("llo"));
    const auto e = d.next();
    ASSERT_TRUE(e);
    EXPECT_EQ(to_string(e->bytes), "hello");
    EXPECT_FALSE(d.next());
}

TEST(FrameDecoder, CorruptedFramesAreReportedBadAndTheNextFrameStillDecodes)
{
    const Bytes good = frame_encode(packet_ack(3));
    const std::vector<Bytes> broken = {
        {0xC0, 0x07, 0x00, 0xF8, 0xC0},        // sum 0xFF
        {0xC0, 0x07, 0xDB, 0x41, 0x39, 0xC0},  // ESC then a byte that is neither DC nor DD
        {0xC0, 0x07, 0xDB, 0xC0},              // END right after ESC
        {0xC0, 0x00, 0xC0},                    // a checksum and no opcode
    };
    for (const Bytes& b : broken) {
        Bytes wire = b;
        wire.insert(wire.end(), good.begin(), good.end());
        const auto events = decode(wire);
        ASSERT_EQ(events.size(), 2u) << packet_describe(b);
        EXPECT_EQ(events[0].kind, RX_BAD_FRAME);
        EXPECT_EQ(events[1].kind, RX_FRAME);
        EXPECT_EQ(events[1].bytes, packet_ack(3));
    }
}

TEST(FrameDecoder, EveryFlippedByteOfAFrameIsCaught)
{
    const Bytes frame = frame_encode(packet_data(7, to_bytes("payload\xC0\xDB")));
    for (size_t i = 1; i + 1 < frame.size(); ++i) {
        for (const uint8_t mask : {0x01, 0x80, 0xFF}) {
            Bytes wire = frame;
            wire[i] = uint8_t(wire[i] ^ mask);
            for (const auto& e : decode(wire)) {
                EXPECT_NE(e.kind, RX_FRAME) << "byte " << i << " mask " << int(mask);
            }
        }
    }
}

TEST(FrameDecoder, OverlongFrameIsBadAndTheNextOneDecodes)
{
    FrameDecoder d(8);
    d.feed(frame_encode(packet_data(1, Bytes(20, 0x55))));
    d.feed(frame_encode(packet_ack(2)));
    auto e = d.next();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, RX_BAD_FRAME);
    EXPECT_EQ(e->bytes.size(), 8u);
    e = d.next();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, RX_FRAME);
    EXPECT_EQ(e->bytes, packet_ack(2));
}

TEST(FrameDecoder, EmptyFrameOpensTheNextOneSilently)
{
    const auto events = decode({0xC0, 0xC0, 0x05, 0xFB, 0xC0});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, RX_FRAME);
    EXPECT_EQ(events[0].bytes, packet_end());
}

TEST(FrameDecoder, FrameCutShortIsBadAndItsSuccessorsTailIsText)
{
    // The lost tail takes the closing END with it: the next frame's opening END closes the
    // cut one, and what follows up to the next END reads as text.
    const auto events = decode({0xC0, 0x07, 0x00, 0xC0, 0x05, 0xFB, 0xC0});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, RX_BAD_FRAME);
    EXPECT_EQ(events[1].kind, RX_TEXT);
    EXPECT_EQ(events[1].bytes, Bytes({0x05, 0xFB}));
}

TEST(Packets, BuildersLayOutFieldsBigEndian)
{
    EXPECT_EQ(packet_accept(128, 500, 1000), Bytes({4, 0x00, 0x80, 0x01, 0xF4, 0x03, 0xE8}));
    EXPECT_EQ(packet_request(PKT_GET_REQUEST, 0x1234, 1, 0xFFFF, "ab"),
              Bytes({2, 0x12, 0x34, 0x00, 0x01, 0xFF, 0xFF, 2, 'a', 'b'}));
    EXPECT_EQ(packet_data(255, {9}), Bytes({6, 255, 9}));
    EXPECT_EQ(packet_error(ERR_FILE), Bytes({3, 5}));
}

TEST(Packets, ParseTakesBackWhatTheBuildersMade)
{
    auto p = packet_parse(packet_request(PKT_PUT_REQUEST, 64, 300, 700, "dir/f.bin"));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->op, PKT_PUT_REQUEST);
    EXPECT_EQ(p->block_size, 64);
    EXPECT_EQ(p->t1, 300);
    EXPECT_EQ(p->t2, 700);
    EXPECT_EQ(p->name, "dir/f.bin");

    p = packet_parse(packet_accept(128, 500, 1000));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->block_size, 128);
    EXPECT_EQ(p->t1, 500);
    EXPECT_EQ(p->t2, 1000);

    p = packet_parse(packet_data(0, to_bytes("xyz")));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->block, 0);
    EXPECT_EQ(to_string(p->data), "xyz");

    p = packet_parse(packet_error(ERR_DATA_TIMEOUT));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->code, ERR_DATA_TIMEOUT);
}

TEST(Packets, ParseKeepsTheLengthRules)
{
    Bytes request = packet_request(PKT_GET_REQUEST, 128, 1, 1, "abc");
    EXPECT_TRUE(packet_parse(request));
    request.push_back('x');  // a stray byte after the name
    EXPECT_FALSE(packet_parse(request));
    EXPECT_FALSE(packet_parse({PKT_GET_REQUEST, 0, 128, 0, 1, 0, 1}));  // shorter than its head
    EXPECT_FALSE(packet_parse({PKT_ACK, 1, 0}));
    EXPECT_FALSE(packet_parse({PKT_ACK}));
    EXPECT_FALSE(packet_parse({PKT_END, 0}));
    EXPECT_FALSE(packet_parse({PKT_ACCEPT, 0, 128, 0, 1, 0}));
    EXPECT_FALSE(packet_parse({PKT_DATA}));
    EXPECT_FALSE(packet_parse({9, 1}));
    EXPECT_FALSE(packet_parse({}));
    const auto empty_data = packet_parse({PKT_DATA, 4});
    ASSERT_TRUE(empty_data);
    EXPECT_TRUE(empty_data->data.empty());
}
