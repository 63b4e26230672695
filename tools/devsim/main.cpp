// tools/devsim/main.cpp: the device emulator. Opens a pseudo-terminal pair, names the port the
// host program is to open, waits for the host, then plays a device: an interactive command
// shell that the host's user types to, or a script (--script). Optionally over a spoiled link
// (--impair) and at the pace of a real line (--baud). Ends when the host closes the port, on
// SIGTERM, SIGINT or SIGHUP, or at the end of the script. Single-threaded; the emulator's own log
// goes to standard output.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "tools/devsim/impaired_link.h"
#include "tools/devsim/options.h"
#include "tools/devsim/pty.h"
#include "tools/devsim/script.h"
#include "tools/devsim/session.h"
#include "tools/devsim/shell.h"

using namespace devsim;

namespace
{

constexpr int READ_WAIT_MS = 100;  // the shell loop looks for the host's exit this often
constexpr size_t READ_CHUNK = 4096;

volatile std::sig_atomic_t stop_signal;  // set by SIGTERM, SIGINT or SIGHUP

void on_signal(int /*sig*/)
{
    stop_signal = 1;
}

void log_line(const std::string& text)
{
    std::cout << "devsim: " << text << std::endl;
}

// Writes the port name to path whole: a reader that sees the file sees all of it.
bool write_port_file(const std::string& path, const std::string& port)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp);
        out << port << "\n";
        if (!out.flush()) {
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    return !ec;
}

std::string counts_text(const ImpairedLink::Counts& c)
{
    return std::to_string(c.units) + " units, " + std::to_string(c.dropped) + " dropped, " +
           std::to_string(c.corrupted) + " corrupted, " + std::to_string(c.duplicated) +
           " duplicated, " + std::to_string(c.delayed) + " delayed";
}

int run_shell(Link& link, HostWatch& watch, const Options& opt,
              std::function<std::string()> link_report)
{
    ShellConfig config;
    config.dir = opt.dir;
    config.setup.mode = opt.mode;
    config.link_report = std::move(link_report);
    config.log = log_line;
    Shell shell(link, config);
    shell.start();
    while (stop_signal == 0 && !watch.host_gone()) {
        shell.feed(link.read_some(READ_CHUNK, READ_WAIT_MS));
    }
    log_line(stop_signal != 0 ? "stopped by a signal" : "the host closed the port");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // The command line.
    Options opt;
    std::string error;
    if (!options_parse(std::vector<std::string>(argv + 1, argv + argc), opt, error)) {
        std::cerr << "devsim: " << error << "\n" << OPTIONS_USAGE;
        return 2;
    }
    if (opt.help) {
        std::cout << OPTIONS_USAGE;
        return 0;
    }

    // The script, parsed whole before anything opens, so that a bad one costs no host.
    std::vector<ScriptStep> steps;
    if (!opt.script.empty()) {
        std::ifstream in(opt.script);
        std::stringstream text;
        text << in.rdbuf();
        std::optional<std::vector<ScriptStep>> parsed = script_parse(text.str(), error);
        if (!in || !parsed) {
            std::cerr << "devsim: " << opt.script << ": "
                      << (in ? error : std::string("cannot read it")) << "\n";
            return 2;
        }
        steps = std::move(*parsed);
    }

    // The device's own directory.
    std::error_code ec;
    std::filesystem::create_directories(opt.dir, ec);
    if (ec || !std::filesystem::is_directory(opt.dir)) {
        std::cerr << "devsim: cannot make the directory " << opt.dir << "\n";
        return 1;
    }

    // The pseudo-terminal pair, and its port name where the user or a script can take it.
    std::unique_ptr<Pty> pty;
    try {
        pty = std::make_unique<Pty>();
    } catch (const std::system_error& e) {
        std::cerr << "devsim: no pseudo-terminal: " << e.what() << "\n";
        return 1;
    }
    HostWatch watch(*pty);
    std::cout << pty->port_name() << std::endl;
    if (!opt.port_file.empty() && !write_port_file(opt.port_file, pty->port_name())) {
        std::cerr << "devsim: cannot write " << opt.port_file << "\n";
        return 1;
    }

    // Signals end the emulator between two reads; sleeps and polls return early for them.
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // The host: nothing written before it opens the port would reach it.
    log_line("waiting for the host on " + pty->port_name());
    if (!watch.wait_for_host(opt.host_timeout_ms, stop_signal)) {
        log_line("the host did not open the port");
        return 1;
    }
    log_line("the host opened the port");

    // The link the device talks through: plain, or spoiled on the way (also when the script
    // spoils it for some steps only).
    std::unique_ptr<ImpairedLink> impaired;
    Link* raw = pty.get();
    const bool script_spoils = std::any_of(steps.begin(), steps.end(),
                                           [](const ScriptStep& s) { return s.verb == SC_IMPAIR; });
    if (opt.impair.on || script_spoils) {
        impaired = std::make_unique<ImpairedLink>(*pty, opt.impair.outgoing, opt.impair.incoming,
                                                  opt.impair.seed);
        raw = impaired.get();
    }
    std::unique_ptr<PacedLink> paced;
    if (opt.baud > 0) {
        paced = std::make_unique<PacedLink>(*raw, opt.baud);
        raw = paced.get();
    }
    BufferedLink link(*raw);
    auto link_report = [&impaired]() -> std::string {
        if (!impaired) {
            return "link: not spoiled";
        }
        return "link spoiled; sent: " + counts_text(impaired->outgoing_counts()) +
               "; received: " + counts_text(impaired->incoming_counts());
    };

    if (steps.empty() && opt.script.empty()) {
        const int rc = run_shell(link, watch, opt, link_report);
        if (impaired) {
            log_line(link_report());
        }
        return rc;
    }
    ScriptEnv env{link, opt.dir, opt.mode, [&watch]() { return watch.host_gone(); }, std::cout};
    if (impaired) {
        env.impair = [&impaired](const ImpairSetting& s) {
            impaired->set(s.outgoing, s.incoming, s.seed);
        };
    }
    const int rc = script_run(steps, env);
    if (impaired) {
        log_line(link_report());
    }
    log_line(rc == 0 ? "script done" : "script FAILED");
    return rc;
}
