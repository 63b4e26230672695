// sending/sender.cpp: the unattended sending thread: the file of a send request (F5), random
// printable characters while random mode is on (F11), and one countdown step of the scheme tasks
// per cycle. Owns the send request (request_name, request_ready), random_mode and the event
// that wakes the thread when it idles (no request, no active task, random mode off: no cycles
// then, so an idle program does not wake once a second).
// Called by start-up (sender_init, then sending_thread on its own thread). The scheme step
// (sending/scheme) names the tasks that are due; this thread sends their files. Takes no lock for
// its sends: the request is handed over through request_ready (the F5 dialog fills request_name
// only while request_ready is 0 and sets it with a release store; this thread copies the name after
// an acquire load and clears the flag when done).
#include "sending/sender.h"

#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "port/mode.h"
#include "port/port.h"
#include "sending/scheme.h"

constexpr uint8_t SEND_END_CR = 0x0D;            // written after a send request, sent or not
constexpr uint32_t RANDOM_FIRST_CHAR = 32;       // space
constexpr uint32_t RANDOM_CHAR_SPAN = 95;        // space to '~'
constexpr uint32_t RANDOM_BATCH_SPAN_MS = 1000;  // a batch of n characters pauses 1..1000/n ms each

char request_name[plat::FILE_NAME_MAX + 1];
std::atomic<uint8_t> request_ready;
std::atomic<uint8_t> random_mode;
plat::Event* sender_event;

void sender_init()
{
    if (sender_event == nullptr) {
        sender_event = plat::event_create();
    }
    plat::event_reset(sender_event);
    memset(request_name, 0, sizeof request_name);
    request_ready.store(0);
    random_mode.store(0);
}

// "\n<label> ERROR #<err>: <text>\n" for a file that cannot be opened or read.
static void send_report(int err)
{
    plat::console_print("\n%s ERROR #%d: %s\n", program_label(), err, plat::error_text(err));
}

// A random pause of 1..max_delay ms. A max_delay of 0 is taken as 1 rather than dividing by 0.
static void send_pause(uint8_t max_delay)
{
    const uint32_t span = max_delay != 0 ? max_delay : 1;
    plat::sleep_ms(static_cast<uint32_t>(rand()) % span + 1);
}

// Fills chunk the way a buffered stream read does: up to CHUNK_SIZE bytes, short only at the end
// of the file. Sets *at_end when a read found the end. Returns the count, or -error.
static int send_fill(int fd, uint8_t* chunk, bool* at_end)
{
    uint32_t got = 0;
    while (got < CHUNK_SIZE) {
        const int n = plat::file_read(fd, chunk + got, CHUNK_SIZE - got);
        if (n < 0) {
            return n;
        }
        if (n == 0) {
            *at_end = true;
            break;
        }
        got += static_cast<uint32_t>(n);
    }
    return static_cast<int>(got);
}

int send_file(const char* name, uint8_t max_delay, uint8_t chunk_mode)
{
    if (name[0] == '\0') {
        return -1;  // nothing to send and nothing to say
    }
    const int fd = plat::file_open(name, plat::FO_READ_SHARED);
    if (fd < 0) {
        send_report(-fd);
        return -1;
    }
    uint8_t chunk[CHUNK_SIZE];
    bool at_end = false;
    int result = 0;
    // The end shows only when a read finds it: a file whose size is a multiple of the chunk
    // size (an empty one too) ends with a read of nothing, which in chunk mode still costs one
    // zero-byte write and one pause.
    while (!at_end) {
        const int n = send_fill(fd, chunk, &at_end);
        if (n < 0) {
            // A read error stops the send; the bytes of the unfinished chunk are not sent.
            send_report(-n);
            result = -1;
            break;
        }
        if (chunk_mode != 0) {
            port_write_buf(chunk, static_cast<uint32_t>(n));
            send_pause(max_delay);
        } else {
            for (int i = 0; i < n; i++) {
                port_write_byte(chunk[i]);
                send_pause(max_delay);
            }
        }
    }
    (void)plat::file_close(fd);  // read only: nothing to lose
    return result;
}

int send_random(uint32_t n)
{
    // 1000 / n must stay at least 1; a count outside 1..1000 would divide by zero.
    if (n == 0) {
        return 0;
    }
    const uint32_t span = RANDOM_BATCH_SPAN_MS / n != 0 ? RANDOM_BATCH_SPAN_MS / n : 1;
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t c = static_cast<uint32_t>(rand()) % RANDOM_CHAR_SPAN + RANDOM_FIRST_CHAR;
        port_write_byte(static_cast<uint8_t>(c));
        plat::sleep_ms(static_cast<uint32_t>(rand()) % span + 1);
    }
    return 0;
}

void sender_wake()
{
    plat::event_set(sender_event);
}

void send_scheme_step()
{
    char name[plat::FILE_NAME_MAX + 1];
    for (int i = scheme_next_due(0, name); i >= 0; i = scheme_next_due(i + 1, name)) {
        // Byte mode; the result does not matter: the task stays active and fires again after
        // its interval. No CR follows a scheme task's file.
        (void)send_file(name, SEND_MAX_DELAY_MS, 0);
        scheme_reload(i);
    }
}

// What the cycles are for: a send request to serve or a scheme task to count down.
static bool sending_due()
{
    return request_ready.load(std::memory_order_acquire) != 0 || scheme_any_active();
}

void sending_pass()
{
    // While random mode is on no cycle runs: the request waits and the countdowns stand still.
    if (random_mode.load() != 0) {
        (void)send_random(RANDOM_BATCH);
        return;
    }
    if (!sending_due()) {
        // Nothing to count or send: no cycles until F5, F6 or F11 gives work. The reset comes
        // before the second look, so a wake between the two is not lost.
        plat::event_reset(sender_event);
        if (!sending_due() && random_mode.load() == 0) {
            plat::event_wait(sender_event);
        }
        if (random_mode.load() != 0) {
            return;  // random characters start at once
        }
    }
    // A request or a task given while idle is served after one full cycle pause, as if the
    // cycles had run all along.
    plat::sleep_ms(CYCLE_PAUSE_MS);
    if (request_ready.load(std::memory_order_acquire) != 0) {
        // The F5 dialog leaves request_name alone until the flag is cleared below.
        char name[sizeof request_name];
        memcpy(name, request_name, sizeof name);
        name[sizeof name - 1] = '\0';
        (void)send_file(name, SEND_MAX_DELAY_MS, 1);  // a failure has printed its own message
        port_write_byte(SEND_END_CR);
        request_ready.store(0, std::memory_order_release);
    }
    send_scheme_step();
}

void sending_thread()
{
    for (;;) {
        sending_pass();
    }
}
