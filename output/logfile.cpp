// output/logfile.cpp: the log file and the capture file. KIVET text reaches the log through
// log_write (unchanged, from the console flush); PASEL text through log_char, which wraps the
// log after 75 columns and copies every character unchanged to the capture file.
// Called by start-up, shutdown, the capture dialogs, the console flush and the receive thread,
// always with link_lock held. Write errors on either file are not looked at, by design: the
// device's text goes on to the console whatever becomes of the files.
#include "output/logfile.h"

#include "platform/files.h"

constexpr uint8_t LOG_CR = 0x0D;  // the only character that starts a new log column count
// Put into the log after LOG_WRAP_COLUMNS characters without a carriage return.
constexpr uint8_t LOG_WRAP_MARK[] = {'!', 0x0D, 0x0A};

static int log_fd GUARDED_BY(link_lock) = -1;      // the log file, -1 when none is open
static uint64_t log_bytes GUARDED_BY(link_lock);   // bytes written to it since it was opened
static uint32_t log_column GUARDED_BY(link_lock);  // characters since the last CR or wrap mark
static int cap_fd GUARDED_BY(link_lock) = -1;      // the capture file, -1 when none is open
static uint64_t cap_bytes GUARDED_BY(link_lock);   // bytes written to it since it was opened

// Writes n bytes to fd and counts those that reached it.
static void file_put(int fd, uint64_t* count, const void* buf, uint32_t n)
{
    if (plat::file_write(fd, buf, n) == static_cast<int>(n)) {
        *count += n;
    }
}

static int file_create(const char* name)
{
    return plat::file_open(name, plat::FO_WRITE_PLAIN);  // created or truncated, like "wb"
}

void logfile_init()
{
    // Closes nothing: a file still open belongs to whoever opened it.
    log_fd = -1;
    log_bytes = 0;
    log_column = 0;
    cap_fd = -1;
    cap_bytes = 0;
}

bool log_open(const char* name)
{
    log_close();
    const int fd = file_create(name);
    if (fd < 0) {
        return false;
    }
    log_fd = fd;
    log_bytes = 0;
    return true;
}

bool log_is_open()
{
    return log_fd >= 0;
}

long log_kb()
{
    return static_cast<long>(log_bytes / 1000);
}

void log_close()
{
    // The column count stays as it is: only a CR or a wrap mark resets it.
    if (log_fd >= 0) {
        (void)plat::file_close(log_fd);  // nothing to tell anyone at this point
    }
    log_fd = -1;
    log_bytes = 0;
}

void log_write(const void* buf, uint32_t n)
{
    if (log_fd >= 0 && n != 0) {
        file_put(log_fd, &log_bytes, buf, n);
    }
}

bool capture_open(const char* name)
{
    capture_close();
    const int fd = file_create(name);
    if (fd < 0) {
        return false;
    }
    cap_fd = fd;
    cap_bytes = 0;
    return true;
}

bool capture_is_open()
{
    return cap_fd >= 0;
}

long capture_kb()
{
    return static_cast<long>(cap_bytes / 1000);
}

void capture_close()
{
    if (cap_fd >= 0) {
        (void)plat::file_close(cap_fd);
    }
    cap_fd = -1;
    cap_bytes = 0;
}

void log_char(uint8_t c)
{
    if (log_fd >= 0) {
        // The character and, where it ends a column run, the wrap mark go out in one write.
        uint8_t out[1 + sizeof LOG_WRAP_MARK] = {c};
        uint32_t n = 1;
        if (c == LOG_CR) {
            log_column = 0;
        } else if (++log_column >= LOG_WRAP_COLUMNS) {
            log_column = 0;
            for (const uint8_t m : LOG_WRAP_MARK) {
                out[n++] = m;
            }
        }
        file_put(log_fd, &log_bytes, out, n);
    }
    if (cap_fd >= 0) {
        file_put(cap_fd, &cap_bytes, &c, 1);
    }
}
