// platform/errors.h: what a failed platform call means. A platform procedure that fails returns
// -err, err being the OS's own number for the failure (the error code of the failing system
// call); these give its text for the console and its status for the host file service.
#pragma once

#include <cstdint>

namespace plat
{

// The OS's text for err, without a line end; it stays as it is until the same thread asks again.
const char* error_text(int err);

// The status a device expects on the wire for a failed file call (2 file not found, 3 path not
// found, 4 too many open files, 5 access denied, 6 invalid handle, 32 sharing violation, 80 file
// exists, 87 invalid parameter, 112 disk full, ...; 31 for anything else), never 0. err is as
// the call returned it (either sign); name is the name of a failed open, where a missing file
// and a missing directory on its way differ, else nullptr.
uint32_t file_status(int err, const char* name);

// Failures the system reports itself, as the OS numbers them: a name that names no file; a name
// with a directory on its way missing, or a file in place of one; a file that may not be opened
// so (a directory, for one); a file another opener holds; a new file whose name is taken; and a
// handle that names no open file.
extern const int FAIL_NO_FILE;
extern const int FAIL_NO_PATH;
extern const int FAIL_DENIED;
extern const int FAIL_IN_USE;
extern const int FAIL_EXISTS;
extern const int FAIL_BAD_HANDLE;
// A network port's server answered that its port is in use by another client.
extern const int FAIL_PORT_BUSY;
// A port write gave up: the device did not take the bytes within their time (at once, on a
// line that counts as stalled).
extern const int FAIL_TIMED_OUT;

// What a failed port open asks of the user, for the one line of advice after its report.
enum OpenFailure : uint8_t {
    OPEN_FAILED_OTHER = 0,
    OPEN_FAILED_BUSY = 1,     // another program has the port open
    OPEN_FAILED_DENIED = 2,   // the user may not open it
    OPEN_FAILED_MISSING = 3,  // no port by that name
};
OpenFailure open_failure(int err);

}  // namespace plat
