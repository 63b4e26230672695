// packet/framing.cpp: the frame codec of the packet link. Owns the deframer, the receive queue,
// the encoder with its transmit queue and output buffer, and the send event. Called by the
// link's front door (deframe_text_run, deframe_byte, rx_queue_take, and for the packet sender
// thread tx_queue_take, frame_write) and the packet builders (enqueue_send), always with
// link_lock held. The text between frames is the front door's to keep: the deframer only tells
// where it is. The codec never looks into a packet: what each one says is traced by the front
// door, where it is received and sent.
//
// A frame is END, the packet bytes, a checksum byte (the two's complement of their 8-bit sum),
// END; END and ESC inside a frame go as ESC ESC_END and ESC ESC_ESC.
#include "packet/framing.h"

#include <cassert>
#include <cstring>

#include "output/drops.h"
#include "output/trace.h"
#include "port/port.h"

// The largest frame a Packet can make: both ENDs and every byte, checksum included, escaped.
static_assert(2 + 2 * (PACKET_DATA_SIZE + 1) <= TX_BUF_SIZE, "a frame must fit the buffer");
// A received frame holds at most block size + 3 bytes; they must fit the data area.
static_assert(BLOCK_MAX + 3 < PACKET_DATA_SIZE, "a received frame must fit a Packet");

plat::Event* send_event;

// Receive side.
static RxState rx_state GUARDED_BY(link_lock);   // between frames or inside one
static bool rx_esc GUARDED_BY(link_lock);        // the previous byte in the frame was ESC
static uint32_t rx_count GUARDED_BY(link_lock);  // bytes stored for this frame, checksum included
static uint8_t rx_sum GUARDED_BY(link_lock);     // 8-bit sum of the bytes stored
static Packet* rx_packet GUARDED_BY(link_lock);  // the Packet the frame is stored into
static Packet* rx_head GUARDED_BY(link_lock);    // receive queue: accepted Packets, FIFO
static Packet* rx_tail GUARDED_BY(link_lock);
static uint32_t rx_limit GUARDED_BY(link_lock);  // bytes a frame may store, checksum included

// Transmit side: Packets waiting to be framed and written, FIFO, and the frame being built.
static Packet* tx_head GUARDED_BY(link_lock);
static Packet* tx_tail GUARDED_BY(link_lock);
static uint8_t tx_buf[TX_BUF_SIZE] GUARDED_BY(link_lock);

void framing_init()
{
    if (send_event == nullptr) {
        send_event = plat::event_create();
    }
    plat::event_reset(send_event);
    rx_state = RX_OUTSIDE;
    rx_esc = false;
    rx_count = 0;
    rx_sum = 0;
    frame_limit_set(BLOCK_MAX);
    rx_packet = pool_take();  // the pool was just built, so one is there
    rx_head = nullptr;
    rx_tail = nullptr;
    tx_head = nullptr;
    tx_tail = nullptr;
}

void frame_limit_set(uint16_t block)
{
    rx_limit = (block < BLOCK_MAX ? block : BLOCK_MAX) + 3u;
}

static void rx_open() REQUIRES(link_lock)
{
    rx_state = RX_INSIDE;
    rx_esc = false;
    rx_count = 0;
    rx_sum = 0;
}

// Stores one unescaped byte. A frame longer than block size + 3 (opcode, block number, the
// data bytes, checksum) is abandoned at once; the rest of it up to its END is taken as text and
// that END opens a new frame.
static void rx_store(uint8_t x) REQUIRES(link_lock)
{
    rx_sum = static_cast<uint8_t>(rx_sum + x);
    rx_packet->data[rx_count] = x;
    rx_count++;
    if (rx_count > rx_limit) {
        rx_state = RX_OUTSIDE;
        drop_count(DROP_TOO_LONG);
        trace_repeat("frame dropped: too long (over %u bytes)", rx_limit);
    }
    // Invariant: rx_count <= rx_limit + 1 <= BLOCK_MAX + 4 <= PACKET_DATA_SIZE here.
    assert(rx_count <= rx_limit + 1 && rx_limit + 1 <= PACKET_DATA_SIZE);
}

// The frame's closing END: queued when the sum is 0, dropped without a word otherwise.
static void rx_close() REQUIRES(link_lock)
{
    if (rx_count == 0) {
        // END right after END: no opcode and no checksum, so not a packet. This END opens the
        // next frame: after a lost END (or an overlong frame, whose closing END opens a frame)
        // the link would otherwise stay out of step, every frame read as text and every gap
        // between frames as a frame.
        return;
    }
    rx_state = RX_OUTSIDE;
    if (rx_sum != 0) {
        drop_count(DROP_BAD_CHECKSUM);
        trace_repeat("frame dropped: bad checksum, %u bytes", rx_count);
        return;  // the same Packet stays current; the sender learns by the missing ack
    }
    Packet* next = pool_take();
    if (next == nullptr) {
        // No Packet to receive the next frame into: drop this frame instead and keep storing
        // into the current one (as for a bad sum; the sender will repeat it).
        drop_count(DROP_NO_BUFFER);
        trace_repeat("frame dropped: no packet buffer free");
        return;
    }
    Packet* p = rx_packet;
    p->length = rx_count - 1;  // the checksum stays in the data area but is not counted
    p->link = nullptr;
    if (rx_tail == nullptr) {
        rx_head = p;
    } else {
        rx_tail->link = p;
    }
    rx_tail = p;
    rx_packet = next;
}

bool deframe_byte(uint8_t b)
{
    switch (rx_state) {
    case RX_OUTSIDE:
        if (b == FRAME_END) {
            rx_open();
            return false;
        }
        return true;
    case RX_INSIDE:
        if (rx_esc) {  // after ESC: ESC_END stands for END, any other byte for ESC
            rx_esc = false;
            rx_store(b == FRAME_ESC_END ? FRAME_END : FRAME_ESC);
        } else if (b == FRAME_END) {
            rx_close();
        } else if (b == FRAME_ESC) {
            rx_esc = true;
        } else {
            rx_store(b);
        }
        return false;
    }
    return false;
}

uint32_t deframe_text_run(const uint8_t* buf, uint32_t n)
{
    if (rx_state != RX_OUTSIDE) {
        return 0;
    }
    const void* end = memchr(buf, FRAME_END, n);
    return end == nullptr ? n : static_cast<uint32_t>(static_cast<const uint8_t*>(end) - buf);
}

Packet* rx_queue_take()
{
    Packet* p = rx_head;
    if (p == nullptr) {
        return nullptr;
    }
    rx_head = p->link;
    if (rx_head == nullptr) {
        rx_tail = nullptr;
    }
    p->link = nullptr;
    return p;
}

// Puts byte x of a frame's body at tx_buf[at], escaped; returns the position after it.
static uint32_t tx_put(uint32_t at, uint8_t x) REQUIRES(link_lock)
{
    if (x == FRAME_END || x == FRAME_ESC) {
        tx_buf[at++] = FRAME_ESC;
        x = x == FRAME_END ? FRAME_ESC_END : FRAME_ESC_ESC;
    }
    tx_buf[at++] = x;
    return at;
}

void enqueue_send(Packet* p)
{
    if (p == nullptr) {
        return;
    }
    p->link = nullptr;
    if (tx_tail == nullptr) {
        tx_head = p;
    } else {
        tx_tail->link = p;
    }
    tx_tail = p;
    plat::event_set(send_event);
}

Packet* tx_queue_take()
{
    Packet* p = tx_head;
    if (p == nullptr) {
        return nullptr;
    }
    tx_head = p->link;
    if (tx_head == nullptr) {
        tx_tail = nullptr;
    }
    p->link = nullptr;
    return p;
}

void frame_write(Packet* p)
{
    const uint32_t length = p->length < PACKET_DATA_SIZE ? p->length : PACKET_DATA_SIZE;
    uint32_t n = 0;
    uint8_t sum = 0;
    tx_buf[n++] = FRAME_END;
    for (uint32_t i = 0; i < length; ++i) {
        sum = static_cast<uint8_t>(sum + p->data[i]);
        n = tx_put(n, p->data[i]);
    }
    n = tx_put(n, static_cast<uint8_t>(0 - sum));
    tx_buf[n++] = FRAME_END;
    // The whole frame in one write; the result is not examined: a lost frame shows up as a
    // missing acknowledgement and the timer resends.
    port_write_buf(tx_buf, n);
    pool_give(p);
}

void framing_link_lost()
{
    // The frame half received is dropped; its Packet stays current for the next frame.
    rx_state = RX_OUTSIDE;
    rx_esc = false;
    rx_count = 0;
    rx_sum = 0;
    for (Packet* p = rx_queue_take(); p != nullptr; p = rx_queue_take()) {
        pool_give(p);
    }
    while (tx_head != nullptr) {
        Packet* p = tx_head;
        tx_head = p->link;
        pool_give(p);
    }
    tx_tail = nullptr;
}
