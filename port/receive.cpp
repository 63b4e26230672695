// port/receive.cpp: the receive thread, the only reader of the port. It waits for bytes,
// reads what is queued in chunks of up to 4096 and hands each byte to the consumer of the mode
// current at that moment: the stream interpreter in KIVET mode (one console flush per chunk),
// the deframer in PASEL mode. In PASEL mode its loop head shows the text between frames and
// dispatches the received packets. Holds the link lock except while it waits and reads. A port
// that hangs up is handed to port_recover, which returns once it is open again.
//
// The one call upward in the layers: the hand-over to the consumer is a two-way test of the
// mode flag, read at each chunk, so a mode switch needs no registration and the lock analysis
// sees every call.
#include "port/receive.h"

#include "fileservice/interpreter.h"
#include "fileservice/progress.h"
#include "output/logfile.h"
#include "output/text.h"
#include "packet/framing.h"
#include "packet/transfer.h"
#include "platform/console.h"
#include "platform/serial.h"
#include "port/mode.h"
#include "port/port.h"

static uint8_t rx_buf[READ_CHUNK];       // one chunk read from the port (this thread only)
static uint8_t rx_text[TEXT_RING_SIZE];  // PASEL text of one drain, shown in one write

// One chunk, by the mode current now.
static void dispatch_chunk(const uint8_t* buf, uint32_t n) REQUIRES(link_lock)
{
    if (mode_flag.load() == MODE_KIVET) {
        text_empty();
        interp_chunk(buf, n);
        text_flush();
        return;
    }
    deframe_chunk(buf, n);
}

// Shows the PASEL text held in the ring: console, log and capture.
static void text_drain() REQUIRES(link_lock)
{
    for (uint32_t n = text_take_run(rx_text, sizeof rx_text); n > 0;
         n = text_take_run(rx_text, sizeof rx_text)) {
        log_text(rx_text, n);
        plat::console_write(rx_text, n);
    }
}

void receive_drain()
{
    if (mode_flag.load() != MODE_PASEL) {
        return;  // held text and packets wait for PASEL mode to return
    }
    text_drain();
    for (Packet* p = rx_queue_take(); p != nullptr; p = rx_queue_take()) {
        progress_show(transfer_phase());
        packet_dispatch(p);
    }
}

void read_pump()
{
    for (;;) {
        int queued = plat::serial_queued();
        if (queued <= 0) {
            return;
        }
        uint32_t want =
            static_cast<uint32_t>(queued) < READ_CHUNK ? static_cast<uint32_t>(queued) : READ_CHUNK;
        if (mode_flag.load() == MODE_PASEL) {
            // Each byte adds at most one byte of text: a read that the ring cannot hold in full
            // waits until the ring has been shown, so that no text is lost.
            if (text_room() < want) {
                text_drain();
            }
            want = want < text_room() ? want : text_room();
        }
        link_lock.give();
        int got = plat::serial_read(rx_buf, want);
        link_lock.take();
        if (got < 0) {
            return;  // not reported; the next wait looks at the line again
        }
        dispatch_chunk(rx_buf, static_cast<uint32_t>(got));
    }
}

void receive_pass()
{
    link_lock.take();
    receive_drain();
    link_lock.give();
    if (plat::serial_wait() < 0) {
        port_recover();  // back when the port is; what it queued meanwhile is read below
    }
    link_lock.take();
    read_pump();
    link_lock.give();
}

void receive_thread()
{
    plat::serial_purge();  // what arrived before the thread started is discarded
    for (;;) {
        receive_pass();
    }
}
