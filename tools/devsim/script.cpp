// tools/devsim/script.cpp: the script language's word splitter and parser, and the runner that
// plays a parsed script over the link. Runs on the emulator's one thread; no shared state.
#include "tools/devsim/script.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "tools/devsim/pasel_device.h"

namespace devsim
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr long SCRIPT_MS_MAX = 3600000;          // longest time a step may name
constexpr long CREATE_MAX = 100L * 1024 * 1024;  // largest file create makes
constexpr size_t SEEN_SHOWN = 300;               // bytes of unmatched input shown on a failure
constexpr int HANGUP_STEP_MS = 20;               // how often expect-hangup looks
constexpr int WAIT_MAX_MS = 60000;               // the longest wait= a transfer may give
constexpr int SETTLE_ROUNDS = 20;                // quiet spells settle listens for at most
constexpr int KIVET_SETTLE_MS = 500;             // settle after a failed KIVET transfer: a drain

// What each verb takes: its word, how many plain words, and the key=value options it knows.
struct VerbRule {
    const char* word;
    ScriptVerb verb;
    size_t min_args;
    size_t max_args;
    std::vector<std::string> keys;
};

const std::vector<VerbRule>& verb_rules()
{
    static const std::vector<VerbRule> RULES = {
        {"send", SC_SEND, 1, 1, {}},
        {"expect", SC_EXPECT, 1, 2, {}},
        {"timeout", SC_TIMEOUT, 1, 1, {}},
        {"sleep", SC_SLEEP, 1, 1, {}},
        {"drain", SC_DRAIN, 1, 1, {}},
        {"mode", SC_MODE, 1, 1, {}},
        {"get", SC_GET, 1, 1, {"bs", "t1", "t2", "as", "fail", "wait"}},
        {"put", SC_PUT, 1, 1, {"bs", "t1", "t2", "as", "open", "fail", "wait"}},
        {"fetch", SC_FETCH, 1, 1, {"as", "fail", "wait"}},
        {"store", SC_STORE, 1, 1, {"as", "open", "fail", "wait"}},
        {"expect-file", SC_EXPECT_FILE, 1, 2, {}},
        {"write", SC_WRITE, 2, 2, {}},
        {"create", SC_CREATE, 2, 2, {}},
        {"expect-hangup", SC_EXPECT_HANGUP, 0, 1, {}},
        {"log", SC_LOG, 1, 1, {}},
        {"impair", SC_IMPAIR, 1, 1, {}},
        {"settle", SC_SETTLE, 0, 1, {}},
    };
    return RULES;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A whole decimal number in [lo, hi].
bool number(const std::string& word, long lo, long hi, long& v)
{
    if (word.empty() || word.size() > 10 ||
        word.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    v = std::strtol(word.c_str(), nullptr, 10);
    return v >= lo && v <= hi;
}

// Bytes as a script would write them, for messages: "ok\r\n" shows as ok\r\n.
std::string shown(const std::string& bytes)
{
    std::string out;
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\\' || b == '"') {
            out += '\\';
            out += char(b);
        } else if (b >= 0x20 && b < 0x7F) {
            out += char(b);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

// Fills the step's fields from its plain words and options; false with error.
bool fill_step(ScriptStep& s, const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& opts, std::string& error)
{
    long v = 0;
    auto bad = [&](const std::string& why) {
        error = why;
        return false;
    };
    for (const auto& [key, value] : opts) {
        if (key == "as") {
            s.other = value;
        } else if (key == "bs" || key == "t1" || key == "t2") {
            if (!number(value, 1, 0xFFFF, v)) {
                return bad(key + "= takes a number from 1 to 65535");
            }
            (key == "bs" ? s.block_size : key == "t1" ? s.t1_ms : s.t2_ms) = uint16_t(v);
        } else if (key == "open") {
            if (!number(value, KV_MODE_CREATE, KV_MODE_UPDATE, v)) {
                return bad("open= takes 2 (create) or 3 (overwrite)");
            }
            s.open_mode = uint8_t(v);
        } else if (key == "fail") {
            if (!number(value, 1, 0xFFFF, v)) {
                return bad("fail= takes the nonzero status or error code expected");
            }
            s.fail = int(v);
        } else if (key == "wait") {
            if (!number(value, 1, WAIT_MAX_MS, v)) {
                return bad("wait= takes a number of milliseconds from 1 to 60000");
            }
            s.wait_ms = int(v);
        }
    }
    switch (s.verb) {
    case SC_SEND:
    case SC_LOG:
        s.text = args[0];
        return true;
    case SC_EXPECT:
    case SC_EXPECT_HANGUP:
    case SC_SETTLE: {
        const size_t ms_at = s.verb == SC_EXPECT ? 1 : 0;
        if (s.verb == SC_EXPECT) {
            s.text = args[0];
            if (s.text.empty()) {
                return bad("expect needs some text");
            }
        }
        if (args.size() > ms_at) {
            if (!number(args[ms_at], 0, SCRIPT_MS_MAX, v)) {
                return bad("the time-out is a number of milliseconds");
            }
            s.ms = int(v);
        }
        return true;
    }
    case SC_IMPAIR: {
        s.text = args[0];
        ImpairSetting setting;
        std::string why;
        return s.text == "off" || impair_parse(s.text, setting, why) || bad(why);
    }
    case SC_TIMEOUT:
    case SC_SLEEP:
    case SC_DRAIN:
        if (!number(args[0], 0, SCRIPT_MS_MAX, v)) {
            return bad("takes a number of milliseconds");
        }
        s.ms = int(v);
        return true;
    case SC_MODE: {
        const std::optional<DeviceMode> m = mode_parse(args[0]);
        if (!m) {
            return bad("mode takes kivet or pasel");
        }
        s.mode = *m;
        return true;
    }
    case SC_GET:
    case SC_FETCH:
        s.text = args[0];
        if (s.other.empty()) {
            s.other = base_name(s.text);
        }
        if (!device_name_ok(s.other)) {
            return bad("the copy needs a plain file name (as=NAME)");
        }
        return true;
    case SC_PUT:
    case SC_STORE:
        s.text = args[0];
        if (!device_name_ok(s.text)) {
            return bad("a device file has a plain name");
        }
        if (s.other.empty()) {
            s.other = s.text;
        }
        return true;
    case SC_EXPECT_FILE:
        s.text = args[0];
        s.other = args.size() > 1 ? args[1] : args[0];
        return device_name_ok(s.text) || bad("a device file has a plain name");
    case SC_WRITE:
    case SC_CREATE:
        s.text = args[0];
        if (!device_name_ok(s.text)) {
            return bad("a device file has a plain name");
        }
        if (s.verb == SC_WRITE) {
            s.other = args[1];
        } else if (!number(args[1], 0, CREATE_MAX, v)) {
            return bad("create takes a size in bytes");
        } else {
            s.size = size_t(v);
        }
        return true;
    }
    return bad("unknown command");
}

// Reads until needle has come; keeps what followed it for the next step. seen: what came.
bool expect_bytes(ScriptEnv& env, const std::string& needle, int ms, std::string& seen)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    seen.clear();
    for (;;) {
        const size_t at = seen.find(needle);
        if (at != std::string::npos) {
            const size_t end = at + needle.size();
            env.link.unread(Bytes(seen.begin() + long(end), seen.end()));
            seen.resize(end);
            return true;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const Bytes got = env.link.read_some(4096, int(left.count()));
        if (got.empty() && env.host_gone && env.host_gone()) {
            return false;
        }
        seen.append(got.begin(), got.end());
    }
}

// Checks a transfer's outcome against the step: success, or the failure it names.
bool transfer_held(const ScriptStep& s, DeviceMode mode, const TransferResult& r, std::string& what)
{
    what = transfer_summary(r);
    if (s.fail == 0) {
        return r.ok;
    }
    const int got = mode == DEV_KIVET ? r.status : r.error;
    if (!r.ok && got == s.fail) {
        what = "failed as expected: " + r.failure;
        return true;
    }
    what = (r.ok ? std::string("succeeded") : transfer_summary(r)) + "; expected failure " +
           std::to_string(s.fail);
    return false;
}

// A whole file by its path, or nothing.
std::optional<Bytes> load_path(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Compares a device file with a file on the PC side (s.other, a path).
bool files_equal(const std::string& dir, const ScriptStep& s, std::string& what)
{
    std::string error;
    const std::optional<Bytes> mine = device_load(dir, s.text, error);
    const std::optional<Bytes> theirs = load_path(s.other);
    if (!mine || !theirs) {
        what = !mine ? error : "no file " + s.other;
        return false;
    }
    if (*mine == *theirs) {
        what = std::to_string(mine->size()) + " bytes, equal";
        return true;
    }
    const auto diff = std::mismatch(mine->begin(), mine->end(), theirs->begin(), theirs->end());
    what = std::to_string(mine->size()) + " and " + std::to_string(theirs->size()) +
           " bytes, first difference at " + std::to_string(diff.first - mine->begin());
    return false;
}

// wait=: the device's wait for each answer, in the protocol the transfer speaks.
void apply_wait(TransferSetup& setup, int wait_ms)
{
    if (wait_ms > 0) {
        (setup.mode == DEV_KIVET ? setup.reply_timeout_ms : setup.pasel_reply_ms) = wait_ms;
    }
}

// After a failed PASEL transfer the device tells the host it gave up (an ERROR ends a reception
// and sends any other state into its error state) and listens until the host has been quiet
// for quiet_ms, answering a resent END with ACK 0. False when it never went quiet.
bool pasel_settle(Link& link, int quiet_ms, int& rounds)
{
    PaselDevice dev(link);
    (void)dev.send(packet_error(ERR_TIMEOUT));  // a lost one shows up as a busy spell
    for (rounds = 0; rounds < SETTLE_ROUNDS; ++rounds) {
        if (dev.idle(quiet_ms).empty()) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool script_words(const std::string& line, std::vector<std::string>& words, std::string& error)
{
    words.clear();
    size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        if (i >= line.size() || line[i] == '#') {
            return true;
        }
        const bool quoted = line[i] == '"';
        i += quoted ? 1 : 0;
        std::string w;
        bool closed = !quoted;
        while (i < line.size()) {
            const char c = line[i];
            if (quoted && c == '"') {
                closed = true;
                ++i;
                break;
            }
            if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
                break;
            }
            ++i;
            if (c != '\\') {
                w += c;
                continue;
            }
            if (i >= line.size()) {
                error = "a \\ ends the line";
                return false;
            }
            const char e = line[i++];
            switch (e) {
            case 'r':
                w += '\r';
                break;
            case 'n':
                w += '\n';
                break;
            case 't':
                w += '\t';
                break;
            case 'e':
                w += '\x1B';
                break;
            case '0':
                w += '\0';
                break;
            case '\\':
            case '"':
                w += e;
                break;
            case 'x': {
                const int hi = i < line.size() ? hex_value(line[i]) : -1;
                const int lo = i + 1 < line.size() ? hex_value(line[i + 1]) : -1;
                if (hi < 0 || lo < 0) {
                    error = "\\x takes two hex digits";
                    return false;
                }
                w += char(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                error = std::string("unknown escape \\") + e;
                return false;
            }
        }
        if (!closed) {
            error = "a quote is not closed";
            return false;
        }
        words.push_back(w);
    }
}

std::optional<std::vector<ScriptStep>> script_parse(const std::string& text, std::string& error)
{
    std::vector<ScriptStep> steps;
    std::istringstream in(text);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::vector<std::string> words;
        std::string why;
        auto fail = [&](const std::string& reason) {
            error = "line " + std::to_string(number) + ": " + reason;
            return std::nullopt;
        };
        if (!script_words(line, words, why)) {
            return fail(why);
        }
        if (words.empty()) {
            continue;
        }
        const bool tried = words[0] == "try";
        if (tried) {
            words.erase(words.begin());
            if (words.empty() || (words[0] != "get" && words[0] != "put" && words[0] != "fetch" &&
                                  words[0] != "store")) {
                return fail("try takes a transfer: get, put, fetch or store");
            }
        }
        const auto& rules = verb_rules();
        const auto rule = std::find_if(rules.begin(), rules.end(),
                                       [&](const VerbRule& r) { return words[0] == r.word; });
        if (rule == rules.end()) {
            return fail("unknown command '" + words[0] + "'");
        }
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> opts;
        for (size_t i = 1; i < words.size(); ++i) {
            const size_t eq = words[i].find('=');
            const std::string key = words[i].substr(0, eq);
            if (eq != std::string::npos &&
                std::find(rule->keys.begin(), rule->keys.end(), key) != rule->keys.end()) {
                opts.emplace_back(key, words[i].substr(eq + 1));
            } else {
                args.push_back(words[i]);
            }
        }
        if (args.size() < rule->min_args || args.size() > rule->max_args) {
            return fail(words[0] + " takes " + std::to_string(rule->min_args) +
                        (rule->max_args != rule->min_args ? " to " + std::to_string(rule->max_args)
                                                          : std::string()) +
                        " words (quote text with blanks)");
        }
        ScriptStep step;
        step.line = number;
        step.verb = rule->verb;
        step.tried = tried;
        if (!fill_step(step, args, opts, why)) {
            return fail(words[0] + ": " + why);
        }
        steps.push_back(step);
    }
    return steps;
}

int script_run(const std::vector<ScriptStep>& steps, ScriptEnv& env)
{
    int timeout_ms = SCRIPT_DEFAULT_TIMEOUT_MS;
    DeviceMode mode = env.mode;
    bool settle_due = false;  // a tried transfer failed since the last settle
    DeviceMode settle_mode = mode;
    int settle_quiet_ms = 0;
    for (const ScriptStep& s : steps) {
        std::string what;  // what the step did, or why it failed
        bool held = true;
        switch (s.verb) {
        case SC_SEND:
            held = env.link.write(to_bytes(s.text));
            what = "send \"" + shown(s.text) + "\"";
            break;
        case SC_EXPECT: {
            std::string seen;
            const int ms = s.ms >= 0 ? s.ms : timeout_ms;
            held = expect_bytes(env, s.text, ms, seen);
            what = "expect \"" + shown(s.text) + "\"";
            if (!held) {
                const size_t from = seen.size() > SEEN_SHOWN ? seen.size() - SEEN_SHOWN : 0;
                what += ": not seen within " + std::to_string(ms) + " ms; the host sent \"" +
                        shown(seen.substr(from)) + "\"";
            }
            break;
        }
        case SC_TIMEOUT:
            timeout_ms = s.ms;
            what = "timeout " + std::to_string(s.ms);
            break;
        case SC_SLEEP:
            std::this_thread::sleep_for(std::chrono::milliseconds(s.ms));
            what = "sleep " + std::to_string(s.ms);
            break;
        case SC_DRAIN:
            what = "drain: " + std::to_string(env.link.drain(s.ms)) + " bytes dropped";
            break;
        case SC_MODE:
            mode = s.mode;
            what = std::string("mode ") + mode_name(mode);
            break;
        case SC_GET:
        case SC_FETCH: {
            TransferSetup setup;
            setup.mode = s.verb == SC_FETCH ? DEV_KIVET : mode;
            setup.block_size = s.block_size;
            setup.t1_ms = s.t1_ms;
            setup.t2_ms = s.t2_ms;
            apply_wait(setup, s.wait_ms);
            const TransferResult r = transfer_read(env.link, setup, s.text);
            held = transfer_held(s, setup.mode, r, what);
            std::string error;
            if (held && r.ok && !device_save(env.dir, s.other, r.data, error)) {
                held = false;
                what = error;
            }
            what = (s.verb == SC_GET ? "get " : "fetch ") + s.text + ": " + what;
            break;
        }
        case SC_PUT:
        case SC_STORE: {
            std::string error;
            const std::optional<Bytes> data = device_load(env.dir, s.text, error);
            TransferSetup setup;
            setup.mode = s.verb == SC_STORE ? DEV_KIVET : mode;
            setup.block_size = s.block_size;
            setup.t1_ms = s.t1_ms;
            setup.t2_ms = s.t2_ms;
            setup.open_mode = s.open_mode;
            apply_wait(setup, s.wait_ms);
            if (data) {
                TransferResult r = transfer_write(env.link, setup, s.other, *data);
                r.data = *data;
                held = transfer_held(s, setup.mode, r, what);
            } else {
                held = false;
                what = error;
            }
            what = (s.verb == SC_PUT ? "put " : "store ") + s.text + ": " + what;
            break;
        }
        case SC_EXPECT_FILE:
            held = files_equal(env.dir, s, what);
            what = "expect-file " + s.text + " " + s.other + ": " + what;
            break;
        case SC_WRITE:
        case SC_CREATE: {
            Bytes data = to_bytes(s.other);
            if (s.verb == SC_CREATE) {
                data.resize(s.size);
                for (size_t i = 0; i < s.size; ++i) {
                    data[i] = uint8_t(i * 13 + 1);  // every byte value, framing bytes included
                }
            }
            std::string error;
            held = device_save(env.dir, s.text, data, error);
            what = (s.verb == SC_WRITE ? "write " : "create ") + s.text + ": " +
                   (held ? std::to_string(data.size()) + " bytes" : error);
            break;
        }
        case SC_EXPECT_HANGUP: {
            const int ms = s.ms >= 0 ? s.ms : timeout_ms;
            const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
            held = false;
            while (env.host_gone && !(held = env.host_gone()) && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(HANGUP_STEP_MS));
            }
            what = held ? "the host closed the port"
                        : "the host kept the port open for " + std::to_string(ms) + " ms";
            break;
        }
        case SC_LOG:
            what = s.text;
            break;
        case SC_IMPAIR: {
            ImpairSetting setting;
            std::string error;
            held = bool(env.impair) && (s.text == "off" || impair_parse(s.text, setting, error));
            if (held) {
                env.impair(setting);
            }
            what = "impair " + s.text + (env.impair ? "" : ": this link cannot be spoiled");
            break;
        }
        case SC_SETTLE: {
            if (!settle_due) {
                what = "settle: nothing failed";
            } else if (settle_mode == DEV_KIVET) {
                const int ms = s.ms >= 0 ? s.ms : KIVET_SETTLE_MS;
                what = "settle: drain: " + std::to_string(env.link.drain(ms)) + " bytes dropped";
            } else {
                int rounds = 0;
                held = pasel_settle(env.link, s.ms >= 0 ? s.ms : settle_quiet_ms, rounds);
                what = held ? "settle: the host was told the device gave up; quiet after " +
                                  std::to_string(rounds) + " busy spells"
                            : "settle: the host did not go quiet";
            }
            settle_due = false;
            break;
        }
        }
        const bool transfer =
            s.verb == SC_GET || s.verb == SC_PUT || s.verb == SC_FETCH || s.verb == SC_STORE;
        const bool going_on = !held && s.tried;
        env.report << "line " << s.line << ": " << what << (held || going_on ? "" : "  FAILED")
                   << "\n";
        env.report.flush();
        if (transfer) {
            settle_due = going_on;
            settle_mode = s.verb == SC_FETCH || s.verb == SC_STORE ? DEV_KIVET : mode;
            settle_quiet_ms = s.t1_ms + SETTLE_EXTRA_MS;
        }
        if (!held && !going_on) {
            return 1;
        }
    }
    return 0;
}

}  // namespace devsim
