// tests/e2e/startup_test.cpp: the start and the end of a run as a user meets them: the banner
// and usage texts, the mode taken from the program's name and options, the port's failures and
// their exit codes, the log file, and the End key's and SIGTERM's orderly shutdown that leaves
// the console in the mode it found it in.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <regex>

#include "tests/e2e/harness.h"

using namespace e2e;

namespace
{

std::string version(const std::string& label)
{
    return label + std::string(VERSION_TEXT);
}

std::string usage(const std::string& label)
{
    return version(label) + "\n" + label + " " + std::string(USAGE_TEXT) + std::string(HOTKEY_TEXT);
}

std::string errno_text(int err)
{
    return "ERROR #" + std::to_string(err) + ": " + std::strerror(err) + "\n";
}

// The line after a failed open of a port that does not exist; the ports of this machine follow.
std::string no_port_at(const std::string& path)
{
    return "There is no port at \"" + path + "\"; serial ports present:\n";
}

bool starts_with(const std::string& s, const std::string& head)
{
    return s.rfind(head, 0) == 0;
}

// The terminal modes that matter to a user: line editing, echo, signals, CR/LF handling.
void expect_same_mode(const termios& got, const termios& want)
{
    EXPECT_EQ(got.c_iflag, want.c_iflag);
    EXPECT_EQ(got.c_oflag, want.c_oflag);
    EXPECT_EQ(got.c_cflag, want.c_cflag);
    EXPECT_EQ(got.c_lflag, want.c_lflag);
    EXPECT_EQ(got.c_cc[VMIN], want.c_cc[VMIN]);
    EXPECT_EQ(got.c_cc[VTIME], want.c_cc[VTIME]);
}

// Printable device text of exactly n bytes, in lines ending in CR LF.
std::string device_lines(size_t n)
{
    std::string s;
    while (s.size() < n) {
        s += (s.size() % 40 == 38)   ? '\r'
             : (s.size() % 40 == 39) ? '\n'
                                     : char('a' + s.size() % 26);
    }
    return s;
}

}  // namespace

TEST(Startup, HelpPrintsBannerAndUsageAndEndsWithZero)
{
    TempDir dir;
    RunResult r = run_captured(KIVET_BIN, {"/?"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, usage("KIVET32"));

    r = run_captured(PASEL_BIN, {"/HELP"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, usage("PASEL32"));

    // The mode option beats the name; the timestamp option may stand between it and the help.
    r = run_captured(PASEL_BIN, {"/KIVET", "/TIMESTAMP", "/hx"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, usage("KIVET32"));
    r = run_captured(KIVET_BIN, {"-p", "/h"}, dir.path());
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output, usage("PASEL32"));

    // The mode from the name: five letters "kivet" in any case, the extension cut off.
    r = run_captured(KIVET_BIN, {"/?"}, dir.path(), "KIVET32.EXE");
    EXPECT_EQ(r.output, usage("KIVET32"));
    r = run_captured(KIVET_BIN, {"/?"}, dir.path(), "kiv.exe");
    EXPECT_EQ(r.output, usage("PASEL32"));
    r = run_captured(PASEL_BIN, {"/?"}, dir.path(), "Kivetx");
    EXPECT_EQ(r.output, usage("KIVET32"));

    // The usual -h, -? and --help print the usage too.
    for (const char* h : {"-h", "-?", "--help"}) {
        r = run_captured(KIVET_BIN, {h}, dir.path());
        EXPECT_EQ(r.exit_code, 0) << h;
        EXPECT_EQ(r.output, usage("KIVET32")) << h;
    }
}

TEST(Startup, PortPathOf255CharactersWithALogInAFolderRuns)
{
    SKIP_ON_WINE("/dev names: the port is a symbolic link to /dev/pts/N");
    Host h;
    std::string link = h.dir() + "/serial/by-id/usb-Maker_Board_";
    link += std::string(255 - link.size() - 11, '0') + "-if00-port0";
    ASSERT_EQ(link.size(), 255u);
    std::filesystem::create_directories(h.dir() + "/serial/by-id");
    std::filesystem::create_directories(h.dir() + "/logs");
    ASSERT_EQ(symlink(("/dev/" + h.port_name()).c_str(), link.c_str()), 0);

    ASSERT_TRUE(h.start(PASEL_BIN, {link, "115200", "logs/board-3.log"}));
    EXPECT_EQ(h.screen_read("exit.\n"), version("PASEL32") +
                                            "\nLog file: \"logs/board-3.log\", Press <End> key "
                                            "to exit.\n");
    ASSERT_TRUE(h.device().write("board 3 up|"));
    EXPECT_EQ(h.screen_read("|"), "board 3 up|");
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_EQ(read_file(h.file("logs/board-3.log")), "board 3 up|");
}

TEST(Startup, PortThatIsNoFreeDeviceEndsWithOne)
{
    SKIP_ON_WINE("/dev names, flock and Linux's error texts");
    TempDir dir;
    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0700), 0);
    ASSERT_TRUE(write_file(dir.file("f"), "plain file"));
    const std::string head = banner_line("KIVET32");

    RunResult r = run_captured(KIVET_BIN, {"./d"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, head + "ERROR: \"./d\" is not device file.\n");
    r = run_captured(KIVET_BIN, {"./d", "9600", "no/x.log"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, version("KIVET32") +
                            "\nWARNING: Failed to open trace file \"no/x.log\", Press <End> key "
                            "to exit.\nReason: No such file or directory; no log file\nERROR: "
                            "\"./d\" is not device file.\n");

    r = run_captured(KIVET_BIN, {"./f"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, head + "ERROR: \"./f\" is not device file.\n");

    r = run_captured(KIVET_BIN, {"nodev"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(starts_with(r.output, head + "ERROR: Unable to open device file \"nodev\"\n" +
                                          errno_text(ENOENT) + no_port_at("/dev/nodev")))
        << escaped(r.output);

    // A name of 256 characters is refused before anything is opened.
    r = run_captured(KIVET_BIN, {"./" + std::string(254, 'a'), "9600", "long.log"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output.rfind(version("KIVET32") + "\nERROR: port name", 0), 0u)
        << escaped(r.output);
    EXPECT_EQ(r.output.find("Press <End>"), std::string::npos) << escaped(r.output);
    EXPECT_FALSE(file_exists(dir.file("long.log")));

    // A port that another program holds.
    devsim::Pty port;
    const int holder = ::open(port.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    r = run_captured(KIVET_BIN, {port.port_name()}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, head + "ERROR: Unable to open device file \"" + port.port_name() + "\"\n" +
                            errno_text(EWOULDBLOCK) +
                            "Another program has this port open; close it there first.\n");
    ::close(holder);

    // "/?" after the port name is the baud rate: the warning, then a rate of 0 the port refuses.
    r = run_captured(PASEL_BIN, {port.port_name(), "/?"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.output, version("PASEL32") +
                            "\nWARNING: MAYBE INVALID BAUDRATE, Press <End> key to exit.\n"
                            "SetCommState() ERROR.\n" +
                            errno_text(EINVAL));
}

TEST(Shutdown, EndKeyReportsAndClosesLogAndRestoresConsole)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name(), "9600", "x.log"}));
    EXPECT_EQ(h.screen_read("exit.\n"),
              version("KIVET32") + "\nLog file: \"x.log\", Press <End> key to exit.\n");
    const termios running = h.console_mode();
    if (!left_out_on_wine("the raw console: Wine's console keeps ISIG on its terminal")) {
        EXPECT_EQ(running.c_lflag & tcflag_t(ICANON | ECHO | ISIG), 0u) << "console not raw";
    }

    // 999 bytes, a NUL and other control bytes among them: shown and logged as they came.
    std::string text = std::string("first\r\nsec\0nd\x01\x7f\xff\r\n", 16) + device_lines(999 - 16);
    text.back() = '|';
    ASSERT_EQ(text.size(), 999u);
    ASSERT_TRUE(h.device().write(text));
    EXPECT_EQ(h.screen_read("|"), text);

    h.keys(KEY_END);
    EXPECT_EQ(h.screen_read("terminated.\n"),
              "\n\nKIVET32: Log file \"x.log\" (0 KB)\r\nKIVET32: program terminated.\n");
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_EQ(read_file(h.file("x.log")), text);
    expect_same_mode(h.console_mode(), h.console_mode_before());
}

// A console with the usual NL to CR NL processing shows the same bytes while the program does
// that itself, and has its processing back afterwards.
TEST(Shutdown, ConsoleNewlineProcessingIsKeptAndRestored)
{
    SKIP_ON_WINE("terminal output processing: the screen is a pipe");
    auto as_shown = [](const std::string& s) {
        std::string out;
        for (char c : s) {
            out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        }
        return out;
    };
    Host h;
    h.console_output_processing();
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\r\n"), as_shown(banner_line("KIVET32")));
    const std::string text = "a\nb\r\n\n" + device_lines(9000) + "|";
    ASSERT_TRUE(h.device().write(text));
    EXPECT_TRUE(h.screen_read("|") == as_shown(text))
        << "device text shown other than the terminal would";

    h.keys(KEY_END);
    EXPECT_TRUE(h.screen_until("terminated.\r\n"));
    EXPECT_EQ(h.wait_exit(), 0);
    expect_same_mode(h.console_mode(), h.console_mode_before());
}

TEST(Shutdown, SigtermEndsLikeTheEndKey)
{
    SKIP_ON_WINE("signals: Wine ends a Windows program on SIGTERM at once");
    Host h;
    ASSERT_TRUE(h.start(PASEL_BIN, {"/KIVET", h.port_name(), "57600", "sig.log"}));
    EXPECT_EQ(h.screen_read("exit.\n"),
              version("KIVET32") + "\nLog file: \"sig.log\", Press <End> key to exit.\n");

    std::string text = device_lines(1000);
    text.back() = '|';
    ASSERT_TRUE(h.device().write(text));
    EXPECT_EQ(h.screen_read("|"), text);
    h.keys(KEY_F1);
    EXPECT_EQ(h.screen_read("<End> : Exit the program.\n"),
              "\r\nKIVET32 Mode, <Backspace>=7f, timestamp=0, Log file \"sig.log\" size : 1 K\n" +
                  std::string(HOTKEY_TEXT));
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");

    h.signal(SIGTERM);
    EXPECT_EQ(h.screen_read("terminated.\n"),
              "\n\nKIVET32: Log file \"sig.log\" (1 KB)\r\nKIVET32: program terminated.\n");
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_EQ(read_file(h.file("sig.log")), text);
    expect_same_mode(h.console_mode(), h.console_mode_before());
}

TEST(Shutdown, OverlongLogNameWarnsAndRunsWithoutLog)
{
    Host h;
    const std::string log(256, 'L');  // one character more than a name may have
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name(), "300", log}));
    const std::string line = h.screen_read("exit.\n");
    EXPECT_EQ(line.rfind(version("KIVET32") + "\nWARNING: MAYBE INVALID BAUDRATE\nWARNING: ", 0),
              0u)
        << escaped(line);
    EXPECT_NE(line.find(log), std::string::npos) << escaped(line);
    EXPECT_EQ(line.substr(line.size() - 27), ", Press <End> key to exit.\n") << escaped(line);

    h.keys(KEY_F1);
    EXPECT_EQ(h.screen_read("<End> : Exit the program.\n"),
              "\r\nKIVET32 Mode, <Backspace>=7f, timestamp=0, No Log file\n" +
                  std::string(HOTKEY_TEXT));
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");

    h.keys(KEY_END);
    EXPECT_EQ(h.screen_read("terminated.\n"), "\r\nKIVET32: program terminated.\n");
    EXPECT_EQ(h.wait_exit(), 0);
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(h.dir())) {
        ++files;
    }
    EXPECT_EQ(files, 0u) << "no log file, whole or cut short";
}

// /APPEND: a second run with the same log keeps the first run's text, and each run's part
// begins with a line that names it.
TEST(Shutdown, AppendKeepsTheLogOfEarlierRuns)
{
    TempDir logs;
    const std::string log = logs.file("board.log");
    for (const std::string text : {"first run|", "second run|"}) {
        Host h;
        ASSERT_TRUE(h.start(KIVET_BIN, {"/APPEND", h.port_name(), "9600", log}));
        EXPECT_EQ(h.screen_read("exit.\n"),
                  version("KIVET32") + "\nLog file: \"" + log + "\", Press <End> key to exit.\n");
        ASSERT_TRUE(h.device().write(text));
        EXPECT_EQ(h.screen_read("|"), text);
        h.keys(KEY_END);
        EXPECT_EQ(h.wait_exit(), 0);
    }
    const std::string mark = R"(\r\n=== KIVET32 log opened \d{4}-\d\d-\d\d \d\d:\d\d:\d\d ===\r\n)";
    const std::string got = read_file(log);
    EXPECT_TRUE(std::regex_match(got, std::regex(mark + "first run\\|" + mark + "second run\\|")))
        << escaped(got);
}
