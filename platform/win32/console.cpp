// platform/win32/console.cpp: the console on Windows. Keys: console input records in mode 0
// (no line editing, no echo, Ctrl+C a key like any other), handed over as they are; when
// standard input is not a console (a pipe, a file), its bytes go through keydecode as on Linux,
// read by a thread of their own so that the lone-ESC pause can be timed. Ctrl+Break, closing
// the console, logoff and shutdown arrive as an End key through the control handler. Output:
// standard output, one mutex keeping the order of the calls.
#include "platform/console.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
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

std::mutex out_mutex;
HANDLE out_handle = INVALID_HANDLE_VALUE;
std::atomic<bool> out_given_up{false};
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
DWORD pipe_fill;
bool pipe_ended;
bool input_over;  // console thread only: the pipe has ended and all of it is decoded

KeyQueue pending;  // decoded events waiting for the next read (console thread only)

BOOL WINAPI on_control(DWORD type)
{
    end_seen = true;
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
        for (DWORD i = 0; i < got; ++i) {
            pipe_buf[pipe_fill++] = buf[i];
        }
        SetEvent(pipe_event);
    }
}

void write_all(const void* buf, size_t n)
{
    if (out_handle == INVALID_HANDLE_VALUE) {
        out_handle = GetStdHandle(STD_OUTPUT_HANDLE);  // messages before console_init
    }
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        DWORD put = 0;
        DWORD want = n > 0x10000 ? 0x10000 : static_cast<DWORD>(n);
        if (out_given_up.load() || !WriteFile(out_handle, p, want, &put, nullptr) || put == 0) {
            return;  // the console is gone (or nobody reads it, and the program ends)
        }
        p += put;
        n -= put;
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

// Bytes of a pipe: through the decoder; a pause with nothing read ends a lone ESC.
void read_pipe_bytes(bool timed_out)
{
    KeyEvent got[KEYDECODE_MAX_EVENTS];
    uint8_t buf[PIPE_BUF_SIZE];
    DWORD n = 0;
    bool ended = false;
    {
        // Only as many bytes as the queue surely takes once decoded; the rest wait in pipe_buf.
        std::lock_guard<std::mutex> g(pipe_mutex);
        const DWORD fit = static_cast<DWORD>(keyqueue_room(&pending) / KEYDECODE_MAX_EVENTS);
        n = pipe_fill < fit ? pipe_fill : fit;
        for (DWORD i = 0; i < n; ++i) {
            buf[i] = pipe_buf[i];
        }
        for (DWORD i = n; i < pipe_fill; ++i) {
            pipe_buf[i - n] = pipe_buf[i];
        }
        pipe_fill -= n;
        ended = pipe_ended && pipe_fill == 0;
        if (!pipe_ended && pipe_fill == 0) {
            ResetEvent(pipe_event);
        }
    }
    for (DWORD i = 0; i < n; ++i) {
        keyqueue_push(&pending, got, keydecode_byte(buf[i], got));
    }
    if ((n == 0 && timed_out) || ended) {
        keyqueue_push(&pending, got, keydecode_idle(got));
    }
}

}  // namespace

void console_init()
{
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
    return keyqueue_has_end(&pending);
}

int console_read_keys(KeyEvent* ev, int max)
{
    for (;;) {
        if (end_seen.load()) {
            ev[0] = KeyEvent{1, KEY_END, 0, 0};
            return 1;
        }
        if (pending.count > 0) {
            return keyqueue_take(&pending, ev, max);
        }
        HANDLE wait[2] = {end_event, in_is_console ? in_handle : pipe_event};
        DWORD count = wait[1] != nullptr && !input_over ? 2 : 1;
        DWORD timeout = !in_is_console && keydecode_pending() ? ESC_PAUSE_MS : INFINITE;
        DWORD r = WaitForMultipleObjects(count, wait, FALSE, timeout);
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

void console_give_up()
{
    out_given_up = true;
    // A write blocked on a pipe nobody drains ends now; the writer then sees the flag.
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
