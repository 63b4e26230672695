// port/port.cpp: opens and configures the serial port, and the two write primitives that every
// sender uses. Writes are serialised by the platform (one write completes before the next
// starts) and never purge the port, so that no thread's write discards another's bytes or the
// bytes received and not yet read. Called from the console, receive, packet sender and
// unattended sending threads; needs no lock of its own.
#include "port/port.h"

#include <cstring>

#include "output/logfile.h"
#include "platform/console.h"
#include "platform/serial.h"
#include "platform/threads.h"

constexpr uint32_t SHUTDOWN_PAUSE_MS = 1000;  // lines dropped, then this pause before the close

int port_open(const char* name, int32_t baud)
{
    if (plat::serial_is_directory(name) != 0) {
        plat::console_print("ERROR: \"%s\" is not device file.\n", name);
        return 1;
    }
    int r = plat::serial_open(name);
    if (r < 0) {
        plat::console_print("ERROR: Unable to open device file \"%s\"\nERROR #%d: %s\n", name, -r,
                            std::strerror(-r));
        return 1;
    }
    if (plat::serial_is_regular_file() != 0) {
        plat::console_print("ERROR: \"%s\" is not device file.\n", name);
        return 1;
    }
    // Read time-outs and the event mask have no counterpart here: the receive thread waits with
    // poll() and reads only what is queued; writes carry their own time-out in the platform.
    r = plat::serial_get_state();
    if (r < 0) {
        error_report("GetCommState()", -r);
        return 1;
    }
    r = plat::serial_set_state(baud);
    if (r < 0) {
        error_report("SetCommState()", -r);
        return 1;
    }
    plat::serial_purge();
    return 0;
}

void port_write_byte(uint8_t b)
{
    (void)plat::serial_write_byte(b);  // a lost byte shows up at the device
}

void port_write_buf(const uint8_t* buf, uint32_t n)
{
    (void)plat::serial_write(buf, n);  // loss shows up as a missing reply or ack at the device
}

void error_report(const char* name, int err)
{
    plat::console_print("%s ERROR.\nERROR #%d: %s\n", name, err, std::strerror(err));
    plat::LockHold hold(link_lock);
    log_close();
}

void port_shut()
{
    plat::serial_drop_lines();
    plat::sleep_ms(SHUTDOWN_PAUSE_MS);
    plat::serial_close();
}
