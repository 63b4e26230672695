// packet/link.h: PASEL mode's front door. Each chunk read from the port goes through the frame
// codec; the text between frames is kept and shown (log and capture, then console), and each
// packet received goes to the progress display and the transfer machine. The packet sender
// thread frames what the transfer machine sends. Each packet is traced here, on its way in and
// out.
#pragma once

#include <cstdint>

#include "platform/threads.h"

// Text between frames not yet shown. A flood costs one show (log, capture, console) a ring.
constexpr uint32_t TEXT_RING_SIZE = 8192;

void link_init() REQUIRES(link_lock);
// One chunk read from the port in PASEL mode. The text between frames goes to the ring, which
// is shown where it is full: no text is lost at any speed.
void pasel_chunk(const uint8_t* buf, uint32_t n) REQUIRES(link_lock);
// The receive loop's head in PASEL mode: shows all the text received so far, then hands each
// packet received to the progress display and to packet dispatch.
void pasel_drain() REQUIRES(link_lock);
// The device is gone: frames half received or sent and packets queued either way are dropped,
// and a transfer under way ends. Text received before stays to be shown.
void pasel_link_lost() REQUIRES(link_lock);
// Frames and writes the oldest packet waiting, traced: 1 when there was one, 0 when none.
int encoder_step() REQUIRES(link_lock);
// One wake-up of the packet sender: wait for the send event, reset it, encode under the lock.
void packet_sender_pass() EXCLUDES(link_lock);
void packet_sender_thread();
