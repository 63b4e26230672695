// port/receive.cpp: the receive thread, the only reader of the port. It waits for bytes,
// reads what is queued in chunks of up to 4096 and hands each byte to the consumer of the mode
// current at that moment: the stream interpreter in KIVET mode (one console flush per chunk),
// the deframer in PASEL mode. In PASEL mode its loop head shows the text between frames and
// dispatches the received packets. Holds the link lock except while it waits and reads. A port
// that hangs up ends what the device had under way (a device that comes back has rebooted)
// and is opened again as soon as it is there.
//
// PASEL text is moved from the ring into a show buffer of its own whenever the ring could not
// hold what the next piece of a chunk may add, and shown (log, then console) when that buffer
// is full and at the loop head: a flood of text costs one console write per few kilobytes, and
// no byte of it is lost.
//
// The one call upward in the layers: the hand-over to the consumer is a two-way test of the
// mode flag, read at each chunk, so a mode switch needs no registration and the lock analysis
// sees every call.
#include "port/receive.h"

#include "fileservice/filecmd.h"
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

constexpr uint32_t SHOW_SIZE = 2 * READ_CHUNK;

// All receive thread only.
static uint8_t rx_buf[READ_CHUNK];  // one chunk read from the port
static uint8_t rx_show[SHOW_SIZE];  // PASEL text taken from the ring, not yet shown
static uint32_t rx_show_len;

// Shows the PASEL text taken from the ring: log and capture, console.
static void show_text() REQUIRES(link_lock)
{
    if (rx_show_len != 0) {
        log_text(rx_show, rx_show_len);
        plat::console_write(rx_show, rx_show_len);
        rx_show_len = 0;
    }
}

// Moves the text in the ring to the show buffer, showing that first where it is full.
static void take_text() REQUIRES(link_lock)
{
    for (;;) {
        if (rx_show_len == SHOW_SIZE) {
            show_text();
        }
        const uint32_t n = text_take_run(rx_show + rx_show_len, SHOW_SIZE - rx_show_len);
        if (n == 0) {
            return;
        }
        rx_show_len += n;
    }
}

// Shows all PASEL text received so far.
static void text_drain() REQUIRES(link_lock)
{
    take_text();
    show_text();
}

// One chunk, by the mode current now. In PASEL mode each byte adds at most one byte of text, so
// the chunk goes to the deframer in pieces no longer than the ring's free room.
static void dispatch_chunk(const uint8_t* buf, uint32_t n) REQUIRES(link_lock)
{
    if (mode_flag.load() == MODE_KIVET) {
        text_empty();
        interp_chunk(buf, n);
        text_flush();
        return;
    }
    while (n > 0) {
        if (text_room() < n) {
            take_text();
        }
        const uint32_t k = n < text_room() ? n : text_room();
        deframe_chunk(buf, k);
        buf += k;
        n -= k;
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

// The device is gone: a command or frame half received ends, the files it held open through
// the file service close and a transfer under way ends, so that the line is free and nothing a
// returning device sends lands in an old file.
static void link_lost() REQUIRES(link_lock)
{
    interp_init();
    filecmd_link_lost();
    framing_link_lost();
    transfer_link_lost();
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
        dispatch_chunk(rx_buf, static_cast<uint32_t>(got));
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
