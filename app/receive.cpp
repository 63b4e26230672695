// app/receive.cpp: the receive thread, the only reader of the port. It waits for bytes, reads
// what is queued in chunks of up to 4096 and hands each chunk to the front door of the mode
// current at that moment: kivet_chunk in KIVET mode, pasel_chunk in PASEL mode, whose loop head
// also shows the text between frames and dispatches the packets received. Holds the link lock
// except while it waits and reads. A port that hangs up ends what the device had under way (a
// device that comes back has rebooted) and is opened again as soon as it is there.
//
// The hand-over is a two-way test of the mode flag, read at each chunk: a mode switch needs no
// registration, and the lock analysis sees every call.
#include "app/receive.h"

#include "fileservice/interpreter.h"
#include "output/drops.h"
#include "output/progress.h"
#include "output/trace.h"
#include "packet/link.h"
#include "platform/serial.h"
#include "port/mode.h"
#include "port/port.h"

static uint8_t rx_buf[READ_CHUNK];  // one chunk read from the port (receive thread only)

void receive_drain()
{
    if (mode_flag.load() == MODE_PASEL) {
        pasel_drain();  // in KIVET mode held text and packets wait for PASEL mode to return
    }
}

// The device is gone: what it had under way in either mode ends, so that the line is free and
// nothing a returning device sends lands in an old file.
static void link_lost() REQUIRES(link_lock)
{
    port_notes();
    trace_event("port lost");
    kivet_link_lost();
    pasel_link_lost();
    progress_init();
}

void read_pump()
{
    for (;;) {
        int queued = plat::serial_queued();
        if (queued <= 0) {
            return;
        }
        const uint32_t want =
            static_cast<uint32_t>(queued) < READ_CHUNK ? static_cast<uint32_t>(queued) : READ_CHUNK;
        link_lock.give();
        int got = plat::serial_read(rx_buf, want);
        link_lock.take();
        if (got < 0) {
            return;  // not reported; the next wait looks at the line again
        }
        if (mode_flag.load() == MODE_KIVET) {
            kivet_chunk(rx_buf, static_cast<uint32_t>(got));
        } else {
            pasel_chunk(rx_buf, static_cast<uint32_t>(got));
        }
    }
}

void receive_pass()
{
    link_lock.take();
    receive_drain();
    link_lock.give();
    if (plat::serial_wait() < 0) {
        port_lost();
        link_lock.take();
        link_lost();
        link_lock.give();
        port_reopen();  // back when the port is; what it queued meanwhile is read below
        link_lock.take();
        trace_event("port back");
        link_lock.give();
    }
    link_lock.take();
    read_pump();
    port_notes();
    drop_trace();  // the writes and keys dropped meanwhile
    link_lock.give();
}

void receive_thread()
{
    plat::serial_purge();  // what arrived before the thread started is discarded
    for (;;) {
        receive_pass();
    }
}
