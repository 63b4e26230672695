// fileservice/interpreter.cpp: the KIVET stream interpreter. Every byte the device sends in
// KIVET mode passes through interp_byte (interp_chunk takes runs of plain text at once), which
// sends it to the console text buffer (with a time stamp at the start of each line when the option
// is on), clears the screen on ESC 'E', or, after 0x02 and a command code, hands it to the argument
// collector of the file service command under way. Its state survives between chunks and mode
// switches, so anything may arrive split. KIVET mode's front door, kivet_chunk, runs a chunk
// read from the port through it between an empty text buffer and one console flush. Called by
// the receive thread with link_lock held.
#include "fileservice/interpreter.h"

#include "fileservice/filecmd.h"
#include "output/text.h"
#include "output/trace.h"
#include "output/view.h"
#include "platform/console.h"

constexpr uint8_t TEXT_CLEAR = 0x45;  // 'E': after ESC, clears the screen
constexpr uint8_t TEXT_CR = 0x0D;     // ends a line: the next line gets a time stamp
constexpr uint8_t TEXT_LF = 0x0A;     // never stamped, never takes a pending stamp

static CmdState cmd_state GUARDED_BY(link_lock);  // which consumer gets the next byte
static uint32_t arg_step GUARDED_BY(link_lock);   // argument bytes of the command taken so far
static bool esc_pending GUARDED_BY(link_lock);    // ESC seen in text: next text byte is its
static bool stamp_pending GUARDED_BY(link_lock);  // a CR came with time stamps on

void interp_init()
{
    cmd_state = CS_TEXT;
    esc_pending = false;
    stamp_pending = false;
    arg_step = 0;
}

// Text state: the first test that matches decides.
static void text_byte(uint8_t b) REQUIRES(link_lock)
{
    if (b == CMD_INTRO) {
        cmd_state = CS_CODE;
        return;
    }
    if (b == TEXT_ESC) {
        esc_pending = true;  // ESC ESC: the second one only waits again
        return;
    }
    if (esc_pending) {
        // ESC and the byte after it are dropped whatever that byte is; only 'E' does something.
        esc_pending = false;
        if (b == TEXT_CLEAR) {
            plat::console_clear();
        }
        return;
    }
    if (stamp_pending && b != TEXT_LF && b != TEXT_CR) {
        text_append_stamp(timestamp_text());
        stamp_pending = false;
    }
    text_append(b);  // every byte that gets here, control bytes and NUL included
    trace_text(1);
    if (minute_stamps_on() && b == TEXT_CR) {
        stamp_pending = true;
    }
}

// Command code state: an unknown code (0x02 included) is dropped without a reply.
static void code_byte(uint8_t b) REQUIRES(link_lock)
{
    arg_step = 0;
    switch (b) {
    case FS_OPEN:
        cmd_state = CS_OPEN;
        return;
    case FS_CLOSE:
        cmd_state = CS_CLOSE;
        return;
    case FS_READ:
        cmd_state = CS_READ;
        return;
    case FS_WRITE:
        cmd_state = CS_WRITE;
        return;
    case FS_CMD5:
        cmd_state = CS_CMD5;
        return;
    default:
        trace_repeat("unknown command 0x%02x dropped", b);
        cmd_state = CS_TEXT;
        return;
    }
}

void interp_byte(uint8_t b)
{
    // In an argument state every byte, 0x02 and ESC included, belongs to the command; only its
    // status reply leads back to text.
    uint32_t status = FS_MORE;
    switch (cmd_state) {
    case CS_TEXT:
        text_byte(b);
        return;
    case CS_CODE:
        code_byte(b);
        return;
    case CS_OPEN:
        status = open_collect(arg_step++, b);
        break;
    case CS_CLOSE:
        status = close_collect(arg_step++, b);
        break;
    case CS_READ:
        status = read_collect(arg_step++, b);
        break;
    case CS_WRITE:
        status = write_collect(arg_step++, b);
        break;
    case CS_CMD5:
        status = cmd5_collect(arg_step++, b);
        break;
    }
    if (status != FS_MORE) {
        status_reply(status);
    }
}

// A byte that, in text with no ESC and no stamp pending, is only appended and changes no state:
// anything but 0x02, ESC and, while "mm:ss.hh " stamps are on, CR.
static bool plain_text(uint8_t b) REQUIRES(link_lock)
{
    return b > TEXT_ESC ||
           (b != CMD_INTRO && b != TEXT_ESC && (b != TEXT_CR || !minute_stamps_on()));
}

void interp_chunk(const uint8_t* buf, uint32_t n)
{
    uint32_t i = 0;
    while (i < n) {
        if (cmd_state == CS_TEXT && !esc_pending && !stamp_pending) {
            uint32_t end = i;
            while (end < n && plain_text(buf[end])) {
                ++end;
            }
            if (end > i) {
                text_append_run(buf + i, end - i);
                trace_text(end - i);
                i = end;
                continue;
            }
        }
        interp_byte(buf[i++]);  // the byte that ends the run, or any byte outside text
    }
}

void kivet_chunk(const uint8_t* buf, uint32_t n)
{
    text_empty();
    interp_chunk(buf, n);
    trace_text_end();
    text_flush();
}

void kivet_link_lost()
{
    interp_init();
    filecmd_link_lost();
}

void status_reply(uint32_t status_word)
{
    reply_u16(status_word);
    cmd_state = CS_TEXT;
}

CmdState interp_state()
{
    return cmd_state;
}

uint32_t interp_arg_step()
{
    return arg_step;
}
