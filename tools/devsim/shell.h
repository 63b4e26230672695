// tools/devsim/shell.h: the emulated device's interactive side: a line editor for what the
// host's user types, the parser of the command line, and the small command shell that answers
// as device text and moves files with tools/devsim/transfers. Used by tools/devsim/main.cpp;
// one Shell per link, driven from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/devsim/link.h"
#include "tools/devsim/pasel_codec.h"
#include "tools/devsim/transfers.h"

namespace devsim
{

constexpr size_t SHELL_LINE_MAX = 200;  // typed characters beyond this are ignored

// Line editing of typed bytes, one at a time. Printable ASCII joins the line and is echoed; CR
// or LF ends it (an LF right after a CR is dropped, so CR LF ends one line); 0x7F and 0x08
// take back the last character; Ctrl+C (0x03) drops the line; the cursor keys arrive as ESC '['
// letter: Up recalls the last line entered, the others are ignored. Other control bytes are
// ignored. The echo never holds 0x02, ESC or 0xC0, which the host would take for commands.
class LineEditor
{
  public:
    // Feeds one byte; appends the echo to echo; returns the line when the byte ended one (an
    // empty line after Ctrl+C).
    std::optional<std::string> feed(uint8_t b, std::string& echo);
    const std::string& line() const
    {
        return line_;
    }

  private:
    enum EditState : uint8_t {
        ED_TEXT = 1,  // plain typing
        ED_ESC = 2,   // after ESC
        ED_CSI = 3,   // after ESC '['
    };
    void replace_line(const std::string& text, std::string& echo);

    EditState state_ = ED_TEXT;
    bool after_cr_ = false;  // the previous byte was CR
    std::string line_;       // typed so far
    std::string last_;       // the last non-empty line entered
};

enum ShellVerb : uint8_t {
    SH_NONE = 0,  // an empty line
    SH_HELP = 1,
    SH_CAT = 2,
    SH_GET = 3,
    SH_PUT = 4,
    SH_LS = 5,
    SH_RM = 6,
    SH_CLS = 7,
    SH_FLOOD = 8,
    SH_MODE = 9,
    SH_STAT = 10,
    SH_ECHO = 11,
};

struct ShellCommand {
    ShellVerb verb = SH_NONE;
    std::string name;         // cat, get, put, rm: the file; mode: the new mode; echo: the text
    bool force = false;       // put -f
    uint16_t block_size = 0;  // get, put: the PASEL block size asked for (0: the default)
    long count = 0;           // flood: lines
};

// Splits a typed line into a command. Words are separated by blanks; the verb is matched in
// any case. False with error (what was wrong and the usage) when the verb is unknown or the
// words do not fit it.
bool shell_parse(const std::string& line, ShellCommand& cmd, std::string& error);

// Device text for data: printable ASCII and CR kept, LF made CR LF (unless a CR came before),
// tab made a blank, every other byte a '.' (0x02 and ESC would start host commands in KIVET
// mode, 0xC0 a frame in PASEL mode). At most max bytes of data are taken.
std::string printable_text(const Bytes& data, size_t max);

struct ShellConfig {
    std::string dir;                              // the device's own directory
    TransferSetup setup;                          // the mode and the PASEL parameters
    std::function<std::string()> link_report;     // a line about the link; may be empty
    std::function<void(const std::string&)> log;  // the emulator's own log; may be empty
};

class Shell
{
  public:
    Shell(Link& link, ShellConfig config);

    // Sends the banner and the first prompt.
    void start();
    // Bytes from the host: typed keys (in PASEL mode also stray frames, an END answered with
    // ACK 0). A finished line runs at once, to its end, reading the link itself.
    void feed(const Bytes& bytes);
    DeviceMode mode() const
    {
        return config_.setup.mode;
    }

  private:
    void feed_typed(uint8_t b);
    void run(const ShellCommand& cmd);
    void run_read(const ShellCommand& cmd, bool show);
    void run_put(const ShellCommand& cmd);
    void run_flood(long lines);
    void run_mode(const std::string& word);
    void show_stat();
    void show_list();
    // Device text; LF becomes CR LF.
    void say(const std::string& text);
    // Writes text paced like a serial line; false when the host is gone.
    bool send_text(const std::string& text);
    void prompt();
    void log(const std::string& text) const;

    Link& link_;
    ShellConfig config_;
    LineEditor editor_;
    FrameDecoder frames_;  // PASEL mode: frames that come between commands
};

}  // namespace devsim
