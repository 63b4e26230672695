// tools/devsim/shell.cpp: line editor, command parser and command shell of the emulated device.
// Runs on the emulator's one thread; every command finishes before the next byte is read.
#include "tools/devsim/shell.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

namespace devsim
{

namespace
{

constexpr uint8_t KEY_CTRL_C = 0x03;
constexpr uint8_t KEY_BS = 0x08;
constexpr uint8_t KEY_DEL = 0x7F;
constexpr uint8_t KEY_ESC = 0x1B;
constexpr char ERASE_ONE[] = "\b \b";      // back, blank, back: takes one character off screen
constexpr size_t CAT_MAX = 16384;          // bytes cat shows of a file
constexpr long FLOOD_MAX = 100000;         // lines one flood sends
constexpr uint16_t BLOCK_SIZE_MAX = 1024;  // the host caps any larger request at 128 itself
// Device text goes out in pieces with a pause between them, as a serial line would deliver it:
// the host keeps PASEL text in a 2 KB ring that one large burst would overflow.
constexpr size_t TEXT_PIECE = 256;
constexpr int TEXT_PAUSE_MS = 2;

struct VerbInfo {
    const char* word;
    ShellVerb verb;
    const char* usage;
    const char* help;
};

// clang-format off
constexpr VerbInfo VERBS[] = {
    {"help",  SH_HELP,  "help",                      "this list"},
    {"cat",   SH_CAT,   "cat NAME",                  "show a PC file, read through the host"},
    {"get",   SH_GET,   "get NAME [BLOCKSIZE]",      "copy a PC file into the device directory"},
    {"put",   SH_PUT,   "put [-f] FILE [BLOCKSIZE]", "copy a device file to the PC (-f: overwrite)"},
    {"ls",    SH_LS,    "ls",                        "list the device directory"},
    {"rm",    SH_RM,    "rm FILE",                   "delete a file of the device directory"},
    {"cls",   SH_CLS,   "cls",                       "clear the host's screen (ESC E, KIVET mode)"},
    {"flood", SH_FLOOD, "flood N",                   "send N lines of text"},
    {"mode",  SH_MODE,  "mode [kivet|pasel]",        "show or set the protocol the device speaks"},
    {"stat",  SH_STAT,  "stat",                      "show the device's settings"},
    {"echo",  SH_ECHO,  "echo TEXT",                 "send TEXT back"},
};
// clang-format on

std::vector<std::string> split_words(const std::string& line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w) {
        words.push_back(w);
    }
    return words;
}

// A whole decimal number in [lo, hi], or nothing.
std::optional<long> parse_number(const std::string& word, long lo, long hi)
{
    if (word.empty() || word.size() > 9) {
        return std::nullopt;
    }
    for (const char c : word) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return std::nullopt;
        }
    }
    const long v = std::strtol(word.c_str(), nullptr, 10);
    if (v < lo || v > hi) {
        return std::nullopt;
    }
    return v;
}

std::string lower(std::string s)
{
    for (char& c : s) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

}  // namespace

std::optional<std::string> LineEditor::feed(uint8_t b, std::string& echo)
{
    const bool after_cr = after_cr_;
    after_cr_ = b == '\r';
    switch (state_) {
    case ED_ESC:
        state_ = b == '[' ? ED_CSI : ED_TEXT;
        return std::nullopt;
    case ED_CSI:
        if (b >= 0x40 && b <= 0x7E) {  // the final byte of the sequence
            state_ = ED_TEXT;
            if (b == 'A' && !last_.empty()) {
                replace_line(last_, echo);
            }
        }
        return std::nullopt;
    case ED_TEXT:
        break;
    }
    if (b == '\r' || (b == '\n' && !after_cr)) {
        echo += "\r\n";
        std::string done;
        done.swap(line_);
        if (done.find_first_not_of(' ') != std::string::npos) {
            last_ = done;
        }
        return done;
    }
    if (b == KEY_BS || b == KEY_DEL) {
        if (!line_.empty()) {
            line_.pop_back();
            echo += ERASE_ONE;
        }
    } else if (b == KEY_CTRL_C) {
        line_.clear();
        echo += "^C\r\n";
        return std::string();
    } else if (b == KEY_ESC) {
        state_ = ED_ESC;
    } else if (b >= 0x20 && b < 0x7F && line_.size() < SHELL_LINE_MAX) {
        line_ += char(b);
        echo += char(b);
    }
    return std::nullopt;
}

void LineEditor::replace_line(const std::string& text, std::string& echo)
{
    for (size_t i = 0; i < line_.size(); ++i) {
        echo += ERASE_ONE;
    }
    line_ = text;
    echo += text;
}

bool shell_parse(const std::string& line, ShellCommand& cmd, std::string& error)
{
    cmd = ShellCommand{};
    std::vector<std::string> words = split_words(line);
    if (words.empty()) {
        return true;
    }
    const VerbInfo* info = nullptr;
    for (const VerbInfo& v : VERBS) {
        if (lower(words[0]) == v.word) {
            info = &v;
        }
    }
    if (info == nullptr) {
        error = "unknown command '" + words[0] + "'; type help";
        return false;
    }
    cmd.verb = info->verb;
    words.erase(words.begin());
    if (cmd.verb == SH_PUT && !words.empty() && words[0] == "-f") {
        cmd.force = true;
        words.erase(words.begin());
    }
    bool fits = true;
    switch (cmd.verb) {
    case SH_NONE:
    case SH_HELP:
    case SH_LS:
    case SH_CLS:
    case SH_STAT:
        fits = words.empty();
        break;
    case SH_CAT:
    case SH_RM:
        fits = words.size() == 1;
        break;
    case SH_GET:
    case SH_PUT:
        fits = words.size() == 1 || words.size() == 2;
        if (fits && words.size() == 2) {
            const std::optional<long> bs = parse_number(words[1], 1, BLOCK_SIZE_MAX);
            fits = bs.has_value();
            cmd.block_size = uint16_t(bs.value_or(0));
        }
        break;
    case SH_FLOOD: {
        const std::optional<long> n =
            words.size() == 1 ? parse_number(words[0], 1, FLOOD_MAX) : std::nullopt;
        fits = n.has_value();
        cmd.count = n.value_or(0);
        break;
    }
    case SH_MODE:
        fits = words.empty() || (words.size() == 1 && mode_parse(words[0]).has_value());
        break;
    case SH_ECHO:
        break;
    }
    if (!fits) {
        error = std::string("usage: ") + info->usage;
        return false;
    }
    if (cmd.verb == SH_ECHO) {  // the rest of the line after the verb, blanks inside kept
        const size_t verb_end = line.find(' ', line.find_first_not_of(' '));
        const size_t text = line.find_first_not_of(' ', verb_end);
        cmd.name = text == std::string::npos ? "" : line.substr(text);
    } else if (!words.empty()) {
        cmd.name = words[0];
    }
    return true;
}

std::string printable_text(const Bytes& data, size_t max)
{
    std::string out;
    uint8_t prev = 0;
    for (size_t i = 0; i < data.size() && i < max; ++i) {
        const uint8_t b = data[i];
        if (b == '\n') {
            out += prev == '\r' ? "\n" : "\r\n";
        } else if (b == '\r' || (b >= 0x20 && b < 0x7F)) {
            out += char(b);
        } else if (b == '\t') {
            out += ' ';
        } else {
            out += '.';
        }
        prev = b;
    }
    return out;
}

Shell::Shell(Link& link, ShellConfig config) : link_(link), config_(std::move(config)) {}

void Shell::start()
{
    say("\nDevice emulator ready, speaking " + lower(mode_name(mode())) +
        ". Type help for the commands.\n");
    prompt();
}

void Shell::feed(const Bytes& bytes)
{
    if (mode() == DEV_KIVET) {
        for (const uint8_t b : bytes) {
            feed_typed(b);
        }
        return;
    }
    frames_.feed(bytes);
    while (std::optional<FrameDecoder::Event> e = frames_.next()) {
        switch (e->kind) {
        case RX_TEXT:
            for (const uint8_t b : e->bytes) {
                feed_typed(b);
            }
            break;
        case RX_FRAME:
            // The host resends an END whose ACK 0 was lost; anything else is left unanswered.
            if (std::optional<Packet> p = packet_parse(e->bytes); p && p->op == PKT_END) {
                (void)link_.write(frame_encode(packet_ack(0)));  // loss: the host resends
                log("answered a repeated END with ACK 0");
            } else {
                log("stray packet between commands: " + packet_describe(e->bytes));
            }
            break;
        case RX_BAD_FRAME:
            log("bad frame between commands");
            break;
        }
    }
}

void Shell::feed_typed(uint8_t b)
{
    std::string echo;
    const std::optional<std::string> line = editor_.feed(b, echo);
    if (!echo.empty()) {
        (void)link_.write(to_bytes(echo));  // a lost echo costs nothing
    }
    if (!line) {
        return;
    }
    ShellCommand cmd;
    std::string error;
    if (!shell_parse(*line, cmd, error)) {
        say(error + "\n");
    } else if (cmd.verb != SH_NONE) {
        log("command: " + *line);
        run(cmd);
    }
    prompt();
}

void Shell::run(const ShellCommand& cmd)
{
    switch (cmd.verb) {
    case SH_NONE:
        return;
    case SH_HELP: {
        std::string text =
            "Commands (NAME: a file on the PC; FILE: one in the device directory):\n";
        for (const VerbInfo& v : VERBS) {
            char row[120];
            std::snprintf(row, sizeof row, "  %-26s %s\n", v.usage, v.help);
            text += row;
        }
        text += "In KIVET mode files move through the host's file service, in PASEL mode as\n"
                "packet transfers (BLOCKSIZE, default 128). The host's F4 switches the host;\n"
                "'mode' switches the device: the two must match. put -f in KIVET mode writes\n"
                "over the PC file from its start: a longer old file keeps its tail.\n";
        say(text);
        return;
    }
    case SH_CAT:
        run_read(cmd, true);
        return;
    case SH_GET:
        run_read(cmd, false);
        return;
    case SH_PUT:
        run_put(cmd);
        return;
    case SH_LS:
        show_list();
        return;
    case SH_RM: {
        std::error_code ec;
        if (!device_name_ok(cmd.name) ||
            !std::filesystem::remove(std::filesystem::path(config_.dir) / cmd.name, ec)) {
            say("rm: no file " + cmd.name + "\n");
        } else {
            say("removed " + cmd.name + "\n");
        }
        return;
    }
    case SH_CLS:
        (void)link_.write(Bytes{KEY_ESC, 'E'});
        return;
    case SH_FLOOD:
        run_flood(cmd.count);
        return;
    case SH_MODE:
        run_mode(cmd.name);
        return;
    case SH_STAT:
        show_stat();
        return;
    case SH_ECHO:
        say(cmd.name + "\n");
        return;
    }
}

void Shell::run_read(const ShellCommand& cmd, bool show)
{
    const std::string local = base_name(cmd.name);
    if (!show && !device_name_ok(local)) {
        say("get: cannot keep a file named '" + local + "'\n");
        return;
    }
    TransferSetup setup = config_.setup;
    if (cmd.block_size != 0) {
        setup.block_size = cmd.block_size;
    }
    say((show ? "reading " : "getting ") + cmd.name + " (" + mode_name(setup.mode) + ")...\n");
    const TransferResult r = transfer_read(link_, setup, cmd.name);
    log((show ? "cat " : "get ") + cmd.name + ": " + transfer_summary(r));
    if (!r.ok) {
        // After the host's progress line, or a request it showed as text: a line of its own.
        say(std::string("\n") + (show ? "cat " : "get ") + cmd.name + ": " + transfer_summary(r) +
            "\n");
        return;
    }
    if (show) {
        say(printable_text(r.data, CAT_MAX));
        if (!r.data.empty() && r.data.back() != '\n') {
            say("\n");
        }
        if (r.data.size() > CAT_MAX) {
            say("[first " + std::to_string(CAT_MAX) + " of " + std::to_string(r.data.size()) +
                " bytes shown]\n");
        }
        say("[" + cmd.name + ": " + transfer_summary(r) + "]\n");
        return;
    }
    std::string error;
    if (!device_save(config_.dir, local, r.data, error)) {
        say("get " + cmd.name + ": " + error + "\n");
        return;
    }
    say("got " + cmd.name + ": " + transfer_summary(r) + "\n");
}

void Shell::run_put(const ShellCommand& cmd)
{
    std::string error;
    const std::optional<Bytes> data = device_load(config_.dir, cmd.name, error);
    if (!data) {
        say("put: " + error + "\n");
        return;
    }
    TransferSetup setup = config_.setup;
    if (cmd.block_size != 0) {
        setup.block_size = cmd.block_size;
    }
    setup.open_mode = cmd.force ? KV_MODE_UPDATE : KV_MODE_CREATE;
    say("putting " + cmd.name + " (" + mode_name(setup.mode) + ")...\n");
    TransferResult r = transfer_write(link_, setup, cmd.name, *data);
    r.data = *data;  // the summary counts the bytes sent
    log("put " + cmd.name + ": " + transfer_summary(r));
    if (!r.ok && setup.mode == DEV_KIVET && r.answered && r.status == 80) {
        say("put " + cmd.name + ": the PC has this file already; put -f " + cmd.name +
            " overwrites it\n");
        return;
    }
    say(std::string(r.ok ? "" : "\n") + "put " + cmd.name + ": " + transfer_summary(r) + "\n");
}

void Shell::run_flood(long lines)
{
    std::string batch;
    for (long i = 1; i <= lines; ++i) {
        char row[120];
        std::snprintf(row, sizeof row,
                      "flood line %ld of %ld: the quick brown fox jumps over the lazy dog\r\n", i,
                      lines);
        batch += row;
        if (batch.size() >= TEXT_PIECE || i == lines) {
            if (!send_text(batch)) {
                return;  // the host is gone
            }
            batch.clear();
            std::this_thread::sleep_for(std::chrono::milliseconds(TEXT_PAUSE_MS));
        }
    }
}

void Shell::run_mode(const std::string& word)
{
    if (!word.empty()) {
        config_.setup.mode = mode_parse(word).value_or(mode());
        frames_ = FrameDecoder();
        log(std::string("mode ") + mode_name(mode()));
    }
    say(std::string("device mode: ") + mode_name(mode()) +
        " (the host must be in the same mode: F4 switches it)\n");
}

void Shell::show_stat()
{
    const TransferSetup& s = config_.setup;
    std::string text = std::string("mode ") + mode_name(s.mode) + ", directory " + config_.dir +
                       ", " + std::to_string(device_list(config_.dir).size()) + " files\n";
    text += "PASEL requests: block size " + std::to_string(s.block_size) + ", T1 " +
            std::to_string(s.t1_ms) + " ms, T2 " + std::to_string(s.t2_ms) + " ms\n";
    if (config_.link_report) {
        text += config_.link_report() + "\n";
    }
    say(text);
}

void Shell::show_list()
{
    const auto files = device_list(config_.dir);
    std::string text;
    for (const auto& [name, size] : files) {
        char row[300];
        std::snprintf(row, sizeof row, "%10ju  %s\n", size, name.c_str());
        text += row;
    }
    say(text + std::to_string(files.size()) + " files in " + config_.dir + "\n");
}

void Shell::say(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out += '\r';
        }
        out += text[i];
    }
    (void)send_text(out);  // the host gone: the main loop notices
}

bool Shell::send_text(const std::string& text)
{
    for (size_t at = 0; at < text.size(); at += TEXT_PIECE) {
        if (at > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(TEXT_PAUSE_MS));
        }
        if (!link_.write(to_bytes(text.substr(at, TEXT_PIECE)))) {
            return false;
        }
    }
    return true;
}

void Shell::prompt()
{
    say(std::string("devsim ") + mode_name(mode()) + "> ");
}

void Shell::log(const std::string& text) const
{
    if (config_.log) {
        config_.log(text);
    }
}

}  // namespace devsim
