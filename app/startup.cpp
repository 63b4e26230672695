// app/startup.cpp: the program's start: every module's state, the command line's effects (the
// banner and its messages, the log, the trace and the served root), the port, the four worker
// threads and the console loop; and the End key's orderly shutdown. Runs on the main
// thread, which then becomes the console thread.
#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/dialogs.h"
#include "app/keys.h"
#include "app/options.h"
#include "app/receive.h"
#include "fileservice/filecmd.h"
#include "fileservice/interpreter.h"
#include "output/drops.h"
#include "output/logfile.h"
#include "output/progress.h"
#include "output/text.h"
#include "output/trace.h"
#include "output/view.h"
#include "packet/framing.h"
#include "packet/link.h"
#include "packet/pool.h"
#include "packet/timer.h"
#include "packet/transfer.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/serial.h"
#include "port/mode.h"
#include "port/port.h"
#include "sending/scheme.h"
#include "sending/sender.h"

constexpr uint32_t END_LOCK_WAIT_MS = 700;  // End waits this long for the link lock, twice at most

void modules_init()
{
    logfile_init();
    drop_init();
    text_init();
    view_init();
    interp_init();
    filecmd_init();
    progress_init();
    dialogs_init();
    sender_init();
    scheme_clear();  // no scheme task is active
    pool_init();
    framing_init();  // also creates the send event
    link_init();
    transfer_init();
    timer_init();  // also creates the timer event
}

// /APPEND: the line in the log where this run's part begins.
static void log_run_marker() REQUIRES(link_lock)
{
    const plat::LocalTime t = plat::local_time();
    char line[128];
    const int n = std::snprintf(
        line, sizeof line, "\r\n=== %s log opened %04d-%02d-%02d %02d:%02d:%02d ===\r\n",
        program_label(), t.year, t.month, t.day, t.hour, t.minute, t.second);
    if (n > 0 && static_cast<size_t>(n) < sizeof line) {
        log_write(line, static_cast<uint32_t>(n));
    }
}

// The directory the device is confined to and the trace file, opened; false, with the reason
// on the console, when one is refused.
static bool files_open(const Options& o) REQUIRES(link_lock)
{
    if (o.root != nullptr) {
        const int r = plat::file_serve_root(o.root);
        if (r < 0) {
            plat::console_print("\nERROR: Unable to open root directory \"%s\"\nERROR #%d: %s\n",
                                o.root, -r, plat::error_text(-r));
            return false;
        }
    }
    if (o.trace != nullptr) {
        int err = 0;
        if (!trace_open(o.trace, &err)) {
            plat::console_print("\nERROR: Unable to open trace file \"%s\"\nERROR #%d: %s\n",
                                o.trace, err, plat::error_text(err));
            return false;
        }
    }
    return true;
}

// The log file named, opened, and the end of the banner line, which tells how that went.
static void log_start(const Options& o) REQUIRES(link_lock)
{
    bool log_failed = false;  // the log named did not open: its reason follows the banner line
    int log_err = 0;
    if (o.log != nullptr && o.log_too_long) {
        plat::console_print("\nWARNING: Log file name \"%s\" is longer than %d characters, "
                            "no log file",
                            o.log, LOG_NAME_MAX);
    } else if (o.log != nullptr) {
        std::strcpy(log_name, o.log);
        if (log_open(log_name, &log_err, o.append)) {
            if (o.append) {
                log_run_marker();
            }
            plat::console_print("\nLog file: \"%s\"", log_name);
        } else {
            plat::console_print("\nWARNING: Failed to open trace file \"%s\"", log_name);
            log_failed = true;
        }
    }
    plat::console_print(", Press <End> key to exit.\n");
    if (log_failed) {
        // The reason is advice on a line of its own: the banner line above stays whole.
        plat::console_print("Reason: %s; no log file\n", plat::error_text(log_err));
    }
}

int cmdline_apply(const Options& o)
{
    mode_flag = o.mode;
    noreset_option = o.noreset;
    plat::LockHold hold(link_lock);
    timestamp_option = o.timestamp;
    timestamp_form = o.stamp_form;
    hex_view = o.hex;
    backspace_char = o.mode != MODE_PASEL ? 0x7F : 0x08;
    plat::console_print(BANNER_FORMAT, program_label());
    if (o.action == CMDLINE_HELP) {
        plat::console_print("\n%s %s%s", program_label(), USAGE_TEXT, HOTKEY_TEXT);
        return 0;
    }
    if (o.action == CMDLINE_LIST) {
        plat::console_print("\nSerial ports present:\n");
        if (port_list_show() == 0) {
            plat::console_print("  none\n");
        }
        return 0;
    }
    if (!files_open(o)) {
        return 1;
    }
    if (o.action == CMDLINE_LONG_PORT) {
        plat::console_print("\nERROR: port name \"%s\" is longer than %d characters.\n", o.port,
                            PORT_NAME_MAX);
        return 1;
    }
    if (o.port != nullptr) {
        std::strcpy(port_name, o.port);
    }
    if (o.rate_given) {
        if (!o.rate_listed) {
            plat::console_print("\nWARNING: MAYBE INVALID BAUDRATE");
        }
        baud_rate = o.rate;
    }
    log_start(o);
    return CMDLINE_RUN;
}

int program_main(int argc, char** argv)
{
    {
        plat::LockHold hold(link_lock);
        modules_init();
    }
    Options opts;
    cmdline_parse(argc, argv, &opts);
    int r = cmdline_apply(opts);  // banner, usage text, log file
    if (r != CMDLINE_RUN) {
        return r;
    }
    std::srand(static_cast<unsigned>(plat::time_seconds()));
    // A network port's connect may take seconds: End and the signals work meanwhile.
    const bool keys_first = plat::serial_is_net_name(port_name) != 0;
    if (keys_first) {
        plat::console_init();
    }
    r = port_open(port_name, baud_rate);
    if (r != 0) {
        return r == PORT_OPEN_ENDED ? 0 : 1;  // the reason is on the console
    }
    {
        plat::LockHold hold(link_lock);
        trace_event("start: %s mode, port \"%s\" at %d baud", program_label(), port_name,
                    baud_rate);
        port_notes();
    }
    r = plat::thread_start(receive_thread, plat::PRIO_HIGHEST);
    if (r != 0) {
        error_report("Create thread", -r);
        return 1;
    }
    (void)plat::thread_start(packet_sender_thread, plat::PRIO_HIGHEST);
    (void)plat::thread_start(timeout_thread, plat::PRIO_NORMAL);
    (void)plat::thread_start(sending_thread, plat::PRIO_NORMAL);
    if (!keys_first) {
        plat::console_init();  // raw keys: Ctrl+C arrives as a key, not as a signal
    }
    console_loop();  // until the End key
    // From here on no console write waits long, whoever makes it: the shutdown's own messages
    // included. A thread stuck in a port write gives the lock up now. One that writes to a
    // console nobody reads gives up at the console's deadline, and its log output next.
    plat::console_ending();
    port_cancel();
    if (!link_lock.take_within(END_LOCK_WAIT_MS)) {
        plat::console_give_up();
        output_give_up();
        if (!link_lock.take_within(END_LOCK_WAIT_MS)) {
            // Still held: the files stay open to their holder, which may be writing them; the
            // process exit closes them, and what was written stays.
            plat::console_print("\r\n%s: program terminated.\n", program_label());
            port_drop_lines();
            return 0;
        }
    }
    shutdown();
    link_lock.give();
    return 0;
}

void shutdown()
{
    port_cancel();  // a write in flight, from whichever thread, gives up now
    if (log_is_open()) {
        plat::console_print("\n\n%s: Log file \"%s\" (%ld KB)", program_label(), log_name,
                            log_kb());
        log_close();
    }
    if (capture_is_open()) {
        plat::console_print("\n\n%s: Capture file \"%s\" (%ld KB)\n", program_label(), capture_name,
                            capture_kb());
        capture_close();
    }
    if (drop_any()) {
        char list[DROP_LIST_MAX];
        plat::console_print("\r\n%s: Dropped: %s.", program_label(), drop_list(list, sizeof list));
    }
    plat::console_print("\r\n%s: program terminated.\n", program_label());
    drop_trace_end();
    trace_end();
    trace_close();
    transfer_close_file();
    port_shut();
}
