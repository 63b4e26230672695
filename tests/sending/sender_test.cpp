// tests/sending/sender_test.cpp: the file sender (chunk and byte mode, pauses, failures), the
// random characters and one pass of the sending thread, on the fake port and clock.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "port/mode.h"
#include "sending/scheme.h"
#include "sending/sender.h"
#include "tests/support/fixture.h"

namespace
{

const std::string NO_FILE = std::string(" ERROR #2: ") + plat::error_text(ENOENT) + "\n";

class Sender : public SystemTest
{
  protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        link_lock.give();
    }
    static std::vector<size_t> write_sizes()
    {
        std::vector<size_t> sizes;
        for (const std::string& w : plat::fake_port_writes()) {
            sizes.push_back(w.size());
        }
        return sizes;
    }
    // Count of the pauses from index from on, each checked to lie in 1..max_ms.
    static size_t pauses_within(size_t from, uint32_t max_ms)
    {
        const std::vector<uint32_t> sleeps = plat::fake_sleeps();
        for (size_t i = from; i < sleeps.size(); i++) {
            EXPECT_TRUE(sleeps[i] >= 1 && sleeps[i] <= max_ms)
                << "pause " << i << ": " << sleeps[i];
        }
        return sleeps.size() - from;
    }
    static void request(const char* name)
    {
        strcpy(request_name, name);
        request_ready.store(1);
    }
};

TEST_F(Sender, ChunkModeSendsHundredsAndAnEmptyWriteOnlyWhenTheEndFallsOnAChunk)
{
    struct Case {
        size_t size;
        std::vector<size_t> writes;
    };
    for (const Case& c : {Case{0, {0}}, Case{200, {100, 100, 0}}, Case{250, {100, 100, 50}}}) {
        SCOPED_TRACE(c.size);
        plat::fake_port_clear_written();
        const size_t before = plat::fake_sleeps().size();
        std::string bytes;
        for (size_t i = 0; i < c.size; i++) {
            bytes.push_back(static_cast<char>(i * 7 + 3));
        }
        write_file("f.bin", bytes);
        EXPECT_EQ(send_file("f.bin", SEND_MAX_DELAY_MS, 1), 0);
        EXPECT_EQ(write_sizes(), c.writes);
        EXPECT_EQ(plat::fake_port_written(), bytes);
        EXPECT_EQ(pauses_within(before, 200), c.writes.size());  // one pause per write
    }
    EXPECT_EQ(plat::fake_console_output(), "");
}

TEST_F(Sender, ByteModeWritesEachByteFollowedByItsPause)
{
    write_file("b.txt", "abc");
    write_file("empty", "");
    EXPECT_EQ(send_file("b.txt", SEND_MAX_DELAY_MS, 0), 0);
    EXPECT_EQ(send_file("empty", SEND_MAX_DELAY_MS, 0), 0);  // costs nothing in byte mode
    EXPECT_EQ(plat::fake_port_writes(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(pauses_within(0, 200), 3u);

    // The maximum delay bounds the pauses; 0 is taken as 1 instead of dividing by zero.
    EXPECT_EQ(send_file("b.txt", 3, 0), 0);
    EXPECT_EQ(pauses_within(3, 3), 3u);
    EXPECT_EQ(send_file("b.txt", 0, 0), 0);
    EXPECT_EQ(pauses_within(6, 1), 3u);
}

TEST_F(Sender, EmptyNameIsSilentAndMissingFileNamesTheMode)
{
    EXPECT_EQ(send_file("", SEND_MAX_DELAY_MS, 1), -1);
    EXPECT_EQ(plat::fake_console_output(), "");
    mode_flag = MODE_KIVET;
    EXPECT_EQ(send_file("nothere", SEND_MAX_DELAY_MS, 1), -1);
    mode_flag = MODE_PASEL;
    EXPECT_EQ(send_file("nothere", SEND_MAX_DELAY_MS, 0), -1);
    EXPECT_EQ(plat::fake_console_output(), "\nKIVET32" + NO_FILE + "\nPASEL32" + NO_FILE);
    EXPECT_TRUE(plat::fake_port_writes().empty());
    EXPECT_TRUE(plat::fake_sleeps().empty());
}

TEST_F(Sender, ReadErrorStopsTheSendReportsItAndClosesTheFile)
{
    write_file("f.bin", std::string(250, 'f'));
    plat::fake_on_sleep([](uint32_t) {  // the read after the first chunk's pause fails
        plat::fake_file_fail("read", EIO);
        plat::fake_on_sleep({});
    });
    EXPECT_EQ(send_file("f.bin", SEND_MAX_DELAY_MS, 1), -1);
    EXPECT_EQ(write_sizes(), std::vector<size_t>{100});
    EXPECT_EQ(plat::fake_console_output(),
              std::string("\nKIVET32 ERROR #5: ") + plat::error_text(EIO) + "\n");

    // Closed: after a failed send the next open gets the same handle as before it.
    const int fd = plat::file_open("f.bin", plat::FO_READ_SHARED);
    (void)plat::file_close(fd);
    plat::fake_file_fail("read", EIO);
    EXPECT_EQ(send_file("f.bin", SEND_MAX_DELAY_MS, 0), -1);
    const int again = plat::file_open("f.bin", plat::FO_READ_SHARED);
    EXPECT_EQ(again, fd);
    (void)plat::file_close(again);
}

TEST_F(Sender, RandomCharactersArePrintableAndPausedWithinTheBatchShare)
{
    for (int batch = 0; batch < 50; batch++) {
        EXPECT_EQ(send_random(RANDOM_BATCH), 0);
    }
    const std::vector<std::string> writes = plat::fake_port_writes();
    ASSERT_EQ(writes.size(), 500u);
    for (const std::string& w : writes) {
        ASSERT_EQ(w.size(), 1u);
        EXPECT_TRUE(w[0] >= 32 && w[0] <= 126) << static_cast<int>(w[0]);
    }
    EXPECT_EQ(pauses_within(0, 100), 500u);

    // 1000 characters pause 1 ms each; a count of 0 sends nothing instead of dividing by 0.
    EXPECT_EQ(send_random(1000), 0);
    EXPECT_EQ(pauses_within(500, 1), 1000u);
    EXPECT_EQ(send_random(0), 0);
    EXPECT_EQ(plat::fake_port_writes().size(), 1500u);
}

TEST_F(Sender, PassSendsTheRequestThenOneCrWhateverBecameOfIt)
{
    write_file("f.bin", std::string(200, 'r'));
    request("f.bin");
    sending_pass();
    EXPECT_EQ(plat::fake_sleeps()[0], CYCLE_PAUSE_MS);
    EXPECT_EQ(write_sizes(), (std::vector<size_t>{100, 100, 0, 1}));
    EXPECT_EQ(plat::fake_port_writes().back(), "\r");
    EXPECT_EQ(request_ready.load(), 0);

    plat::fake_port_clear_written();
    sending_pass();  // nothing pending: only the pause
    EXPECT_TRUE(plat::fake_port_writes().empty());
    EXPECT_EQ(plat::fake_sleeps().back(), CYCLE_PAUSE_MS);

    request("");  // Enter on an empty name
    sending_pass();
    mode_flag = MODE_PASEL;
    request("gone.txt");
    sending_pass();
    sending_pass();  // not retried
    EXPECT_EQ(plat::fake_port_written(), "\r\r");
    EXPECT_EQ(plat::fake_console_output(), "\nPASEL32" + NO_FILE);
    EXPECT_EQ(request_ready.load(), 0);
}

TEST_F(Sender, RandomModeHoldsTheRequestAndTheCountdownsUntilSwitchedOff)
{
    write_file("r.txt", "R");
    write_file("t.txt", "T");
    request("r.txt");
    SchemeTask& t = scheme_table[0];
    strcpy(t.name, "t.txt");
    t.interval.store(4);
    t.countdown.store(1);
    t.active.store(1);

    random_mode.store(1);
    for (int pass = 0; pass < 3; pass++) {
        sending_pass();
    }
    EXPECT_EQ(plat::fake_port_writes().size(), 30u);
    EXPECT_EQ(pauses_within(0, 100), 30u);  // no cycle pause among them
    EXPECT_EQ(request_ready.load(), 1);
    EXPECT_EQ(t.countdown.load(), 1);

    random_mode.store(0);
    plat::fake_port_clear_written();
    sending_pass();
    EXPECT_EQ(plat::fake_port_written(), "R\rT");  // the request, its CR, then the task
    EXPECT_EQ(request_ready.load(), 0);
    EXPECT_EQ(t.countdown.load(), 4);
}

TEST_F(Sender, IdlePassWaitsForWorkAndBusyPassesCycleAsAlways)
{
    sending_pass();  // nothing to do: it waits for a wake, then runs one full cycle
    EXPECT_EQ(plat::fake_blocking_waits(), 1);
    EXPECT_EQ(plat::fake_sleeps(), std::vector<uint32_t>{CYCLE_PAUSE_MS});

    // A request, then an active task: no waiting, one cycle pause per pass, the countdown counts.
    request("");
    sending_pass();
    SchemeTask& t = scheme_table[0];
    t.interval.store(3);
    t.countdown.store(2);
    t.active.store(1);
    sending_pass();
    sending_pass();
    EXPECT_EQ(plat::fake_blocking_waits(), 1);
    EXPECT_EQ(plat::fake_sleeps(), std::vector<uint32_t>(4, CYCLE_PAUSE_MS));
    EXPECT_EQ(t.countdown.load(), 3);  // fired (an empty name sends nothing) and reloaded
    EXPECT_EQ(plat::fake_port_written(), "\r");

    // Random mode while idle: no wait and no cycle.
    scheme_clear_task(0);
    random_mode.store(1);
    sending_pass();
    EXPECT_EQ(plat::fake_blocking_waits(), 1);
    EXPECT_EQ(plat::fake_port_writes().size(), 1u + RANDOM_BATCH);
}

}  // namespace
