// platform/win32/serial.cpp: the serial port on Windows: a COM port opened for overlapped I/O
// without sharing, set to the rate, 8N1, DTR and RTS on and no flow control. Writes are
// serialised under a mutex. The receive thread waits with WaitCommEvent(EV_RXCHAR); where the
// driver cannot wait for events (Wine on a pseudo-terminal completes the wait at once with
// nothing to report), it waits with a pending one-byte read instead, and the byte that read
// takes is handed out first by serial_read. Errors are -GetLastError(). A wait that fails is a
// lost port, except when serial_cancel or serial_close ended it. A network port's calls go to
// net.cpp.
#include "platform/serial.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "platform/lock_within.h"
#include "platform/net.h"

namespace plat
{

namespace
{

constexpr DWORD LOCK_WAIT_MS = 300;  // the close waits this long for a write to give up

std::atomic<HANDLE> port_handle{INVALID_HANDLE_VALUE};
std::mutex write_mutex;
HANDLE write_event;          // completion of the overlapped writes (under write_mutex)
COMMTIMEOUTS port_timeouts;  // as serial_set_state set them (under write_mutex)

// Receive thread only (serial_wait, serial_queued, serial_read, and serial_purge before the
// first wait).
HANDLE wait_event;  // completion of the overlapped WaitCommEvent
HANDLE read_event;  // completion of the overlapped reads
// How this driver waits: by WaitCommEvent until it has shown whether it can (a wait that pended
// and ended on EV_RXCHAR), and by a pending one-byte read for good once it has shown it cannot.
enum class Waits : uint8_t { UNKNOWN, BY_EVENT, BY_READ };
Waits waits = Waits::UNKNOWN;
bool held_valid;                     // held_byte was taken by the waiting read and not handed out
uint8_t held_byte;                   // that byte
std::atomic<bool> closing{false};    // serial_close has begun: waits end
std::atomic<bool> cancelled{false};  // serial_cancel: the program ends
std::atomic<bool> stalled{false};    // the last write timed out: the device reads nothing
std::atomic<bool> net_port{false};   // the port is a network port: its calls go to net.cpp

int last_error()
{
    DWORD e = GetLastError();
    return e == 0 ? -static_cast<int>(ERROR_GEN_FAILURE) : -static_cast<int>(e);
}

// Ends an overlapped call that returned FALSE: waits for it when it is pending. Returns TRUE
// with the count in *got, or FALSE with GetLastError() set.
BOOL finish(HANDLE h, OVERLAPPED* ov, DWORD* got)
{
    if (GetLastError() != ERROR_IO_PENDING) {
        return FALSE;
    }
    return GetOverlappedResult(h, ov, got, TRUE);
}

// Bytes the driver holds for reading, or -error.
int driver_queued(HANDLE h)
{
    DWORD errors = 0;
    COMSTAT st{};
    if (!ClearCommError(h, &errors, &st)) {
        return last_error();
    }
    return static_cast<int>(st.cbInQue);
}

// A failed line (an adapter pulled out, the port closed) is looked at again only after a pause,
// so that the receive thread looping on it never spins.
void pause_failed_line()
{
    Sleep(SERIAL_HANGUP_PAUSE_MS);
}

// The end of a wait that failed with err. A wait that serial_cancel or serial_close ended (its
// call cancelled with error 995, or the handle closed under it) is no loss: it pauses as a wait
// after serial_cancel does and returns 0. Any other failure is the port's: it pauses and
// returns err.
int wait_failed(int err)
{
    if (cancelled.load() || closing.load()) {
        Sleep(SERIAL_CANCELLED_PAUSE_MS);
        return 0;
    }
    pause_failed_line();
    return err;
}

// The wait of a driver without events: a one-byte read that completes when a byte comes. Reads
// never time out, so one that completes empty met the end of the line.
int wait_by_read(HANDLE h)
{
    OVERLAPPED ov{};
    ov.hEvent = read_event;
    DWORD got = 0;
    if (!ReadFile(h, &held_byte, 1, &got, &ov) && !finish(h, &ov, &got)) {
        return wait_failed(last_error());
    }
    if (got == 0) {
        return wait_failed(-static_cast<int>(ERROR_HANDLE_EOF));
    }
    held_valid = true;
    return 1;
}

}  // namespace

int serial_is_directory(const char* name)
{
    if (serial_is_net_name(name) != 0) {
        return 0;
    }
    char path[SERIAL_PATH_MAX];
    serial_path(name, path);
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
}

int serial_open(const char* name)
{
    net_port = serial_is_net_name(name) != 0;
    if (net_port.load()) {
        return net_open(name);
    }
    char path[SERIAL_PATH_MAX];
    serial_path(name, path);
    // No sharing: a second program on the same port would split the byte stream.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return last_error();
    }
    if (wait_event == nullptr) {
        wait_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        read_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        write_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    waits = Waits::UNKNOWN;
    held_valid = false;
    closing = false;
    std::lock_guard<std::mutex> g(write_mutex);
    port_handle = h;
    return 0;
}

int serial_is_regular_file()
{
    if (net_port.load()) {
        return 0;
    }
    return GetFileType(port_handle.load()) == FILE_TYPE_DISK ? 1 : 0;
}

int serial_get_state()
{
    if (net_port.load()) {
        return 0;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return GetCommState(port_handle.load(), &dcb) ? 0 : last_error();
}

int serial_set_state(int32_t baud, bool raise_lines)
{
    if (baud <= 0) {
        return -static_cast<int>(ERROR_INVALID_PARAMETER);  // a zero rate would hang the line up
    }
    if (net_port.load()) {
        return net_set_state(baud, raise_lines);
    }
    HANDLE h = port_handle.load();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) {
        return last_error();
    }
    // Every field that shapes the bytes is set: one kept as found could leave XON/XOFF on, and
    // 0x11/0x13 from the device would then be swallowed.
    dcb.BaudRate = static_cast<DWORD>(baud);  // any rate the driver takes
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.Parity = NOPARITY;
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    // DTR and RTS control set the lines as well: without raise_lines they stay as found.
    if (raise_lines) {
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h, &dcb)) {
        return last_error();
    }
    // Reads never time out (the waiting read must wait; serial_read asks only for what is
    // queued); a write gives up after twice its bytes' time at the rate, plus a second.
    COMMTIMEOUTS t{};
    const DWORD rate = static_cast<DWORD>(baud);
    t.WriteTotalTimeoutConstant = SERIAL_WRITE_SLACK_MS;
    t.WriteTotalTimeoutMultiplier =
        (SERIAL_WRITE_MARGIN * SERIAL_BITS_PER_BYTE * 1000 + rate - 1) / rate;
    {
        std::lock_guard<std::mutex> g(write_mutex);
        if (!SetCommTimeouts(h, &t)) {
            return last_error();
        }
        port_timeouts = t;
    }
    // A port without the lines (a pseudo-terminal under Wine: error 50) is not an error.
    if (raise_lines) {
        (void)EscapeCommFunction(h, SETDTR);
        (void)EscapeCommFunction(h, SETRTS);
    }
    // Only EV_RXCHAR: Wine refuses a mask with EV_CTS or EV_DSR on a port without modem lines.
    if (!SetCommMask(h, EV_RXCHAR)) {
        waits = Waits::BY_READ;
    }
    return 0;
}

void serial_drop_lines()
{
    // A write that cannot give up in time leaves the lines as they are rather than hold the
    // end of the program.
    if (net_port.load()) {
        net_set_lines(false, LOCK_WAIT_MS);
        return;
    }
    std::unique_lock<std::mutex> g(write_mutex, std::defer_lock);
    if (lock_within(g, LOCK_WAIT_MS)) {
        HANDLE h = port_handle.load();
        (void)EscapeCommFunction(h, CLRDTR);
        (void)EscapeCommFunction(h, CLRRTS);
    }
}

void serial_set_lines(bool up)
{
    // After a write in flight, which gives up by its time-out at the latest.
    if (net_port.load()) {
        net_set_lines(up, UINT32_MAX / 2);
        return;
    }
    std::lock_guard<std::mutex> g(write_mutex);
    HANDLE h = port_handle.load();
    if (h != INVALID_HANDLE_VALUE) {
        (void)EscapeCommFunction(h, up ? SETDTR : CLRDTR);
        (void)EscapeCommFunction(h, up ? SETRTS : CLRRTS);
    }
}

void serial_purge()
{
    if (net_port.load()) {
        return;  // what a server sends first is the device's: its banner, its boot text
    }
    held_valid = false;
    (void)PurgeComm(port_handle.load(),
                    PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
}

int serial_wait()
{
    if (cancelled.load()) {
        Sleep(SERIAL_CANCELLED_PAUSE_MS);
        return 0;
    }
    if (net_port.load()) {
        return net_wait();
    }
    HANDLE h = port_handle.load();
    if (h == INVALID_HANDLE_VALUE) {
        return wait_failed(-static_cast<int>(ERROR_INVALID_HANDLE));
    }
    if (held_valid) {
        return 1;
    }
    int queued = driver_queued(h);
    if (queued > 0) {
        return 1;
    }
    if (queued < 0) {
        return wait_failed(queued);
    }
    if (waits == Waits::BY_READ) {
        return wait_by_read(h);
    }
    OVERLAPPED ov{};
    ov.hEvent = wait_event;
    DWORD mask = 0;
    DWORD unused = 0;
    BOOL ok = WaitCommEvent(h, &mask, &ov);
    const bool pended = !ok && GetLastError() == ERROR_IO_PENDING;
    if (pended) {
        ok = GetOverlappedResult(h, &ov, &unused, TRUE);
    }
    if (!ok) {
        const int err = last_error();
        if (waits == Waits::BY_EVENT) {
            return wait_failed(err);  // a driver that waits for events fails only with the port
        }
        queued = driver_queued(h);
        if (queued != 0) {
            return queued > 0 ? 1 : wait_failed(queued);
        }
        if (cancelled.load() || closing.load()) {
            return wait_failed(err);
        }
        // Failed on a line that still answers: this driver cannot wait for events (Wine on a
        // pseudo-terminal: error 995 at once). From now on the wait is a pending read.
        waits = Waits::BY_READ;
        return wait_by_read(h);
    }
    if ((mask & EV_RXCHAR) != 0) {
        if (pended) {
            waits = Waits::BY_EVENT;  // it waited for the byte: this driver has events
        }
        return 1;
    }
    queued = driver_queued(h);
    if (queued != 0) {
        return queued > 0 ? 1 : wait_failed(queued);
    }
    // Completed with nothing to report and nothing queued: a wait by events would spin here.
    // From now on the wait is a pending read.
    waits = Waits::BY_READ;
    return wait_by_read(h);
}

int serial_queued()
{
    if (cancelled.load()) {
        return 0;
    }
    if (net_port.load()) {
        return net_queued();
    }
    int n = driver_queued(port_handle.load());
    if (n < 0) {
        return held_valid ? 1 : n;  // the byte held is handed out all the same
    }
    return n + (held_valid ? 1 : 0);
}

int serial_read(uint8_t* buf, uint32_t n)
{
    if (n == 0) {
        return 0;
    }
    if (net_port.load()) {
        return net_read(buf, n);
    }
    HANDLE h = port_handle.load();
    uint32_t done = 0;
    if (held_valid) {
        buf[done++] = held_byte;
        held_valid = false;
    }
    // Reads never time out: ask for no more than the driver holds, so that this never waits.
    int queued = driver_queued(h);
    if (queued <= 0) {
        return done > 0 ? static_cast<int>(done) : queued;
    }
    DWORD want = static_cast<DWORD>(queued) < n - done ? static_cast<DWORD>(queued) : n - done;
    OVERLAPPED ov{};
    ov.hEvent = read_event;
    DWORD got = 0;
    if (!ReadFile(h, buf + done, want, &got, &ov) && !finish(h, &ov, &got)) {
        return done > 0 ? static_cast<int>(done) : last_error();
    }
    return static_cast<int>(done + got);
}

int serial_write(const uint8_t* buf, uint32_t n)
{
    if (net_port.load()) {
        return net_write(buf, n);
    }
    std::lock_guard<std::mutex> g(write_mutex);
    HANDLE h = port_handle.load();
    if (h == INVALID_HANDLE_VALUE) {
        return -static_cast<int>(ERROR_INVALID_HANDLE);  // lost, not yet back
    }
    if (stalled.load()) {
        // Bytes of an earlier write still wait in the driver: the device still reads nothing,
        // and this write would only wait out its own deadline.
        DWORD errors = 0;
        COMSTAT st{};
        if (ClearCommError(h, &errors, &st) && st.cbOutQue > 0) {
            return -static_cast<int>(ERROR_TIMEOUT);
        }
    }
    uint32_t done = 0;
    while (done < n) {
        if (cancelled.load()) {
            return -static_cast<int>(ERROR_OPERATION_ABORTED);
        }
        OVERLAPPED ov{};
        ov.hEvent = write_event;
        DWORD put = 0;
        if (!WriteFile(h, buf + done, n - done, &put, &ov) && !finish(h, &ov, &put)) {
            return last_error();
        }
        if (put == 0) {
            stalled = true;
            return -static_cast<int>(ERROR_TIMEOUT);  // the write time-out ran out
        }
        done += put;
    }
    stalled = false;
    return static_cast<int>(n);
}

int serial_write_byte(uint8_t b)
{
    // The write completes once the byte is in the driver's buffer, not when it has left.
    return serial_write(&b, 1);
}

int serial_write_some(const uint8_t* buf, uint32_t n, uint32_t wait_ms)
{
    if (net_port.load()) {
        return net_write_some(buf, n, wait_ms);
    }
    std::unique_lock<std::mutex> g(write_mutex, std::defer_lock);
    if (!lock_within(g, wait_ms)) {
        return 0;  // another write holds the port: the bytes wait for the next call
    }
    HANDLE h = port_handle.load();
    if (h == INVALID_HANDLE_VALUE) {
        return -static_cast<int>(ERROR_INVALID_HANDLE);  // lost, not yet back
    }
    if (cancelled.load()) {
        return -static_cast<int>(ERROR_OPERATION_ABORTED);
    }
    // This one write gives up after wait_ms (a zero time-out would be none at all): it ends
    // with the bytes the driver took by then.
    COMMTIMEOUTS t = port_timeouts;
    t.WriteTotalTimeoutConstant = wait_ms > 0 ? wait_ms : 1;
    t.WriteTotalTimeoutMultiplier = 0;
    if (!SetCommTimeouts(h, &t)) {
        return last_error();
    }
    OVERLAPPED ov{};
    ov.hEvent = write_event;
    DWORD put = 0;
    const bool ok = WriteFile(h, buf, n, &put, &ov) || finish(h, &ov, &put);
    const int err = ok ? 0 : last_error();
    (void)SetCommTimeouts(h, &port_timeouts);
    // A write that fails on a port that still answers ran out of its time: under Wine on a
    // loaded machine a time-out can end with an error rather than with the count. Its bytes
    // wait for the next call; only a port that no longer answers is lost.
    if (!ok && (cancelled.load() || driver_queued(h) < 0)) {
        return err;
    }
    if (put > 0) {
        stalled = false;
    }
    return static_cast<int>(put);
}

void serial_close()
{
    if (net_port.load()) {
        net_close(LOCK_WAIT_MS);
        return;
    }
    closing = true;
    HANDLE h = port_handle.load();
    if (h != INVALID_HANDLE_VALUE) {
        // PurgeComm does not end a pending read under Wine; cancelling does, on every thread.
        (void)CancelIoEx(h, nullptr);
    }
    // A write gives up once cancelled; should one hold on all the same, the port stays open
    // for the process exit to close.
    std::unique_lock<std::mutex> g(write_mutex, std::defer_lock);
    if (!lock_within(g, LOCK_WAIT_MS)) {
        return;
    }
    h = port_handle.exchange(INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
}

void serial_name_wait(const char* name, uint32_t ms)
{
    if (serial_is_net_name(name) != 0) {
        net_name_wait(ms);  // a server has no folder to watch: the pause the caller asks
        return;
    }
    // COM ports come and go without a folder to watch: a short poll.
    Sleep(ms < SERIAL_NAME_POLL_MS ? ms : SERIAL_NAME_POLL_MS);
}

int serial_same_lost_terminal(const char*)
{
    return 0;  // a COM port's name is the port's own
}

void serial_cancel()
{
    cancelled = true;
    net_cancel();
    HANDLE h = port_handle.load();
    if (h != INVALID_HANDLE_VALUE) {
        (void)CancelIoEx(h, nullptr);  // a write in flight and the waiting read end now
    }
}

}  // namespace plat
