// packet/framing.h: the frame codec of the packet link: frames (END, escaped packet bytes,
// checksum, END) in and out, the receive queue and the encoder with its transmit queue.
#pragma once

#include <cstdint>

#include "packet/pool.h"
#include "platform/threads.h"

constexpr uint8_t FRAME_END = 0xC0;      // opens and closes every frame
constexpr uint8_t FRAME_ESC = 0xDB;      // escapes END and ESC inside a frame
constexpr uint8_t FRAME_ESC_END = 0xDC;  // ESC ESC_END stands for END
constexpr uint8_t FRAME_ESC_ESC = 0xDD;  // ESC ESC_ESC stands for ESC
constexpr uint32_t TX_BUF_SIZE = 2048;

enum RxState : uint8_t { RX_OUTSIDE = 1, RX_INSIDE = 2 };

// Signalled whenever a packet is queued for sending.
extern plat::Event* send_event;

void framing_init() REQUIRES(link_lock);
// Bounds received frames to block + 3 bytes (block capped at BLOCK_MAX): set by the transfer
// state machine from each request it takes; BLOCK_MAX after framing_init.
void frame_limit_set(uint16_t block) REQUIRES(link_lock);
// One byte read from the port in PASEL mode. Returns true when it is text between frames,
// which the deframer does not keep: the caller does.
bool deframe_byte(uint8_t b) REQUIRES(link_lock);
// Between frames: how many of the n bytes at buf are text before the next END (all n when
// none comes), each as deframe_byte would have returned true for it; 0 inside a frame. The
// caller takes them as text and hands the END on to deframe_byte.
uint32_t deframe_text_run(const uint8_t* buf, uint32_t n) REQUIRES(link_lock);
// Head of the receive queue, or nullptr.
Packet* rx_queue_take() REQUIRES(link_lock);
// The device is gone: a frame half received or half sent, and the Packets received from it or
// waiting to go to it, are dropped.
void framing_link_lost() REQUIRES(link_lock);
// Hands a Packet to the transmit side, which owns it from now on.
void enqueue_send(Packet* p) REQUIRES(link_lock);
// Head of the transmit queue, or nullptr.
Packet* tx_queue_take() REQUIRES(link_lock);
// Frames p (END, the bytes and the checksum escaped, END), writes the frame in one write and
// gives p back to the pool.
void frame_write(Packet* p) REQUIRES(link_lock);
