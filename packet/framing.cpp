// packet/framing.cpp: byte layer of the packet link (frames, checksum, text between frames).
// Owns the deframer, the text ring, the receive queue, the encoder with its transmit queue and
// output buffer, and the send event. Called by the read pump (deframe_byte), the receive thread
// (text_take, rx_queue_take), the packet builders (enqueue_send) and the packet sender thread
// (encoder_step), always with link_lock held.
//
// A frame is END, the packet bytes, a checksum byte (the two's complement of their 8-bit sum),
// END; END and ESC inside a frame go as ESC ESC_END and ESC ESC_ESC.
#include "packet/framing.h"

#include <cassert>
#include <cstring>

#include "port/mode.h"
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

// Text between frames, shown by the receive thread.
static uint8_t text_ring[TEXT_RING_SIZE] GUARDED_BY(link_lock);
static uint32_t text_count GUARDED_BY(link_lock);  // bytes not yet shown, at most the ring size
static uint32_t text_write GUARDED_BY(link_lock);  // next position to fill
static uint32_t text_read GUARDED_BY(link_lock);   // next position to show

// Transmit side.
static TxState tx_state GUARDED_BY(link_lock);   // where the encoder is in the current frame
static bool tx_half GUARDED_BY(link_lock);       // an ESC went out, its second byte is owed
static uint8_t tx_sum GUARDED_BY(link_lock);     // 8-bit sum of the packet bytes emitted
static uint8_t tx_check GUARDED_BY(link_lock);   // the checksum byte, once the body is out
static uint32_t tx_count GUARDED_BY(link_lock);  // packet bytes fully emitted
static Packet* tx_packet GUARDED_BY(link_lock);  // the Packet being encoded; none when TX_IDLE
static Packet* tx_head GUARDED_BY(link_lock);    // transmit queue: Packets waiting, FIFO
static Packet* tx_tail GUARDED_BY(link_lock);
static uint8_t tx_buf[TX_BUF_SIZE] GUARDED_BY(link_lock);  // the frame being built
static uint32_t tx_len GUARDED_BY(link_lock);              // bytes in tx_buf

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
    if (rx_packet != nullptr) {
        rx_packet->offset = 0;
    }
    rx_head = nullptr;
    rx_tail = nullptr;
    text_count = 0;
    text_write = 0;
    text_read = 0;
    tx_state = TX_IDLE;
    tx_half = false;
    tx_sum = 0;
    tx_check = 0;
    tx_count = 0;
    tx_packet = nullptr;
    tx_head = nullptr;
    tx_tail = nullptr;
    tx_len = 0;
}

void frame_limit_set(uint16_t block)
{
    rx_limit = (block < BLOCK_MAX ? block : BLOCK_MAX) + 3u;
}

// A byte outside frames. A full ring keeps what it holds and drops the newest bytes: the text
// count never exceeds the ring, and no byte is shown twice.
static void text_put(uint8_t b) REQUIRES(link_lock)
{
    if (text_count >= TEXT_RING_SIZE) {
        return;
    }
    text_ring[text_write] = b;
    text_write = (text_write + 1) % TEXT_RING_SIZE;
    text_count++;
}

// n bytes outside frames, as n text_put calls would store them.
static void text_put_run(const uint8_t* s, uint32_t n) REQUIRES(link_lock)
{
    const uint32_t room = TEXT_RING_SIZE - text_count;
    n = n < room ? n : room;  // the newest bytes are dropped
    const uint32_t first = n < TEXT_RING_SIZE - text_write ? n : TEXT_RING_SIZE - text_write;
    memcpy(text_ring + text_write, s, first);
    memcpy(text_ring, s + first, n - first);
    text_write = (text_write + n) % TEXT_RING_SIZE;
    text_count += n;
}

static void rx_open() REQUIRES(link_lock)
{
    rx_state = RX_INSIDE;
    rx_esc = false;
    rx_count = 0;
    rx_sum = 0;
    rx_packet->offset = 0;
}

// Stores one unescaped byte. A frame longer than block size + 3 (opcode, block number, the
// data bytes, checksum) is abandoned at once; the rest of it up to its END is taken as text and
// that END opens a new frame.
static void rx_store(uint8_t x) REQUIRES(link_lock)
{
    rx_sum = static_cast<uint8_t>(rx_sum + x);
    rx_packet->data[rx_packet->offset + rx_count] = x;
    rx_count++;
    if (rx_count > rx_limit) {
        rx_state = RX_OUTSIDE;
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
        return;  // the same Packet stays current; the sender learns by the missing ack
    }
    Packet* next = pool_take();
    if (next == nullptr) {
        // No Packet to receive the next frame into: drop this frame instead and keep storing
        // into the current one (as for a bad sum; the sender will repeat it).
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
    next->offset = 0;
    rx_packet = next;
}

void deframe_byte(uint8_t b)
{
    switch (rx_state) {
    case RX_OUTSIDE:
        if (b == FRAME_END) {
            rx_open();
        } else {
            text_put(b);
        }
        return;
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
        return;
    }
}

uint32_t text_room()
{
    return TEXT_RING_SIZE - text_count;
}

void deframe_chunk(const uint8_t* buf, uint32_t n)
{
    uint32_t i = 0;
    while (i < n) {
        if (rx_state == RX_OUTSIDE) {
            const void* end = memchr(buf + i, FRAME_END, n - i);
            const uint32_t run =
                end == nullptr
                    ? n - i
                    : static_cast<uint32_t>(static_cast<const uint8_t*>(end) - (buf + i));
            text_put_run(buf + i, run);
            i += run;
            if (i == n) {
                return;
            }
        }
        deframe_byte(buf[i++]);  // the END that opens a frame, or a byte inside one
    }
}

uint32_t text_take_run(uint8_t* out, uint32_t max)
{
    const uint32_t n = text_count < max ? text_count : max;
    const uint32_t first = n < TEXT_RING_SIZE - text_read ? n : TEXT_RING_SIZE - text_read;
    memcpy(out, text_ring + text_read, first);
    memcpy(out + first, text_ring, n - first);
    text_read = (text_read + n) % TEXT_RING_SIZE;
    text_count -= n;
    return n;
}

int text_take()
{
    if (text_count == 0) {
        return -1;
    }
    uint8_t b = text_ring[text_read];
    text_read = (text_read + 1) % TEXT_RING_SIZE;
    text_count--;
    return b;
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

static void tx_emit(uint8_t b) REQUIRES(link_lock)
{
    if (tx_len < TX_BUF_SIZE) {  // always true: one frame at most fits (see the static_assert)
        tx_buf[tx_len++] = b;
    }
}

// Makes p the current transmit Packet and opens its frame.
static void tx_start(Packet* p) REQUIRES(link_lock)
{
    tx_packet = p;
    tx_state = TX_BODY;
    tx_half = false;
    tx_sum = 0;
    tx_count = 0;
    tx_emit(FRAME_END);
}

void enqueue_send(Packet* p)
{
    if (p == nullptr) {
        return;
    }
    if (tx_packet == nullptr) {
        tx_start(p);
    } else {
        p->link = nullptr;
        if (tx_tail == nullptr) {
            tx_head = p;
        } else {
            tx_tail->link = p;
        }
        tx_tail = p;
    }
    plat::event_set(send_event);
}

int encoder_step()
{
    switch (tx_state) {
    case TX_IDLE:
        return 0;
    case TX_BODY: {
        Packet* p = tx_packet;
        uint32_t length = p->length;
        if (length > PACKET_DATA_SIZE - p->offset) {  // never read past the data area
            length = PACKET_DATA_SIZE - p->offset;
        }
        if (tx_half) {
            uint8_t x = p->data[p->offset + tx_count];
            tx_half = false;
            tx_emit(x == FRAME_END ? FRAME_ESC_END : FRAME_ESC_ESC);
            tx_count++;
        } else if (tx_count < length) {
            uint8_t x = p->data[p->offset + tx_count];
            tx_sum = static_cast<uint8_t>(tx_sum + x);
            if (x == FRAME_END || x == FRAME_ESC) {
                tx_half = true;  // the count advances with the second byte
                tx_emit(FRAME_ESC);
            } else {
                tx_emit(x);
                tx_count++;
            }
        } else {
            tx_check = static_cast<uint8_t>(0 - tx_sum);
            if (tx_check == FRAME_END || tx_check == FRAME_ESC) {
                tx_half = true;
                tx_emit(FRAME_ESC);
            } else {
                tx_emit(tx_check);
            }
            tx_state = TX_CLOSE;
        }
        return 1;
    }
    case TX_CLOSE:
        if (tx_half) {
            tx_half = false;
            tx_emit(tx_check == FRAME_END ? FRAME_ESC_END : FRAME_ESC_ESC);
        } else {
            tx_emit(FRAME_END);
            tx_state = TX_FLUSH;
        }
        return 1;
    case TX_FLUSH:
        // The whole frame in one write; the result is not examined: a lost frame shows up as
        // a missing acknowledgement and the timer resends.
        port_write_buf(tx_buf, tx_len);
        tx_len = 0;
        pool_give(tx_packet);
        if (tx_head != nullptr) {
            Packet* p = tx_head;
            tx_head = p->link;
            if (tx_head == nullptr) {
                tx_tail = nullptr;
            }
            p->link = nullptr;
            tx_start(p);
            return 1;
        }
        tx_packet = nullptr;
        tx_state = TX_IDLE;
        return 0;
    }
    return 0;
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
    if (tx_packet != nullptr) {
        pool_give(tx_packet);
        tx_packet = nullptr;
    }
    while (tx_head != nullptr) {
        Packet* p = tx_head;
        tx_head = p->link;
        pool_give(p);
    }
    tx_tail = nullptr;
    tx_state = TX_IDLE;
    tx_half = false;
    tx_len = 0;
}

void packet_sender_pass()
{
    plat::event_wait(send_event);
    // Reset before the lock: a Packet queued from here on is on the queue when the encoder
    // runs, and its signal only causes one more pass that finds the encoder idle.
    plat::event_reset(send_event);
    plat::LockHold hold(link_lock);
    if (mode_flag == MODE_PASEL) {
        while (encoder_step() != 0) {
        }
    }
}

void packet_sender_thread()
{
    for (;;) {
        packet_sender_pass();
    }
}
