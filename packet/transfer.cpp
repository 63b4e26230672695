// packet/transfer.cpp: the transfer state machine of the packet link. Owns the transfer state,
// the transfer file, the values of the last request (block size, T1, T2), the block counter,
// the block buffer kept for resending, the retry count and the timeout flag. packet_dispatch
// runs on the receive thread and timeout_action on the timer thread (timeout_pass), both with
// link_lock held.
//
// The device drives: a get request makes the host send it a file, a put request makes the host
// take one. Every packet the host sends that needs an answer arms the timer; a time-out resends
// it up to three times, the fourth gives up with an error packet.
#include "packet/transfer.h"

#include <cstring>

#include "output/drops.h"
#include "output/progress.h"
#include "output/trace.h"
#include "packet/format.h"
#include "packet/framing.h"
#include "packet/timer.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "port/mode.h"

TransferState transfer_state;
uint16_t block_size = BLOCK_MAX;
bool timeout_flag;

static int xfer_fd GUARDED_BY(link_lock) = -1;    // the transfer file; -1: none
static uint16_t xfer_t1 GUARDED_BY(link_lock);    // ms: the request's T1, echoed in the accept
static uint16_t xfer_t2 GUARDED_BY(link_lock);    // ms: the request's T2, echoed in the accept
static uint8_t xfer_block GUARDED_BY(link_lock);  // next block to send, or expected next
static uint8_t xfer_buf[BLOCK_MAX] GUARDED_BY(link_lock);  // last block read, for resending
static uint32_t xfer_buf_len GUARDED_BY(link_lock);        // bytes in xfer_buf
static uint32_t xfer_retry GUARDED_BY(link_lock);          // resends since the last state change
static char xfer_name[plat::FILE_NAME_MAX + 1] GUARDED_BY(link_lock);  // the request's name
static bool xfer_recv_any GUARDED_BY(link_lock);  // a block of the file received was written

void transfer_close_file()
{
    if (xfer_fd >= 0) {
        (void)plat::file_close(xfer_fd);  // nothing to do about a failed close
        xfer_fd = -1;
    }
}

void transfer_link_lost()
{
    if (transfer_state == TS_IDLE) {
        return;
    }
    const bool receiving = transfer_state == TS_RECV_START || transfer_state == TS_RECV_DATA ||
                           (transfer_state == TS_ERROR && xfer_recv_any);
    transfer_close_file();
    timer_disarm();
    transfer_state = TS_IDLE;
    xfer_retry = 0;
    plat::console_print("\r\n%s: Transfer of \"%s\" ended: the port was lost%s.\n", program_label(),
                        xfer_name, receiving ? "; the part received stays in the file" : "");
}

void transfer_init()
{
    transfer_close_file();
    transfer_state = TS_IDLE;
    block_size = BLOCK_MAX;
    frame_limit_set(block_size);
    xfer_t1 = 0;
    xfer_t2 = 0;
    xfer_block = 0;
    xfer_buf_len = 0;
    xfer_retry = 0;
    xfer_name[0] = '\0';
    xfer_recv_any = false;
    timeout_flag = false;
}

LinkPhase transfer_phase()
{
    if (transfer_state == TS_IDLE) {
        return LP_IDLE;
    }
    return transfer_state == TS_RECV_DATA ? LP_RECEIVING : LP_BUSY;
}

static const char* const STATE_NAME[] = {"idle",         "send start", "send data", "receive start",
                                         "receive data", "send end",   "error"};

// A packet the current state has no use for: ignored or answered with an error, it is counted
// and traced with the state it came in.
static void xfer_unexpected() REQUIRES(link_lock)
{
    drop_count(DROP_UNEXPECTED);
    trace_repeat("packet dropped: unexpected in %s", STATE_NAME[transfer_state]);
}

// To enter a state: state, retry count 0, arm; the caller then sends.
static void xfer_enter(TransferState state, uint32_t arm_ms) REQUIRES(link_lock)
{
    transfer_state = state;
    xfer_retry = 0;
    timer_arm(arm_ms);
}

// Takes the values of a request: block size (capped), T1, T2 and the name. Returns false when
// the name holds a zero byte: such a name is refused like a missing file rather than cut short
// into the name of another file.
static bool xfer_take_request(const Packet* p) REQUIRES(link_lock)
{
    const uint8_t* b = p->data;
    uint16_t size = get_be16(b + 1);
    block_size = size > BLOCK_MAX ? static_cast<uint16_t>(BLOCK_MAX) : size;
    frame_limit_set(block_size);
    xfer_t1 = get_be16(b + 3);
    xfer_t2 = get_be16(b + 5);
    uint32_t n = b[7];               // the request test said the n bytes are in the packet
    if (8 + n > PACKET_DATA_SIZE) {  // not from a frame: never read past the Packet
        xfer_name[0] = '\0';
        return false;
    }
    std::memcpy(xfer_name, b + 8, n);
    xfer_name[n] = '\0';
    if (std::memchr(xfer_name, '\0', n) != nullptr) {
        return false;
    }
    plat::device_name_to_path(xfer_name);
    return true;
}

// Opens the named file for sending (a get request). The total is the file's size.
static bool xfer_open_send(bool name_ok) REQUIRES(link_lock)
{
    int fd = name_ok ? plat::file_serve_open(xfer_name, plat::FO_READ_SHARED) : -plat::FAIL_NO_FILE;
    if (fd < 0) {
        progress_size(0);  // no file, no total to show
        return false;
    }
    xfer_fd = fd;
    int64_t size = plat::file_size(fd);
    progress_size(size > 0 ? static_cast<uint32_t>(size) : 0);
    return true;
}

// Creates (or truncates) the named file for receiving (a put request); shared with nobody.
static bool xfer_create_recv(bool name_ok) REQUIRES(link_lock)
{
    int fd =
        name_ok ? plat::file_serve_open(xfer_name, plat::FO_WRITE_EXCLUSIVE) : -plat::FAIL_NO_FILE;
    progress_size(0);  // a received file has no known total
    if (fd < 0) {
        return false;
    }
    xfer_fd = fd;
    return true;
}

// Reads the next block of the file being sent into the block buffer: its length, or -error.
static int xfer_read_block() REQUIRES(link_lock)
{
    uint32_t want = block_size < BLOCK_MAX ? block_size : BLOCK_MAX;  // the buffer's size at most
    int n = xfer_fd >= 0 ? plat::file_read(xfer_fd, xfer_buf, want) : -plat::FAIL_BAD_HANDLE;
    if (n >= 0) {
        xfer_buf_len = static_cast<uint32_t>(n);
    }
    return n;
}

static void xfer_send_accept() REQUIRES(link_lock)
{
    pkt_send_accept(block_size, xfer_t1, xfer_t2);
}

static bool is_ack0(const Packet* p)
{
    return pkt_is_ack(p) && p->data[1] == 0;
}

// A request taken (again): its values, the file opened for a get (start TS_SEND_START) or
// created for a put (TS_RECV_START), then the accept, with the timer armed for T2 the first time
// and T1 when the device repeats its request; a file that cannot be had gets the error packet in
// the refused state.
static void xfer_request(const Packet* p, TransferState start, bool repeated, TransferState refused)
    REQUIRES(link_lock)
{
    bool name_ok = xfer_take_request(p);
    transfer_close_file();
    bool opened = start == TS_SEND_START ? xfer_open_send(name_ok) : xfer_create_recv(name_ok);
    if (opened) {
        xfer_block = 0;  // already 0 when the request is repeated
        xfer_enter(start, repeated ? xfer_t1 : xfer_t2);
        xfer_send_accept();
    } else {
        xfer_enter(refused, xfer_t2);
        pkt_send_error(ERR_FILE);
    }
}

static void xfer_idle(const Packet* p) REQUIRES(link_lock)
{
    if (pkt_is_request(p, PKT_GET_REQUEST)) {
        xfer_request(p, TS_SEND_START, false, TS_ERROR);
    } else if (pkt_is_request(p, PKT_PUT_REQUEST)) {
        // A refused put is told once and the line stays free: the timeout action does nothing
        // in TS_IDLE.
        xfer_request(p, TS_RECV_START, false, TS_IDLE);
    } else {
        xfer_unexpected();
        pkt_send_error(ERR_PROTOCOL);  // state, retry count and timer unchanged
    }
}

static void xfer_send_start(const Packet* p) REQUIRES(link_lock)
{
    if (pkt_is_request(p, PKT_GET_REQUEST)) {  // the device did not see the accept
        xfer_request(p, TS_SEND_START, true, TS_ERROR);
    } else if (is_ack0(p)) {
        timer_disarm();
        xfer_block = 1;
        int n = xfer_read_block();
        if (n < 0) {
            plat::console_print("\nERROR #%d: %s\n", -n, plat::error_text(-n));
            xfer_enter(TS_ERROR, xfer_t2);
            pkt_send_error(ERR_FILE);
        } else if (n == 0) {  // an empty file: the end at once
            xfer_enter(TS_SEND_END, xfer_t1);
            pkt_send_end();
        } else {
            progress_add(static_cast<uint32_t>(n));
            xfer_enter(TS_SEND_DATA, xfer_t2);
            pkt_send_data(xfer_block, xfer_buf, xfer_buf_len);
            xfer_block++;
        }
    } else {
        xfer_unexpected();
        xfer_enter(TS_ERROR, xfer_t2);
        pkt_send_error(ERR_PROTOCOL);
    }
}

static void xfer_send_data(const Packet* p) REQUIRES(link_lock)
{
    if (!pkt_is_ack(p)) {
        xfer_unexpected();
        xfer_enter(TS_ERROR, xfer_t1);
        pkt_send_error(ERR_PROTOCOL);
        return;
    }
    // The ack of block b carries b + 1, the counter's value since b was sent: anything else
    // (a late or repeated ack) is ignored and the timer keeps running.
    if (p->data[1] != xfer_block) {
        xfer_unexpected();
        return;
    }
    timer_disarm();
    int n = xfer_read_block();
    if (n < 0) {
        plat::console_print("\nReadFile ERROR.\n");
        plat::console_print("ERROR #%d: %s\n", -n, plat::error_text(-n));
        xfer_enter(TS_IDLE, xfer_t2);  // sent once: the timeout action does nothing in TS_IDLE
        pkt_send_error(ERR_FILE);
    } else if (n == 0) {
        transfer_close_file();
        xfer_enter(TS_SEND_END, xfer_t1);
        pkt_send_end();
    } else {
        progress_add(static_cast<uint32_t>(n));
        xfer_retry = 0;
        timer_arm(xfer_t2);
        pkt_send_data(xfer_block, xfer_buf, xfer_buf_len);
        xfer_block++;
    }
}

static void xfer_recv_start(const Packet* p) REQUIRES(link_lock)
{
    if (pkt_is_request(p, PKT_PUT_REQUEST)) {  // the device did not see the accept
        xfer_request(p, TS_RECV_START, true, TS_ERROR);
    } else if (is_ack0(p)) {
        transfer_state = TS_RECV_DATA;  // no timer runs while the device sends
        xfer_recv_any = false;
        timer_disarm();
        xfer_block = 1;
    } else {
        xfer_unexpected();
        xfer_enter(TS_ERROR, xfer_t2);
        pkt_send_error(ERR_PROTOCOL);
    }
}

static void xfer_recv_data(const Packet* p) REQUIRES(link_lock)
{
    if (pkt_is_data(p)) {
        const uint8_t* b = p->data;
        if (b[1] != xfer_block) {
            // The device sends a block again when our acknowledgement of it was lost: answer
            // it again (it is not written twice), or the transfer could never go on. Any other
            // number is out of order and gets no reply.
            if (xfer_recv_any && b[1] == static_cast<uint8_t>(xfer_block - 1)) {
                pkt_send_ack(xfer_block);
            } else {
                xfer_unexpected();
            }
            return;
        }
        uint32_t count = p->length - 2;
        int n = xfer_fd >= 0 ? plat::file_write(xfer_fd, b + 2, count) : -plat::FAIL_BAD_HANDLE;
        if (n < 0) {
            xfer_enter(TS_ERROR, xfer_t1);  // the device is told; the file stays open
            pkt_send_error(ERR_FILE);
            return;
        }
        xfer_block++;
        xfer_recv_any = true;
        pkt_send_ack(xfer_block);
        progress_add(static_cast<uint32_t>(n));
    } else if (pkt_is_end(p)) {
        progress_received_end();
        transfer_state = TS_IDLE;
        transfer_close_file();
        pkt_send_ack(0);
    } else if (pkt_is_error(p)) {
        transfer_state = TS_IDLE;  // not acknowledged; the next request closes the file
    } else {
        xfer_unexpected();  // ignored while the device sends
    }
}

static void xfer_send_end(const Packet* p) REQUIRES(link_lock)
{
    if (is_ack0(p)) {
        transfer_state = TS_IDLE;
        timer_disarm();
    } else {
        xfer_unexpected();
        xfer_enter(TS_ERROR, xfer_t1);
        pkt_send_error(ERR_PROTOCOL);
    }
}

// The error state ends, by the device's ACK 0 or by giving up.
static void xfer_error_end() REQUIRES(link_lock)
{
    transfer_state = TS_IDLE;
    timer_disarm();
    progress_size(0);
}

static void xfer_error(const Packet* p) REQUIRES(link_lock)
{
    if (is_ack0(p)) {
        xfer_error_end();
    } else {
        xfer_unexpected();  // the error packet goes again when the timer runs out
    }
}

void packet_dispatch(Packet* p)
{
    if (p == nullptr) {
        return;
    }
    switch (transfer_state) {
    case TS_IDLE:
        xfer_idle(p);
        break;
    case TS_SEND_START:
        xfer_send_start(p);
        break;
    case TS_SEND_DATA:
        xfer_send_data(p);
        break;
    case TS_RECV_START:
        xfer_recv_start(p);
        break;
    case TS_RECV_DATA:
        xfer_recv_data(p);
        break;
    case TS_SEND_END:
        xfer_send_end(p);
        break;
    case TS_ERROR:
        xfer_error(p);
        break;
    }
    pool_give(p);
}

// A time-out: true when a resend is due, with the retry counted and the timer armed for
// arm_ms; false after the last one, when the transfer gives up: with the error packet code, or
// in the error state by ending it.
static bool xfer_resend_or_give_up(uint32_t arm_ms, uint8_t code) REQUIRES(link_lock)
{
    if (xfer_retry < RETRY_MAX) {
        xfer_retry++;
        trace_event("time-out in %s: resend %u of %u", STATE_NAME[transfer_state], xfer_retry,
                    RETRY_MAX);
        timer_arm(arm_ms);
        return true;
    }
    trace_event("time-out in %s: gives up after %u resends", STATE_NAME[transfer_state], RETRY_MAX);
    if (transfer_state == TS_ERROR) {
        xfer_error_end();
    } else {
        xfer_enter(TS_ERROR, xfer_t1);
        pkt_send_error(code);
    }
    return false;
}

void timeout_action()
{
    if (!timeout_flag) {
        return;
    }
    timeout_flag = false;
    switch (transfer_state) {
    case TS_SEND_START:
    case TS_RECV_START:
        if (xfer_resend_or_give_up(xfer_t1, ERR_TIMEOUT)) {
            xfer_send_accept();
        }
        return;
    case TS_SEND_DATA:
        if (xfer_resend_or_give_up(2u * xfer_t2, ERR_DATA_TIMEOUT)) {
            // The block as first sent: same number, same bytes; the file is not read again.
            pkt_send_data(static_cast<uint8_t>(xfer_block - 1), xfer_buf, xfer_buf_len);
        }
        return;
    case TS_SEND_END:
        if (xfer_resend_or_give_up(xfer_t1, ERR_TIMEOUT)) {
            pkt_send_end();
        }
        return;
    case TS_ERROR:
        if (xfer_resend_or_give_up(xfer_t1, ERR_TIMEOUT)) {
            pkt_send_error(ERR_TIMEOUT);  // code 1 whatever the first error packet said
        }
        return;
    case TS_IDLE:
    case TS_RECV_DATA:
        return;
    }
}

void timeout_pass()
{
    if (timer_countdown()) {  // returns with the lock held
        timeout_flag = true;
    }
    if (mode_flag == MODE_PASEL) {
        timeout_action();  // does nothing unless the flag is raised; may arm again
    }
    link_lock.give();
}

void timeout_thread()
{
    for (;;) {
        timeout_pass();
    }
}
