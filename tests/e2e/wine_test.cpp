// tests/e2e/wine_test.cpp: the Windows build of the program under Wine, met by a device on a
// pseudo-terminal. The Wine prefix's COM5 is a symbolic link to the device's pty; the
// program's standard input is a second pty (Wine makes a console of it, and turns the
// terminal's key sequences into key events) and its standard output a pipe (Wine's console
// would rewrite output written to a terminal). Skipped when the Windows build or Wine is not
// there.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/e2e/pasel_util.h"
#include "tools/devsim/kivet_device.h"
#include "tools/devsim/pasel_device.h"

using namespace e2e;
using devsim::Bytes;

namespace
{

using Clock = std::chrono::steady_clock;

const std::string COM_LINK = "com5";  // the port the program is given, in the prefix

std::string windows_exe()
{
    const char* env = getenv("KIVET_WIN_EXE");
    return env != nullptr && *env != '\0' ? env : WIN_KIVET_BIN;
}

// The Wine prefix the Windows unit tests use, next to the binaries (made on first use).
std::string wine_prefix()
{
    return std::filesystem::path(windows_exe()).parent_path().string() + "/wine";
}

bool wine_installed()
{
    return system("command -v wine >/dev/null 2>&1") == 0;
}

// The program under Wine: standard input on a pty the test types into, standard output and
// error on a pipe a reader thread collects.
class WineHost
{
  public:
    WineHost()
    {
        con_master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(con_master_, 0);
        (void)grantpt(con_master_);
        (void)unlockpt(con_master_);
        std::error_code ec;
        std::filesystem::create_directories(wine_prefix() + "/dosdevices", ec);
        point_com(device_->slave_path());
    }
    ~WineHost()
    {
        if (pid_ > 0) {
            (void)kill(-pid_, SIGKILL);
            (void)waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (out_ >= 0) {
            close(out_);
        }
        if (con_master_ >= 0) {
            close(con_master_);
        }
        if (testing::Test::HasFailure()) {
            std::lock_guard<std::mutex> g(mutex_);
            fprintf(stderr, "screen:\n%s\n", escaped(screen_).c_str());
        }
    }

    void spawn(const std::vector<std::string>& args)
    {
        const std::string slave = ptsname(con_master_);
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        std::vector<std::string> all = {WINE_RUN, wine_prefix(), windows_exe()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const std::string cwd = dir_.path();
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            (void)setsid();  // its own process group, killed whole at the end
            const int in = open(slave.c_str(), O_RDWR | O_NOCTTY);
            if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(out[1], 2) < 0 ||
                chdir(cwd.c_str()) != 0) {
                _exit(127);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        reader_ = std::thread([this] { read_loop(); });
    }

    // Waits until needle has appeared after the cursor and moves the cursor past it; returns
    // the text from the cursor through the needle (on time-out, all the text after it).
    std::string screen_read(const std::string& needle, int timeout_ms = WAIT_MS)
    {
        std::unique_lock<std::mutex> g(mutex_);
        size_t at = std::string::npos;
        grew_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
            at = screen_.find(needle, cursor_);
            return at != std::string::npos || ended_;
        });
        at = screen_.find(needle, cursor_);
        const size_t end = at == std::string::npos ? screen_.size() : at + needle.size();
        std::string s = screen_.substr(cursor_, end - cursor_);
        cursor_ = end;
        return s;
    }
    // All the text after the cursor once the output has ended (or the time is up).
    std::string screen_rest(int timeout_ms = WAIT_MS)
    {
        std::unique_lock<std::mutex> g(mutex_);
        grew_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return ended_; });
        std::string s = screen_.substr(cursor_);
        cursor_ = screen_.size();
        return s;
    }

    void keys(std::string_view bytes)
    {
        ASSERT_EQ(write(con_master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // Exit code when the program has ended within the time, else -1.
    int wait_exit(int timeout_ms = WAIT_MS)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        int status = 0;
        while (Clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    devsim::Pty& device()
    {
        return *device_;
    }
    // The adapter pulled out: COM5 names nothing and the device's pty closes.
    void unplug()
    {
        point_com(dir_.path() + "/no-device");
        device_.reset();
    }
    // A device plugged in: a new pty takes COM5.
    void plug()
    {
        device_ = std::make_unique<devsim::Pty>();
        point_com(device_->slave_path());
    }
    std::string file(const std::string& name) const
    {
        return dir_.file(name);
    }
    const std::string& dir() const
    {
        return dir_.path();
    }

  private:
    void point_com(const std::string& target)
    {
        const std::string link = wine_prefix() + "/dosdevices/" + COM_LINK;
        std::error_code ec;
        std::filesystem::remove(link, ec);
        std::filesystem::create_symlink(target, link, ec);
        EXPECT_FALSE(ec) << link;
    }

    void read_loop()
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = read(out_, buf, sizeof buf);
            std::lock_guard<std::mutex> g(mutex_);
            if (n <= 0) {
                ended_ = true;
                grew_.notify_all();
                return;
            }
            screen_.append(buf, size_t(n));
            grew_.notify_all();
        }
    }

    TempDir dir_;
    std::unique_ptr<devsim::Pty> device_ = std::make_unique<devsim::Pty>();
    int con_master_ = -1;
    int out_ = -1;
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable grew_;
    std::string screen_;  // guarded by mutex_
    size_t cursor_ = 0;   // guarded by mutex_
    bool ended_ = false;  // guarded by mutex_
};

// The receive thread purges the port once when it starts: a probe is sent until it shows.
// Returns the text shown meanwhile.
std::string probe_until_shown(WineHost& h)
{
    std::string shown;
    for (int i = 0; i < 50; ++i) {
        const std::string probe = "probe " + std::to_string(i) + "\r\n";
        EXPECT_TRUE(h.device().write(probe));
        const std::string s = h.screen_read(probe, 200);
        shown += s;
        if (s.size() >= probe.size() &&
            s.compare(s.size() - probe.size(), probe.size(), probe) == 0) {
            break;
        }
    }
    EXPECT_NE(shown.find("probe"), std::string::npos) << "no device text reached the console";
    return shown;
}

bool windows_build_runs()
{
    return std::filesystem::exists(windows_exe()) && wine_installed();
}

}  // namespace

TEST(Wine, WindowsBuildServesTheDeviceOnACommPort)
{
    if (!windows_build_runs()) {
        GTEST_SKIP() << "no Windows build (" << windows_exe() << ") or no Wine";
    }
    WineHost h;
    h.spawn({"COM5", "115200", "w.log"});
    EXPECT_EQ(h.screen_read("exit.\n", 60000),
              "KIVET32" + std::string(VERSION_TEXT) +
                  "\nLog file: \"w.log\", Press <End> key to exit.\n");

    std::string shown = probe_until_shown(h);
    ASSERT_FALSE(testing::Test::HasFailure());

    // Device text byte for byte, XON and XOFF included (no flow control swallows them).
    const std::string text = "device \x11 text \x13 with\tcontrols\r\n";
    ASSERT_TRUE(h.device().write(text));
    EXPECT_EQ(h.screen_read(text), text);
    shown += text;

    // A key reaches the device.
    h.keys("k");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "k");

    // The host file service: open, read, close, reply bytes exactly.
    ASSERT_TRUE(write_file(h.file("hello.RMS"), "hello"));
    ASSERT_TRUE(h.device().write(devsim::kivet_open(1, "hello.RMS")));
    EXPECT_EQ(h.device().read_text(4, WAIT_MS), std::string("\x01\x00\x00\x00", 4));
    ASSERT_TRUE(h.device().write(devsim::kivet_read(1, 16)));
    EXPECT_EQ(h.device().read_text(9, WAIT_MS), std::string("\x05\x00hello\x00\x00", 9));
    ASSERT_TRUE(h.device().write(devsim::kivet_close(1)));
    EXPECT_EQ(h.device().read_text(2, WAIT_MS), std::string("\x00\x00", 2));

    // A second opener of the port is not tried: Wine opens a pseudo-terminal for a second
    // program whatever the sharing asked for (Windows refuses it with error 5).

    // F4 to PASEL mode, then the device gets a 300-byte file by the packet link.
    h.keys(KEY_F4);
    EXPECT_NE(h.screen_read("Backspace key: 08\n").find("change to PASEL32"), std::string::npos);
    const Bytes file = seeded_bytes(300, 12);
    ASSERT_TRUE(write_file(h.file("p300.bin"), devsim::to_string(file)));
    devsim::PaselDevice dev(h.device());
    const devsim::PaselResult r = dev.get("p300.bin", 128, 500, 1000);
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_TRUE(r.data == file) << "the file arrived changed";

    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_NE(h.screen_read("program terminated.\n").find("Log file \"w.log\""), std::string::npos);
    EXPECT_EQ(read_file(h.file("w.log")), shown);
}

// End cancels the receive thread's waiting read: that is no lost port, and nothing is said after
// the program's last line.
TEST(Wine, EndSaysNothingAfterTheProgramTerminated)
{
    if (!windows_build_runs()) {
        GTEST_SKIP() << "no Windows build (" << windows_exe() << ") or no Wine";
    }
    WineHost h;
    h.spawn({"COM5", "115200"});
    ASSERT_NE(h.screen_read("exit.\n", 60000).find("Press <End> key to exit."), std::string::npos);
    probe_until_shown(h);
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
    ASSERT_NE(h.screen_read("program terminated.\n").find("KIVET32: program terminated."),
              std::string::npos);
    EXPECT_EQ(escaped(h.screen_rest()), "");
}

// The adapter pulled out and plugged in again: the program says the port is lost, opens COM5
// again when it is back and serves the new device both ways.
TEST(Wine, LostComPortIsOpenedAgainWhenItIsBack)
{
    if (!windows_build_runs()) {
        GTEST_SKIP() << "no Windows build (" << windows_exe() << ") or no Wine";
    }
    WineHost h;
    h.spawn({"COM5", "115200"});
    ASSERT_NE(h.screen_read("exit.\n", 60000).find("Press <End> key to exit."), std::string::npos);
    probe_until_shown(h);

    h.unplug();
    EXPECT_NE(h.screen_read("waiting for it to come back.\n")
                  .find("\r\nKIVET32: Port \"COM5\" lost, waiting for it to come back.\n"),
              std::string::npos);
    h.plug();
    EXPECT_NE(h.screen_read("is back.\n").find("\r\nKIVET32: Port \"COM5\" is back.\n"),
              std::string::npos);
    ASSERT_TRUE(h.device().write("second device\r\n"));
    EXPECT_NE(h.screen_read("second device\r\n").find("second device\r\n"), std::string::npos);
    h.keys("k");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "k");

    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
}
