// packet/link.cpp: PASEL mode's front door: the text ring, the hand-over of
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

// The text ring is shown whole, at the loop head and whenever it is full, so it is always empty
// after a show and its text starts at 0: it is shown in place, in one piece, with no copy between
// the ring and the console.
static uint8_t text_ring[TEXT_RING_SIZE] GUARDED_BY(link_lock);
static uint32_t text_count GUARDED_BY(link_lock);  // bytes not yet shown, at most the ring size

void link_init()
{
    text_count = 0;
}

// Shows the ring's text: log and capture, console (output/view).
static void show_text() REQUIRES(link_lock)
{
    if (text_count != 0) {
        view_pasel(text_ring, text_count);
        text_count = 0;
    }
}

// Text between frames: into the ring, which is shown first where it is full.
static void text_keep(const uint8_t* s, uint32_t n) REQUIRES(link_lock)
{
    while (n > 0) {
        if (text_count == TEXT_RING_SIZE) {
            show_text();
        }
        const uint32_t room = TEXT_RING_SIZE - text_count;
        const uint32_t k = n < room ? n : room;
        std::memcpy(text_ring + text_count, s, k);
        text_count += k;
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
        } else {
            // Inside a frame, or the END that opens one: the deframer's, never text.
            (void)deframe_byte(*buf);
            k = 1;
        }
        buf += k;
        n -= k;
    }
    trace_text_end();
}

void pasel_drain()
{
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
