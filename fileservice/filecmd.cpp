// fileservice/filecmd.cpp: the host file service commands. Each collector takes the argument
// bytes of its command from the stream interpreter and, on the last one, performs the command
// on the PC's files, sends the reply bytes and ends with the status reply. Owns the table of
// files the device holds open and the open-file count; feeds the transfer progress counters. Runs
// on the receive thread with link_lock held.
//
// Handles: slot i of a fixed table of FS_FILES_MAX files is handle i + 1, so a handle is never
// 0 and never 0xFFFF. Free slots are given out round-robin, so a handle just closed is not
// given out again at once and a device that uses it late is refused (status 6) rather than
// served another file. A handle that names no open slot touches nothing and gets status 6.
#include "fileservice/filecmd.h"

#include <cstring>

#include "output/progress.h"
#include "output/trace.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "port/mode.h"
#include "port/port.h"

// Open modes on the wire.
enum OpenMode : uint8_t {
    OM_READ = 1,    // read; must exist; others may read
    OM_CREATE = 2,  // read+write; created, must not exist; no sharing
    OM_UPDATE = 3,  // read+write; must exist; not truncated; no sharing
};

constexpr uint32_t CMD5_ARGS = 5;      // bytes command 5 takes; their values mean nothing
constexpr char RMS_SUFFIX[] = ".RMS";  // names with this ending show no progress
constexpr uint32_t RMS_LEN = sizeof RMS_SUFFIX - 1;

struct FsFile {
    bool used;  // the slot names a file the device has open
    int fd;     // its platform handle; -1 after a failed close (the handle is released all
                // the same), when only a close is taken
};

uint32_t open_file_count;

static FsFile fs_files[FS_FILES_MAX] GUARDED_BY(link_lock);  // the files the device has open
static uint32_t fs_next GUARDED_BY(link_lock);  // slot where the search for a free one starts

static uint8_t open_mode GUARDED_BY(link_lock);   // open: the mode byte
static uint8_t name_len GUARDED_BY(link_lock);    // open: the name length byte
static uint32_t name_fill GUARDED_BY(link_lock);  // open: index of the next byte
static char name_buf[plat::FILE_NAME_MAX + 1] GUARDED_BY(link_lock);  // open: the name and a zero
static uint32_t close_handle GUARDED_BY(link_lock);                   // close: the handle
static uint32_t read_handle GUARDED_BY(link_lock);                    // read: the handle
static uint32_t read_count GUARDED_BY(link_lock);                     // read: bytes asked for
static uint8_t read_buf[FS_READ_MAX] GUARDED_BY(link_lock);           // read: the bytes read
static uint32_t write_handle GUARDED_BY(link_lock);                   // write: the handle
static uint32_t write_count GUARDED_BY(link_lock);                    // write: data bytes announced
static uint32_t write_taken GUARDED_BY(link_lock);                    // write: data bytes taken
static uint32_t write_fill GUARDED_BY(link_lock);                     // write: bytes in write_buf
static uint32_t write_status GUARDED_BY(link_lock);                   // write: first failure, or 0
static uint8_t write_buf[FS_WRITE_MAX] GUARDED_BY(link_lock);         // write: the piece under way

static_assert(plat::FILE_NAME_MAX < 256, "a one-byte name length never overruns name_buf");
static_assert(FS_FILES_MAX < FS_BAD_HANDLE, "handle FS_FILES_MAX is below 0xFFFF");
static_assert(FS_FILES_MAX <= 0xFFFF, "every handle fits the 16-bit reply");

void filecmd_init()
{
    for (FsFile& f : fs_files) {
        if (f.used && f.fd >= 0) {
            (void)plat::file_close(f.fd);  // left open by the device; nobody to tell
        }
        f.used = false;
        f.fd = -1;
    }
    fs_next = 0;
    open_file_count = 0;
    open_mode = 0;
    name_len = 0;
    name_fill = 0;
    name_buf[0] = '\0';
    close_handle = 0;
    read_handle = 0;
    read_count = 0;
    write_handle = 0;
    write_count = 0;
    write_taken = 0;
    write_fill = 0;
    write_status = ST_OK;
}

void filecmd_link_lost()
{
    const uint32_t n = open_file_count;
    filecmd_init();
    if (n != 0) {
        plat::console_print("\r\n%s: Closed %u file%s that the device had open.\n", program_label(),
                            n, n == 1 ? "" : "s");
    }
}

// The slot a handle names, or nullptr when the service has no file open under it.
static FsFile* fs_lookup(uint32_t handle) REQUIRES(link_lock)
{
    if (handle == 0 || handle > FS_FILES_MAX || !fs_files[handle - 1].used) {
        return nullptr;
    }
    return &fs_files[handle - 1];
}

// The platform handle of the file a handle names for reading or writing, or -1.
static int fs_lookup_fd(uint32_t handle) REQUIRES(link_lock)
{
    const FsFile* f = fs_lookup(handle);
    return f == nullptr ? -1 : f->fd;
}

// Index of a free slot, searched round-robin from fs_next, or -1 when all are in use.
static int fs_free_slot() REQUIRES(link_lock)
{
    for (uint32_t i = 0; i < FS_FILES_MAX; ++i) {
        const uint32_t slot = (fs_next + i) % FS_FILES_MAX;
        if (!fs_files[slot].used) {
            return static_cast<int>(slot);
        }
    }
    return -1;
}

void reply_u16(uint32_t v)
{
    const uint8_t b[2] = {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>((v >> 8) & 0xFF)};
    port_write_buf(b, sizeof b);
}

// Performs the open of the n-byte name in name_buf; sets *status, returns the handle.
static uint32_t fs_open(uint32_t n, uint32_t* status) REQUIRES(link_lock)
{
    plat::FileOpen how = plat::FO_READ_SHARED;
    switch (open_mode) {
    case OM_READ:
        how = plat::FO_READ_SHARED;
        break;
    case OM_CREATE:
        how = plat::FO_RW_NEW;
        break;
    case OM_UPDATE:
        how = plat::FO_RW_EXISTING;
        break;
    default:
        *status = ST_INVALID_PARAMETER;  // nothing opened, nothing counted
        return FS_BAD_HANDLE;
    }
    // A NUL would cut the name short and open another file than the one named.
    if (memchr(name_buf, '\0', n) != nullptr) {
        *status = ST_FILE_NOT_FOUND;
        return FS_BAD_HANDLE;
    }
    const int slot = fs_free_slot();
    if (slot < 0) {
        *status = ST_TOO_MANY_OPEN;
        return FS_BAD_HANDLE;
    }
    plat::device_name_to_path(name_buf);
    const int fd = plat::file_serve_open(name_buf, how);
    if (fd < 0) {
        *status = plat::file_status(fd, name_buf);
        return FS_BAD_HANDLE;
    }
    fs_files[slot].used = true;
    fs_files[slot].fd = fd;
    fs_next = (static_cast<uint32_t>(slot) + 1) % FS_FILES_MAX;
    ++open_file_count;
    *status = ST_OK;

    if (n >= RMS_LEN && memcmp(name_buf + n - RMS_LEN, RMS_SUFFIX, RMS_LEN) == 0) {
        progress_quiet();  // the counters of an earlier file stay as they are
    } else {
        // The size only feeds the progress line: a size that cannot be read means no total
        // is known (nothing shown), not a failed open.
        const int64_t size = plat::file_size(fd);
        progress_begin(size < 0 ? 0 : static_cast<uint32_t>(size));  // low 32 bits
    }
    return static_cast<uint32_t>(slot) + 1;
}

uint32_t open_collect(uint32_t step, uint8_t b)
{
    if (step == 0) {
        open_mode = b;
        return FS_MORE;
    }
    if (step == 1) {
        name_len = b;
        name_fill = 0;
        return FS_MORE;
    }
    name_buf[name_fill] = static_cast<char>(b);
    if (name_fill + 1 < name_len) {
        ++name_fill;
        return FS_MORE;
    }
    // Complete; a name length of 0 takes one byte, like a length of 1.
    const uint32_t n = name_fill + 1;
    name_buf[n] = '\0';
    char quoted[4 * plat::FILE_NAME_MAX + 8] = "";
    if (trace_is_on()) {
        (void)trace_quote(name_buf, n, quoted, sizeof quoted);  // as the device gave it
    }
    uint32_t status = ST_OK;
    const uint32_t handle = fs_open(n, &status);
    reply_u16(handle);
    trace_event("open %s mode %u -> handle %u status %u", quoted, open_mode, handle, status);
    return status;
}

uint32_t close_collect(uint32_t step, uint8_t b)
{
    if (step == 0) {
        close_handle = b;
        return FS_MORE;
    }
    close_handle |= static_cast<uint32_t>(b) << 8;

    uint32_t status = ST_OK;
    FsFile* f = fs_lookup(close_handle);
    if (f == nullptr) {
        status = ST_INVALID_HANDLE;
    } else if (const int r = f->fd >= 0 ? plat::file_close(f->fd) : 0; r < 0) {
        // The platform handle is released even by a failed close, so it is never closed
        // again (its number may name another file by then). The device's handle stays
        // counted: its next close of it succeeds and brings the count down.
        f->fd = -1;
        status = plat::file_status(r, nullptr);
    } else {
        f->used = false;
        f->fd = -1;
        --open_file_count;
        progress_end();  // by any close, whichever file had the progress line
        status = ST_OK;
    }
    trace_event("close handle %u -> status %u", close_handle, status);
    return status;
}

uint32_t read_collect(uint32_t step, uint8_t b)
{
    switch (step) {
    case 0:
        read_handle = b;
        return FS_MORE;
    case 1:
        read_handle |= static_cast<uint32_t>(b) << 8;
        return FS_MORE;
    case 2:
        read_count = b;
        return FS_MORE;
    default:
        read_count |= static_cast<uint32_t>(b) << 8;
        break;
    }

    // More than a read buffer asked: one buffer is read and its count replied, which the
    // reply format allows.
    const uint32_t want = read_count < FS_READ_MAX ? read_count : FS_READ_MAX;
    uint32_t got = 0;
    uint32_t status = ST_OK;
    const int fd = fs_lookup_fd(read_handle);
    if (fd < 0) {
        status = ST_INVALID_HANDLE;
    } else if (const int r = plat::file_read(fd, read_buf, want); r < 0) {
        status = plat::file_status(r, nullptr);
    } else {
        got = static_cast<uint32_t>(r);
        progress_add(got);
        status = ST_OK;
    }

    reply_u16(got);
    if (got != 0) {
        port_write_buf(read_buf, got);
        progress_show(LP_FILE_READ);
    }
    trace_event("read handle %u count %u -> %u bytes status %u", read_handle, read_count, got,
                status);
    return status;
}

// Writes the piece collected in write_buf. After a failure nothing more is written: the file
// position did not move past the failed piece, so later pieces would land in the wrong place.
static void write_piece() REQUIRES(link_lock)
{
    const uint32_t n = write_fill;
    write_fill = 0;
    if (write_status != ST_OK) {
        return;
    }
    const int fd = fs_lookup_fd(write_handle);
    if (fd < 0) {
        write_status = ST_INVALID_HANDLE;
        return;
    }
    const int r = plat::file_write(fd, write_buf, n);
    if (r < 0) {
        write_status = plat::file_status(r, nullptr);
    }
}

uint32_t write_collect(uint32_t step, uint8_t b)
{
    switch (step) {
    case 0:
        write_handle = b;
        return FS_MORE;
    case 1:
        write_handle |= static_cast<uint32_t>(b) << 8;
        return FS_MORE;
    case 2:
        write_count = b;
        return FS_MORE;
    case 3:
        write_count |= static_cast<uint32_t>(b) << 8;
        write_taken = 0;
        write_fill = 0;
        write_status = ST_OK;
        return FS_MORE;
    default:
        break;
    }

    // Exactly count data bytes are taken (one for a count of 0, which is not written), so the
    // interpreter stays in step with the device; a count above the buffer is written in pieces.
    write_buf[write_fill++] = b;
    ++write_taken;
    if (write_count == 0) {
        if (fs_lookup_fd(write_handle) < 0) {
            write_status = ST_INVALID_HANDLE;
        }
    } else if (write_fill == FS_WRITE_MAX || write_taken == write_count) {
        write_piece();
    }
    if (write_taken < write_count) {
        return FS_MORE;
    }
    if (write_status == ST_OK) {
        progress_add(write_count);  // a failed write leaves the counters as they were
    }
    trace_event("write handle %u count %u -> status %u", write_handle, write_count, write_status);
    return write_status;
}

uint32_t cmd5_collect(uint32_t step, uint8_t b)
{
    (void)b;  // the bytes mean nothing to the host
    if (step + 1 < CMD5_ARGS) {
        return FS_MORE;
    }
    trace_event("command 5 -> status %u", ST_OK);
    return ST_OK;
}
