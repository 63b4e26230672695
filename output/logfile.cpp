// output/logfile.cpp: the log file and the capture file. KIVET text reaches the log through
// log_write (unchanged, from the console flush); PASEL text through log_text, a show at a
// time, which wraps the log after 75 columns and copies every character unchanged to the
// capture file.
// Called by start-up, shutdown, the capture dialogs, the console flush and the receive thread,
// always with link_lock held. Write errors on either file are not looked at, by design: the
// device's text goes on to the console whatever becomes of the files.
#include "output/logfile.h"

#include <atomic>
#include <cstring>

#include "platform/files.h"

constexpr uint8_t LOG_CR = 0x0D;  // the only character that starts a new log column count
// Put into the log after LOG_WRAP_COLUMNS characters without a carriage return.
constexpr uint8_t LOG_WRAP_MARK[] = {'!', 0x0D, 0x0A};

// An output file and the bytes written to it since it was opened (the size shown in KB).
struct OutFile {
    int fd;          // -1 when none is open
    uint64_t bytes;  // bytes that reached the file
};

static OutFile log_file GUARDED_BY(link_lock) = {-1, 0};
static OutFile cap_file GUARDED_BY(link_lock) = {-1, 0};
static uint32_t log_column GUARDED_BY(link_lock);  // characters since the last CR or wrap mark
// Wrapped text on its way to the log: the receive thread's 8 KB of text and their wrap marks
// go out in one write.
constexpr uint32_t LOG_OUT_SIZE = 8192 + 8192 / LOG_WRAP_COLUMNS * sizeof LOG_WRAP_MARK + 64;
static uint8_t log_out[LOG_OUT_SIZE] GUARDED_BY(link_lock);

// Set once at the end of the program, read by whichever thread writes: no lock.
static std::atomic<bool> out_given_up{false};

// Writes n bytes and counts those that reached the file; nothing once output is given up.
static void out_put(OutFile* f, const void* buf, uint32_t n)
{
    if (out_given_up.load(std::memory_order_relaxed)) {
        return;
    }
    if (plat::file_write(f->fd, buf, n) == static_cast<int>(n)) {
        f->bytes += n;
    }
}

void output_give_up()
{
    out_given_up = true;
}

static void out_close(OutFile* f)
{
    if (f->fd >= 0) {
        (void)plat::file_close(f->fd);  // nothing to tell anyone at this point
    }
    *f = {-1, 0};
}

// Opens f on name, created or truncated like "wb" (with append, created or kept and written at
// its end like "ab"); a file already open on f is closed first. A failure's errno goes to *err
// when err is given.
static bool out_open(OutFile* f, const char* name, int* err = nullptr, bool append = false)
{
    out_close(f);
    const int fd = plat::file_open(name, append ? plat::FO_APPEND_PLAIN : plat::FO_WRITE_PLAIN);
    if (fd < 0) {
        if (err != nullptr) {
            *err = -fd;
        }
        return false;
    }
    const int64_t size = append ? plat::file_size(fd) : 0;  // a FIFO has none
    *f = {fd, size > 0 ? static_cast<uint64_t>(size) : 0};
    return true;
}

void logfile_init()
{
    // Closes nothing: a file still open belongs to whoever opened it.
    log_file = {-1, 0};
    cap_file = {-1, 0};
    log_column = 0;
}

bool log_open(const char* name, int* err, bool append)
{
    return out_open(&log_file, name, err, append);
}

bool log_is_open()
{
    return log_file.fd >= 0;
}

long log_kb()
{
    return static_cast<long>(log_file.bytes / 1000);
}

void log_close()
{
    out_close(&log_file);  // the column count stays: only a CR or a wrap mark resets it
}

void log_write(const void* buf, uint32_t n)
{
    if (log_file.fd >= 0 && n != 0) {
        out_put(&log_file, buf, n);
    }
}

bool capture_open(const char* name)
{
    return out_open(&cap_file, name);
}

bool capture_is_open()
{
    return cap_file.fd >= 0;
}

long capture_kb()
{
    return static_cast<long>(cap_file.bytes / 1000);
}

void capture_close()
{
    out_close(&cap_file);
}

void log_wrapped(const uint8_t* s, uint32_t n)
{
    if (log_file.fd >= 0) {
        // A run at a time: up to the next CR or the end of the column count, whichever is first.
        uint32_t k = 0;
        uint32_t i = 0;
        while (i < n) {
            if (k > LOG_OUT_SIZE - 1 - sizeof LOG_WRAP_MARK) {
                out_put(&log_file, log_out, k);
                k = 0;
            }
            uint32_t span = n - i;
            span = span < LOG_WRAP_COLUMNS - log_column ? span : LOG_WRAP_COLUMNS - log_column;
            const uint32_t room = LOG_OUT_SIZE - sizeof LOG_WRAP_MARK - k;
            span = span < room ? span : room;
            const void* cr = memchr(s + i, LOG_CR, span);
            if (cr != nullptr) {
                span = static_cast<uint32_t>(static_cast<const uint8_t*>(cr) - (s + i)) + 1;
            }
            memcpy(log_out + k, s + i, span);
            k += span;
            i += span;
            if (cr != nullptr) {
                log_column = 0;
            } else if ((log_column += span) >= LOG_WRAP_COLUMNS) {
                log_column = 0;
                for (const uint8_t m : LOG_WRAP_MARK) {
                    log_out[k++] = m;
                }
            }
        }
        if (k != 0) {
            out_put(&log_file, log_out, k);
        }
    }
}

void capture_write(const uint8_t* s, uint32_t n)
{
    if (cap_file.fd >= 0 && n != 0) {
        out_put(&cap_file, s, n);
    }
}

void log_text(const uint8_t* s, uint32_t n)
{
    log_wrapped(s, n);
    capture_write(s, n);
}
