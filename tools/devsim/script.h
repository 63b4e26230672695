// tools/devsim/script.h: the emulator's scripted mode: a small line-based language of what the
// device sends, what it expects from the host and which transfers it makes, its parser, and
// the runner that plays it over the link. Used by tools/devsim/main.cpp and the tests; the
// language is described in tools/devsim/README.md.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/devsim/options.h"
#include "tools/devsim/session.h"
#include "tools/devsim/transfers.h"

namespace devsim
{

constexpr int SCRIPT_DEFAULT_TIMEOUT_MS = 5000;  // expect and expect-hangup, until `timeout`
constexpr int SETTLE_EXTRA_MS = 500;  // settle: quiet for the failed transfer's T1 and this long

enum ScriptVerb : uint8_t {
    SC_SEND = 1,            // send TEXT
    SC_EXPECT = 2,          // expect TEXT [MS]
    SC_TIMEOUT = 3,         // timeout MS
    SC_SLEEP = 4,           // sleep MS
    SC_DRAIN = 5,           // drain MS
    SC_MODE = 6,            // mode kivet|pasel
    SC_GET = 7,             // get NAME [bs= t1= t2= as= fail=]
    SC_PUT = 8,             // put FILE [bs= t1= t2= as= open= fail=]
    SC_FETCH = 9,           // fetch NAME [as= fail=]
    SC_STORE = 10,          // store FILE [as= open= fail=]
    SC_EXPECT_FILE = 11,    // expect-file FILE [PATH]
    SC_WRITE = 12,          // write FILE TEXT
    SC_CREATE = 13,         // create FILE SIZE
    SC_EXPECT_HANGUP = 14,  // expect-hangup [MS]
    SC_LOG = 15,            // log TEXT
    SC_IMPAIR = 16,         // impair LIST|off
    SC_SETTLE = 17,         // settle [MS]
};

struct ScriptStep {
    int line = 0;  // in the script, from 1
    ScriptVerb verb = SC_LOG;
    std::string text;   // send, expect, log: the bytes; transfers and files: the name
    std::string other;  // transfers: the as= name; expect-file: the path; write: the text
    int ms =
        -1;  // expect, expect-hangup, settle: time-out (-1: the default); sleep, drain, timeout
    DeviceMode mode = DEV_KIVET;         // mode
    uint16_t block_size = 128;           // get, put in PASEL mode
    uint16_t t1_ms = 1000;               // get, put in PASEL mode
    uint16_t t2_ms = 1000;               // get, put in PASEL mode
    uint8_t open_mode = KV_MODE_CREATE;  // put in KIVET mode, store
    int fail = 0;     // transfers: the host's status word (KIVET) or ERROR code (PASEL) that must
                      // end it; 0: it must succeed
    size_t size = 0;  // create
    bool tried = false;  // transfers: `try` before it; its failure is reported and the script
                         // goes on
    int wait_ms = 0;     // transfers: the device's wait for each answer (wait=); 0: the default
};

// Splits a line into words: blanks separate them, double quotes keep blanks inside one word,
// and escapes work inside and outside quotes: \r \n \t \e (ESC) \0 \\ \" \xHH. A word that
// starts with # begins a comment. False with error on an unclosed quote or a bad escape.
bool script_words(const std::string& line, std::vector<std::string>& words, std::string& error);

// Parses a whole script. On the first bad line returns nothing, error saying "line N: why".
std::optional<std::vector<ScriptStep>> script_parse(const std::string& text, std::string& error);

struct ScriptEnv {
    BufferedLink& link;
    std::string dir;                  // the device's own directory
    DeviceMode mode = DEV_KIVET;      // which protocol get and put use, until `mode`
    std::function<bool()> host_gone;  // for expect-hangup; empty: the host never leaves
    std::ostream& report;             // one line per step, and the failure
    // For impair: spoils the link from now on as given; empty: the link cannot be spoiled.
    std::function<void(const ImpairSetting&)> impair = {};
};

// Runs the steps in order. 0 when every step held; 1 at the first that did not, reported.
int script_run(const std::vector<ScriptStep>& steps, ScriptEnv& env);

}  // namespace devsim
