// packet/pool.h: the Packet and the fixed pool of 100 of them.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t PACKET_DATA_SIZE = 140;
constexpr uint32_t POOL_SIZE = 100;
constexpr uint32_t BLOCK_MAX = 128;  // largest block size the host takes

struct Packet {
    Packet* link;     // next Packet in the list that holds this one
    uint32_t length;  // packet bytes, opcode to last payload byte
    uint8_t data[PACKET_DATA_SIZE];
};

void pool_init() REQUIRES(link_lock);
// Head of the free list, or nullptr when all 100 are out (the caller drops what it was doing).
Packet* pool_take() REQUIRES(link_lock);
void pool_give(Packet* p) REQUIRES(link_lock);
uint32_t pool_free_count() REQUIRES(link_lock);

// Takes a Packet and sets length extra + 1 and the opcode; nullptr when the pool is
// empty (a console message says so once).
Packet* pkt_alloc(uint8_t op, uint32_t extra) REQUIRES(link_lock);
