// packet/format.cpp: the packet formats: the acceptance test of each packet the device sends and
// the builders of the packets the host sends, which hand them to the encoder. Called by the
// transfer state machine and its timeout action with link_lock held.
#include "packet/format.h"

#include <cstdio>
#include <cstring>

#include "output/trace.h"
#include "packet/framing.h"

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
    const uint8_t* b = p->data;
    return p->length == b[7] + 8u && b[0] == op;
}

bool pkt_is_ack(const Packet* p)
{
    return p->length == 2 && p->data[0] == PKT_ACK;
}

bool pkt_is_data(const Packet* p)
{
    return p->length >= 2 && p->data[0] == PKT_DATA;
}

bool pkt_is_end(const Packet* p)
{
    return p->length == 1 && p->data[0] == PKT_END;
}

bool pkt_is_error(const Packet* p)
{
    return p->length == 2 && p->data[0] == PKT_ERROR;
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

// What an error code means, as the trace says it.
static const char* error_meaning(uint8_t code)
{
    switch (code) {
    case ERR_TIMEOUT:
        return "time-out";
    case ERR_DATA_TIMEOUT:
        return "data time-out";
    case ERR_PROTOCOL:
        return "protocol error";
    case ERR_FILE:
        return "file error";
    default:
        return "unknown";
    }
}

void pkt_describe(const Packet* p, char* out, uint32_t size)
{
    const uint8_t* b = p->data;
    const uint32_t n = p->length;
    char name[4 * 255 + 8];
    if (n == 0) {
        (void)std::snprintf(out, size, "empty packet");
        return;
    }
    switch (b[0]) {
    case PKT_PUT_REQUEST:
    case PKT_GET_REQUEST:
        if (pkt_is_request(p, b[0])) {
            (void)std::snprintf(
                out, size, "%s %s block size %u T1 %u T2 %u",
                b[0] == PKT_GET_REQUEST ? "GET" : "PUT",
                trace_quote(reinterpret_cast<const char*>(b + 8), b[7], name, sizeof name),
                get_be16(b + 1), get_be16(b + 3), get_be16(b + 5));
            return;
        }
        break;
    case PKT_ACCEPT:
        if (n == 7) {
            (void)std::snprintf(out, size, "ACCEPT block size %u T1 %u T2 %u", get_be16(b + 1),
                                get_be16(b + 3), get_be16(b + 5));
            return;
        }
        break;
    case PKT_ACK:
        if (pkt_is_ack(p)) {
            (void)std::snprintf(out, size, "ACK block %u", b[1]);
            return;
        }
        break;
    case PKT_DATA:
        if (pkt_is_data(p)) {
            (void)std::snprintf(out, size, "DATA block %u length %u", b[1], n - 2);
            return;
        }
        break;
    case PKT_END:
        if (pkt_is_end(p)) {
            (void)std::snprintf(out, size, "END");
            return;
        }
        break;
    case PKT_ERROR:
        if (pkt_is_error(p)) {
            (void)std::snprintf(out, size, "ERROR code %u (%s)", b[1], error_meaning(b[1]));
            return;
        }
        break;
    default:
        (void)std::snprintf(out, size, "unknown opcode 0x%02x, %u bytes", b[0], n);
        return;
    }
    (void)std::snprintf(out, size, "opcode %u with a wrong length, %u bytes", b[0], n);
}
