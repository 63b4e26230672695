// packet/framing.h: the byte layer of the packet link: frames (END, escaped packet bytes,
// checksum, END), the text between frames, the receive queue and the encoder.
#pragma once

#include <cstdint>

#include "packet/pool.h"
#include "platform/threads.h"

constexpr uint8_t FRAME_END = 0xC0;      // opens and closes every frame
constexpr uint8_t FRAME_ESC = 0xDB;      // escapes END and ESC inside a frame
constexpr uint8_t FRAME_ESC_END = 0xDC;  // ESC ESC_END stands for END
constexpr uint8_t FRAME_ESC_ESC = 0xDD;  // ESC ESC_ESC stands for ESC
constexpr uint32_t TEXT_RING_SIZE = 2048;
constexpr uint32_t TX_BUF_SIZE = 2048;

enum RxState : uint8_t { RX_OUTSIDE = 1, RX_INSIDE = 2 };
enum TxState : uint8_t { TX_IDLE = 1, TX_BODY = 2, TX_CLOSE = 3, TX_FLUSH = 4 };

// Signalled whenever a packet is queued for sending.
extern plat::Event* send_event;

void framing_init() REQUIRES(link_lock);
// Bounds received frames to block + 3 bytes (block capped at BLOCK_MAX): set by the transfer
// state machine from each request it takes; BLOCK_MAX after framing_init.
void frame_limit_set(uint16_t block) REQUIRES(link_lock);
// One byte read from the port in PASEL mode.
void deframe_byte(uint8_t b) REQUIRES(link_lock);
// n bytes, exactly as n calls of deframe_byte would take them; text between frames goes to the
// ring a run at a time.
void deframe_chunk(const uint8_t* buf, uint32_t n) REQUIRES(link_lock);
// Next byte of text between frames, or -1 when the ring is empty.
int text_take() REQUIRES(link_lock);
// Bytes the text ring can still take.
uint32_t text_room() REQUIRES(link_lock);
// Moves up to max bytes of text between frames, oldest first, into out; returns how many.
uint32_t text_take_run(uint8_t* out, uint32_t max) REQUIRES(link_lock);
// Head of the receive queue, or nullptr.
Packet* rx_queue_take() REQUIRES(link_lock);
// The device is gone: a frame half received or half sent, and the Packets received from it or
// waiting to go to it, are dropped. The text between frames stays to be shown.
void framing_link_lost() REQUIRES(link_lock);
// Hands a Packet to the transmit side, which owns it from now on.
void enqueue_send(Packet* p) REQUIRES(link_lock);
// Emits one byte of the current frame, or writes the finished frame; 1: call again, 0: done.
int encoder_step() REQUIRES(link_lock);
// One wake-up of the packet sender: wait for the send event, reset it, encode under the lock.
void packet_sender_pass() EXCLUDES(link_lock);
void packet_sender_thread();
