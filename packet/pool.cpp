// packet/pool.cpp: the fixed pool of 100 Packets, the packet formats and the builders of the
// packets the host sends. Owns the pool array and its free list. The deframer and the encoder
// take and give back Packets, the transfer state machine and the timeout action build packets;
// all of them hold link_lock.
#include "packet/pool.h"

#include <cstring>

#include "app/startup.h"
#include "packet/framing.h"
#include "platform/console.h"

static Packet pool_packets[POOL_SIZE];              // every Packet there is; never freed
static Packet* pool_free GUARDED_BY(link_lock);     // head of the free list (LIFO)
static uint32_t pool_free_n GUARDED_BY(link_lock);  // Packets on the free list
// The "pool empty" message was printed and no Packet has come back since: one message per
// empty spell, not one per dropped packet.
static bool pool_empty_told GUARDED_BY(link_lock);

void pool_init()
{
    pool_free = nullptr;
    pool_free_n = 0;
    pool_empty_told = false;
    // Given back in array order, so the last element is the first one taken.
    for (Packet& p : pool_packets) {
        pool_give(&p);
    }
}

Packet* pool_take()
{
    Packet* p = pool_free;
    if (p == nullptr) {
        return nullptr;
    }
    pool_free = p->link;
    pool_free_n--;
    p->link = nullptr;
    return p;
}

void pool_give(Packet* p)
{
    if (p == nullptr) {
        return;
    }
    p->link = pool_free;
    pool_free = p;
    pool_free_n++;
    pool_empty_told = false;
}

uint32_t pool_free_count()
{
    return pool_free_n;
}

uint16_t get_be16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void put_be16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

// A request: [0] op, [1..6] block size, T1, T2, [7] n, then n name bytes and nothing more.
bool pkt_is_request(const Packet* p, uint8_t op)
{
    const uint8_t* b = p->data + p->offset;
    return p->length == b[7] + 8u && b[0] == op;
}

bool pkt_is_ack(const Packet* p)
{
    return p->length == 2 && p->data[p->offset] == PKT_ACK;
}

bool pkt_is_data(const Packet* p)
{
    return p->length >= 2 && p->data[p->offset] == PKT_DATA;
}

bool pkt_is_end(const Packet* p)
{
    return p->length == 1 && p->data[p->offset] == PKT_END;
}

bool pkt_is_error(const Packet* p)
{
    return p->length == 2 && p->data[p->offset] == PKT_ERROR;
}

Packet* pkt_alloc(uint8_t op, uint32_t extra)
{
    if (extra >= PACKET_DATA_SIZE) {  // no builder asks this much; never overrun the data area
        return nullptr;
    }
    Packet* p = pool_take();
    if (p == nullptr) {
        // Every Packet is out (received packets not yet handled, frames not yet written): the
        // packet is not sent. A packet that waits for an answer goes again when the timer runs.
        if (!pool_empty_told) {
            pool_empty_told = true;
            plat::console_print("\r\n%s: packet pool empty, packet dropped\n", program_label());
        }
        return nullptr;
    }
    p->offset = 0;
    p->length = extra + 1;
    p->data[0] = op;
    return p;
}

void pkt_send_accept(uint16_t block_size, uint16_t t1, uint16_t t2)
{
    Packet* p = pkt_alloc(PKT_ACCEPT, 6);
    if (p == nullptr) {
        return;
    }
    put_be16(p->data + 1, block_size);
    put_be16(p->data + 3, t1);
    put_be16(p->data + 5, t2);
    enqueue_send(p);
}

void pkt_send_data(uint8_t block, const uint8_t* bytes, uint32_t count)
{
    if (count > BLOCK_MAX) {
        count = BLOCK_MAX;
    }
    Packet* p = pkt_alloc(PKT_DATA, count + 1);
    if (p == nullptr) {
        return;
    }
    p->data[1] = block;
    std::memcpy(p->data + 2, bytes, count);
    enqueue_send(p);
}

void pkt_send_end()
{
    Packet* p = pkt_alloc(PKT_END, 0);
    if (p == nullptr) {
        return;
    }
    enqueue_send(p);
}

void pkt_send_ack(uint8_t block)
{
    Packet* p = pkt_alloc(PKT_ACK, 1);
    if (p == nullptr) {
        return;
    }
    p->data[1] = block;
    enqueue_send(p);
}

void pkt_send_error(uint8_t code)
{
    Packet* p = pkt_alloc(PKT_ERROR, 1);
    if (p == nullptr) {
        return;
    }
    p->data[1] = code;
    enqueue_send(p);
}
