// port/port.cpp: opens and configures the serial port, and the two write primitives that every
// sender uses. Writes are serialised by the platform (one write completes before the next
// starts) and never purge the port, so that no thread's write discards another's bytes or the
// bytes received and not yet read. Called from the console, receive, packet sender and
// unattended sending threads; needs no lock of its own.
#include "port/port.h"

#include <cstdio>
#include <cstring>

#include "output/drops.h"
#include "output/logfile.h"
#include "output/trace.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/serial.h"
#include "platform/serial_list.h"
#include "platform/telnet.h"
#include "platform/threads.h"
#include "port/mode.h"

constexpr uint32_t SHUTDOWN_PAUSE_MS = 1000;  // lines dropped, then this pause before the close
constexpr uint32_t REOPEN_FIRST_MS = 100;     // a lost port is first tried again after this
constexpr uint32_t REOPEN_PAUSE_MS = 1000;    // then when its folder changes, or after this
constexpr uint32_t NET_REOPEN_MAX_MS =
    3200;  // a server is tried again after pauses doubling to this

bool noreset_option;

static void port_list_line(const char* path, const char* target)
{
    if (*target != '\0') {
        plat::console_print("  %s -> %s\n", path, target);
    } else {
        plat::console_print("  %s\n", path);
    }
}

int port_list_show()
{
    return plat::serial_list(port_list_line);
}

// After the report of a failed open: one plain line on what to do about it.
static void port_open_advice(const char* name, int err)
{
    if (plat::serial_is_net_name(name) != 0) {
        plat::console_print("Check the server's name and port, and that it runs and takes "
                            "connections there.\n");
        return;
    }
    switch (plat::open_failure(err)) {
    case plat::OPEN_FAILED_BUSY:
        plat::console_print("Another program has this port open; close it there first.\n");
        break;
    case plat::OPEN_FAILED_DENIED:
        plat::console_print("You need read and write access to the port; on Debian that is the "
                            "dialout group: sudo adduser $USER dialout, then log in again.\n");
        break;
    case plat::OPEN_FAILED_MISSING: {
        char path[plat::SERIAL_PATH_MAX];
        plat::serial_path(name, path);
        plat::console_print("There is no port at \"%s\"; serial ports present:\n", path);
        if (port_list_show() == 0) {
            plat::console_print("  none\n");
        }
        break;
    }
    case plat::OPEN_FAILED_OTHER:
        break;
    }
}

// Why a port setup failed: the step, and the error where the step has one.
enum SetupStep : uint8_t {
    SETUP_OK = 0,
    SETUP_DIRECTORY = 1,  // the name is a directory
    SETUP_OPEN = 2,
    SETUP_REGULAR = 3,  // the name is a disk file
    SETUP_GET_STATE = 4,
    SETUP_SET_STATE = 5,
};

// Opens and configures the port: exclusively, raw, at baud, DTR and RTS raised (left as they
// are with /NORESET); purged at start-up only. A port opened again is not purged: a device that
// comes back talks at once (its boot text), and that is what the user wants to see.
static SetupStep port_setup(const char* name, int32_t baud, int* err, bool purge)
{
    *err = 0;
    if (plat::serial_is_directory(name) != 0) {
        return SETUP_DIRECTORY;
    }
    int r = plat::serial_open(name);
    if (r < 0) {
        *err = -r;
        return SETUP_OPEN;
    }
    if (plat::serial_is_regular_file() != 0) {
        return SETUP_REGULAR;
    }
    // The read time-outs, the event mask and the write time-out are the platform's to set
    // with the state: each backend waits and times writes in its own way.
    r = plat::serial_get_state();
    if (r < 0) {
        *err = -r;
        return SETUP_GET_STATE;
    }
    r = plat::serial_set_state(baud, !noreset_option);
    if (r < 0) {
        *err = -r;
        return SETUP_SET_STATE;
    }
    if (purge) {
        plat::serial_purge();
    }
    return SETUP_OK;
}

// The port as start-up opened it, for the reopen of a lost port (the receive thread's only).
static char open_name[plat::SERIAL_PATH_MAX];
static int32_t open_baud;
// A network port's keys go as one send a batch, not one a key: a paste is a few packets, not
// one for each character (set by port_open, before the threads start).
static bool keys_by_batch;

// The pause before a lost port is tried again, after a pause of ms: a server's grows.
static uint32_t reopen_pause(uint32_t ms)
{
    if (plat::serial_is_net_name(open_name) == 0) {
        return REOPEN_PAUSE_MS;
    }
    return ms * 2 < NET_REOPEN_MAX_MS ? ms * 2 : NET_REOPEN_MAX_MS;
}

static void port_busy_say()
{
    plat::console_print("\r\n%s: Port \"%s\" is in use by another client of its server; trying "
                        "again until it is free.\n",
                        program_label(), open_name);
}

// For the start-up's open of a network port: End and the signals end the connect.
static bool port_open_give_up()
{
    return plat::console_end_waiting();
}

// The start-up's setup of a network port: a server whose port another client holds is said to
// be busy once and tried again until it is free, or End.
static SetupStep port_setup_net(int* err)
{
    plat::serial_open_give_up(port_open_give_up);
    SetupStep step = port_setup(open_name, open_baud, err, true);
    uint32_t wait_ms = REOPEN_FIRST_MS;
    bool said = false;
    while (step == SETUP_OPEN && *err == plat::FAIL_PORT_BUSY && !plat::console_end_waiting()) {
        if (!said) {
            port_busy_say();
            said = true;
        }
        for (uint32_t slept = 0; slept < wait_ms && !plat::console_end_waiting(); slept += 50) {
            plat::sleep_ms(50);
        }
        wait_ms = reopen_pause(wait_ms);
        step = port_setup(open_name, open_baud, err, true);
    }
    plat::serial_open_give_up(nullptr);
    if (said && step == SETUP_OK) {
        plat::console_print("%s: Port \"%s\" is free: connected.\n", program_label(), open_name);
    }
    return step;
}

int port_open(const char* name, int32_t baud)
{
    std::snprintf(open_name, sizeof open_name, "%s", name);
    open_baud = baud;
    int err = 0;
    if (plat::serial_is_net_name(name) != 0) {
        plat::NetName nn;
        if (!plat::serial_net_name(name, &nn)) {
            plat::console_print("ERROR: \"%s\" is not a network port's name: "
                                "rfc2217://HOST:PORT or tcp://HOST:PORT.\n",
                                name);
            return 1;
        }
    }
    const bool net = plat::serial_is_net_name(name) != 0;
    keys_by_batch = net;
    const SetupStep step = net ? port_setup_net(&err) : port_setup(name, baud, &err, true);
    if (net && step == SETUP_OPEN && plat::console_end_waiting()) {
        plat::console_print("\r\n%s: program terminated.\n", program_label());
        return PORT_OPEN_ENDED;  // End or a signal during the connect
    }
    switch (step) {
    case SETUP_OK:
        return 0;
    case SETUP_DIRECTORY:
    case SETUP_REGULAR:
        plat::console_print("ERROR: \"%s\" is not device file.\n", name);
        return 1;
    case SETUP_OPEN:
        plat::console_print("ERROR: Unable to open device file \"%s\"\nERROR #%d: %s\n", name, err,
                            plat::error_text(err));
        port_open_advice(name, err);
        return 1;
    case SETUP_GET_STATE:
        error_report("GetCommState()", err);
        return 1;
    case SETUP_SET_STATE:
        error_report("SetCommState()", err);
        return 1;
    }
    return 1;
}

void port_lost()
{
    plat::serial_close();  // a device that comes back may take the same name only once it is free
    if (plat::serial_reopenable(open_name) == 0) {
        plat::console_print("\r\n%s: Port \"%s\" lost. A pseudo-terminal is not opened again "
                            "(its number goes to the next terminal); press <End> to exit.\n",
                            program_label(), open_name);
        return;
    }
    if (plat::serial_same_lost_terminal(open_name) != 0) {
        plat::console_print("\r\n%s: Port \"%s\" lost. A pseudo-terminal is not opened again "
                            "(its number goes to the next terminal); waiting for \"%s\" to lead "
                            "to another one.\n",
                            program_label(), open_name, open_name);
        return;
    }
    plat::console_print("\r\n%s: Port \"%s\" lost, waiting for it to come back.\n", program_label(),
                        open_name);
}

void port_reopen()
{
    if (plat::serial_reopenable(open_name) == 0) {
        for (;;) {
            plat::sleep_ms(REOPEN_PAUSE_MS);  // until End
        }
    }
    // The first wait also starts watching the port's folder, so that a name that comes back
    // any time after it is tried again at once.
    uint32_t wait_ms = REOPEN_FIRST_MS;
    bool busy_said = false;
    for (;;) {
        plat::serial_name_wait(open_name, wait_ms);
        wait_ms = reopen_pause(wait_ms);
        if (plat::serial_same_lost_terminal(open_name) != 0) {
            continue;  // a link still to the lost terminal's number: another terminal's by now
        }
        int err = 0;
        if (port_setup(open_name, open_baud, &err, false) == SETUP_OK) {
            break;
        }
        if (err == plat::FAIL_PORT_BUSY && !busy_said) {
            port_busy_say();
            busy_said = true;
        }
        plat::serial_close();  // opened but not set up: tried again as a whole
    }
    plat::console_print("\r\n%s: Port \"%s\" is back.\n", program_label(), open_name);
}

void port_notes()
{
    char text[plat::TN_NOTE_SIZE];
    bool console = false;
    while (plat::serial_take_note(text, sizeof text, &console)) {
        trace_event("%s", text);
        if (console) {
            plat::console_print("\r\n%s: Port \"%s\": %s.\n", program_label(), open_name, text);
        }
    }
}

void port_cancel()
{
    plat::serial_cancel();
}

// A write that a stalled device did not take is counted; one to a lost port is the old device's
// work, which ends with it.
static void write_done(int r)
{
    if (r == -plat::FAIL_TIMED_OUT) {
        drop_count(DROP_STALLED);
    }
}

void port_write_byte(uint8_t b)
{
    write_done(plat::serial_write_byte(b));  // a lost byte shows up at the device
}

// The key buffer: bytes from key_sent up to key_fill wait for the device (console thread only).
static uint8_t key_buf[KEY_BUF_SIZE];
static uint32_t key_sent;
static uint32_t key_fill;

void port_key_byte(uint8_t b)
{
    if (key_fill == 0 && !keys_by_batch && plat::serial_write_some(&b, 1, 0) == 1) {
        return;
    }
    if (key_fill < KEY_BUF_SIZE) {
        key_buf[key_fill++] = b;
    } else {
        drop_count(DROP_KEY);
    }
}

uint32_t port_keys_send()
{
    if (key_sent < key_fill) {
        const int r =
            plat::serial_write_some(key_buf + key_sent, key_fill - key_sent, KEY_SEND_SLICE_MS);
        // A port that fails is lost: the device that comes back has rebooted, and its keys
        // are not sent to it, as the rest of what the old one had under way.
        if (r < 0) {
            drop_count(DROP_KEY, key_fill - key_sent);
        }
        key_sent = r < 0 ? key_fill : key_sent + static_cast<uint32_t>(r);
    }
    if (key_sent == key_fill) {
        key_sent = 0;
        key_fill = 0;
    }
    return key_fill - key_sent;
}

void port_write_buf(const uint8_t* buf, uint32_t n)
{
    write_done(plat::serial_write(buf, n));  // a loss shows up as a missing reply or ack there
}

void error_report(const char* name, int err)
{
    plat::console_print("%s ERROR.\nERROR #%d: %s\n", name, err, plat::error_text(err));
    plat::LockHold hold(link_lock);
    log_close();
}

void port_drop_lines()
{
    if (!noreset_option) {
        plat::serial_drop_lines();
    }
}

void port_shut()
{
    if (!noreset_option) {
        plat::serial_drop_lines();
        plat::sleep_ms(SHUTDOWN_PAUSE_MS);
    }
    plat::serial_close();
}

void port_reset_pulse()
{
    plat::serial_set_lines(false);
    plat::sleep_ms(RESET_PULSE_MS);
    plat::serial_set_lines(true);
}
