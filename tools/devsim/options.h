// tools/devsim/options.h: the emulator's command line and its link-impairment setting. Used by
// tools/devsim/main.cpp; parsing only, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/devsim/impaired_link.h"
#include "tools/devsim/transfers.h"

namespace devsim
{

// A spoiled link, as --impair gives it.
struct ImpairSetting {
    bool on = false;
    Impairment outgoing;  // what the device sends
    Impairment incoming;  // what the device receives
    uint32_t seed = 1;
};

struct Options {
    DeviceMode mode = DEV_KIVET;
    std::string dir = "device";  // the device's own directory
    std::string port_file;       // empty: the port name goes to standard output only
    std::string script;          // empty: the interactive shell
    int host_timeout_ms = -1;    // wait for the host to open the port; negative: no limit
    int32_t baud = 0;            // pace what the device sends to this line rate; 0: no pacing
    ImpairSetting impair;
    bool help = false;
};

// Parses "drop=P,corrupt=P,dup=P,delay=P:MS,seed=N,bytes,dir=both|in|out" (any subset, any
// order; P a chance from 0 to 1). bytes spoils single bytes instead of whole frames; dir picks
// the directions spoiled (both by default). False with error on anything else.
bool impair_parse(const std::string& list, ImpairSetting& out, std::string& error);

// Parses the arguments after the program name. False with error on an unknown option, a
// missing or bad value.
bool options_parse(const std::vector<std::string>& args, Options& out, std::string& error);

extern const char OPTIONS_USAGE[];

}  // namespace devsim
