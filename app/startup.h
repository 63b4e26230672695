// app/startup.h: start-up, the console loop's caller, and the End-key shutdown.
#pragma once

#include "platform/threads.h"

// Every module's state, before any thread starts: start-up, the unit tests and the fuzz targets
// begin here.
void modules_init() REQUIRES(link_lock);

// The whole program: start-up, the console loop until End, then the shutdown. Returns the exit
// code.
int program_main(int argc, char** argv) EXCLUDES(link_lock);

// The End key: stops the port's writes, reports and closes the log and capture files, closes the
// transfer file, drops the modem lines, waits one second and closes the port. After End,
// program_main waits for the link lock a limited time only, and shuts down without it when
// another thread still holds it.
void shutdown() REQUIRES(link_lock);
