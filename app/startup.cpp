// app/startup.cpp: the program's start: every module's state, the command line, the port, the
// four worker threads and the console loop; and the End key's orderly shutdown. Runs on the main
// thread, which then becomes the console thread.
#include "app/startup.h"

#include <cstdlib>

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

int program_main(int argc, char** argv)
{
    {
        plat::LockHold hold(link_lock);
        modules_init();
    }
    int r = cmdline_parse(argc, argv);  // banner, usage text, log file
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
