// packet/format.h: the packet formats: opcodes, error codes, the acceptance test of each packet
// the device sends and the builders of the packets the host sends.
#pragma once

#include <cstdint>

#include "packet/pool.h"
#include "platform/threads.h"

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

uint16_t get_be16(const uint8_t* p);
void put_be16(uint8_t* p, uint16_t v);

// Acceptance by length.
bool pkt_is_request(const Packet* p, uint8_t op);
bool pkt_is_ack(const Packet* p);
bool pkt_is_data(const Packet* p);
bool pkt_is_end(const Packet* p);
bool pkt_is_error(const Packet* p);

// The packet in words for the trace: its opcode's name and its fields ("DATA block 3 length
// 128", "GET \"a.txt\" block size 128 T1 1000 T2 2000", "ERROR code 5 (file error)"), or what is
// wrong with it (an unknown opcode, a wrong length); into out (size bytes).
void pkt_describe(const Packet* p, char* out, uint32_t size);
constexpr uint32_t TRACE_PACKET_MAX = 1100;  // room for any packet's words

// Builders: build and hand to the transmit side.
void pkt_send_accept(uint16_t block_size, uint16_t t1, uint16_t t2) REQUIRES(link_lock);
void pkt_send_data(uint8_t block, const uint8_t* bytes, uint32_t count) REQUIRES(link_lock);
void pkt_send_end() REQUIRES(link_lock);
void pkt_send_ack(uint8_t block) REQUIRES(link_lock);
void pkt_send_error(uint8_t code) REQUIRES(link_lock);
