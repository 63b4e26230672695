// platform/win32/errors.cpp: GetLastError() numbers as the console and the device see them.
// They are the numbers the device's status words were made of, so the status is the error
// itself; the text is the system's own, or for a socket failure it lacks, Windows' wording.
#include "platform/errors.h"

#include <windows.h>

#include <cstdio>

#include "platform/wire_status.h"

namespace plat
{

const int FAIL_NO_FILE = ERROR_FILE_NOT_FOUND;
const int FAIL_NO_PATH = ERROR_PATH_NOT_FOUND;
const int FAIL_DENIED = ERROR_ACCESS_DENIED;
const int FAIL_IN_USE = ERROR_SHARING_VIOLATION;
const int FAIL_EXISTS = ERROR_FILE_EXISTS;
const int FAIL_BAD_HANDLE = ERROR_INVALID_HANDLE;
const int FAIL_PORT_BUSY = ERROR_BUSY;
const int FAIL_TIMED_OUT = ERROR_TIMEOUT;

namespace
{

static_assert(ST_GENERAL_FAILURE == ERROR_GEN_FAILURE, "the device's numbers are the system's");
constexpr DWORD TEXT_MAX = 512;

thread_local char text_buf[TEXT_MAX];  // each thread's last text

// The Winsock failures a network port meets, for a system whose message table lacks them
// (Wine's has no text for 10060, time-out, and several others).
struct SocketText {
    DWORD err;
    const char* text;
};
constexpr SocketText SOCKET_TEXTS[] = {
    {10035, "A non-blocking socket operation could not be completed immediately."},
    {10050, "A socket operation encountered a dead network."},
    {10051, "A socket operation was attempted to an unreachable network."},
    {10053, "An established connection was aborted by the software in your host machine."},
    {10054, "An existing connection was forcibly closed by the remote host."},
    {10057, "A request to send or receive data was disallowed because the socket is not "
            "connected."},
    {10060, "A connection attempt failed because the connected party did not properly respond "
            "after a period of time, or established connection failed because connected host "
            "has failed to respond."},
    {10061, "No connection could be made because the target machine actively refused it."},
    {10064, "A socket operation failed because the destination host was down."},
    {10065, "A socket operation was attempted to an unreachable host."},
    {11001, "No such host is known."},
    {11002, "This is usually a temporary error during hostname resolution."},
    {11004, "The requested name is valid, but no data of the requested type was found."},
};

}  // namespace

const char* error_text(int err)
{
    const DWORD e = static_cast<DWORD>(err < 0 ? -static_cast<long long>(err) : err);
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e,
                             0, text_buf, TEXT_MAX, nullptr);
    while (n > 0 &&
           (text_buf[n - 1] == '\r' || text_buf[n - 1] == '\n' || text_buf[n - 1] == ' ')) {
        --n;
    }
    for (const SocketText& t : SOCKET_TEXTS) {
        if (n == 0 && t.err == e) {
            n = static_cast<DWORD>(std::snprintf(text_buf, TEXT_MAX, "%s", t.text));
        }
    }
    if (n == 0) {
        std::snprintf(text_buf, TEXT_MAX, "Unknown error %lu", static_cast<unsigned long>(e));
    } else {
        text_buf[n] = '\0';
    }
    return text_buf;
}

uint32_t file_status(int err, const char* name)
{
    (void)name;  // the system tells a missing directory (3) from a missing file (2) itself
    const long long e = err < 0 ? -static_cast<long long>(err) : err;
    return e > 0 && e <= 0xFFFF ? static_cast<uint32_t>(e) : ST_GENERAL_FAILURE;
}

OpenFailure open_failure(int err)
{
    const long long e = err < 0 ? -static_cast<long long>(err) : err;
    // A COM port held by another program refuses a second opener with access denied.
    if (e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION) {
        return OPEN_FAILED_BUSY;
    }
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) {
        return OPEN_FAILED_MISSING;
    }
    return OPEN_FAILED_OTHER;
}

}  // namespace plat
