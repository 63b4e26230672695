// tests/e2e/pressure_keys_test.cpp: typed keys against a device that stops reading for a
// while, as a flash erase or a USB device holding the host off does: they wait, in order, and
// the device's own text is shown meanwhile.
#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/e2e/harness.h"

using namespace e2e;

// A long paste while the device reads nothing for 2.5 s (far past a write's deadline, with
// more keys than the line holds) arrives whole and in order once it reads again; what the
// device says meanwhile is on the screen before it reads again.
TEST(Pressure, PasteAcrossADevicePauseArrivesWholeAndInOrder)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    ASSERT_TRUE(h.screen_until("exit.\n"));
    std::string paste;
    for (int i = 0; paste.size() < 60000; ++i) {
        paste += std::to_string(i) + ' ';
    }
    paste.resize(60000);

    // The console takes the keys only as fast as they go out: they are typed from a thread of
    // their own while the device does not read.
    const auto paused = std::chrono::steady_clock::now();
    std::thread typist([&h, &paste] { h.keys(paste); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(h.device().write("busy\r\n"));
    EXPECT_TRUE(h.screen_until("busy\r\n")) << "the device's text waits for it to read";
    std::this_thread::sleep_until(paused + std::chrono::milliseconds(2500));

    // Generous: under Wine on a loaded machine the 60 000 keys take past 30 s to come through.
    const std::string got = h.device().read_text(paste.size(), 90000);
    typist.join();
    std::printf("keys received across a 2.5 s device pause: %zu of %zu\n", got.size(),
                paste.size());
    EXPECT_EQ(got.size(), paste.size());
    EXPECT_TRUE(got == paste) << "the keys arrived out of order or changed";
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
}
