// tests/e2e/pasel_util.h: helpers shared by the packet-link and unattended-sending tests:
// seeded file contents, typing into a prompt, opening a capture file, waiting for a file's
// contents, and reading what the device receives for a while. Every wait has a deadline.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "tests/e2e/harness.h"
#include "tools/devsim/link.h"

namespace e2e
{

// The closing separator of a dialog, and the message of a file that is not there (the
// system's text: Wine's under Wine).
inline const std::string DIALOG_CLOSE = std::string(50, '-') + "\n\n";
inline const std::string NO_SUCH_FILE =
    on_wine() ? " ERROR #2: File not found.\n" : " ERROR #2: No such file or directory\n";

// n bytes, every value from 0 to 255 likely (so frames carry escaped bytes), the same for a seed.
inline devsim::Bytes seeded_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    devsim::Bytes b(n);
    for (uint8_t& x : b) {
        x = uint8_t(rng() & 0xFF);
    }
    return b;
}

// Types text in one burst, as a quick typist or a paste does: the program keeps keys typed
// ahead of its reads, on both backends.
inline void type_keys(Host& h, std::string_view text)
{
    h.keys(text);
}

// F9, the capture file's name typed and Enter: the capture is open once the program says so
// and asks the device for a prompt.
inline void begin_capture(Host& h, const std::string& name)
{
    h.keys(KEY_F9);
    EXPECT_TRUE(h.screen_until("\r\nInput filename:"));
    type_keys(h, name);
    h.keys(KEY_ENTER);
    EXPECT_TRUE(h.screen_until("Capture file :\"" + name + "\"\n"));
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
}

// Waits until the file at path holds exactly want (files are written while the device's text
// is shown, so the screen can be ahead of them).
inline testing::AssertionResult file_holds(const std::string& path, const std::string& want,
                                           int timeout_ms = WAIT_MS)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string got;
    for (;;) {
        got = read_file(path);
        if (got == want) {
            return testing::AssertionSuccess();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return testing::AssertionFailure()
           << path << " holds \"" << escaped(got) << "\", not \"" << escaped(want) << "\"";
}

// What the device receives until done(text so far) holds or timeout_ms has passed.
template <class Done> std::string device_reads_until(Host& h, Done done, int timeout_ms = WAIT_MS)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string text;
    while (!done(text)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        const devsim::Bytes got = h.device().read_some(4096, int(left));
        text.append(got.begin(), got.end());
    }
    return text;
}

// Everything the device receives within ms: for silence checks and to let a send finish.
inline std::string device_reads_for(Host& h, int ms)
{
    return device_reads_until(
        h, [](const std::string&) { return false; }, ms);
}

}  // namespace e2e
