// tests/packet/pool_test.cpp: the packet pool (LIFO, exhaustion), big-endian fields and the
// acceptance of received packets by their length.
#include <string>
#include <vector>

#include "packet/format.h"
#include "packet/framing.h"
#include "packet/link.h"
#include "packet/pool.h"
#include "port/mode.h"
#include "tests/packet/wire.h"
#include "tests/support/fixture.h"

class Pool : public SystemTest
{
  protected:
    void SetUp() override ACQUIRE(link_lock)
    {
        SystemTest::SetUp();
        mode_flag = MODE_PASEL;
    }
};

TEST_F(Pool, FreeListIsLastInFirstOut)
{
    link_lock.assert_held();
    EXPECT_EQ(pool_free_count(), POOL_SIZE - 1);  // framing init holds the first one taken
    Packet* a = pool_take();
    Packet* b = pool_take();
    EXPECT_EQ(a - b, 1);  // given back in array order, so taken from the end

    std::vector<Packet*> all{a, b};
    while (Packet* p = pool_take()) {
        all.push_back(p);
    }
    EXPECT_EQ(all.size(), POOL_SIZE - 1);
    EXPECT_EQ(pool_free_count(), 0u);
    Packet* last = nullptr;
    for (size_t first : {0, 1}) {  // back in another order: even places, then odd ones
        for (size_t i = first; i < all.size(); i += 2) {
            pool_give(all[i]);
            last = all[i];
        }
    }
    EXPECT_EQ(pool_free_count(), POOL_SIZE - 1);
    EXPECT_EQ(pool_take(), last);
}

TEST_F(Pool, EmptyPoolDropsPacketsWithOneMessage)
{
    link_lock.assert_held();
    std::vector<Packet*> held;
    while (Packet* p = pool_take()) {
        held.push_back(p);
    }
    EXPECT_EQ(pkt_alloc(PKT_ACK, 1), nullptr);
    pkt_send_ack(1);
    pkt_send_error(ERR_FILE);
    EXPECT_EQ(encoder_step(), 0);  // nothing was queued
    EXPECT_EQ(plat::fake_console_output(), "\r\nPASEL32: packet pool empty, packet dropped\n");

    pool_give(held.back());
    held.pop_back();
    pkt_send_end();  // takes the one given back
    pkt_send_end();  // empty again: a new spell, a new message
    EXPECT_EQ(sent(), std::vector<std::string>{end_pkt()});
    EXPECT_EQ(plat::fake_console_output(), "\r\nPASEL32: packet pool empty, packet dropped\n"
                                           "\r\nPASEL32: packet pool empty, packet dropped\n");
    for (Packet* p : held) {
        pool_give(p);
    }
}

static Packet packet_of(const std::string& bytes)
{
    Packet p{};
    p.length = static_cast<uint32_t>(bytes.size());
    for (size_t i = 0; i < bytes.size(); i++) {
        p.data[i] = static_cast<uint8_t>(bytes[i]);
    }
    return p;
}

TEST_F(Pool, PacketsAreRecognisedByExactLength)
{
    Packet get = packet_of(request(PKT_GET_REQUEST, 128, 500, 1000, "abc"));
    EXPECT_EQ(get.length, 11u);
    EXPECT_TRUE(pkt_is_request(&get, PKT_GET_REQUEST));
    EXPECT_FALSE(pkt_is_request(&get, PKT_PUT_REQUEST));
    get.length = 12;  // a stray byte after the name
    EXPECT_FALSE(pkt_is_request(&get, PKT_GET_REQUEST));
    get.length = 10;
    EXPECT_FALSE(pkt_is_request(&get, PKT_GET_REQUEST));

    Packet a = packet_of(ack(3));
    EXPECT_TRUE(pkt_is_ack(&a));
    a.length = 3;
    EXPECT_FALSE(pkt_is_ack(&a));

    Packet d = packet_of(data(1, ""));  // no data bytes is still a data packet
    EXPECT_TRUE(pkt_is_data(&d));
    d.length = 1;
    EXPECT_FALSE(pkt_is_data(&d));

    Packet e = packet_of(end_pkt());
    EXPECT_TRUE(pkt_is_end(&e));
    e.length = 2;
    EXPECT_FALSE(pkt_is_end(&e));

    Packet r = packet_of(error_pkt(2));
    EXPECT_TRUE(pkt_is_error(&r));
    EXPECT_FALSE(pkt_is_ack(&r));
    r.length = 1;
    EXPECT_FALSE(pkt_is_error(&r));
}
