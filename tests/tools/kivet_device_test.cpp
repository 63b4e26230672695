// tests/tools/kivet_device_test.cpp: the device's file-service commands, reply parsers and the
// synchronous client (tools/devsim/kivet_device), against replies queued in an in-memory link.
#include <gtest/gtest.h>

#include "tools/devsim/kivet_device.h"

using namespace devsim;

namespace
{

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes status(uint16_t s)
{
    return {uint8_t(s & 0xFF), uint8_t(s >> 8)};
}

Bytes read_reply(const Bytes& data, uint16_t st = 0)
{
    return cat({{uint8_t(data.size() & 0xFF), uint8_t(data.size() >> 8)}, data, status(st)});
}

Bytes pattern(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = uint8_t(i * 7 + 3);
    }
    return out;
}

// The client on one end of an in-memory pair; the test plays the host on the other end by
// queueing its replies up front and reading back what the client sent.
class KivetClientTest : public ::testing::Test
{
  protected:
    std::pair<MemoryLink, MemoryLink> pair_ = make_memory_pair();
    MemoryLink& device_ = pair_.first;
    MemoryLink& host_ = pair_.second;
    KivetClient client_{device_, 100};

    void reply(const Bytes& bytes)
    {
        ASSERT_TRUE(host_.write(bytes));
    }
    Bytes sent()
    {
        Bytes out;
        for (Bytes got; !(got = host_.read_some(4096, 0)).empty();) {
            out.insert(out.end(), got.begin(), got.end());
        }
        return out;
    }
};

}  // namespace

TEST(KivetCommands, EncodeTheExampleExchange)
{
    EXPECT_EQ(kivet_open(KV_MODE_READ, "ABCDE"),
              Bytes({0x02, 0x00, 0x01, 0x05, 'A', 'B', 'C', 'D', 'E'}));
    EXPECT_EQ(kivet_read(0x1234, 16), Bytes({0x02, 0x03, 0x34, 0x12, 0x10, 0x00}));
    EXPECT_EQ(kivet_close(0x1234), Bytes({0x02, 0x01, 0x34, 0x12}));
    EXPECT_EQ(kivet_write(0x0001, {0xAA, 0x02}),
              Bytes({0x02, 0x04, 0x01, 0x00, 0x02, 0x00, 0xAA, 0x02}));
    EXPECT_EQ(kivet_cmd5({1, 2, 3, 4, 5}), Bytes({0x02, 0x05, 1, 2, 3, 4, 5}));
}

TEST(KivetCommands, ZeroLengthsCarryTheOneByteTheHostTakes)
{
    EXPECT_EQ(kivet_open(KV_MODE_CREATE, ""), Bytes({0x02, 0x00, 0x02, 0x00, 0x00}));
    EXPECT_EQ(kivet_write(7, {}), Bytes({0x02, 0x04, 0x07, 0x00, 0x00, 0x00, 0x00}));
}

TEST(KivetReplies, ParseWholeRepliesOnly)
{
    auto r = kivet_parse_open({0x34, 0x12, 0x00, 0x00});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->handle, 0x1234);
    EXPECT_TRUE(r->ok());
    r = kivet_parse_open({0xFF, 0xFF, 0x02, 0x00});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->handle, KIVET_BAD_HANDLE);
    EXPECT_EQ(r->status, 2);
    EXPECT_FALSE(r->ok());

    r = kivet_parse_read(read_reply(to_bytes("abc")));
    ASSERT_TRUE(r);
    EXPECT_EQ(to_string(r->data), "abc");
    r = kivet_parse_read({0x00, 0x00, 0x00, 0x00});  // end of file
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->data.empty());
    EXPECT_TRUE(r->ok());
    r = kivet_parse_read(cat({{0x00, 0x01}, pattern(256), status(0)}));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, pattern(256));

    EXPECT_FALSE(kivet_parse_open({0x01, 0x00, 0x00}));
    EXPECT_FALSE(kivet_parse_read({0x03, 0x00, 'a', 0x00, 0x00}));  // count says 3, one came
    EXPECT_FALSE(kivet_parse_read({0x00, 0x00, 0x00}));
    EXPECT_FALSE(kivet_parse_status({0x00}));
    EXPECT_EQ(kivet_parse_status({0x05, 0x01})->status, 0x0105);
}

TEST_F(KivetClientTest, FetchReadsUntilAnEmptyReadThenCloses)
{
    const Bytes file = pattern(300);
    reply(cat({{0x07, 0x00},
               status(0),
               read_reply(Bytes(file.begin(), file.begin() + 256)),
               read_reply(Bytes(file.begin() + 256, file.end())),
               read_reply({}),
               status(0)}));
    const KivetReply r = client_.fetch_file("data.bin");
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.handle, 7);
    EXPECT_EQ(r.data, file);
    EXPECT_EQ(sent(), cat({kivet_open(KV_MODE_READ, "data.bin"), kivet_read(7, 256),
                           kivet_read(7, 256), kivet_read(7, 256), kivet_close(7)}));
}

TEST_F(KivetClientTest, FetchStopsAtAFailedReadButStillCloses)
{
    reply(cat({{0x02, 0x00}, status(0), read_reply({}, 5), status(0)}));
    const KivetReply r = client_.fetch_file("x");
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(sent(), cat({kivet_open(KV_MODE_READ, "x"), kivet_read(2, 256), kivet_close(2)}));
}

TEST_F(KivetClientTest, FailedOpenSendsNothingMore)
{
    reply(cat({{0xFF, 0xFF}, status(2)}));
    const KivetReply r = client_.fetch_file("missing");
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(sent(), kivet_open(KV_MODE_READ, "missing"));
}

TEST_F(KivetClientTest, StoreWritesPiecesOfAtMost250)
{
    const Bytes file = pattern(600);
    reply(cat({{0x03, 0x00}, status(0), status(0), status(0), status(0), status(0)}));
    const KivetReply r = client_.store_file("out.bin", file, KV_MODE_UPDATE);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(sent(), cat({kivet_open(KV_MODE_UPDATE, "out.bin"),
                           kivet_write(3, Bytes(file.begin(), file.begin() + 250)),
                           kivet_write(3, Bytes(file.begin() + 250, file.begin() + 500)),
                           kivet_write(3, Bytes(file.begin() + 500, file.end())), kivet_close(3)}));
}

TEST_F(KivetClientTest, MissingReplyIsReportedNotAnswered)
{
    EXPECT_FALSE(client_.cmd5({0, 0, 0, 0, 0}).answered);
    reply({0x01});  // half a status
    EXPECT_FALSE(client_.close(1).answered);
    reply({0x05, 0x00, 'a', 'b'});  // a read reply cut short
    EXPECT_FALSE(client_.read(1, 16).answered);
}
