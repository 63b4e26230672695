// tests/packet/wire.h: test-only codec of the packet link, written apart from packet/framing.cpp
// so that each checks the other: hex strings, a reference frame encoder and a frame decoder, and
// the steps a test takes to put a packet on the line and read what the host sent back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "packet/framing.h"
#include "packet/link.h"
#include "packet/pool.h"
#include "packet/transfer.h"
#include "platform/fake/fake.h"

// "C0 07 00" -> the three bytes.
inline std::string hex(const char* text)
{
    std::string out;
    unsigned v = 0;
    int digits = 0;
    for (const char* c = text;; c++) {
        bool is_hex =
            (*c >= '0' && *c <= '9') || (*c >= 'A' && *c <= 'F') || (*c >= 'a' && *c <= 'f');
        if (is_hex) {
            v = v * 16 + static_cast<unsigned>(*c <= '9' ? *c - '0' : (*c | 0x20) - 'a' + 10);
            digits++;
        } else if (digits > 0) {
            out.push_back(static_cast<char>(v));
            v = 0;
            digits = 0;
        }
        if (*c == '\0') {
            return out;
        }
    }
}

inline std::string bytes_of(std::initializer_list<int> list)
{
    std::string out;
    for (int b : list) {
        out.push_back(static_cast<char>(b));
    }
    return out;
}

// Packet bytes -> END, escaped bytes and checksum, END.
inline std::string frame_of(const std::string& packet)
{
    std::string out(1, '\xC0');
    uint8_t sum = 0;
    std::string body = packet;
    for (char c : packet) {
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    }
    body.push_back(static_cast<char>(static_cast<uint8_t>(0 - sum)));
    for (char c : body) {
        if (c == '\xC0') {
            out += "\xDB\xDC";
        } else if (c == '\xDB') {
            out += "\xDB\xDD";
        } else {
            out.push_back(c);
        }
    }
    out.push_back('\xC0');
    return out;
}

// One whole frame -> its packet bytes; "<bad frame>" when it is not exactly one good frame.
inline std::string unframe(const std::string& frame)
{
    std::string bad = "<bad frame>";
    if (frame.size() < 3 || frame.front() != '\xC0' || frame.back() != '\xC0') {
        return bad;
    }
    std::string body;
    for (size_t i = 1; i + 1 < frame.size(); i++) {
        char c = frame[i];
        if (c == '\xC0') {
            return bad;
        }
        if (c == '\xDB') {
            if (i + 2 >= frame.size()) {
                return bad;
            }
            char next = frame[++i];
            if (next != '\xDC' && next != '\xDD') {
                return bad;
            }
            body.push_back(next == '\xDC' ? '\xC0' : '\xDB');
        } else {
            body.push_back(c);
        }
    }
    uint8_t sum = 0;
    for (char c : body) {
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    }
    if (body.empty() || sum != 0) {
        return bad;
    }
    body.pop_back();
    return body;
}

// The text between frames that the deframer has handed back, not yet taken.
inline std::string& line_text()
{
    static std::string text;
    return text;
}

// The device's bytes through the deframer one at a time; the text between frames is kept
// here, as the link's front door keeps it.
inline void feed_line(const std::string& bytes) REQUIRES(link_lock)
{
    for (char c : bytes) {
        if (deframe_byte(static_cast<uint8_t>(c))) {
            line_text().push_back(c);
        }
    }
}

// The bytes of a received Packet, opcode first.
inline std::string packet_bytes(const Packet* p)
{
    return std::string(reinterpret_cast<const char*>(p->data), p->length);
}

// Every Packet on the receive queue, taken off it and given back.
inline std::vector<std::string> take_received() REQUIRES(link_lock)
{
    std::vector<std::string> out;
    while (Packet* p = rx_queue_take()) {
        out.push_back(packet_bytes(p));
        pool_give(p);
    }
    return out;
}

// Every byte of text between frames fed so far and not yet taken.
inline std::string take_text() REQUIRES(link_lock)
{
    std::string out;
    out.swap(line_text());
    return out;
}

// The device sends a packet: framed, deframed and dispatched as the receive thread does.
inline void deliver(const std::string& packet) REQUIRES(link_lock)
{
    feed_line(frame_of(packet));
    while (Packet* p = rx_queue_take()) {
        packet_dispatch(p);
    }
}

// Runs the encoder dry and returns the packets of the frames written since the last call,
// one port write per frame.
inline std::vector<std::string> sent() REQUIRES(link_lock)
{
    while (encoder_step() != 0) {
    }
    std::vector<std::string> out;
    for (const std::string& w : plat::fake_port_writes()) {
        out.push_back(unframe(w));
    }
    plat::fake_port_clear_written();
    return out;
}

// Device-side packets.
inline std::string request(uint8_t op, uint16_t size, uint16_t t1, uint16_t t2,
                           const std::string& name)
{
    std::string p = bytes_of({op, size >> 8, size & 0xFF, t1 >> 8, t1 & 0xFF, t2 >> 8, t2 & 0xFF,
                              static_cast<int>(name.size())});
    return p + name;
}

inline std::string ack(int block)
{
    return bytes_of({PKT_ACK, block});
}

inline std::string data(int block, const std::string& payload)
{
    return bytes_of({PKT_DATA, block}) + payload;
}

inline std::string error_pkt(int code)
{
    return bytes_of({PKT_ERROR, code});
}

inline std::string end_pkt()
{
    return bytes_of({PKT_END});
}
