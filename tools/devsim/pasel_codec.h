// tools/devsim/pasel_codec.h: the device's own codec for the packet link (PASEL mode): frame
// encoder, incremental frame decoder that also keeps the text between frames, and builders and
// parsers of the seven packets. Written apart from the host's framing so that the two check
// each other. Used by the packet engine, the impairment wrapper, the emulator and the tests.
//
// A frame is END, the packet bytes, one checksum byte, END; inside it 0xC0 travels as DB DC and
// 0xDB as DB DD, the checksum too. The checksum is the two's complement of the 8-bit sum of the
// packet bytes. 16-bit values inside packets are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "tools/devsim/link.h"

namespace devsim
{

constexpr uint8_t FRAME_END = 0xC0;      // opens and closes every frame
constexpr uint8_t FRAME_ESC = 0xDB;      // the next byte stands for END or ESC
constexpr uint8_t FRAME_ESC_END = 0xDC;  // after ESC: a data byte 0xC0
constexpr uint8_t FRAME_ESC_ESC = 0xDD;  // after ESC: a data byte 0xDB

enum PacketOp : uint8_t {
    PKT_PUT_REQUEST = 1,  // device -> host: take this file from me
    PKT_GET_REQUEST = 2,  // device -> host: send me this file
    PKT_ERROR = 3,
    PKT_ACCEPT = 4,  // host -> device: block size, T1, T2 as it will use them
    PKT_END = 5,
    PKT_DATA = 6,
    PKT_ACK = 7,  // carries the number of the block expected next (0 for request, END, ERROR)
};

enum ErrorCode : uint8_t {
    ERR_TIMEOUT = 1,       // an accept, END or error went unacknowledged
    ERR_DATA_TIMEOUT = 2,  // a data block went unacknowledged
    ERR_PROTOCOL = 4,      // a packet the transfer did not expect
    ERR_FILE = 5,          // the file could not be opened, created, read or written
};

// Two's complement of the 8-bit sum of the packet bytes.
uint8_t frame_checksum(const Bytes& packet);
// The whole frame of one packet, both ENDs included.
Bytes frame_encode(const Bytes& packet);

enum RxEvent : uint8_t {
    RX_TEXT = 1,       // bytes between frames
    RX_FRAME = 2,      // a frame whose checksum holds: its packet bytes, checksum removed
    RX_BAD_FRAME = 3,  // a frame that fails: its bytes as decoded, checksum included
};

// Splits a byte stream into text and frames, one byte at a time, and queues what it found.
// Abnormal input, each with one outcome:
// - checksum not 0: RX_BAD_FRAME;
// - a frame of one byte (a checksum and no opcode): RX_BAD_FRAME;
// - ESC followed by a byte other than DC or DD: the frame is RX_BAD_FRAME at its END (an END
//   right after ESC still ends it);
// - more than max_frame decoded bytes: the rest is dropped and the frame is RX_BAD_FRAME at its
//   END;
// - an empty frame (END END): nothing is reported and the second END opens the next frame, so
//   a lost END costs one frame, not every frame after it.
// Consecutive text bytes merge into one RX_TEXT event while it is the newest event.
class FrameDecoder
{
  public:
    struct Event {
        RxEvent kind;
        Bytes bytes;
    };

    explicit FrameDecoder(size_t max_frame = 1024);

    void feed(uint8_t b);
    void feed(const Bytes& bytes);
    // The oldest event not yet taken, or nothing.
    std::optional<Event> next();
    bool inside_frame() const
    {
        return inside_;
    }

  private:
    void close_frame();

    size_t max_frame_;
    bool inside_ = false;  // an END opened a frame that has not ended yet
    bool esc_ = false;     // the previous byte inside the frame was ESC
    bool bad_ = false;     // the frame broke a rule and is reported bad whatever its sum
    Bytes frame_;          // decoded bytes of the open frame
    std::deque<Event> events_;
};

// A packet taken apart. Only the fields of its opcode are set.
struct Packet {
    uint8_t op = 0;
    uint16_t block_size = 0;  // requests, ACCEPT
    uint16_t t1 = 0;          // requests, ACCEPT
    uint16_t t2 = 0;          // requests, ACCEPT
    std::string name;         // requests
    uint8_t code = 0;         // ERROR
    uint8_t block = 0;        // DATA, ACK
    Bytes data;               // DATA
};

// Packet builders: the packet bytes, opcode first, without framing.
Bytes packet_request(uint8_t op, uint16_t block_size, uint16_t t1, uint16_t t2,
                     const std::string& name);
Bytes packet_error(uint8_t code);
Bytes packet_accept(uint16_t block_size, uint16_t t1, uint16_t t2);
Bytes packet_end();
Bytes packet_data(uint8_t block, const Bytes& data);
Bytes packet_ack(uint8_t block);

// Takes a packet apart by the length rules both sides keep: a request is exactly n + 8 bytes,
// ACCEPT 7, END 1, ERROR and ACK 2, DATA at least 2. Nothing for any other length or opcode.
std::optional<Packet> packet_parse(const Bytes& raw);
// A short name of the packet for messages: "ACK 2", "DATA 1 (128 bytes)", "?? 09 01".
std::string packet_describe(const Bytes& raw);
std::string packet_describe(const Packet& p);

}  // namespace devsim
