// tests/packet/timer_test.cpp: the retransmission timer's countdown on the fake clock: expiry,
// disarm and re-arm during the countdown, values below one tick, KIVET mode, and the resends
// the timeout action makes at the end of each countdown.
#include <cstddef>
#include <string>
#include <vector>

#include "output/progress.h"
#include "packet/framing.h"
#include "packet/timer.h"
#include "packet/transfer.h"
#include "port/mode.h"
#include "tests/packet/wire.h"
#include "tests/support/fixture.h"

using Sent = std::vector<std::string>;

class Timer : public SystemTest
{
  protected:
    void SetUp() override ACQUIRE(link_lock)
    {
        SystemTest::SetUp();
        mode_flag = MODE_PASEL;
    }

    // One pass of the timer thread, which takes the link lock itself.
    static void run_pass() REQUIRES(link_lock)
    {
        link_lock.give();
        timeout_pass();
        link_lock.take();
    }

    // After the n-th tick, act as the receive thread would, with the link lock taken.
    static void after_ticks(size_t n, void (*act)())
    {
        plat::fake_on_sleep([n, act](uint32_t) {
            if (plat::fake_sleeps().size() == n) {
                link_lock.take();
                act();
                link_lock.give();
            }
        });
    }

    // Ticks slept so far; each of them 100 ms.
    static size_t ticks()
    {
        std::vector<uint32_t> s = plat::fake_sleeps();
        for (uint32_t ms : s) {
            EXPECT_EQ(ms, TIMER_TICK_MS);
        }
        return s.size();
    }

    // The host has sent an error packet and waits for ACK 0 (T1 500, T2 1000 armed).
    static void enter_error_state() REQUIRES(link_lock)
    {
        deliver(request(PKT_GET_REQUEST, 128, 500, 1000, "missing"));
        ASSERT_EQ(sent(), Sent{error_pkt(ERR_FILE)});
        ASSERT_EQ(transfer_state, TS_ERROR);
    }
};

TEST_F(Timer, CountdownExpiresAndTheActionResends)
{
    link_lock.assert_held();
    enter_error_state();
    run_pass();
    EXPECT_EQ(ticks(), 10u);
    EXPECT_FALSE(timeout_flag);  // consumed in the same hold of the lock
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_TIMEOUT)});
    EXPECT_EQ(timeout_value, 500u);  // armed again by the resend: the next pass counts T1
    EXPECT_TRUE(plat::fake_event_is_set(timer_event));
    run_pass();
    EXPECT_EQ(ticks(), 15u);
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_TIMEOUT)});
}

TEST_F(Timer, DisarmDuringTheCountdownEndsItQuietly)
{
    link_lock.assert_held();
    enter_error_state();
    after_ticks(3, []() REQUIRES(link_lock) { deliver(ack(0)); });  // the device's ACK 0 disarms
    run_pass();
    EXPECT_EQ(ticks(), 3u);
    EXPECT_FALSE(timeout_flag);
    EXPECT_EQ(sent(), Sent{});
    EXPECT_EQ(transfer_state, TS_IDLE);
}

TEST_F(Timer, ArmingDuringTheCountdownRestartsIt)
{
    link_lock.assert_held();
    mode_flag = MODE_KIVET;  // the flag stays raised where the test can see it
    timer_arm(1000);
    after_ticks(3, []() REQUIRES(link_lock) { timer_arm(2000); });
    run_pass();
    EXPECT_EQ(ticks(), 3u + 20u);
    EXPECT_TRUE(timeout_flag);
    // That arming was served by the restarted countdown: no second countdown follows.
    EXPECT_FALSE(plat::fake_event_is_set(timer_event));

    timeout_flag = false;
    timer_arm(1000);
    after_ticks(23 + 3, []() REQUIRES(link_lock) {
        timer_arm(1000);
    });  // the same value again also restarts
    run_pass();
    EXPECT_EQ(ticks(), 23u + 3u + 10u);
    EXPECT_TRUE(timeout_flag);
}

TEST_F(Timer, ValueBelowOneTickNeverExpires)
{
    link_lock.assert_held();
    enter_error_state();
    timer_arm(50);
    run_pass();
    EXPECT_EQ(ticks(), 0u);
    EXPECT_FALSE(timeout_flag);
    EXPECT_EQ(sent(), Sent{});  // the action ran and found the flag clear
    EXPECT_FALSE(plat::fake_event_is_set(timer_event));
}

TEST_F(Timer, KivetModeCountsDownButDoesNotAct)
{
    link_lock.assert_held();
    enter_error_state();
    mode_flag = MODE_KIVET;
    run_pass();
    EXPECT_EQ(ticks(), 10u);
    EXPECT_TRUE(timeout_flag);
    EXPECT_EQ(sent(), Sent{});
    mode_flag = MODE_PASEL;
    timeout_action();  // the next action in PASEL mode consumes it
    EXPECT_FALSE(timeout_flag);
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_TIMEOUT)});
}

TEST_F(Timer, UnansweredDataBlockGoesFourTimesThenTheError)
{
    link_lock.assert_held();
    std::string body(300, 'd');
    body[200] = 'x';
    write_file("f", body);
    deliver(request(PKT_GET_REQUEST, 128, 500, 1000, "f"));
    deliver(ack(0));
    deliver(ack(2));
    const std::string block2 = data(2, body.substr(128, 128));
    EXPECT_EQ(sent(), (Sent{hex("04 00 80 01 F4 03 E8"), data(1, body.substr(0, 128)), block2}));
    size_t expect_ticks = 10;  // T2 after the first send, 2 x T2 after each resend
    for (int i = 0; i < 3; i++) {
        run_pass();
        EXPECT_EQ(ticks(), expect_ticks);
        EXPECT_EQ(sent(), Sent{block2});  // its own number and bytes; the file is not read
        expect_ticks += 20;
    }
    EXPECT_EQ(progress_counters().done, 256u);  // resends add nothing
    run_pass();
    EXPECT_EQ(ticks(), expect_ticks);
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_DATA_TIMEOUT)});
    EXPECT_EQ(transfer_state, TS_ERROR);
    EXPECT_EQ(timeout_value, 500u);
}
