// tests/e2e/emulator_test.cpp: the built host and the built device emulator run together, the
// emulator playing a script, as a newcomer's demo runs them: files both ways through the KIVET
// file service and through PASEL transfers, byte-exact in sizes from empty to 3 MB, names at
// the length limits, the progress lines, a PASEL get over a spoiled link that either completes
// byte-exact or fails cleanly, and the log file holding the device's text byte for byte.
//
// A run: devsim starts with --script and --port-file in the host's working directory (so that
// the script's expect-file finds the host's files by their plain names) with its own device
// directory; the host starts on the port devsim names, its console on a pseudo-terminal (an
// e2e::Host given the emulator's port instead of its own). devsim's exit code says whether the
// script held; then SIGTERM ends the host, which must exit with 0.
//
// A script never ends with device text: when devsim exits, the pseudo-terminal hangs up and
// bytes the host has not read yet are gone. Scripts end with a refused transfer, whose answer
// shows that the host has read everything before it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/harness.h"

using namespace e2e;

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int SCRIPT_MS = 120000;  // a whole script, sanitizer builds and a busy machine included
constexpr size_t MB3 = size_t(3) << 20;
constexpr size_t KIVET_NAME_LIMIT = 255;  // the open command's one-byte name length
constexpr size_t PASEL_NAME_LIMIT = 122;  // a request of block size + 2 bytes: 8 + 122 = 130

// What devsim's `create FILE SIZE` makes, computed here on its own.
std::string created_bytes(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = char(uint8_t(i * 13 + 1));
    }
    return s;
}

// Bytes as one quoted script word: printable ASCII as it is, everything else as \xHH.
std::string script_word(const std::string& bytes)
{
    std::string w = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            w += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            w += hex;
        }
    }
    return w + "\"";
}

// A name of exactly n bytes: letters and digits, ending in ".bin".
std::string long_name(size_t n)
{
    std::string s;
    for (size_t i = 0; s.size() + 4 < n; ++i) {
        s += char('a' + i % 26);
    }
    return s + ".bin";
}

int exit_code_of(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// The emulator as a child process: a script, a port file, a device directory and its report in
// a temporary directory of its own.
class Devsim
{
  public:
    Devsim() = default;
    ~Devsim()
    {
        if (pid_ > 0) {
            (void)kill(pid_, SIGKILL);
            int status = 0;
            (void)waitpid(pid_, &status, 0);
        }
        if (testing::Test::HasFailure()) {
            std::fprintf(stderr, "--- devsim's report ---\n%s---\n", report().c_str());
        }
    }
    Devsim(const Devsim&) = delete;
    Devsim& operator=(const Devsim&) = delete;

    // Writes the script, starts devsim in cwd with it and the extra options, and waits for the
    // port file.
    testing::AssertionResult start(const std::string& script, const std::string& cwd,
                                   const std::vector<std::string>& extra = {})
    {
        if (!write_file(dir_.file("script.txt"), script)) {
            return testing::AssertionFailure() << "cannot write the script";
        }
        std::vector<std::string> args = {DEVSIM_BIN, "--script",   dir_.file("script.txt"),
                                         "--dir",    device_dir(), "--port-file",
                                         port_file()};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        // Everything the child needs is made before fork: after it, async-signal-safe calls only.
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out =
            ::open(dir_.file("report.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (in < 0 || out < 0) {
            return testing::AssertionFailure() << "cannot open devsim's input or report";
        }
        const pid_t pid = fork();
        if (pid == 0) {
            (void)setsid();
            if (dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
                dup2(out, STDERR_FILENO) < 0 || chdir(cwd.c_str()) != 0) {
                _exit(127);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(in);
        ::close(out);
        if (pid < 0) {
            return testing::AssertionFailure() << "fork failed";
        }
        pid_ = pid;

        const auto deadline = Clock::now() + std::chrono::milliseconds(WAIT_MS);
        while (!file_exists(port_file())) {
            if (wait_exit(0) >= 0 || Clock::now() >= deadline) {
                return testing::AssertionFailure()
                       << "devsim named no port (exit code " << exit_code_ << "): " << report();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        port_ = read_file(port_file());
        while (!port_.empty() && (port_.back() == '\n' || port_.back() == '\r')) {
            port_.pop_back();
        }
        return testing::AssertionSuccess();
    }

    // The port to give the host ("pts/7").
    const std::string& port() const
    {
        return port_;
    }
    // Its exit code once it has ended; -1 when it still runs at the deadline.
    int wait_exit(int timeout_ms = SCRIPT_MS)
    {
        if (pid_ < 0) {
            return exit_code_;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exit_code_ = exit_code_of(status);
                return exit_code_;
            }
            if (Clock::now() >= deadline) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // Its standard output and error: the port, its log and one line per script step.
    std::string report() const
    {
        return read_file(dir_.file("report.txt"));
    }
    std::string device_dir() const
    {
        return dir_.file("device");
    }
    std::string device_file(const std::string& name) const
    {
        return device_dir() + "/" + name;
    }

  private:
    std::string port_file() const
    {
        return dir_.file("port");
    }

    TempDir dir_;
    pid_t pid_ = -1;
    int exit_code_ = -1;
    std::string port_;
};

// One host and one emulator. start() starts both; script_exit() waits for the emulator's end;
// stop() ends the host with SIGTERM and checks its exit code.
struct Session {
    Host host;
    Devsim sim;

    // host_args: the host's arguments, "PORT" standing for the emulator's port.
    testing::AssertionResult start(const std::string& bin, const std::string& script,
                                   const std::vector<std::string>& host_args,
                                   const std::vector<std::string>& sim_args = {})
    {
        testing::AssertionResult started = sim.start(script, host.dir(), sim_args);
        if (!started) {
            return started;
        }
        std::vector<std::string> args = host_args;
        for (std::string& a : args) {
            if (a == "PORT") {
                a = port_argument(sim.port());
            }
        }
        // spawn, not start: the script may keep the receive thread busy from the first moment.
        host.spawn(bin, args);
        return testing::AssertionSuccess();
    }

    testing::AssertionResult script_held()
    {
        const int rc = sim.wait_exit();
        if (rc == 0) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << "devsim ended with " << rc << ":\n" << sim.report();
    }

    void stop()
    {
        if (left_out_on_wine("SIGTERM: Wine ends a Windows program on it at once; End ends it")) {
            host.keys(KEY_END);
        } else {
            host.signal(SIGTERM);
        }
        EXPECT_EQ(host.wait_exit(), 0) << "the host did not end cleanly on SIGTERM";
        EXPECT_TRUE(host.screen_until("program terminated.\n"));
    }
};

// Files of a directory by name, with their sizes.
std::vector<std::pair<std::string, uintmax_t>> listing(const std::string& dir)
{
    std::vector<std::pair<std::string, uintmax_t>> files;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.is_regular_file()) {
            files.emplace_back(e.path().filename().string(), e.file_size());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

// KIVET file service: fetches and stores of 0, 1, 300 bytes and 3 MB, and a 255-byte name, as
// the emulated device makes them; every file checked by devsim and again here.
TEST(EmulatorKivet, FetchAndStoreByteExactWithProgressAndLongestName)
{
    Session s;
    const std::vector<size_t> sizes = {0, 1, 300, MB3};
    std::string script = "send \"kivet device ready\\r\\n\"\n";
    for (const size_t n : sizes) {
        const std::string pc = "r" + std::to_string(n) + ".bin";
        ASSERT_TRUE(write_file(s.host.file(pc), random_bytes(n, uint32_t(n + 1))));
        script += "fetch " + pc + "\nexpect-file " + pc + "\n";
    }
    for (const size_t n : sizes) {
        const std::string dev = "w" + std::to_string(n);
        script += "create " + dev + " " + std::to_string(n) + "\nstore " + dev + " as=" + dev +
                  ".bin\nexpect-file " + dev + " " + dev + ".bin\n";
    }
    const std::string longest = long_name(KIVET_NAME_LIMIT);
    ASSERT_EQ(longest.size(), KIVET_NAME_LIMIT);
    const bool longest_too =
        !left_out_on_wine("the 255-byte name: the Windows build's paths stop at MAX_PATH");
    if (longest_too) {
        script += "store w300 as=" + longest + "\nexpect-file w300 " + longest + "\n";
        script += "fetch " + longest + " as=back\nexpect-file back " + longest + "\n";
        script += "store w1 as=" + longest + " fail=80\n";  // it is there now: a create is refused
    }
    script += "send \"kivet device done|\"\nfetch missing.bin fail=2\n";

    ASSERT_TRUE(s.start(KIVET_BIN, script, {"PORT"}));
    ASSERT_TRUE(s.script_held());

    // Every file byte-exact on both sides, checked without devsim's own comparison.
    for (const size_t n : sizes) {
        const std::string pc = "r" + std::to_string(n) + ".bin";
        const std::string dev = "w" + std::to_string(n);
        EXPECT_TRUE(read_file(s.sim.device_file(pc)) == read_file(s.host.file(pc))) << pc;
        EXPECT_EQ(read_file(s.sim.device_file(pc)).size(), n) << pc;
        EXPECT_TRUE(read_file(s.host.file(dev + ".bin")) == created_bytes(n)) << dev;
    }
    // The longest name: a file of that very name in the host's directory.
    if (longest_too) {
        bool found = false;
        for (const auto& [name, size] : listing(s.host.dir())) {
            if (name == longest) {
                found = true;
                EXPECT_EQ(size, 300u);
            }
        }
        EXPECT_TRUE(found) << "no file of the 255-byte name in the host's directory";
        EXPECT_TRUE(read_file(s.sim.device_file("back")) == created_bytes(300));
    }

    // The console: the device's text and the progress line of the 3 MB read, ending at 100%.
    EXPECT_TRUE(s.host.screen_until("kivet device ready\r\n"));
    const std::string progress = s.host.screen_read("kivet device done|");
    EXPECT_NE(progress.find("\rTotal 3145728 bytes, 3145728 bytes sent (100%), "),
              std::string::npos)
        << escaped(progress);
    const std::regex shape("Total 3145728 bytes, [0-9]+ bytes sent \\([0-9]+%\\), [0-9]{2,}:[0-5]"
                           "[0-9] elapsed, [0-9]{2,}:[0-5][0-9] left");
    EXPECT_TRUE(std::regex_search(progress, shape)) << escaped(progress);
    s.stop();
}

// The log file named on the command line holds the device's text byte for byte: every byte
// value the file service leaves as text, long lines, and none of the file service commands,
// replies or progress lines between the pieces.
TEST(EmulatorKivet, LogFileHoldsTheDeviceTextByteForByte)
{
    Session s;
    std::string text;
    for (int b = 0; b < 256; ++b) {
        if (b != 0x02 && b != 0x1B) {  // the command introducer and ESC are not text
            text += char(b);
        }
    }
    text += "\r\n";
    std::string lines;
    for (int i = 0; i < 300; ++i) {
        lines += "device line " + std::to_string(i) + std::string(size_t(i % 90), '.') + "\r\n";
    }
    const std::string tail = "last piece\ttabbed\x7f\r\nkivet log done|";
    ASSERT_TRUE(write_file(s.host.file("some.bin"), random_bytes(100000, 7)));

    // The script's words are limited to what fits a line comfortably: the lines go in pieces.
    std::string script = "send " + script_word(text) + "\nfetch some.bin\n";
    for (size_t at = 0; at < lines.size(); at += 1000) {
        script += "send " + script_word(lines.substr(at, 1000)) + "\n";
    }
    script += "write up \"stored by the device\\n\"\nstore up as=up.txt\n";
    script += "send " + script_word(tail) + "\nfetch missing.bin fail=2\n";

    ASSERT_TRUE(s.start(KIVET_BIN, script, {"PORT", "57600", "dev.log"}));
    ASSERT_TRUE(s.script_held());
    EXPECT_TRUE(s.host.screen_until("kivet log done|"));
    s.stop();
    EXPECT_EQ(read_file(s.host.file("up.txt")), "stored by the device\n");
    const std::string log = read_file(s.host.file("dev.log"));
    const std::string want = text + lines + tail;
    EXPECT_EQ(log.size(), want.size());
    EXPECT_TRUE(log == want) << "log: \"" << escaped(log.substr(0, 2000)) << "\"";
}

// PASEL: gets and puts of 0, 129 bytes and 3 MB, and a 122-byte name with block size 128, with
// time stamps on, which apply to KIVET text only: PASEL text and files come through unstamped.
TEST(EmulatorPasel, GetAndPutByteExactWithLongestNameAndNoTimeStamps)
{
    Session s;
    const std::vector<size_t> sizes = {0, 129, MB3};
    std::string script = "mode pasel\nsend \"pasel device ready\\r\\n\"\n";
    for (const size_t n : sizes) {
        const std::string pc = "g" + std::to_string(n) + ".bin";
        ASSERT_TRUE(write_file(s.host.file(pc), random_bytes(n, uint32_t(n + 11))));
        script += "get " + pc + " bs=128\nexpect-file " + pc + "\n";
    }
    for (const size_t n : sizes) {
        const std::string dev = "p" + std::to_string(n);
        script += "create " + dev + " " + std::to_string(n) + "\nput " + dev + " bs=128 as=" + dev +
                  ".bin\nexpect-file " + dev + " " + dev + ".bin\n";
    }
    const std::string longest = long_name(PASEL_NAME_LIMIT);
    ASSERT_EQ(longest.size(), PASEL_NAME_LIMIT);
    script += "put p129 bs=128 as=" + longest + "\nexpect-file p129 " + longest + "\n";
    script += "get " + longest + " bs=128 as=back\nexpect-file back " + longest + "\n";
    script += "send \"pasel device done|\"\nget missing.bin fail=5\n";

    ASSERT_TRUE(s.start(PASEL_BIN, script, {"/TIMESTAMP", "PORT", "57600", "pasel.log"}));
    ASSERT_TRUE(s.script_held());

    for (const size_t n : sizes) {
        const std::string pc = "g" + std::to_string(n) + ".bin";
        const std::string dev = "p" + std::to_string(n);
        EXPECT_TRUE(read_file(s.sim.device_file(pc)) == read_file(s.host.file(pc))) << pc;
        EXPECT_EQ(read_file(s.sim.device_file(pc)).size(), n) << pc;
        EXPECT_TRUE(read_file(s.host.file(dev + ".bin")) == created_bytes(n)) << dev;
    }
    EXPECT_TRUE(read_file(s.host.file(longest)) == created_bytes(129));
    EXPECT_TRUE(read_file(s.sim.device_file("back")) == created_bytes(129));

    // The text without a time stamp; the progress of the 3 MB get and the 3 MB put.
    const std::string before = s.host.screen_read("pasel device ready\r\n");
    EXPECT_TRUE(before.ends_with("exit.\npasel device ready\r\n"))
        << "the text stamped or not at the start of a line: " << escaped(before);
    const std::string rest = s.host.screen_read("pasel device done|");
    EXPECT_NE(rest.find("\rTotal 3145728 bytes, 3145728 bytes sent (100%), "), std::string::npos)
        << escaped(rest);
    EXPECT_NE(rest.find("\r3145728 bytes received, "), std::string::npos) << escaped(rest);
    s.stop();
    const std::string log = read_file(s.host.file("pasel.log"));
    EXPECT_NE(log.find("pasel device ready\r\n"), std::string::npos) << escaped(log);
    EXPECT_NE(log.find("pasel device done|"), std::string::npos) << escaped(log);
    EXPECT_EQ(log.find(':'), std::string::npos) << "a time stamp in the log: " << escaped(log);
}

// A get over a link that loses and spoils a few percent of the frames both ways (fixed seeds,
// one emulator and host per seed, all at once): each either completes byte-exact or fails with
// the transfer reported failed; never a wrong file reported complete.
TEST(EmulatorPasel, ImpairedGetCompletesByteExactOrFailsCleanly)
{
    constexpr int RUNS = 6;
    std::vector<std::unique_ptr<Session>> runs;
    std::vector<std::string> data;
    for (int i = 0; i < RUNS; ++i) {
        runs.push_back(std::make_unique<Session>());
        Session& s = *runs.back();
        data.push_back(random_bytes(5000 + 331 * size_t(i), uint32_t(40 + i)));
        ASSERT_TRUE(write_file(s.host.file("imp.bin"), data.back()));
        const std::string script =
            "mode pasel\nget imp.bin bs=128 t1=400 t2=400\nexpect-file imp.bin\n";
        const std::string impair =
            "drop=0.03,corrupt=0.03,dir=both,seed=" + std::to_string(1000 + i);
        ASSERT_TRUE(s.start(PASEL_BIN, script, {"PORT"}, {"--mode", "pasel", "--impair", impair}));
    }
    int completed = 0;
    int failed_cleanly = 0;
    int corrupted = 0;
    for (int i = 0; i < RUNS; ++i) {
        Session& s = *runs[size_t(i)];
        const int rc = s.sim.wait_exit();
        const std::string report = s.sim.report();
        const bool saved = file_exists(s.sim.device_file("imp.bin"));
        const bool exact = saved && read_file(s.sim.device_file("imp.bin")) == data[size_t(i)];
        // The get failed, by the host's error packet or, when that was lost, by the device's
        // time-out, and the script stopped there.
        const bool get_failed = report.find("line 2: get imp.bin: failed: ") != std::string::npos &&
                                report.find("line 3:") == std::string::npos;
        if (rc == 0 && exact) {
            ++completed;
        } else if (rc == 1 && get_failed && !saved) {
            ++failed_cleanly;
            std::printf("run %d failed cleanly: %s\n", i, report.c_str());
        } else {
            corrupted += saved && !exact ? 1 : 0;  // a wrong file kept as complete
            ADD_FAILURE() << "run " << i << ": exit code " << rc << ", file "
                          << (saved ? (exact ? "exact" : "WRONG") : "absent") << ":\n"
                          << report;
        }
        const size_t spoiled = report.find("link spoiled");
        EXPECT_NE(spoiled, std::string::npos) << report;
        if (spoiled != std::string::npos) {
            std::printf("run %d: %s", i,
                        report.substr(spoiled, report.find('\n', spoiled) - spoiled + 1).c_str());
        }
        s.stop();
    }
    std::printf("impaired get: %d attempted, %d completed, %d failed cleanly, %d corrupted\n", RUNS,
                completed, failed_cleanly, corrupted);
    EXPECT_EQ(corrupted, 0);
    EXPECT_GT(completed, 0) << "no get got through a few percent of spoiled frames";
}
