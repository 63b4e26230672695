// tests/output/progress_test.cpp: the progress lines, when they are printed, their
// arithmetic, completion and the PASEL idle reset.
#include <string>

#include "output/progress.h"
#include "packet/transfer.h"
#include "port/mode.h"
#include "tests/support/fixture.h"

namespace
{

class Progress : public SystemTest
{
  protected:
    void SetUp() override ACQUIRE(link_lock)
    {
        SystemTest::SetUp();
        transfer_state = TS_IDLE;
    }
    void TearDown() override
    {
        link_lock.assert_held();
        transfer_state = TS_IDLE;
        SystemTest::TearDown();
    }
    // Starts a transfer of total bytes at tick start with done bytes done.
    static void running(uint32_t total, uint32_t done, uint32_t start = 0) REQUIRES(link_lock)
    {
        plat::fake_clock_set(start);
        progress_begin(total);
        progress_add(done);
    }
    // Output of one display call at tick now.
    static std::string show_at(uint32_t now) REQUIRES(link_lock)
    {
        plat::fake_clock_set(now);
        plat::fake_console_clear_output();
        // As the program calls it: the packet link's phase in PASEL mode, a file read in KIVET.
        progress_show(mode_flag.load() == MODE_PASEL ? transfer_phase() : LP_FILE_READ);
        return plat::fake_console_output();
    }
};

TEST_F(Progress, TotalLineShowsPercentElapsedAndTimeLeft)
{
    link_lock.assert_held();
    running(1000, 500);
    EXPECT_EQ(show_at(2500),
              "\rTotal 1000 bytes, 500 bytes sent (50%), 00:02 elapsed, 00:03 left   ");
    EXPECT_EQ(progress_counters().last_s, 2u);
    EXPECT_EQ(progress_counters().elapsed, 2500u);
    EXPECT_EQ(show_at(2999), "");  // same whole second
    progress_add(100);             // 600 done
    EXPECT_EQ(show_at(3000),
              "\rTotal 1000 bytes, 600 bytes sent (60%), 00:03 elapsed, 00:02 left   ");
}

TEST_F(Progress, CompletionWithinTheFirstSecondPrintsOneLineAndALineFeed)
{
    link_lock.assert_held();
    running(100, 100);
    EXPECT_EQ(show_at(0), "");  // nothing elapsed yet: nothing to divide by
    EXPECT_EQ(progress_counters().total, 100u);
    EXPECT_EQ(show_at(10),
              "\rTotal 100 bytes, 100 bytes sent (100%), 00:00 elapsed, 00:00 left   \n");
    EXPECT_EQ(progress_counters().total, 0u);
    EXPECT_EQ(progress_counters().done, 0u);
    EXPECT_EQ(show_at(5000), "");
}

TEST_F(Progress, DoneBeyondTotalIsClampedAndComplete)
{
    link_lock.assert_held();
    running(1000, 1200);
    EXPECT_EQ(show_at(1000),
              "\rTotal 1000 bytes, 1000 bytes sent (100%), 00:01 elapsed, 00:00 left   \n");
    EXPECT_EQ(progress_counters().total, 0u);
}

TEST_F(Progress, EstimateShortOfElapsedShowsNothingLeft)
{
    link_lock.assert_held();
    running(9, 3);  // total / 10 truncates to 0: the estimate is 0 s
    EXPECT_EQ(show_at(2000), "\rTotal 9 bytes, 3 bytes sent (33%), 00:02 elapsed, 00:00 left   ");
}

TEST_F(Progress, HundredMegabyteFileDoesNotWrap)
{
    link_lock.assert_held();
    running(100000000, 50000000);
    EXPECT_EQ(show_at(100000), "\rTotal 100000000 bytes, 50000000 bytes sent (50%), 01:40 "
                               "elapsed, 01:40 left   ");
    // Late in a long transfer: (elapsed / 100) * (total / 10) is far beyond 32 bits.
    running(4000000000u, 1000000000u);
    EXPECT_EQ(show_at(3600000), "\rTotal 4000000000 bytes, 1000000000 bytes sent (25%), 60:00 "
                                "elapsed, 180:00 left   ");
}

TEST_F(Progress, ElapsedSurvivesTheTickWrap)
{
    link_lock.assert_held();
    running(1000, 500, 0xFFFFF000u);
    EXPECT_EQ(show_at(0x00000A00u),
              "\rTotal 1000 bytes, 500 bytes sent (50%), 00:06 elapsed, 00:07 left   ");
}

TEST_F(Progress, PaselReceiveShowsBytesReceivedOncePerSecond)
{
    link_lock.assert_held();
    mode_flag = MODE_PASEL;
    transfer_state = TS_RECV_DATA;
    running(0, 800);
    EXPECT_EQ(show_at(61500), "\r800 bytes received, 01:01 elapsed     ");
    EXPECT_EQ(show_at(61900), "");
    EXPECT_EQ(progress_counters().start, 0u);  // no reset while a transfer runs
}

TEST_F(Progress, PaselIdleResetPrintsALineFeedAndRestartsTheClock)
{
    link_lock.assert_held();
    mode_flag = MODE_PASEL;
    running(1000, 10, 100);
    EXPECT_EQ(show_at(7000),
              "\rTotal 1000 bytes, 10 bytes sent (1%), 00:06 elapsed, 11:24 left   \n");
    EXPECT_EQ(progress_counters().total, 0u);
    EXPECT_EQ(progress_counters().done, 0u);
    EXPECT_EQ(progress_counters().start, 7000u);
    EXPECT_EQ(progress_counters().last_s, 0u);
}

TEST_F(Progress, KivetModeNeverShowsReceivedLineNorResets)
{
    link_lock.assert_held();
    transfer_state = TS_RECV_DATA;
    running(0, 800, 100);
    EXPECT_EQ(show_at(61500), "");
    transfer_state = TS_IDLE;
    EXPECT_EQ(show_at(62500), "");
    EXPECT_EQ(progress_counters().start, 100u);
    EXPECT_EQ(progress_counters().done, 800u);
}

}  // namespace
