// tests/e2e/pressure_trace_test.cpp: the protocol trace of a noisy PASEL line stays small: what
// the noise repeats is summarised once a second, the first of each kind written whole.
#include <chrono>
#include <cstdio>
#include <regex>

#include "tests/e2e/harness.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

TEST(Pressure, TraceOfANoisyLineStaysSmall)
{
    constexpr int SECONDS = 5;
    constexpr size_t BYTES_PER_MS = 12;  // about 115 200 baud, a millisecond at a time
    Host h;
    ASSERT_TRUE(h.start(PASEL_BIN, {"/TRACE:n.trc", h.port_name(), "115200"}));
    const std::string noise = random_bytes(BYTES_PER_MS * 1000 * SECONDS, 23);
    const Clock::time_point start = Clock::now();
    for (size_t at = 0, slice = 0; at < noise.size(); at += BYTES_PER_MS, ++slice) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(slice));
        ASSERT_TRUE(h.device().write(noise.substr(at, BYTES_PER_MS)));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);

    const std::string trace = read_file(h.file("n.trc"));
    std::printf("trace under noise: %zu bytes for %zu bytes in %.1f s, %.2f MB per hour\n",
                trace.size(), noise.size(), seconds,
                static_cast<double>(trace.size()) / seconds * 3600 / 1e6);
    EXPECT_LT(trace.size(), 2000 + 1500 * size_t(seconds)) << trace;
    const std::string stamp = "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ";
    const std::regex whole(stamp + "frame dropped: bad checksum, \\d+ bytes\n");
    const std::regex summary(stamp + "frame dropped: bad checksum, \\d+ bytes \\(x\\d+ since " +
                             stamp.substr(0, stamp.size() - 1) + "\\)\n");
    EXPECT_TRUE(std::regex_search(trace, whole)) << trace;
    EXPECT_TRUE(std::regex_search(trace, summary)) << trace;
    EXPECT_NE(trace.find(" end\n"), std::string::npos);
}
