// packet/pool.cpp: the fixed pool of 100 Packets. Owns the pool array and its free list. The
// deframer and the encoder take and give back Packets, the packet builders take them; all of
// them hold link_lock.
#include "packet/pool.h"

#include "output/drops.h"

#include "platform/console.h"
#include "port/mode.h"

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

Packet* pkt_alloc(uint8_t op, uint32_t extra)
{
    if (extra >= PACKET_DATA_SIZE) {  // no builder asks this much; never overrun the data area
        return nullptr;
    }
    Packet* p = pool_take();
    if (p == nullptr) {
        // Every Packet is out (received packets not yet handled, frames not yet written): the
        // packet is not sent. A packet that waits for an answer goes again when the timer runs.
        drop_count(DROP_NO_BUFFER);
        if (!pool_empty_told) {
            pool_empty_told = true;
            plat::console_print("\r\n%s: packet pool empty, packet dropped\n", program_label());
        }
        return nullptr;
    }
    p->length = extra + 1;
    p->data[0] = op;
    return p;
}
