// tests/sending/scheme_test.cpp: the countdown step of the scheme tasks: when tasks fire, in
// which order, and what a deletion or a new entry during a send leaves behind.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "sending/scheme.h"
#include "sending/sender.h"
#include "tests/support/fixture.h"

namespace
{

class Scheme : public SystemTest
{
  protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        link_lock.give();
    }
    // Fills a record the way the add dialog leaves it.
    static void add(int i, uint8_t interval, uint8_t start, const char* name)
    {
        SchemeTask& t = scheme_table[i];
        scheme_clear_task(i);
        t.interval.store(interval);
        t.countdown.store(start);
        strcpy(t.name, name);
        t.active.store(1);
    }
    // Runs cycles steps; returns the numbers (from 1) of the cycles in which something went out.
    static std::vector<int> firings(int cycles)
    {
        std::vector<int> fired;
        for (int cycle = 1; cycle <= cycles; cycle++) {
            const size_t before = plat::fake_port_writes().size();
            send_scheme_step();
            if (plat::fake_port_writes().size() != before) {
                fired.push_back(cycle);
            }
        }
        return fired;
    }
};

TEST_F(Scheme, StartTwoIntervalFiveFiresInTheSecondCycleThenEveryFifth)
{
    write_file("a.txt", "hi");
    add(3, 5, 2, "a.txt");
    std::vector<int> countdowns;
    for (int cycle = 0; cycle < 8; cycle++) {
        send_scheme_step();
        countdowns.push_back(scheme_table[3].countdown.load());
    }
    EXPECT_EQ(countdowns, (std::vector<int>{1, 5, 4, 3, 2, 1, 5, 4}));
    // Byte mode, no CR after the file.
    EXPECT_EQ(plat::fake_port_writes(), (std::vector<std::string>{"h", "i", "h", "i"}));
    EXPECT_EQ(firings(12), (std::vector<int>{4, 9}));  // cycles 12 and 17 overall
}

TEST_F(Scheme, StartZeroFirstFiresInTheTwoHundredFiftySixthCycle)
{
    write_file("z", "z");
    add(0, 1, 0, "z");
    EXPECT_EQ(firings(258), (std::vector<int>{256, 257, 258}));
}

TEST_F(Scheme, TasksDueTogetherFireInTaskOrderAndInactiveOnesStandStill)
{
    write_file("late", "LL");
    write_file("early", "EE");
    add(7, 9, 1, "late");
    add(2, 9, 1, "early");
    scheme_table[5].countdown.store(3);  // inactive: untouched
    send_scheme_step();
    EXPECT_EQ(plat::fake_port_written(), "EELL");
    EXPECT_EQ(scheme_table[5].countdown.load(), 3);
}

TEST_F(Scheme, DeletedTaskStopsAndReaddedTaskStartsFromItsNewStart)
{
    write_file("d", "d");
    add(4, 2, 1, "d");
    EXPECT_EQ(firings(1), std::vector<int>{1});
    scheme_table[4].active.store(0);
    EXPECT_TRUE(firings(10).empty());
    EXPECT_EQ(scheme_table[4].countdown.load(), 2);  // kept as it was
    add(4, 2, 3, "d");
    EXPECT_EQ(firings(5), (std::vector<int>{3, 5}));
}

TEST_F(Scheme, FailedOrEmptyTaskStaysActiveAndFiresAgain)
{
    add(1, 2, 1, "missing");
    add(6, 2, 1, "");
    EXPECT_TRUE(firings(3).empty());
    const std::string line = std::string("\nKIVET32 ERROR #2: ") + plat::error_text(ENOENT) + "\n";
    EXPECT_EQ(plat::fake_console_output(),
              line + line);  // cycles 1 and 3; the empty name is silent
    EXPECT_EQ(scheme_table[1].countdown.load(), 2);
    EXPECT_EQ(scheme_table[6].countdown.load(), 2);
    EXPECT_EQ(scheme_table[1].active.load(), 1);
}

// A byte-mode send can last minutes; a record deleted or entered anew meanwhile keeps what the
// dialog gave it instead of being reloaded from the old interval.
TEST_F(Scheme, RecordChangedDuringItsSendIsNotReloaded)
{
    write_file("f", "ab");
    add(2, 5, 1, "f");
    plat::fake_on_sleep([](uint32_t) {
        add(2, 9, 7, "f");  // cleared, refilled with start time 7, active again
        plat::fake_on_sleep({});
    });
    send_scheme_step();
    EXPECT_EQ(scheme_table[2].countdown.load(), 7);
    EXPECT_EQ(scheme_table[2].interval.load(), 9);

    add(3, 5, 1, "f");
    plat::fake_on_sleep([](uint32_t) {
        scheme_table[3].active.store(0);  // deleted
        plat::fake_on_sleep({});
    });
    send_scheme_step();
    EXPECT_EQ(scheme_table[3].active.load(), 0);
    EXPECT_EQ(scheme_table[3].countdown.load(), 0);
}

}  // namespace
