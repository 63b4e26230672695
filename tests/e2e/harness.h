// tests/e2e/harness.h: the built program run as a user and a device meet it. A Host starts the
// binary in a fresh temporary directory with its port on a pseudo-terminal whose master the test
// holds as the device, and its console (standard input, output and error) on a second
// pseudo-terminal whose master the test types keys into and reads the screen from. run_captured
// runs the binary without a port or console, for the texts and exit codes of a start that stops.
//
// The console pseudo-terminal starts in the ordinary cooked mode of a fresh terminal, but with
// output processing off, so the bytes the program writes reach the screen unchanged ("\n" stays
// "\n") and the tests compare exact texts. The program puts the console in raw mode for input
// and must restore this mode when it ends.
//
// Keys: keys() writes the bytes at once. The program keeps what is typed while it is busy and
// handles the keys in order, so a test waits only where its next step depends on a key having
// been handled (the device's next bytes, a file, a signal): for a visible sign of it, text on
// the screen or bytes at the device.
//
// All waits have deadlines; none is an assertion about time. One test thread drives a Host;
// the screen is collected by a reader thread under a mutex.
//
// Launcher: with KIVET_E2E_WINE set (to the Windows build's kivet32.exe, or to 1 for the one
// KIVET_WIN_EXE or the build names), the same tests run the Windows build under Wine, through
// scripts/wine-run.sh in a Wine prefix of the test binary's own (wine/ next to it). KIVET_BIN
// and PASEL_BIN stand for kivet32.exe and pasel32.exe; a program run under another name is a
// copy of that name (Windows has no links to programs). The device's pseudo-terminal is a COM
// port of the prefix (dosdevices/comN, a symbolic link to the slave), and port_name() is that
// "COMn". Standard input is the console pseudo-terminal, of which Wine makes a console (turning
// the terminal's key sequences into key events); standard output and error are a pipe that is
// read as the screen, since Wine's console would rewrite text written to a terminal. So "\n"
// stays "\n" there too, and the texts compare exactly. Ready is read from /proc as well: every
// thread of the program blocked in a system call, unchanged for a while, and the console
// terminal out of canonical mode (Wine's console has it raw). Keys are written
// without waiting: the program keeps type-ahead. Tests that cannot apply under Wine skip with
// SKIP_ON_WINE and a one-line reason; tests/e2e/README.md lists them.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/devsim/pty.h"

namespace e2e
{

constexpr int WAIT_MS = 10000;  // default deadline of every wait: generous for sanitizer builds

// True when the tests run the Windows build under Wine (KIVET_E2E_WINE).
bool on_wine();

// Skips the rest of the test under Wine, saying why in one line.
#define SKIP_ON_WINE(reason)                                                                       \
    do {                                                                                           \
        if (::e2e::on_wine()) {                                                                    \
            GTEST_SKIP() << "not under Wine: " << (reason);                                        \
        }                                                                                          \
    } while (false)

// Natively false. Under Wine true, after printing in one line which check of the test is left
// out there and why: for a check that cannot apply under Wine in a test that otherwise does.
bool left_out_on_wine(std::string_view reason);

// The port argument the program takes for a pseudo-terminal slave named as below /dev/
// ("pts/7"): that name natively; under Wine a COM port of the prefix linked to the slave.
std::string port_argument(const std::string& linux_port);
// Under Wine: points the prefix's link of com_port ("COM107") at the slave linux_port ("pts/9"),
// or, with linux_port empty, at no file: a COM adapter pulled out and plugged in again.
void wine_port_relink(const std::string& com_port, const std::string& linux_port);

// Keys as an xterm sends them.
inline constexpr std::string_view KEY_F1 = "\x1bOP";
inline constexpr std::string_view KEY_F2 = "\x1bOQ";
inline constexpr std::string_view KEY_F3 = "\x1bOR";
inline constexpr std::string_view KEY_F4 = "\x1bOS";
inline constexpr std::string_view KEY_F5 = "\x1b[15~";
inline constexpr std::string_view KEY_F6 = "\x1b[17~";
inline constexpr std::string_view KEY_F7 = "\x1b[18~";
inline constexpr std::string_view KEY_F8 = "\x1b[19~";
inline constexpr std::string_view KEY_F9 = "\x1b[20~";
inline constexpr std::string_view KEY_F10 = "\x1b[21~";
inline constexpr std::string_view KEY_F11 = "\x1b[23~";
inline constexpr std::string_view KEY_END = "\x1b[F";
inline constexpr std::string_view KEY_UP = "\x1b[A";
inline constexpr std::string_view KEY_DOWN = "\x1b[B";
inline constexpr std::string_view KEY_RIGHT = "\x1b[C";
inline constexpr std::string_view KEY_LEFT = "\x1b[D";
inline constexpr std::string_view KEY_DELETE = "\x1b[3~";
inline constexpr std::string_view KEY_BACKSPACE = "\x7f";
inline constexpr std::string_view KEY_ENTER = "\r";
inline constexpr std::string_view KEY_CTRL_C = "\x03";

// Texts the program prints, exactly.
inline constexpr std::string_view VERSION_TEXT = " Version " KIVET_VERSION ", Build: Oct 21 2002";
inline constexpr std::string_view USAGE_TEXT =
    "[/?] [/HELP] [/KIVET] [/PASEL] [/TIMESTAMP] [<com> [[<baud> [<file>]]]\n"
    "Options:\n"
    "      /? : Print usage\n"
    "      /HELP : Print usage\n"
    "      /KIVET : KIVET mode\n"
    "      /PASEL : PASEL mode\n"
    "      /TIMESTAMP : Enable timestamp\n"
    "      /ROOT:<dir> : Serve the device only the files under <dir>\n"
    "      <com>: COM1/COM2/..., default:COM1\n"
    "      <baud>: 1200/2400/4800/9600/19200/38400/57600/115200/..., Default: 57600\n"
    "      <file>: Log file name\n"
    "      <com>: rfc2217://HOST:PORT or tcp://HOST:PORT for a port on another machine\n"
    "Hot keys:\n";
inline constexpr std::string_view HOTKEY_TEXT =
    "      <F1>  : Show system status and hot keys\n"
    "      <F2>  : Set <BACKSPACE> ASCII as 0x7f or 0x08\n"
    "      <F3>  : Enable/Disable timestamp in KIVET\n"
    "      <F4>  : Toggle PASEL/KIVET mode.\n"
    "      <F5>  : Send a file.\n"
    "      <F6>  : Add a scheme task.\n"
    "      <F7>  : Delete a scheme task.\n"
    "      <F8>  : Show scheme task list.\n"
    "      <F9>  : Capture file begin.\n"
    "      <F10> : Capture file end.\n"
    "      <F11> : Toggle random char send mode.\n"
    "      <DEL> : ASCII 08\n"
    "      <End> : Exit the program.\n";

// The banner line of a normal start with no warnings and no log file, for label "KIVET32" or
// "PASEL32".
std::string banner_line(std::string_view label);

// Control bytes made visible (\r, \n, \xNN), for failure messages.
std::string escaped(std::string_view s);

// n bytes of every value, the same for the same seed.
std::string random_bytes(size_t n, uint32_t seed);

// Whole file as bytes; empty when it cannot be read. Writes create or truncate.
std::string read_file(const std::string& path);
bool write_file(const std::string& path, std::string_view data);
bool file_exists(const std::string& path);

// A directory made with mkdtemp under /tmp, removed with its contents at destruction.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const
    {
        return path_;
    }
    // path() + "/" + name
    std::string file(const std::string& name) const;

  private:
    std::string path_;
};

// The outcome of run_captured: exit code (128 + signal number when a signal ended it, -1 when
// it did not end in time and was killed) and everything written to stdout and stderr.
struct RunResult {
    int exit_code = -1;
    std::string output;
};

// Runs bin with args in cwd (the test's own directory when empty), stdin from /dev/null,
// stdout and stderr into one pipe, and waits up to timeout_ms for it to end. name, when not
// empty, is the file name the program is run under: a symbolic link of that name in cwd.
RunResult run_captured(const std::string& bin, const std::vector<std::string>& args,
                       const std::string& cwd = "", const std::string& name = "",
                       int timeout_ms = WAIT_MS);

class Host
{
  public:
    // Makes the temporary directory and both pseudo-terminals; starts nothing.
    Host();
    // Kills a program still running (SIGKILL) and reaps it; stops the screen reader. When the
    // test has failed, prints the screen for the diagnosis.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Starts bin with args, in dir(), port and console as above, without waiting. name, when
    // not empty, is the file name the program is run under (a symbolic link in dir()).
    void spawn(const std::string& bin, const std::vector<std::string>& args,
               const std::string& name = "");
    // spawn(), then wait_ready(): the usual start of a session.
    testing::AssertionResult start(const std::string& bin, const std::vector<std::string>& args,
                                   const std::string& name = "");
    // Waits until start-up is complete: the console thread waits for keys and the receive
    // thread waits for the port (which it purges once when it starts, so a device that writes
    // earlier may lose its bytes; a network port is not purged, and waits once connected).
    testing::AssertionResult wait_ready(int timeout_ms = WAIT_MS);

    // The device's end of the port, and the port argument the program takes for it ("pts/7";
    // under Wine "COM107").
    devsim::Pty& device()
    {
        return device_;
    }
    std::string port_name() const
    {
        return port_name_;
    }
    // The program's working directory, and a file in it.
    const std::string& dir() const
    {
        return dir_.path();
    }
    std::string file(const std::string& name) const
    {
        return dir_.file(name);
    }
    pid_t pid() const
    {
        return pid_;
    }

    // Writes the bytes of key events to the console, at once; a failed write is recorded as a
    // test failure.
    void keys(std::string_view bytes);

    // Everything the program has written to the console so far.
    std::string screen();
    // The screen is read through a cursor. screen_until waits until needle appears after the
    // cursor and moves the cursor just past it; the failure message shows the text after it.
    testing::AssertionResult screen_until(const std::string& needle, int timeout_ms = WAIT_MS);
    // Like screen_until, but returns the text from the cursor through the needle; on time-out,
    // all the text after the cursor (which is then moved to the end).
    std::string screen_read(const std::string& needle, int timeout_ms = WAIT_MS);
    // Moves the cursor to the end of what has arrived.
    void screen_skip();
    // Stops reading the console (a paused terminal: the program's writes to it fill it up), and
    // reads on again.
    void screen_pause(bool paused);
    // Reads the console at most this many bytes a second (a slow terminal); 0: as fast as it
    // comes.
    void screen_throttle(size_t bytes_per_second);

    // Sends a signal to the program.
    void signal(int sig);
    // Waits for the program to end: its exit code, 128 + the signal's number when a signal
    // ended it, -1 when it still runs at the deadline.
    int wait_exit(int timeout_ms = WAIT_MS);

    // The console's terminal mode now, and as it was before the program started.
    termios console_mode() const;
    // Before spawn(): the console keeps a fresh terminal's output processing (NL to CR NL).
    void console_output_processing();
    const termios& console_mode_before() const
    {
        return console_before_;
    }

  private:
    void reader_loop();
    bool console_thread_reading() const;
    testing::AssertionResult wait_ready_wine(int timeout_ms);

    TempDir dir_;
    devsim::Pty device_;
    std::string port_name_;
    int con_master_ = -1;  // the test's end of the console
    // Held open all along: the program's stdin, stdout and stderr (under Wine its stdin).
    int con_slave_ = -1;
    int wine_out_[2] = {-1, -1};  // under Wine: the screen, a pipe; the write end held all along
    int screen_fd_ = -1;          // what the reader reads as the screen
    termios console_before_{};
    pid_t pid_ = -1;      // the running program, -1 when none
    int exit_code_ = -1;  // once reaped

    int stop_pipe_[2] = {-1, -1};  // wakes the reader thread for its end
    std::atomic<bool> paused_{false};
    std::atomic<size_t> throttle_{0};  // bytes a second, 0 for no limit
    std::thread reader_;
    std::mutex screen_mutex_;
    std::condition_variable screen_grew_;
    std::string screen_;  // guarded by screen_mutex_
    size_t cursor_ = 0;   // guarded by screen_mutex_
};

// ser2net, the network serial server, in the foreground on 127.0.0.1 only, serving a
// pseudo-terminal the test holds as the device: the program's port is then name(). The first
// start takes a free port; later starts (after stop()) take the same one, a server restarted.
// Started from a configuration file in the test's directory; what ser2net prints goes to a file
// there, shown when the test fails. Stopped by its pid (SIGTERM, SIGKILL after 2 s), at the
// latest at destruction. The same ser2net serves the Windows build under Wine.
struct Ser2netOptions {
    bool telnet = true;     // a telnet(rfc2217) accepter; false: raw bytes (tcp)
    std::string banner;     // sent to each new client; ser2net's escapes (\r, \n) apply
    bool chardelay = true;  // ser2net's default: device bytes wait a little to go in bigger chunks
    int max_connections = 1;  // a client beyond them is answered "Port already in use"
};

class Ser2net
{
  public:
    Ser2net(devsim::Pty& device, const std::string& dir, Ser2netOptions options = {});
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Starts it and waits until it listens.
    testing::AssertionResult start();
    void stop();

    uint16_t port() const
    {
        return port_;
    }
    // "rfc2217://127.0.0.1:PORT", or "tcp://..." for raw bytes.
    std::string name() const;

  private:
    bool listening() const;

    devsim::Pty& device_;
    std::string dir_;
    Ser2netOptions options_;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    int starts_ = 0;
};

// A plain client of a server on 127.0.0.1: another user holding its port.
class Ser2netClient
{
  public:
    explicit Ser2netClient(uint16_t port);
    ~Ser2netClient();
    Ser2netClient(const Ser2netClient&) = delete;
    Ser2netClient& operator=(const Ser2netClient&) = delete;

    // Reads until needle has arrived (true) or the deadline has passed.
    bool read_until(const std::string& needle, int timeout_ms = WAIT_MS);
    void close();

  private:
    int fd_ = -1;
    std::string got_;
};

// A free TCP port of 127.0.0.1 (bound to port 0 and let go).
uint16_t free_local_port();

// A listener on 127.0.0.1 whose connect hangs: its backlog is full (listen(fd, 0), one
// connection made and never accepted), so the next connect's SYN is dropped.
class HangingListener
{
  public:
    explicit HangingListener(uint16_t port = 0);
    ~HangingListener();
    HangingListener(const HangingListener&) = delete;
    HangingListener& operator=(const HangingListener&) = delete;

    uint16_t port() const
    {
        return port_;
    }
    // A further connect is still pending after ms (it hangs), checked with a probe connect.
    bool hangs(int ms) const;

  private:
    int listen_fd_ = -1;
    int filler_fd_ = -1;
    uint16_t port_ = 0;
};

// Ends the program by SIGTERM (by_signal) or the End key; returns its exit code (waited for up
// to 10 s) and the seconds from the signal or key to the exit in *took.
int end_by(Host& h, bool by_signal, double* took);

}  // namespace e2e
