// app/dialogs.cpp: the prompt dialogs: F5 (name of a file to send), F6 (add a scheme task:
// number, interval, start time, file name), F7 (delete a scheme task), F8 (list the tasks),
// F9 (name of the capture file) and F10 (end the capture file).
// Owns the prompt flags, the current task number and the capture file name. Called by the key
// handler on the console thread, always with the link lock held: the starters for the hot keys,
// prompt_input for each character while a prompt is on. Echo goes character by character to the
// console device; messages go through console_print; the closing CR goes to the port.
// The sending thread reads what these dialogs fill: the send request (handed over through
// request_ready) and the scheme records (filled while inactive, activated last).
#include "app/dialogs.h"

#include <cstring>

#include "output/logfile.h"
#include "platform/console.h"
#include "port/port.h"
#include "sending/scheme.h"
#include "sending/sender.h"

constexpr uint8_t PROMPT_ENTER = 0x0D;  // ends a name or a number
constexpr uint8_t PROMPT_ERASE = 0x08;  // the only erase character; 0x7F is an ordinary one
constexpr uint8_t ECHO_CR = 0x0D;       // with ECHO_LF, the line end a prompt echoes
constexpr uint8_t ECHO_LF = 0x0A;
constexpr uint8_t DIALOG_END_CR = 0x0D;  // written to the port when a dialog ends

#define DIALOG_RULE "--------------------------------------------------"
constexpr char RULE_OPEN[] = "\n\n" DIALOG_RULE "\n";
constexpr char RULE_CLOSE[] = DIALOG_RULE "\n\n";
static_assert(sizeof DIALOG_RULE - 1 == 50);

char capture_name[plat::FILE_NAME_MAX + 1];

// The prompts that are open, one bit each, in the order in which they take a character: a
// prompt opened while an earlier one runs waits until that one ends.
enum Prompt : uint8_t {
    PROMPT_SEND_FILE = 0x01,   // F5: the request file name
    PROMPT_TASK_NO = 0x02,     // F6: one digit, the task number
    PROMPT_INTERVAL = 0x04,    // F6: digits of the interval
    PROMPT_START_TIME = 0x08,  // F6: digits of the first countdown
    PROMPT_TASK_FILE = 0x10,   // F6: the task's file name
    PROMPT_DELETE = 0x20,      // F7: one digit, the task to stop
    PROMPT_CAPTURE = 0x40,     // F9: the capture file name
};
static uint8_t prompts GUARDED_BY(link_lock);   // the Prompt bits of the open prompts
static uint8_t dlg_task GUARDED_BY(link_lock);  // task number the F6 steps fill, 0..9

// Ends prompt done and, where a step follows, opens the next.
static void prompt_step(Prompt done, uint8_t next = 0) REQUIRES(link_lock)
{
    prompts = static_cast<uint8_t>((prompts & ~done) | next);
}

void dialogs_init()
{
    prompts = 0;
    dlg_task = 0;
    memset(capture_name, 0, sizeof capture_name);
}

bool prompt_active()
{
    return prompts != 0;
}

static bool dialog_is_digit(uint8_t c)
{
    return c >= '0' && c <= '9';
}

// Closes a dialog: the closing rule on the console, a CR to the device.
static void dialog_close()
{
    plat::console_print("%s", RULE_CLOSE);
    port_key_byte(DIALOG_END_CR);
}

// One character for a name prompt: Enter echoes CR LF and returns true; 0x08 erases the last
// character (echo 0x08 ' ' 0x08; only 0x08 when the name is empty); any other character is
// echoed and appended while the name holds fewer than plat::FILE_NAME_MAX, dropped unechoed after.
static bool dialog_name_key(char* name, uint8_t c)
{
    const size_t len = strlen(name);
    if (c == PROMPT_ENTER) {
        plat::console_putc(c);
        plat::console_putc(ECHO_LF);
        return true;
    }
    if (c == PROMPT_ERASE) {
        plat::console_putc(c);
        if (len > 0) {
            plat::console_putc(' ');
            plat::console_putc(PROMPT_ERASE);
            name[len - 1] = '\0';
        }
        return false;
    }
    if (len < plat::FILE_NAME_MAX) {
        plat::console_putc(c);
        name[len] = static_cast<char>(c);
        name[len + 1] = '\0';
    }
    return false;
}

// What a character did to a number prompt.
enum NumberKey : uint8_t {
    NK_DIGIT = 1,  // added to the value
    NK_ENTER = 2,  // the number is complete
    NK_OTHER = 3,  // neither: the dialog ends
};

// One character for a number prompt (interval or start time): echoed, then a digit makes the
// value value * 10 + digit modulo 256 and Enter echoes LF after its CR.
static NumberKey dialog_number_key(std::atomic<uint8_t>& value, uint8_t c)
{
    plat::console_putc(c);
    if (c == PROMPT_ENTER) {
        plat::console_putc(ECHO_LF);
        return NK_ENTER;
    }
    if (dialog_is_digit(c)) {
        value.store(static_cast<uint8_t>(value.load() * 10 + (c - '0')));
        return NK_DIGIT;
    }
    return NK_OTHER;
}

static void dialog_send_file_input(uint8_t c) REQUIRES(link_lock)
{
    if (dialog_name_key(request_name, c)) {
        prompt_step(PROMPT_SEND_FILE);
        // Hands the name to the sending thread, also when it is empty (it then sends a CR).
        request_ready.store(1, std::memory_order_release);
        sender_wake();
    }
}

static void dialog_task_no_input(uint8_t c) REQUIRES(link_lock)
{
    plat::console_putc(c);
    plat::console_putc(ECHO_CR);
    plat::console_putc(ECHO_LF);
    prompt_step(PROMPT_TASK_NO);
    if (!dialog_is_digit(c)) {
        return;  // the dialog ends without a word
    }
    dlg_task = static_cast<uint8_t>(c - '0');
    scheme_clear_task(dlg_task);  // the old task in this slot is gone even if the dialog stops
    plat::console_print("Input the intervene:");
    prompts |= PROMPT_INTERVAL;
}

static void dialog_interval_input(uint8_t c) REQUIRES(link_lock)
{
    switch (dialog_number_key(scheme_table[dlg_task].interval, c)) {
    case NK_ENTER:
        plat::console_print("\nInput start time(s):");
        prompt_step(PROMPT_INTERVAL, PROMPT_START_TIME);
        return;
    case NK_DIGIT:
        return;
    case NK_OTHER:
        prompt_step(PROMPT_INTERVAL);
        dialog_close();  // the record stays cleared and inactive
        return;
    }
}

static void dialog_start_time_input(uint8_t c) REQUIRES(link_lock)
{
    switch (dialog_number_key(scheme_table[dlg_task].countdown, c)) {
    case NK_ENTER:
        plat::console_print("\nInput filename:");
        prompt_step(PROMPT_START_TIME, PROMPT_TASK_FILE);
        return;
    case NK_DIGIT:
        return;
    case NK_OTHER:
        prompt_step(PROMPT_START_TIME);
        dialog_close();
        return;
    }
}

static void dialog_task_file_input(uint8_t c) REQUIRES(link_lock)
{
    SchemeTask& t = scheme_table[dlg_task];
    if (!dialog_name_key(t.name, c)) {
        return;
    }
    // Activated last, so that the sending thread never sees a half-entered record; a task
    // with interval 0 would fire every 256 cycles against the user's wish and stays inactive.
    if (t.interval.load() != 0) {
        t.active.store(1, std::memory_order_release);
        sender_wake();
    }
    prompt_step(PROMPT_TASK_FILE);
    dialog_close();
}

static void dialog_delete_input(uint8_t c) REQUIRES(link_lock)
{
    plat::console_putc(c);
    plat::console_putc(ECHO_CR);
    plat::console_putc(ECHO_LF);
    if (dialog_is_digit(c)) {
        scheme_table[c - '0'].active.store(0);  // interval, countdown and name stay
    }
    prompt_step(PROMPT_DELETE);
    dialog_close();
}

static void dialog_capture_input(uint8_t c) REQUIRES(link_lock)
{
    if (!dialog_name_key(capture_name, c)) {
        return;
    }
    if (capture_name[0] != '\0') {
        // The message is printed whether or not the open succeeded; a failed open leaves no
        // capture file, and F10 then does nothing.
        (void)capture_open(capture_name);
        plat::console_print("Capture file :\"%s\"\n", capture_name);
    }
    port_key_byte(DIALOG_END_CR);
    prompt_step(PROMPT_CAPTURE);
}

void prompt_input(uint8_t c)
{
    // Only the first prompt that is open takes the character.
    switch (prompts & -prompts) {
    case PROMPT_SEND_FILE:
        dialog_send_file_input(c);
        break;
    case PROMPT_TASK_NO:
        dialog_task_no_input(c);
        break;
    case PROMPT_INTERVAL:
        dialog_interval_input(c);
        break;
    case PROMPT_START_TIME:
        dialog_start_time_input(c);
        break;
    case PROMPT_TASK_FILE:
        dialog_task_file_input(c);
        break;
    case PROMPT_DELETE:
        dialog_delete_input(c);
        break;
    case PROMPT_CAPTURE:
        dialog_capture_input(c);
        break;
    default:
        break;  // no prompt is open
    }
}

void dialog_send_file_start()
{
    // The sending thread reads request_name from the moment it sees request_ready until it
    // clears the flag; a second F5 while a request is still pending is refused without a
    // message, so that the name is never changed under the thread's feet.
    if (request_ready.load(std::memory_order_acquire) != 0) {
        return;
    }
    plat::console_print("\r\nInput filename:");
    memset(request_name, 0, sizeof request_name);
    prompts |= PROMPT_SEND_FILE;
}

void dialog_add_task_start()
{
    plat::console_print("%sAdd a scheme task.\nInput the no[0-9]:", RULE_OPEN);
    prompts |= PROMPT_TASK_NO;
}

void dialog_delete_task_start()
{
    plat::console_print("%sDelete a scheme task[0-9]:", RULE_OPEN);
    prompts |= PROMPT_DELETE;
}

void dialog_task_list()
{
    plat::console_print("%sScheme task list:\n", RULE_OPEN);
    plat::console_print("    TASK NO.  INTERVENE  LAST_TIME  FILENAME\n");
    int shown = 0;
    for (int i = 0; i < SCHEME_TASKS; i++) {
        const SchemeTask& t = scheme_table[i];
        if (t.active.load() != 1) {
            continue;
        }
        plat::console_print("%10d%10d(s)%8d(s)  %s\n", i, t.interval.load(), t.countdown.load(),
                            t.name);
        shown++;
    }
    if (shown == 0) {
        plat::console_print("      NULL      NULL(s)   NULL(s)\n");
    }
    dialog_close();
}

void dialog_capture_start()
{
    // A capture file still open is ended first, with F10's message and CR: otherwise its name
    // would be lost here and a completed prompt would replace it without closing it.
    dialog_capture_end();
    plat::console_print("\r\nInput filename:");
    memset(capture_name, 0, sizeof capture_name);
    prompts |= PROMPT_CAPTURE;
}

void dialog_capture_end()
{
    if (!capture_is_open()) {
        return;
    }
    plat::console_print("\nCapture file :\"%s\" (%d KB)\n", capture_name,
                        static_cast<int>(capture_kb()));
    capture_close();
    port_key_byte(DIALOG_END_CR);
}
