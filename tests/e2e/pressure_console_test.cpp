// tests/e2e/pressure_console_test.cpp: the console thread under pressure. A console nobody
// reads (full to the brim, as a pipe to a pager that shows one screen is), a link lock held
// for long by the receive thread's console write, a device flooding a slow console: End and
// the signals still end the program, an Esc typed meanwhile stays Esc, and a key still reaches
// the device at once.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/e2e/harness.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr double EXIT_LIMIT_S = 3.0;  // End and the signals end the program within this

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Stops reading the console and fills it up through the program's own standard output (the
// console pseudo-terminal natively, the screen pipe under Wine), until it takes no more: a
// console nobody reads, with no write of the program waiting in it.
testing::AssertionResult fill_console(Host& h)
{
    h.screen_pause(true);
    const std::string out = "/proc/" + std::to_string(h.pid()) + "/fd/1";
    const int fd = ::open(out.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return testing::AssertionFailure() << "cannot open " << out;
    }
    // A terminal's room comes in buffers of its own size: a write that finds no room for its
    // size may still find room for a smaller one, so the last writes are single bytes. And it
    // moves its bytes on in steps: a write that finds no room is tried again a while later.
    const std::string junk(4096, '.');
    size_t total = 0;
    size_t size = junk.size();
    for (int quiet = 0; quiet < 3;) {
        const ssize_t n = ::write(fd, junk.data(), size);
        if (n > 0) {
            total += size_t(n);
            quiet = 0;
        } else if (size > 1) {
            size /= 16;
        } else {
            ++quiet;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ::close(fd);
    std::printf("console filled with %zu bytes\n", total);
    return testing::AssertionSuccess();
}

// The program started in KIVET mode with a log; the console filled, and then a line of the
// device's that the receive thread writes to it: the thread waits there holding the link lock.
testing::AssertionResult hold_the_lock(Host& h)
{
    if (testing::AssertionResult r = h.start(KIVET_BIN, {h.port_name(), "115200", "p.log"}); !r) {
        return r;
    }
    if (testing::AssertionResult r = h.screen_until("exit.\n"); !r) {
        return r;
    }
    if (testing::AssertionResult r = fill_console(h); !r) {
        return r;
    }
    if (!h.device().write("held\r\n")) {
        return testing::AssertionFailure() << "the device could not write";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return testing::AssertionSuccess();
}

}  // namespace

// A console nobody reads and a quiet device: nobody holds the link lock, and the shutdown's own
// messages find no room. End and SIGTERM end the program all the same, the log closed whole.
TEST(Pressure, EndOrSigtermWithAFullConsoleAndAQuietDevice)
{
    for (const bool by_signal : {false, true}) {
        if (by_signal && left_out_on_wine("SIGTERM: Wine ends a Windows program on it at once")) {
            continue;
        }
        Host h;
        ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name(), "115200", "q.log"}));
        ASSERT_TRUE(h.device().write("quiet now\r\n"));
        ASSERT_TRUE(h.screen_until("quiet now\r\n"));
        ASSERT_TRUE(fill_console(h));
        double took = 0;
        const int code = end_by(h, by_signal, &took);
        std::printf("%s with a full console and a quiet device: ended in %.2f s\n",
                    by_signal ? "SIGTERM" : "End", took);
        EXPECT_EQ(code, 0);
        EXPECT_LT(took, EXIT_LIMIT_S);
        EXPECT_EQ(read_file(h.file("q.log")), "quiet now\r\n");
    }
}

// F1's text does not fit the console: the console thread waits in its own write, under the link
// lock. A signal, or End typed meanwhile, still ends the program.
TEST(Pressure, HotKeyIntoAFullConsoleThenEndOrSigterm)
{
    for (const bool by_signal : {false, true}) {
        if (by_signal && left_out_on_wine("SIGTERM: Wine ends a Windows program on it at once")) {
            continue;
        }
        Host h;
        ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
        ASSERT_TRUE(h.screen_until("exit.\n"));
        ASSERT_TRUE(fill_console(h));
        h.keys(KEY_F1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        double took = 0;
        const int code = end_by(h, by_signal, &took);
        std::printf("F1 into a full console, then %s: ended in %.2f s\n",
                    by_signal ? "SIGTERM" : "End", took);
        EXPECT_EQ(code, 0);
        EXPECT_LT(took, EXIT_LIMIT_S);
    }
}

// A paste of 1100 keys while the receive thread holds the link lock, waiting for a console
// nobody reads, and End after it: End is found behind them all.
TEST(Pressure, EndAfterALongPasteBehindAHeldLock)
{
    Host h;
    ASSERT_TRUE(hold_the_lock(h));
    std::string paste;
    for (int i = 0; i < 1100; ++i) {
        paste += char('a' + i % 26);
    }
    h.keys(paste);
    double took = 0;
    const int code = end_by(h, false, &took);
    std::printf("End after a paste of %zu keys behind a held lock: ended in %.2f s\n", paste.size(),
                took);
    EXPECT_EQ(code, 0);
    EXPECT_LT(took, EXIT_LIMIT_S);
    EXPECT_EQ(read_file(h.file("p.log")), "held\r\n");
}

// Esc typed while the link lock is held, each followed by 300 ms of silence and a key: the
// device gets each Esc as Esc, and no Alt key (Alt+1 is F1, Alt+R a reset pulse) is made of them.
TEST(Pressure, EscTypedWhileTheLockIsHeldReachesTheDeviceAsEsc)
{
    SKIP_ON_WINE("a lone Esc: Wine's console waits for the byte after an ESC");
    Host h;
    ASSERT_TRUE(hold_the_lock(h));
    for (const std::string_view keys : {"a\x1b", "x\x1b", "1\x1b", "r"}) {
        h.keys(keys);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    h.screen_pause(false);
    EXPECT_EQ(escaped(h.device().read_text(7, WAIT_MS)), escaped("a\x1bx\x1b\x31\x1br"));
    EXPECT_EQ(escaped(h.device().read_text(1, 500)), "") << "more than the keys";
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
}

// The device floods a console that shows 40 KB a second: each key typed reaches the device
// within a second (about a chunk's console write, a tenth of a second), in both modes.
TEST(Pressure, KeyReachesTheDeviceDuringAFloodIntoASlowConsole)
{
    for (const auto& [bin, label] :
         {std::pair{KIVET_BIN, "KIVET"}, std::pair{PASEL_BIN, "PASEL"}}) {
        Host h;
        ASSERT_TRUE(h.start(bin, {h.port_name(), "115200"}));
        ASSERT_TRUE(h.screen_until("exit.\n"));
        h.screen_throttle(40000);
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            std::string line;
            for (int i = 0; i < 50; ++i) {
                line += "flood text line of the device, as fast as the line carries it\r\n";
            }
            const int fd = h.device().master_fd();
            while (!stop.load()) {
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, 50) > 0) {
                    (void)!::write(fd, line.data(), line.size());
                }
            }
        });
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the console is behind by now
        double worst = 0;
        for (const char key : std::string("kwxyz")) {
            const auto typed = Clock::now();
            h.keys(std::string(1, key));
            const std::string got = h.device().read_text(1, 5000);
            const double took = seconds_since(typed);
            worst = std::max(worst, took);
            EXPECT_EQ(got, std::string(1, key)) << label;
            EXPECT_LT(took, 1.0) << label << ": key '" << key << "'";
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        stop = true;
        flood.join();
        std::printf("%s: key delay during a flood into a 40 KB/s console: %.0f ms at worst\n",
                    label, worst * 1000);
        h.screen_throttle(0);
        h.keys(KEY_END);
        EXPECT_EQ(h.wait_exit(), 0);
    }
}
