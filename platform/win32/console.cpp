// platform/win32/console.cpp: the console on Windows. Keys: console input records in mode 0
// (no line editing, no echo, Ctrl+C a key like any other), handed over as they are; when
// standard input is not a console (a pipe, a file), its bytes go through keydecode as on Linux,
// read by a thread of their own so that the lone-ESC pause can be timed. Ctrl+Break, closing
// the console, logoff and shutdown arrive as an End key through the control handler. Output:
// standard output, one mutex keeping the order of the calls, written by a thread of its own so
// that a write the console does not take can be left behind once the program ends: Windows has
// no sure way to end a blocked write to a pipe (under Wine neither CancelIoEx nor
// CancelSynchronousIo ends it).
#include "platform/console.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/keydecode.h"

namespace plat
{

// Console input records go to the key handler as they are: the key codes and modifier flags of
// platform/console.h are the system's own values.
static_assert(KEY_BACK == VK_BACK && KEY_RETURN == VK_RETURN && KEY_ESCAPE == VK_ESCAPE &&
              KEY_PRIOR == VK_PRIOR && KEY_END == VK_END && KEY_LEFT == VK_LEFT &&
              KEY_DOWN == VK_DOWN && KEY_DELETE == VK_DELETE && KEY_F1 == VK_F1 &&
              KEY_F12 == VK_F12);
static_assert(KEY_RIGHT_ALT == RIGHT_ALT_PRESSED && KEY_LEFT_ALT == LEFT_ALT_PRESSED &&
              KEY_RIGHT_CTRL == RIGHT_CTRL_PRESSED && KEY_LEFT_CTRL == LEFT_CTRL_PRESSED &&
              KEY_SHIFT == SHIFT_PRESSED);

namespace
{

constexpr DWORD ESC_PAUSE_MS = 50;  // a lone ESC followed by this much silence is the Esc key
constexpr int RECORDS_MAX = 64;     // console input records read at a time
constexpr DWORD PIPE_BUF_SIZE = 4096;
constexpr DWORD OUT_CHUNK = 0x10000;  // bytes handed to the writer at a time
constexpr DWORD OUT_SLICE_MS = 100;   // a caller whose write waits looks again this often
// From End or a signal on, a write still waiting this long after it, or waiting a slice after
// that, is left behind: the console's last chance to drain.
constexpr ULONGLONG END_GRACE_MS = 500;

std::mutex out_mutex;  // callers, in the order of the calls
HANDLE out_handle = INVALID_HANDLE_VALUE;
std::atomic<bool> out_given_up{false};
std::atomic<ULONGLONG> out_deadline{0};  // End or a signal + END_GRACE_MS, 0 before either
thread_local bool on_console_thread;     // the thread that called console_init

// The writer thread and its one job, under w_mutex: w_buf (the writer's alone while w_busy)
// goes to w_handle; w_ok says how it went.
std::mutex w_mutex;
std::condition_variable w_changed;
bool w_started;
bool w_busy;
bool w_ok;
HANDLE w_handle;
DWORD w_len;
char w_buf[OUT_CHUNK];
bool out_is_console;
HANDLE in_handle = INVALID_HANDLE_VALUE;
bool in_is_console;
bool saved_valid;
DWORD saved_mode;
HANDLE end_event;  // set by the control handler
std::atomic<bool> end_seen{false};

// Standard input that is not a console: the reader thread fills pipe_buf under pipe_mutex and
// sets pipe_event; the console thread empties it.
std::mutex pipe_mutex;
HANDLE pipe_event;
uint8_t pipe_buf[PIPE_BUF_SIZE];
DWORD pipe_time[PIPE_BUF_SIZE];  // when each byte arrived (GetTickCount)
DWORD pipe_fill;
bool pipe_ended;
bool input_over;  // console thread only: the pipe has ended and all of it is decoded

// Console thread only: decoded events waiting for the next read, and when the last byte of the
// pipe's decoder's open sequence arrived.
KeyQueue pending;
DWORD pending_since;

void ending_arm()
{
    ULONGLONG none = 0;
    (void)out_deadline.compare_exchange_strong(none, GetTickCount64() + END_GRACE_MS);
}

BOOL WINAPI on_control(DWORD type)
{
    end_seen = true;
    ending_arm();
    SetEvent(end_event);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this returns: let the shutdown run first (process_exit ends
        // the process; the system ends it anyway after its grace time).
        Sleep(INFINITE);
    }
    return TRUE;
}

DWORD WINAPI pipe_reader(LPVOID)
{
    uint8_t buf[PIPE_BUF_SIZE];
    for (;;) {
        DWORD room;
        {
            std::lock_guard<std::mutex> g(pipe_mutex);
            room = PIPE_BUF_SIZE - pipe_fill;
        }
        if (room == 0) {
            Sleep(ESC_PAUSE_MS);  // the console thread has not taken the last batch yet
            continue;
        }
        DWORD got = 0;
        BOOL ok = ReadFile(in_handle, buf, room, &got, nullptr);
        std::lock_guard<std::mutex> g(pipe_mutex);
        if (!ok || got == 0) {
            pipe_ended = true;  // the program goes on serving the device until End
            SetEvent(pipe_event);
            return 0;
        }
        const DWORD now = GetTickCount();
        for (DWORD i = 0; i < got; ++i) {
            pipe_time[pipe_fill] = now;
            pipe_buf[pipe_fill++] = buf[i];
        }
        SetEvent(pipe_event);
    }
}

DWORD WINAPI out_writer(LPVOID)
{
    std::unique_lock<std::mutex> g(w_mutex);
    for (;;) {
        w_changed.wait(g, [] { return w_busy; });
        const HANDLE h = w_handle;
        const DWORD len = w_len;
        g.unlock();
        bool ok = true;
        for (DWORD done = 0; done < len && ok;) {
            DWORD put = 0;
            ok = WriteFile(h, w_buf + done, len - done, &put, nullptr) && put > 0;
            done += put;
        }
        g.lock();
        w_ok = ok;
        w_busy = false;
        w_changed.notify_all();
    }
}

void input_look();

// Milliseconds a write waiting since `since` may still wait before it is left behind (0: now),
// or OUT_SLICE_MS while the program is not ending.
DWORD wait_ms_left(ULONGLONG since)
{
    const ULONGLONG d = out_deadline.load();
    if (d == 0) {
        return OUT_SLICE_MS;
    }
    const ULONGLONG give_up = std::max(d, since + OUT_SLICE_MS);
    const ULONGLONG now = GetTickCount64();
    return now >= give_up ? 0
                          : static_cast<DWORD>(std::min<ULONGLONG>(give_up - now, OUT_SLICE_MS));
}

// Hands up to OUT_CHUNK bytes to the writer and waits until they are written; false when the
// console is gone or has been given up. While it waits, an End typed (the caller may be the
// console thread) arms the deadline.
bool write_chunk(const char* p, DWORD n)
{
    std::unique_lock<std::mutex> g(w_mutex);
    if (!w_started) {
        const HANDLE t = CreateThread(nullptr, 0, out_writer, nullptr, 0, nullptr);
        if (t == nullptr) {
            DWORD put = 0;  // no writer: the caller writes, as it can
            return WriteFile(out_handle, p, n, &put, nullptr) && put == n;
        }
        CloseHandle(t);
        w_started = true;
    }
    std::memcpy(w_buf, p, n);
    w_handle = out_handle;
    w_len = n;
    w_busy = true;
    w_changed.notify_all();
    const ULONGLONG since = GetTickCount64();
    for (DWORD left = OUT_SLICE_MS; w_busy; left = wait_ms_left(since)) {
        if (left == 0 || out_given_up.load()) {
            out_given_up = true;  // the console did not take it in time: the rest is dropped
            return false;         // the writer keeps its copy until the write ends, if ever
        }
        if (w_changed.wait_for(g, std::chrono::milliseconds(left), [] { return !w_busy; })) {
            break;
        }
        if (on_console_thread && out_deadline.load() == 0) {
            g.unlock();
            input_look();
            if (end_seen.load() || keyqueue_has_end(&pending)) {
                ending_arm();
            }
            g.lock();
        }
    }
    return w_ok;
}

void write_all(const void* buf, size_t n)
{
    if (out_handle == INVALID_HANDLE_VALUE) {
        out_handle = GetStdHandle(STD_OUTPUT_HANDLE);  // messages before console_init
    }
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        const DWORD want = n > OUT_CHUNK ? OUT_CHUNK : static_cast<DWORD>(n);
        if (out_given_up.load() || !write_chunk(p, want)) {
            return;  // the console is gone (or nobody reads it, and the program ends)
        }
        p += want;
        n -= want;
    }
}

// Console input records: key events as they are, other records skipped. Reads no more records
// than the queue can take (a key's repeat count beyond its room is the only thing cut).
void read_console_records()
{
    INPUT_RECORD rec[RECORDS_MAX];
    DWORD got = 0;
    const int room = keyqueue_room(&pending);
    if (room <= 0) {
        return;
    }
    const DWORD want = room < RECORDS_MAX ? static_cast<DWORD>(room) : RECORDS_MAX;
    if (!ReadConsoleInputA(in_handle, rec, want, &got)) {
        Sleep(ESC_PAUSE_MS);  // no input to read after all: do not spin
        return;
    }
    for (DWORD i = 0; i < got; ++i) {
        if (rec[i].EventType != KEY_EVENT) {
            continue;
        }
        const KEY_EVENT_RECORD& k = rec[i].Event.KeyEvent;
        KeyEvent ev{static_cast<uint8_t>(k.bKeyDown ? 1 : 0), k.wVirtualKeyCode,
                    static_cast<uint8_t>(k.uChar.AsciiChar), k.dwControlKeyState};
        for (WORD r = 0; r < (k.wRepeatCount > 0 ? k.wRepeatCount : 1); ++r) {
            keyqueue_push(&pending, &ev, 1);
        }
    }
}

// Bytes of a pipe: through the decoder; a pause with nothing read ends a lone ESC, and so does
// a pause before a byte, timed by the bytes' arrival however late they are decoded.
void read_pipe_bytes(bool timed_out)
{
    KeyEvent got[KEYDECODE_MAX_EVENTS];
    uint8_t buf[PIPE_BUF_SIZE];
    DWORD at[PIPE_BUF_SIZE];
    DWORD n = 0;
    bool ended = false;
    {
        // Only as many bytes as the queue surely takes once decoded; the rest wait in pipe_buf.
        std::lock_guard<std::mutex> g(pipe_mutex);
        const DWORD fit = static_cast<DWORD>(keyqueue_room(&pending) / KEYDECODE_MAX_EVENTS);
        n = pipe_fill < fit ? pipe_fill : fit;
        for (DWORD i = 0; i < n; ++i) {
            buf[i] = pipe_buf[i];
            at[i] = pipe_time[i];
        }
        for (DWORD i = n; i < pipe_fill; ++i) {
            pipe_buf[i - n] = pipe_buf[i];
            pipe_time[i - n] = pipe_time[i];
        }
        pipe_fill -= n;
        ended = pipe_ended && pipe_fill == 0;
        if (!pipe_ended && pipe_fill == 0) {
            ResetEvent(pipe_event);
        }
    }
    for (DWORD i = 0; i < n; ++i) {
        if (keydecode_pending() && at[i] - pending_since >= ESC_PAUSE_MS) {
            keyqueue_push(&pending, got, keydecode_idle(got));
        }
        keyqueue_push(&pending, got, keydecode_byte(buf[i], got));
        pending_since = at[i];
    }
    if ((n == 0 && timed_out) || ended) {
        keyqueue_push(&pending, got, keydecode_idle(got));
    }
}

// Milliseconds until the pipe decoder's open sequence has been silent for the Esc pause (0: it
// has), INFINITE when none is open.
DWORD pause_ms_left()
{
    if (in_is_console || !keydecode_pending()) {
        return INFINITE;
    }
    const DWORD quiet = GetTickCount() - pending_since;
    return quiet >= ESC_PAUSE_MS ? 0 : ESC_PAUSE_MS - quiet;
}

// Takes in the input waiting, without waiting: console records, or the pipe's bytes.
void input_look()
{
    if (in_is_console) {
        while (keyqueue_room(&pending) > 0 && WaitForSingleObject(in_handle, 0) == WAIT_OBJECT_0) {
            DWORD before = 0;
            if (!GetNumberOfConsoleInputEvents(in_handle, &before) || before == 0) {
                break;
            }
            read_console_records();
        }
    } else if (pipe_event != nullptr && !input_over &&
               WaitForSingleObject(pipe_event, 0) == WAIT_OBJECT_0) {
        read_pipe_bytes(false);
        std::lock_guard<std::mutex> g(pipe_mutex);
        input_over = pipe_ended && pipe_fill == 0;
    }
}

}  // namespace

void console_init()
{
    on_console_thread = true;
    keydecode_init();
    end_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_control, TRUE);
    out_handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    out_is_console = GetConsoleMode(out_handle, &mode) != 0;
    in_handle = GetStdHandle(STD_INPUT_HANDLE);
    in_is_console = GetConsoleMode(in_handle, &saved_mode) != 0;
    if (in_is_console) {
        saved_valid = true;
        std::atexit(console_restore);
        // Mode 0: no processed input (Ctrl+C is the key 0x03), no line input, no echo.
        (void)SetConsoleMode(in_handle, 0);
        (void)FlushConsoleInputBuffer(in_handle);
    } else if (in_handle != nullptr && in_handle != INVALID_HANDLE_VALUE) {
        pipe_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE t = CreateThread(nullptr, 0, pipe_reader, nullptr, 0, nullptr);
        if (t != nullptr) {
            CloseHandle(t);
        }
    }
}

void console_restore()
{
    if (saved_valid) {
        (void)SetConsoleMode(in_handle, saved_mode);
    }
}

bool console_end_waiting()
{
    if (end_seen.load()) {
        return true;
    }
    input_look();
    return keyqueue_has_end(&pending);
}

int console_read_keys(KeyEvent* ev, int max)
{
    for (;;) {
        if (end_seen.load()) {
            ev[0] = KeyEvent{1, KEY_END, 0, 0};
            return 1;
        }
        if (keyqueue_count(&pending) > 0) {
            return keyqueue_take(&pending, ev, max);
        }
        HANDLE wait[2] = {end_event, in_is_console ? in_handle : pipe_event};
        DWORD count = wait[1] != nullptr && !input_over ? 2 : 1;
        DWORD r = WaitForMultipleObjects(count, wait, FALSE, pause_ms_left());
        if (r == WAIT_OBJECT_0) {
            continue;  // the control handler: End, above
        }
        if (in_is_console) {
            if (r == WAIT_OBJECT_0 + 1) {
                read_console_records();
            }
            continue;
        }
        if (count == 1) {
            continue;  // no standard input at all: End only
        }
        read_pipe_bytes(r == WAIT_TIMEOUT);
        std::lock_guard<std::mutex> g(pipe_mutex);
        // Input is over: wait for End alone from now on.
        input_over = pipe_ended && pipe_fill == 0;
    }
}

void console_write(const void* buf, size_t n)
{
    std::lock_guard<std::mutex> g(out_mutex);
    write_all(buf, n);
}

void console_ending()
{
    ending_arm();
}

void console_give_up()
{
    out_given_up = true;
    // A caller whose write waits stops waiting at its next look; where the system can end the
    // blocked write itself (Windows, not Wine), it ends now.
    const HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) {
        (void)CancelIoEx(h, nullptr);
    }
}

void console_clear()
{
    std::lock_guard<std::mutex> g(out_mutex);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!out_is_console || !GetConsoleScreenBufferInfo(out_handle, &info)) {
        static const char clear[] = "\x1b[H\x1b[2J";  // a terminal or a file: the sequence
        write_all(clear, sizeof clear - 1);
        return;
    }
    const COORD home{0, 0};
    const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
    DWORD done = 0;
    (void)FillConsoleOutputCharacterA(out_handle, ' ', cells, home, &done);
    (void)FillConsoleOutputAttribute(out_handle, info.wAttributes, cells, home, &done);
    (void)SetConsoleCursorPosition(out_handle, home);
}

}  // namespace plat
