// packet/pool.h: the Packet, the fixed pool of 100 of them, the packet formats and the
// builders of the packets the host sends.
#pragma once

#include <cstdint>

#include "platform/threads.h"

constexpr uint32_t PACKET_DATA_SIZE = 140;
constexpr uint32_t POOL_SIZE = 100;
constexpr uint32_t BLOCK_MAX = 128;  // largest block size the host takes

// Opcodes.
enum PacketOp : uint8_t {
    PKT_PUT_REQUEST = 1,
    PKT_GET_REQUEST = 2,
    PKT_ERROR = 3,
    PKT_ACCEPT = 4,
    PKT_END = 5,
    PKT_DATA = 6,
    PKT_ACK = 7,
};

// Error codes the host sends.
enum PacketError : uint8_t {
    ERR_TIMEOUT = 1,
    ERR_DATA_TIMEOUT = 2,
    ERR_PROTOCOL = 4,
    ERR_FILE = 5,
};

struct Packet {
    Packet* link;     // next Packet in the list that holds this one
    uint32_t offset;  // index of the opcode in data (always 0)
    uint32_t length;  // packet bytes, opcode to last payload byte
    uint8_t data[PACKET_DATA_SIZE];
};

void pool_init() REQUIRES(link_lock);
// Head of the free list, or nullptr when all 100 are out (the caller drops what it was doing).
Packet* pool_take() REQUIRES(link_lock);
void pool_give(Packet* p) REQUIRES(link_lock);
uint32_t pool_free_count() REQUIRES(link_lock);

uint16_t get_be16(const uint8_t* p);
void put_be16(uint8_t* p, uint16_t v);

// Acceptance by length.
bool pkt_is_request(const Packet* p, uint8_t op);
bool pkt_is_ack(const Packet* p);
bool pkt_is_data(const Packet* p);
bool pkt_is_end(const Packet* p);
bool pkt_is_error(const Packet* p);

// Takes a Packet and sets offset 0, length extra + 1 and the opcode; nullptr when the pool is
// empty (a console message says so once).
Packet* pkt_alloc(uint8_t op, uint32_t extra) REQUIRES(link_lock);
// Builders: build and hand to the transmit side.
void pkt_send_accept(uint16_t block_size, uint16_t t1, uint16_t t2) REQUIRES(link_lock);
void pkt_send_data(uint8_t block, const uint8_t* bytes, uint32_t count) REQUIRES(link_lock);
void pkt_send_end() REQUIRES(link_lock);
void pkt_send_ack(uint8_t block) REQUIRES(link_lock);
void pkt_send_error(uint8_t code) REQUIRES(link_lock);
