// tools/devsim/options.cpp: parsing of the emulator's command line and of --impair.
// Used by tools/devsim/main.cpp; no shared state.
#include "tools/devsim/options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace devsim
{

const char OPTIONS_USAGE[] =
    "usage: devsim [--mode kivet|pasel] [--dir DIR] [--port-file FILE] [--script FILE]\n"
    "              [--impair LIST] [--baud RATE] [--host-timeout MS]\n"
    "An emulated device on a pseudo-terminal pair. Prints the port to give the host\n"
    "(e.g. pts/7), waits for the host to open it, then runs a command shell that the host's\n"
    "user types to, or with --script a scripted exchange. Ends when the host closes the port.\n"
    "  --mode kivet|pasel   protocol the device speaks at start (default kivet)\n"
    "  --dir DIR            the device's own directory (default device; created)\n"
    "  --port-file FILE     also write the port name to FILE once the pair is open\n"
    "  --script FILE        run FILE instead of the shell; exit 0 when every step held,\n"
    "                       1 at the first that did not, 2 when FILE does not parse\n"
    "  --impair LIST        spoil the device's link, e.g.\n"
    "                       drop=0.02,corrupt=0.01,dup=0.01,delay=0.05:20,seed=7\n"
    "                       (add bytes to spoil single bytes, dir=in|out for one direction)\n"
    "  --baud RATE          carry bytes no faster than a serial line at RATE would\n"
    "                       (RATE / 10 bytes a second each way)\n"
    "  --host-timeout MS    give up when the host has not opened the port within MS\n"
    "                       (default: no limit; 30000 with --script)\n";

namespace
{

// A number from text, whole text only.
bool to_double(const std::string& s, double& v)
{
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    v = std::strtod(s.c_str(), &end);
    return errno == 0 && *end == '\0';
}

bool to_long(const std::string& s, long& v)
{
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    v = std::strtol(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

bool chance(const std::string& s, double& v)
{
    return to_double(s, v) && v >= 0 && v <= 1;
}

}  // namespace

bool impair_parse(const std::string& list, ImpairSetting& out, std::string& error)
{
    Impairment imp;
    uint32_t seed = 1;
    bool spoil_out = true;
    bool spoil_in = true;
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        bool ok = true;
        long n = 0;
        if (key == "drop") {
            ok = chance(value, imp.drop);
        } else if (key == "corrupt") {
            ok = chance(value, imp.corrupt);
        } else if (key == "dup") {
            ok = chance(value, imp.duplicate);
        } else if (key == "delay") {
            const size_t colon = value.find(':');
            ok = colon != std::string::npos && chance(value.substr(0, colon), imp.delay) &&
                 to_long(value.substr(colon + 1), n) && n >= 0 && n <= 60000;
            imp.delay_ms = int(n);
        } else if (key == "seed") {
            ok = to_long(value, n) && n >= 0 && n <= 0xFFFFFFFFL;
            seed = uint32_t(n);
        } else if (key == "bytes" && eq == std::string::npos) {
            imp.whole_frames = false;
        } else if (key == "dir") {
            spoil_out = value == "both" || value == "out";
            spoil_in = value == "both" || value == "in";
            ok = spoil_out || spoil_in;
        } else {
            ok = false;
        }
        if (!ok) {
            error = "--impair: cannot use '" + item + "'";
            return false;
        }
    }
    out.on = true;
    out.seed = seed;
    out.outgoing = spoil_out ? imp : Impairment{};
    out.incoming = spoil_in ? imp : Impairment{};
    out.outgoing.whole_frames = imp.whole_frames;
    out.incoming.whole_frames = imp.whole_frames;
    return true;
}

bool options_parse(const std::vector<std::string>& args, Options& out, std::string& error)
{
    bool timeout_given = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            out.help = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = a.rfind("--", 0) == 0 ? a + " needs a value" : "unknown argument " + a;
            return false;
        }
        const std::string& v = args[++i];
        if (a == "--mode") {
            const std::optional<DeviceMode> m = mode_parse(v);
            if (!m) {
                error = "--mode takes kivet or pasel";
                return false;
            }
            out.mode = *m;
        } else if (a == "--dir") {
            out.dir = v;
        } else if (a == "--port-file") {
            out.port_file = v;
        } else if (a == "--script") {
            out.script = v;
        } else if (a == "--impair") {
            if (!impair_parse(v, out.impair, error)) {
                return false;
            }
        } else if (a == "--baud") {
            long rate = 0;
            if (!to_long(v, rate) || rate < 50 || rate > 4000000L) {
                error = "--baud takes a line rate from 50 to 4000000";
                return false;
            }
            out.baud = int32_t(rate);
        } else if (a == "--host-timeout") {
            long ms = 0;
            if (!to_long(v, ms) || ms < 0 || ms > 86400000L) {
                error = "--host-timeout takes milliseconds";
                return false;
            }
            out.host_timeout_ms = int(ms);
            timeout_given = true;
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    if (!out.script.empty() && !timeout_given) {
        out.host_timeout_ms = 30000;  // a test must not hang on a host that never came
    }
    return true;
}

}  // namespace devsim
