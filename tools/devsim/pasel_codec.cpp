// tools/devsim/pasel_codec.cpp: frame encoder and decoder, packet builders and parsers of the
// device's side of the packet link. No shared state: each FrameDecoder is its own.
#include "tools/devsim/pasel_codec.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

namespace devsim
{

namespace
{

constexpr size_t REQUEST_HEAD = 8;  // opcode, block size, T1, T2, name length

void put_be16(Bytes& out, uint16_t v)
{
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v & 0xFF));
}

// The head bytes, then tail, copied into a vector sized up front: g++ 12 at -O2 takes
// vector::insert after an initializer list for an out-of-bounds copy (-Warray-bounds).
template <class Tail> Bytes join(std::initializer_list<uint8_t> head, const Tail& tail)
{
    Bytes out(head.size() + tail.size());
    std::copy(head.begin(), head.end(), out.begin());
    std::copy(tail.begin(), tail.end(), out.begin() + long(head.size()));
    return out;
}

uint16_t get_be16(const Bytes& in, size_t at)
{
    return uint16_t((in[at] << 8) | in[at + 1]);
}

void put_escaped(Bytes& out, uint8_t b)
{
    if (b == FRAME_END) {
        out.push_back(FRAME_ESC);
        out.push_back(FRAME_ESC_END);
    } else if (b == FRAME_ESC) {
        out.push_back(FRAME_ESC);
        out.push_back(FRAME_ESC_ESC);
    } else {
        out.push_back(b);
    }
}

}  // namespace

uint8_t frame_checksum(const Bytes& packet)
{
    uint8_t sum = 0;
    for (const uint8_t b : packet) {
        sum = uint8_t(sum + b);
    }
    return uint8_t(0 - sum);
}

Bytes frame_encode(const Bytes& packet)
{
    Bytes out;
    out.reserve(2 * packet.size() + 4);
    out.push_back(FRAME_END);
    for (const uint8_t b : packet) {
        put_escaped(out, b);
    }
    put_escaped(out, frame_checksum(packet));
    out.push_back(FRAME_END);
    return out;
}

FrameDecoder::FrameDecoder(size_t max_frame) : max_frame_(max_frame) {}

void FrameDecoder::feed(const Bytes& bytes)
{
    for (const uint8_t b : bytes) {
        feed(b);
    }
}

void FrameDecoder::feed(uint8_t b)
{
    if (!inside_) {
        if (b == FRAME_END) {
            inside_ = true;
            esc_ = false;
            bad_ = false;
            frame_.clear();
        } else if (!events_.empty() && events_.back().kind == RX_TEXT) {
            events_.back().bytes.push_back(b);
        } else {
            events_.push_back({RX_TEXT, {b}});
        }
        return;
    }
    if (esc_) {
        esc_ = false;
        if (b == FRAME_END) {  // ESC END: the sender broke off inside an escape
            bad_ = true;
            close_frame();
            return;
        }
        if (b != FRAME_ESC_END && b != FRAME_ESC_ESC) {
            bad_ = true;
        }
        b = b == FRAME_ESC_END ? FRAME_END : FRAME_ESC;
    } else if (b == FRAME_END) {
        if (frame_.empty() && !bad_) {
            return;  // END END: this END opens the next frame
        }
        close_frame();
        return;
    } else if (b == FRAME_ESC) {
        esc_ = true;
        return;
    }
    if (frame_.size() < max_frame_) {
        frame_.push_back(b);
    } else {
        bad_ = true;  // overlong: keep what fits, drop the rest up to the END
    }
}

void FrameDecoder::close_frame()
{
    inside_ = false;
    // The sum of all decoded bytes, checksum included, is 0 for a sound frame.
    const bool sound = !bad_ && frame_.size() >= 2 && frame_checksum(frame_) == 0;
    if (sound) {
        frame_.pop_back();
        events_.push_back({RX_FRAME, frame_});
    } else {
        events_.push_back({RX_BAD_FRAME, frame_});
    }
    frame_.clear();
}

std::optional<FrameDecoder::Event> FrameDecoder::next()
{
    if (events_.empty()) {
        return std::nullopt;
    }
    Event e = std::move(events_.front());
    events_.pop_front();
    return e;
}

Bytes packet_request(uint8_t op, uint16_t block_size, uint16_t t1, uint16_t t2,
                     const std::string& name)
{
    assert(name.size() <= 0xFF);
    return join({op, uint8_t(block_size >> 8), uint8_t(block_size), uint8_t(t1 >> 8), uint8_t(t1),
                 uint8_t(t2 >> 8), uint8_t(t2), uint8_t(name.size())},
                name);
}

Bytes packet_error(uint8_t code)
{
    return {PKT_ERROR, code};
}

Bytes packet_accept(uint16_t block_size, uint16_t t1, uint16_t t2)
{
    Bytes out{PKT_ACCEPT};
    put_be16(out, block_size);
    put_be16(out, t1);
    put_be16(out, t2);
    return out;
}

Bytes packet_end()
{
    return {PKT_END};
}

Bytes packet_data(uint8_t block, const Bytes& data)
{
    return join({PKT_DATA, block}, data);
}

Bytes packet_ack(uint8_t block)
{
    return {PKT_ACK, block};
}

std::optional<Packet> packet_parse(const Bytes& raw)
{
    if (raw.empty()) {
        return std::nullopt;
    }
    Packet p;
    p.op = raw[0];
    const size_t n = raw.size();
    switch (p.op) {
    case PKT_PUT_REQUEST:
    case PKT_GET_REQUEST:
        if (n < REQUEST_HEAD || n != REQUEST_HEAD + raw[7]) {
            return std::nullopt;
        }
        p.block_size = get_be16(raw, 1);
        p.t1 = get_be16(raw, 3);
        p.t2 = get_be16(raw, 5);
        p.name.assign(raw.begin() + REQUEST_HEAD, raw.end());
        return p;
    case PKT_ACCEPT:
        if (n != 7) {
            return std::nullopt;
        }
        p.block_size = get_be16(raw, 1);
        p.t1 = get_be16(raw, 3);
        p.t2 = get_be16(raw, 5);
        return p;
    case PKT_ERROR:
        if (n != 2) {
            return std::nullopt;
        }
        p.code = raw[1];
        return p;
    case PKT_END:
        return n == 1 ? std::optional<Packet>(p) : std::nullopt;
    case PKT_DATA:
        if (n < 2) {
            return std::nullopt;
        }
        p.block = raw[1];
        p.data.assign(raw.begin() + 2, raw.end());
        return p;
    case PKT_ACK:
        if (n != 2) {
            return std::nullopt;
        }
        p.block = raw[1];
        return p;
    default:
        return std::nullopt;
    }
}

std::string packet_describe(const Bytes& raw)
{
    if (const std::optional<Packet> p = packet_parse(raw)) {
        return packet_describe(*p);
    }
    std::string out = "??";
    char hex[8];
    for (size_t i = 0; i < raw.size() && i < 8; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", raw[i]);
        out += hex;
    }
    return raw.size() > 8 ? out + " ..." : out;
}

std::string packet_describe(const Packet& p)
{
    char text[96];
    switch (p.op) {
    case PKT_PUT_REQUEST:
    case PKT_GET_REQUEST:
        std::snprintf(text, sizeof text, "%s %u/%u/%u ", p.op == PKT_PUT_REQUEST ? "PUT" : "GET",
                      unsigned(p.block_size), unsigned(p.t1), unsigned(p.t2));
        return text + p.name;
    case PKT_ACCEPT:
        std::snprintf(text, sizeof text, "ACCEPT %u/%u/%u", unsigned(p.block_size), unsigned(p.t1),
                      unsigned(p.t2));
        return text;
    case PKT_ERROR:
        return "ERROR " + std::to_string(p.code);
    case PKT_END:
        return "END";
    case PKT_DATA:
        std::snprintf(text, sizeof text, "DATA %u (%zu bytes)", unsigned(p.block), p.data.size());
        return text;
    case PKT_ACK:
        return "ACK " + std::to_string(p.block);
    default:
        return "?? " + std::to_string(p.op);
    }
}

}  // namespace devsim
