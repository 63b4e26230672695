// tests/e2e/robust_test.cpp: what a device or a PC in the field does to the host: the device
// vanishes and comes back, stops reading, names a FIFO, floods PASEL text, opens many files,
// and names files outside the served root.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "tests/e2e/harness.h"
#include "tests/e2e/pasel_util.h"
#include "tools/devsim/kivet_device.h"

using namespace e2e;
using devsim::KivetClient;
using devsim::KivetReply;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr uint16_t NOT_FOUND = 2;       // status of a missing file
constexpr uint16_t PATH_NOT_FOUND = 3;  // status of a file in a missing directory
constexpr uint16_t ACCESS_DENIED = 5;

// CPU seconds (user and system) the process has used so far, or -1.
double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) {  // state ... cmajflt: fields 3 to 13
        fields >> skip;
    }
    long utime = 0;
    long stime = 0;
    fields >> utime >> stime;
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Points the symbolic link at path to target, in one step (a reader never finds it missing).
bool point_link(const std::string& link, const std::string& target)
{
    const std::string tmp = link + ".new";
    (void)unlink(tmp.c_str());
    return symlink(target.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), link.c_str()) == 0;
}

// Starts the program with log file s.log, shows "before" and then, as a device that stops
// reading, opens a file of file_size bytes and sends `reads` read commands in one write whose
// replies it never reads; waits until the line is full.
testing::AssertionResult stall_device(Host& h, size_t file_size, int reads)
{
    if (testing::AssertionResult r = h.start(KIVET_BIN, {h.port_name(), "57600", "s.log"}); !r) {
        return r;
    }
    if (!write_file(h.file("big.bin"), random_bytes(file_size, 7)) ||
        !h.device().write("before\r\n")) {
        return testing::AssertionFailure() << "no file or no device";
    }
    if (testing::AssertionResult r = h.screen_until("before\r\n"); !r) {
        return r;
    }
    KivetClient client(h.device());
    const KivetReply open = client.open(devsim::KV_MODE_READ, "big.bin");
    if (!open.ok()) {
        return testing::AssertionFailure() << "open status " << open.status;
    }
    devsim::Bytes all;
    for (int i = 0; i < reads; ++i) {
        const devsim::Bytes one = devsim::kivet_read(open.handle, devsim::KIVET_READ_MAX);
        all.insert(all.end(), one.begin(), one.end());
    }
    if (!h.device().write(all)) {
        return testing::AssertionFailure() << "the reads were not written";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the line fills up
    return testing::AssertionSuccess();
}

}  // namespace

// The device vanishes behind a symbolic link and a new one takes the link: the host waits
// without using the CPU, says so once, and serves the new device as it served the first.
TEST(Field, VanishedDeviceIsWaitedForAndFollowedThroughASymbolicLink)
{
    Host h;
    auto first = std::make_unique<devsim::Pty>();
    ASSERT_TRUE(point_link(h.file("tty"), first->slave_path()));
    ASSERT_TRUE(h.start(KIVET_BIN, {"./tty", "57600", "r.log"}));
    ASSERT_TRUE(h.screen_until("exit.\n"));
    ASSERT_TRUE(first->write("first\r\n"));
    ASSERT_TRUE(h.screen_until("first\r\n"));

    // The adapter pulled out: its link goes, as a device manager removes it, and a new pty taking
    // the old number (another test's) is never opened by mistake.
    ASSERT_TRUE(point_link(h.file("tty"), h.file("no-device")));
    first.reset();
    ASSERT_TRUE(h.screen_until("KIVET32: Port \"./tty\" lost, waiting for it to come back.\n"));
    const double cpu_before = cpu_seconds(h.pid());
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double cpu = cpu_seconds(h.pid()) - cpu_before;
    std::printf("CPU while the device is gone: %.2f s in 5 s\n", cpu);
    EXPECT_LT(cpu, 0.5) << "the host spins while the device is gone";

    devsim::Pty second;
    ASSERT_TRUE(point_link(h.file("tty"), second.slave_path()));
    ASSERT_TRUE(h.screen_until("KIVET32: Port \"./tty\" is back.\n"));
    ASSERT_TRUE(second.write("second\r\n"));
    ASSERT_TRUE(h.screen_until("second\r\n"));
    ASSERT_TRUE(write_file(h.file("f.txt"), "served again"));
    KivetClient client(second);
    const KivetReply r = client.fetch_file("f.txt");
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_EQ(devsim::to_string(r.data), "served again");
    EXPECT_EQ(h.screen().find("lost"), h.screen().rfind("lost")) << "said more than once";

    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
    const std::string log = read_file(h.file("r.log"));
    EXPECT_NE(log.find("first\r\n"), std::string::npos);
    EXPECT_NE(log.find("second\r\n"), std::string::npos);
}

// A pseudo-terminal slave named directly is not opened again; End still ends the program.
TEST(Field, LostPseudoTerminalIsNotReopened)
{
    SKIP_ON_WINE("pts names: a COM port is always opened again");
    Host h;
    auto pty = std::make_unique<devsim::Pty>();
    ASSERT_TRUE(h.start(KIVET_BIN, {pty->port_name()}));
    const std::string name = pty->port_name();
    pty.reset();
    ASSERT_TRUE(h.screen_until("KIVET32: Port \"" + name + "\" lost. A pseudo-terminal is not " +
                               "opened again (its number goes to the next terminal); press " +
                               "<End> to exit.\n"));
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
}

// The device hangs up while End shuts the program down: that is no lost port to report, and
// nothing is said after the program's last line.
TEST(Field, HangUpDuringEndIsNotReported)
{
    Host h;
    auto pty = std::make_unique<devsim::Pty>();
    ASSERT_TRUE(h.start(KIVET_BIN, {port_argument(pty->port_name())}));
    h.keys(KEY_END);
    ASSERT_TRUE(h.screen_until("KIVET32: program terminated.\n"));
    pty.reset();  // within the second the shutdown gives the lines before the close
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_EQ(escaped(h.screen_read("\x01", 500)), "");
}

// A device that stops reading while the host answers its reads: SIGTERM still ends the program
// at once, with the log closed whole and the terminal restored.
TEST(Field, SigtermEndsTheProgramWhileTheDeviceReadsNothing)
{
    SKIP_ON_WINE("signals: Wine ends a Windows program on SIGTERM at once");
    Host h;
    ASSERT_TRUE(stall_device(h, 1 << 20, 2000));  // far more replies than the line holds

    const auto sent = Clock::now();
    h.signal(SIGTERM);
    const int code = h.wait_exit(10000);
    const double took = std::chrono::duration<double>(Clock::now() - sent).count();
    std::printf("shutdown with a stalled device: %.2f s\n", took);
    EXPECT_EQ(code, 0);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(read_file(h.file("s.log")), "before\r\n");
    EXPECT_EQ(h.console_mode().c_lflag, h.console_mode_before().c_lflag);
}

// A FIFO (with no writer) named by the device is refused with a status at once, whatever the
// mode; the service goes on.
TEST(Field, FifoNamedByTheDeviceIsRefusedWithoutBlocking)
{
    SKIP_ON_WINE("FIFOs: Linux only");
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    ASSERT_EQ(mkfifo(h.file("pipe").c_str(), 0600), 0);
    KivetClient client(h.device());
    for (const uint8_t mode : {devsim::KV_MODE_READ, devsim::KV_MODE_UPDATE}) {
        const KivetReply r = client.open(mode, "pipe");
        ASSERT_TRUE(r.answered) << "no reply for mode " << int(mode);
        EXPECT_EQ(r.handle, devsim::KIVET_BAD_HANDLE);
        EXPECT_EQ(r.status, ACCESS_DENIED);
    }
    ASSERT_TRUE(write_file(h.file("plain.txt"), "still served"));
    const KivetReply r = client.fetch_file("plain.txt");
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_EQ(devsim::to_string(r.data), "still served");
}

// A FIFO the user names as the log, without a reader: start-up says so and goes on, instead of
// waiting for a reader that may never come.
TEST(Field, FifoNamedAsTheLogWithoutAReaderIsRefusedWithoutBlocking)
{
    SKIP_ON_WINE("FIFOs: Linux only");
    Host h;
    ASSERT_EQ(mkfifo(h.file("pipe").c_str(), 0600), 0);
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name(), "9600", "pipe"}));
    EXPECT_TRUE(h.screen_until("WARNING: Failed to open trace file \"pipe\""));
    EXPECT_TRUE(h.screen_until("exit.\n"));
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
}

// 2 MB of text between frames as fast as the line carries it: all of it on the console and in
// the log, in order.
TEST(Field, PaselTextFloodIsLoggedWhole)
{
    Host h;
    ASSERT_TRUE(h.start(PASEL_BIN, {h.port_name(), "115200", "p.log"}));
    ASSERT_TRUE(h.screen_until("exit.\n"));
    std::string text;
    std::mt19937 rng(3);
    while (text.size() < (2u << 20)) {
        const size_t line = rng() % 200;
        for (size_t i = 0; i < line; ++i) {
            text += char('a' + rng() % 26);  // no '!', so the log's wrap marks stand out
        }
        text += "\r\n";
    }
    text += "<end>";
    ASSERT_TRUE(h.device().write(text));
    ASSERT_TRUE(h.screen_until("<end>", 60000));
    std::string log;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    do {
        log = read_file(h.file("p.log"));
        for (size_t at = log.find("!\r\n"); at != std::string::npos; at = log.find("!\r\n", at)) {
            log.erase(at, 3);
        }
    } while (log.size() < text.size() && Clock::now() < deadline);
    std::printf("PASEL text lost under flood: %zd of %zu bytes\n",
                ssize_t(text.size()) - ssize_t(log.size()), text.size());
    EXPECT_EQ(log.size(), text.size());
    EXPECT_TRUE(log == text) << "the log differs from the text sent";
    EXPECT_NE(h.screen().find(text), std::string::npos) << "the console lost text";
}

// The service sets no limit of its own on open files.
TEST(Field, HundredOpensWithoutClosesAreServed)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    ASSERT_TRUE(write_file(h.file("f.txt"), "x"));
    KivetClient client(h.device());
    std::set<uint16_t> handles;
    for (int i = 0; i < 100; ++i) {
        const KivetReply r = client.open(devsim::KV_MODE_READ, "f.txt");
        ASSERT_TRUE(r.ok()) << "open " << i + 1 << ": status " << r.status;
        EXPECT_NE(r.handle, devsim::KIVET_BAD_HANDLE);
        handles.insert(r.handle);
    }
    EXPECT_EQ(handles.size(), 100u);
    const KivetReply r = client.read(*handles.rbegin(), 1);
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_EQ(devsim::to_string(r.data), "x");
}

// With a served root, names that lead out of it are missing files; names in it are served.
TEST(Field, RootConfinesTheDevicesNames)
{
    Host h;
    ASSERT_EQ(mkdir(h.file("srv").c_str(), 0700), 0);
    ASSERT_TRUE(write_file(h.file("srv/in.txt"), "inside"));
    ASSERT_TRUE(write_file(h.file("out.txt"), "outside"));
    ASSERT_EQ(symlink("../out.txt", h.file("srv/link.txt").c_str()), 0);
    ASSERT_TRUE(h.start(KIVET_BIN, {"/ROOT:srv", h.port_name()}));
    KivetClient client(h.device());

    KivetReply r = client.fetch_file("in.txt");
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_EQ(devsim::to_string(r.data), "inside");
    EXPECT_EQ(client.open(devsim::KV_MODE_READ, h.file("out.txt")).status, PATH_NOT_FOUND);
    EXPECT_EQ(client.open(devsim::KV_MODE_READ, "..\\out.txt").status, PATH_NOT_FOUND);
    EXPECT_EQ(client.open(devsim::KV_MODE_READ, "link.txt").status, NOT_FOUND);
    EXPECT_EQ(client.open(devsim::KV_MODE_CREATE, "../new.txt").status, PATH_NOT_FOUND);
    EXPECT_FALSE(file_exists(h.file("new.txt")));
    r = client.store_file("sub.txt", devsim::to_bytes("made"));
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_EQ(read_file(h.file("srv/sub.txt")), "made");

    // A root that is not there ends the start: the program never serves unconfined by mistake.
    const RunResult missing = run_captured(KIVET_BIN, {"/ROOT:nowhere", "pts/0"}, h.dir());
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_NE(missing.output.find("\nERROR: Unable to open root directory \"nowhere\"\nERROR #2: "),
              std::string::npos)
        << escaped(missing.output);
}

// A key pressed while the device reads none of the replies it asked for: End and SIGTERM still
// end the program at once, with the log whole.
TEST(Field, KeyThenEndOrSigtermWithAStalledDevice)
{
    for (const bool by_signal : {true, false}) {
        if (by_signal && left_out_on_wine("SIGTERM: Wine ends a Windows program on it at once")) {
            continue;
        }
        Host h;
        ASSERT_TRUE(stall_device(h, 4 << 20, 680));
        h.keys("a");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        double took = 0;
        const int code = end_by(h, by_signal, &took);
        std::printf("key, then %s with a stalled device: ended in %.2f s\n",
                    by_signal ? "SIGTERM" : "End", took);
        EXPECT_EQ(code, 0);
        EXPECT_LT(took, 3.0);
        EXPECT_EQ(read_file(h.file("s.log")), "before\r\n");
    }
}

// SIGTERM while nobody reads the console and the device floods it with text: the program ends
// at once, and the log holds exactly the start of what the device sent.
TEST(Field, SigtermWithAStalledConsoleAndAFloodingDevice)
{
    SKIP_ON_WINE("signals: Wine ends a Windows program on SIGTERM at once");
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name(), "115200", "f.log"}));
    ASSERT_TRUE(h.screen_until("exit.\n"));
    h.screen_pause(true);
    std::string sent;
    std::mt19937 rng(9);
    const auto flood_end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < flood_end) {
        std::string line;
        for (size_t i = rng() % 120; i > 0; --i) {
            line += char('a' + rng() % 26);
        }
        line += "\r\n";
        const ssize_t n = ::write(h.device().master_fd(), line.data(), line.size());
        if (n > 0) {
            sent.append(line, 0, size_t(n));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the port is full
        }
    }
    const auto term = Clock::now();
    h.signal(SIGTERM);
    const int code = h.wait_exit(10000);
    const double took = std::chrono::duration<double>(Clock::now() - term).count();
    h.screen_pause(false);
    std::printf("SIGTERM with a stalled console: ended in %.2f s after %zu bytes sent\n", took,
                sent.size());
    EXPECT_EQ(code, 0);
    EXPECT_LT(took, 3.0);
    const std::string log = read_file(h.file("f.log"));
    EXPECT_FALSE(log.empty());
    EXPECT_TRUE(sent.compare(0, log.size(), log) == 0) << "the log is not a prefix of the text";
}

// The adapter pulled out in the middle of a file-service write: the file the device held is
// closed, the new device's boot text goes to the console and nowhere else, and the keyboard
// reaches the new device.
TEST(Field, ReconnectInTheMiddleOfAWriteFreesTheLine)
{
    Host h;
    auto first = std::make_unique<devsim::Pty>();
    ASSERT_TRUE(point_link(h.file("tty"), first->slave_path()));
    ASSERT_TRUE(h.start(KIVET_BIN, {"./tty", "57600"}));
    ASSERT_TRUE(h.screen_until("exit.\n"));
    KivetClient client(*first);
    const KivetReply open = client.open(devsim::KV_MODE_CREATE, "recon.out");
    ASSERT_TRUE(open.ok()) << "status " << open.status;
    const devsim::Bytes whole = devsim::kivet_write(open.handle, devsim::Bytes(100, 'x'));
    ASSERT_TRUE(first->write(devsim::Bytes(whole.begin(), whole.end() - 90)));  // 10 data bytes
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string before = read_file(h.file("recon.out"));

    ASSERT_TRUE(point_link(h.file("tty"), h.file("no-device")));
    first.reset();
    ASSERT_TRUE(h.screen_until("KIVET32: Closed 1 file that the device had open.\n"));
    devsim::Pty second;
    ASSERT_TRUE(point_link(h.file("tty"), second.slave_path()));
    ASSERT_TRUE(h.screen_until("KIVET32: Port \"./tty\" is back.\n"));
    ASSERT_TRUE(second.write("boot text\r\n"));
    ASSERT_TRUE(h.screen_until("boot text\r\n"));
    EXPECT_EQ(read_file(h.file("recon.out")), before) << "the new device wrote into an old file";
    h.keys("k");
    EXPECT_EQ(second.read_text(1, WAIT_MS), "k");
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
}

// A device that comes back talks at once: every line it writes as soon as its name is there
// again is shown.
TEST(Field, ReturningDeviceIsHeardFromItsFirstLine)
{
    Host h;
    auto first = std::make_unique<devsim::Pty>();
    ASSERT_TRUE(point_link(h.file("tty"), first->slave_path()));
    ASSERT_TRUE(h.start(KIVET_BIN, {"./tty", "57600"}));
    ASSERT_TRUE(h.screen_until("exit.\n"));
    ASSERT_TRUE(point_link(h.file("tty"), h.file("no-device")));
    first.reset();
    ASSERT_TRUE(h.screen_until("waiting for it to come back.\n"));
    devsim::Pty second;
    ASSERT_TRUE(point_link(h.file("tty"), second.slave_path()));
    std::string boot;
    for (int i = 1; i <= 20; ++i) {
        boot += "boot line " + std::to_string(i) + "\r\n";
    }
    ASSERT_TRUE(second.write(boot));
    ASSERT_TRUE(h.screen_until("boot line 20\r\n"));
    const std::string screen = h.screen();
    int lost = 0;
    for (int i = 1; i <= 20; ++i) {
        lost += screen.find("boot line " + std::to_string(i) + "\r\n") == std::string::npos;
    }
    std::printf("lines lost after a return: %d\n", lost);
    EXPECT_EQ(lost, 0);
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
}

// End ends the program quietly: nothing is printed after its termination message (a cancelled
// wait for the port is no lost port, on either build).
TEST(Field, EndSaysNothingAfterTheProgramTerminated)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name(), "115200"}));
    ASSERT_TRUE(h.device().write("up\r\n"));
    ASSERT_TRUE(h.screen_until("up\r\n"));
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
    ASSERT_TRUE(h.screen_until("KIVET32: program terminated.\n"));
    EXPECT_EQ(escaped(h.screen_read("\x01", 500)), "");
}

// A COM adapter pulled out and plugged in again under Windows: the port is said to be lost,
// COMn is opened again once it is back, and the new device is served both ways.
TEST(Field, LostComPortIsOpenedAgainWhenItIsBack)
{
    if (!on_wine()) {
        GTEST_SKIP() << "Windows COM ports only; natively VanishedDevice... covers a lost port";
    }
    Host h;
    auto first = std::make_unique<devsim::Pty>();
    const std::string com = port_argument(first->port_name());
    ASSERT_TRUE(h.start(KIVET_BIN, {com, "115200"}));
    ASSERT_TRUE(h.screen_until("exit.\n"));
    wine_port_relink(com, "");  // pulled out: COMn names nothing, the device's side closes
    first.reset();
    ASSERT_TRUE(
        h.screen_until("KIVET32: Port \"" + com + "\" lost, waiting for it to come back.\n"));
    devsim::Pty second;
    wine_port_relink(com, second.port_name());
    ASSERT_TRUE(h.screen_until("KIVET32: Port \"" + com + "\" is back.\n"));
    ASSERT_TRUE(second.write("second device\r\n"));
    ASSERT_TRUE(h.screen_until("second device\r\n"));
    h.keys("k");
    EXPECT_EQ(second.read_text(1, WAIT_MS), "k");
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
}
