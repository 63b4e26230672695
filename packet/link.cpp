// packet/link.cpp: PASEL mode's front door: the text ring and the show buffer, the hand-over of
// each chunk to the frame codec and of each packet received to the transfer machine, and the
// packet sender thread's hand-over of each packet sent to the encoder; the trace of every
// packet either way. Called by the receive thread and the packet sender thread with link_lock
// held.
#include "packet/link.h"

#include <cstring>

#include "output/progress.h"
#include "output/trace.h"
#include "output/view.h"
#include "packet/format.h"
#include "packet/framing.h"
#include "packet/transfer.h"
#include "port/mode.h"

static uint8_t text_ring[TEXT_RING_SIZE] GUARDED_BY(link_lock);
static uint32_t text_count GUARDED_BY(link_lock);  // bytes not yet taken, at most the ring size
static uint32_t text_write GUARDED_BY(link_lock);  // next position to fill
static uint32_t text_read GUARDED_BY(link_lock);   // next position to take
static uint8_t show_buf[SHOW_SIZE] GUARDED_BY(link_lock);  // taken from the ring, not yet shown
static uint32_t show_len GUARDED_BY(link_lock);

void link_init()
{
    text_count = 0;
    text_write = 0;
    text_read = 0;
    show_len = 0;
}

// n bytes of text into the ring; a full ring keeps what it holds and drops the newest bytes.
static void text_put_run(const uint8_t* s, uint32_t n) REQUIRES(link_lock)
{
    const uint32_t room = TEXT_RING_SIZE - text_count;
    n = n < room ? n : room;
    const uint32_t first = n < TEXT_RING_SIZE - text_write ? n : TEXT_RING_SIZE - text_write;
    std::memcpy(text_ring + text_write, s, first);
    std::memcpy(text_ring, s + first, n - first);
    text_write = (text_write + n) % TEXT_RING_SIZE;
    text_count += n;
}

// Moves up to max bytes of the ring's text, oldest first, into out; returns how many.
static uint32_t text_take_run(uint8_t* out, uint32_t max) REQUIRES(link_lock)
{
    const uint32_t n = text_count < max ? text_count : max;
    const uint32_t first = n < TEXT_RING_SIZE - text_read ? n : TEXT_RING_SIZE - text_read;
    std::memcpy(out, text_ring + text_read, first);
    std::memcpy(out + first, text_ring, n - first);
    text_read = (text_read + n) % TEXT_RING_SIZE;
    text_count -= n;
    return n;
}

// Shows the text taken from the ring: log and capture, console (output/view).
static void show_text() REQUIRES(link_lock)
{
    if (show_len != 0) {
        view_pasel(show_buf, show_len);
        show_len = 0;
    }
}

// Moves the text in the ring to the show buffer, showing that first where it is full.
static void take_text() REQUIRES(link_lock)
{
    for (;;) {
        if (show_len == SHOW_SIZE) {
            show_text();
        }
        const uint32_t n = text_take_run(show_buf + show_len, SHOW_SIZE - show_len);
        if (n == 0) {
            return;
        }
        show_len += n;
    }
}

// Text between frames: into the ring, which is emptied into the show buffer when it is full.
static void text_keep(const uint8_t* s, uint32_t n) REQUIRES(link_lock)
{
    while (n > 0) {
        if (text_count == TEXT_RING_SIZE) {
            take_text();
        }
        const uint32_t room = TEXT_RING_SIZE - text_count;
        const uint32_t k = n < room ? n : room;
        text_put_run(s, k);
        s += k;
        n -= k;
    }
}

void pasel_chunk(const uint8_t* buf, uint32_t n)
{
    while (n > 0) {
        uint32_t k = deframe_text_run(buf, n);
        if (k > 0) {
            text_keep(buf, k);
            trace_text(k);
        } else if (deframe_byte(*buf)) {  // inside a frame, or the END that opens one
            text_keep(buf, 1);
            trace_text(1);
            k = 1;
        } else {
            k = 1;
        }
        buf += k;
        n -= k;
    }
    trace_text_end();
}

void pasel_drain()
{
    take_text();
    show_text();
    for (Packet* p = rx_queue_take(); p != nullptr; p = rx_queue_take()) {
        if (trace_is_on()) {
            char what[TRACE_PACKET_MAX];
            pkt_describe(p, what, sizeof what);
            trace_event("in  %s", what);
        }
        progress_show(transfer_phase());
        packet_dispatch(p);
    }
}

void pasel_link_lost()
{
    framing_link_lost();
    transfer_link_lost();
}

int encoder_step()
{
    Packet* p = tx_queue_take();
    if (p == nullptr) {
        return 0;
    }
    if (trace_is_on()) {
        char what[TRACE_PACKET_MAX];
        pkt_describe(p, what, sizeof what);
        trace_event("out %s", what);
    }
    frame_write(p);
    return 1;
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
