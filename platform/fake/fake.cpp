// platform/fake/fake.cpp: the scripted backend for unit tests (see fake.h). Single-threaded:
// unit tests drive the system's procedures directly, so the link lock here is a flag that
// catches a double take or a give without a take.
#include "platform/fake/fake.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/serial.h"

plat::LinkLock link_lock;

namespace plat
{

struct Event {
    bool set = false;
};

namespace
{

struct FakeState {
    // port
    bool port_open = false;
    bool lines_up = false;
    std::string line_changes;  // 'U' raised, 'D' dropped, in order
    int purges = 0;
    int is_directory = 0;
    int is_regular = 0;
    std::deque<uint8_t> port_in;
    std::string written;
    std::vector<std::string> writes;
    std::map<std::string, int> port_fail;
    bool cancelled = false;
    // console
    std::string console;
    int clears = 0;
    std::deque<KeyEvent> keys;
    // clock
    uint32_t tick = 0;
    LocalTime local = {0, 0, 0, 0, 2000, 1, 1};
    std::vector<uint32_t> sleeps;
    int blocking_waits = 0;  // event waits on an event not set
    std::function<void(uint32_t)> on_sleep;
    // files
    std::map<std::string, int> file_fail;
    bool files_refused = false;
    // threads
    std::vector<void (*)()> threads;
    bool lock_held = false;
};

FakeState& st()
{
    static FakeState s;
    return s;
}

// -err when op was set to fail (once), else 0.
int take_failure(std::map<std::string, int>& table, const char* op)
{
    auto it = table.find(op);
    if (it == table.end()) {
        return 0;
    }
    int err = it->second;
    table.erase(it);
    return -err;
}

}  // namespace

// ---- test controls -------------------------------------------------------------------------

void fake_files_reset();

void fake_reset()
{
    st() = FakeState{};
    fake_files_reset();
}

void fake_port_feed(const void* bytes, size_t n)
{
    const auto* p = static_cast<const uint8_t*>(bytes);
    st().port_in.insert(st().port_in.end(), p, p + n);
}

void fake_port_feed(const std::string& bytes)
{
    fake_port_feed(bytes.data(), bytes.size());
}

size_t fake_port_queued()
{
    return st().port_in.size();
}

std::string fake_port_written()
{
    return st().written;
}

std::vector<std::string> fake_port_writes()
{
    return st().writes;
}

void fake_port_clear_written()
{
    st().written.clear();
    st().writes.clear();
}

int fake_port_purges()
{
    return st().purges;
}

bool fake_port_open()
{
    return st().port_open;
}

bool fake_port_lines_up()
{
    return st().lines_up;
}

std::string fake_port_line_changes()
{
    return st().line_changes;
}

void fake_port_fail(const char* op, int err)
{
    st().port_fail[op] = err;
}

void fake_port_set_kind(int is_directory, int is_regular_file)
{
    st().is_directory = is_directory;
    st().is_regular = is_regular_file;
}

std::string fake_console_output()
{
    return st().console;
}

void fake_console_clear_output()
{
    st().console.clear();
}

int fake_console_clears()
{
    return st().clears;
}

void fake_keys_push(const KeyEvent& ev)
{
    st().keys.push_back(ev);
}

void fake_clock_set(uint32_t ms)
{
    st().tick = ms;
}

void fake_clock_advance(uint32_t ms)
{
    st().tick += ms;
}

void fake_local_time_set(int hour, int minute, int second, int millisecond)
{
    LocalTime& t = st().local;  // the date stays
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.millisecond = millisecond;
}

void fake_local_date_set(int year, int month, int day)
{
    st().local.year = year;
    st().local.month = month;
    st().local.day = day;
}

std::vector<uint32_t> fake_sleeps()
{
    return st().sleeps;
}

void fake_on_sleep(std::function<void(uint32_t)> hook)
{
    st().on_sleep = std::move(hook);
}

void fake_file_fail(const char* op, int err)
{
    st().file_fail[op] = err;
}

int fake_threads_started()
{
    return static_cast<int>(st().threads.size());
}

int fake_blocking_waits()
{
    return st().blocking_waits;
}

bool fake_event_is_set(Event* e)
{
    return e != nullptr && e->set;
}

bool fake_lock_held()
{
    return st().lock_held;
}

void fake_files_refuse(bool on)
{
    st().files_refused = on;
}

int fake_take_file_failure(const char* op)
{
    if (st().files_refused && std::strcmp(op, "open") == 0) {
        return -EACCES;
    }
    return take_failure(st().file_fail, op);
}

// ---- threads, events, lock -----------------------------------------------------------------

void LinkLock::take()
{
    if (st().lock_held) {
        std::fprintf(stderr, "fake: link lock taken twice\n");
        std::abort();
    }
    st().lock_held = true;
}

bool LinkLock::take_within(uint32_t /*ms*/)
{
    if (st().lock_held) {
        return false;  // no other thread could give it
    }
    st().lock_held = true;
    return true;
}

void LinkLock::give()
{
    if (!st().lock_held) {
        std::fprintf(stderr, "fake: link lock given without a take\n");
        std::abort();
    }
    st().lock_held = false;
}

void LinkLock::assert_held()
{
    if (!st().lock_held) {
        std::fprintf(stderr, "fake: link lock said to be held, and not taken\n");
        std::abort();
    }
}

Event* event_create()
{
    return new Event;
}

void event_set(Event* e)
{
    e->set = true;
}

void event_reset(Event* e)
{
    e->set = false;
}

void event_wait(Event* e)
{
    if (!e->set) {
        st().blocking_waits++;  // returns all the same: the test plays the other threads
    }
}

int thread_start(void (*body)(), ThreadPriority /*prio*/)
{
    int err = take_failure(st().port_fail, "thread");
    if (err != 0) {
        return err;
    }
    st().threads.push_back(body);
    return 0;
}

void sleep_ms(uint32_t ms)
{
    st().sleeps.push_back(ms);
    st().tick += ms;
    if (st().on_sleep) {
        auto hook = st().on_sleep;  // the hook may replace itself
        hook(ms);
    }
}

void process_exit(int code)
{
    throw FakeExit{code};
}

// ---- clock ---------------------------------------------------------------------------------

uint32_t tick_ms()
{
    return st().tick;
}

LocalTime local_time()
{
    return st().local;
}

int64_t time_seconds()
{
    return 1000000;
}

// ---- console -------------------------------------------------------------------------------

void console_init() {}
void console_restore() {}

bool console_end_waiting()
{
    for (const KeyEvent& ev : st().keys) {
        if (ev.key_down != 0 && ev.vk == KEY_END) {
            return true;
        }
    }
    return false;
}

int console_read_keys(KeyEvent* ev, int max)
{
    int n = 0;
    while (n < max && !st().keys.empty()) {
        ev[n++] = st().keys.front();
        st().keys.pop_front();
    }
    return n;
}

void console_write(const void* buf, size_t n)
{
    st().console.append(static_cast<const char*>(buf), n);
}

void console_ending() {}
void console_give_up() {}

void console_clear()
{
    st().clears++;
    st().console.append("\x1b[H\x1b[2J");
}

// ---- serial --------------------------------------------------------------------------------

int serial_is_directory(const char* /*name*/)
{
    return st().is_directory;
}

int serial_open(const char* /*name*/)
{
    int err = take_failure(st().port_fail, "open");
    if (err != 0) {
        return err;
    }
    st().port_open = true;
    return 0;
}

int serial_is_regular_file()
{
    return st().is_regular;
}

int serial_get_state()
{
    return take_failure(st().port_fail, "get_state");
}

int serial_set_state(int32_t baud, bool raise_lines)
{
    int err = take_failure(st().port_fail, "set_state");
    if (err != 0) {
        return err;
    }
    if (baud == 0) {
        return -EINVAL;
    }
    if (raise_lines) {
        serial_set_lines(true);
    }
    return 0;
}

void serial_drop_lines()
{
    serial_set_lines(false);
}

void serial_set_lines(bool up)
{
    st().lines_up = up;
    st().line_changes += up ? 'U' : 'D';
}

void serial_purge()
{
    st().purges++;
}

int serial_wait()
{
    int err = take_failure(st().port_fail, "wait");
    if (err != 0) {
        return err;
    }
    return st().port_in.empty() ? 0 : 1;
}

int serial_queued()
{
    int err = take_failure(st().port_fail, "queued");
    if (err != 0) {
        return err;
    }
    return static_cast<int>(st().port_in.size());
}

int serial_read(uint8_t* buf, uint32_t n)
{
    int err = take_failure(st().port_fail, "read");
    if (err != 0) {
        return err;
    }
    uint32_t k = 0;
    while (k < n && !st().port_in.empty()) {
        buf[k++] = st().port_in.front();
        st().port_in.pop_front();
    }
    return static_cast<int>(k);
}

int serial_write(const uint8_t* buf, uint32_t n)
{
    if (st().cancelled) {
        return -ECANCELED;
    }
    if (int err = take_failure(st().port_fail, "write"); err != 0) {
        return err;
    }
    std::string w(reinterpret_cast<const char*>(buf), n);
    st().written += w;
    st().writes.push_back(w);
    return static_cast<int>(n);
}

int serial_write_byte(uint8_t b)
{
    return serial_write(&b, 1);
}

int serial_write_some(const uint8_t* buf, uint32_t n, uint32_t /*wait_ms*/)
{
    return serial_write(buf, n);
}

void serial_close()
{
    st().port_open = false;
}

void serial_name_wait(const char* /*name*/, uint32_t ms)
{
    sleep_ms(ms);
}

int serial_same_lost_terminal(const char* /*name*/)
{
    return 0;  // the fake's port is no pseudo-terminal
}

void serial_cancel()
{
    st().cancelled = true;
}

}  // namespace plat
