// app/startup.h: start-up, the console loop's caller, and the End-key shutdown.
#pragma once

#include "app/options.h"
#include "platform/threads.h"

// Every module's state, before any thread starts: start-up, the unit tests and the fuzz targets
// begin here.
void modules_init() REQUIRES(link_lock);

constexpr int CMDLINE_RUN = -1;  // cmdline_apply: go on with start-up
// Acts on the command line read: sets the mode, the options and the port's name and rate,
// prints the banner and what goes with it (the usage text, the port list, the messages), and
// opens the served root, the trace and the log. Returns CMDLINE_RUN, or the exit code when the
// program must end now (0 after the usage text or the port list, 1 for an argument refused).
int cmdline_apply(const Options& o) EXCLUDES(link_lock);

// The whole program: start-up, the console loop until End, then the shutdown. Returns the exit
// code.
int program_main(int argc, char** argv) EXCLUDES(link_lock);

// The End key: stops the port's writes, reports and closes the log and capture files, closes the
// transfer file, drops the modem lines, waits one second and closes the port. After End,
// program_main waits for the link lock a limited time only, and shuts down without it when
// another thread still holds it.
void shutdown() REQUIRES(link_lock);
