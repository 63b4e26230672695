// tests/packet/transfer_test.cpp: the transfer state machine, driven with framed packets from
// the device and read back from the frames the host writes: sending and receiving files, the
// unexpected packets of each state, and the resends and give-ups of the timeout action.
#include <filesystem>

#include <cerrno>
#include <string>
#include <vector>

#include "output/drops.h"
#include "output/progress.h"
#include "packet/framing.h"
#include "packet/pool.h"
#include "packet/timer.h"
#include "packet/transfer.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "port/mode.h"
#include "tests/packet/wire.h"
#include "tests/support/fixture.h"

using Sent = std::vector<std::string>;

constexpr uint16_t T1 = 500;
constexpr uint16_t T2 = 1000;

class Transfer : public SystemTest
{
  protected:
    void SetUp() override ACQUIRE(link_lock)
    {
        SystemTest::SetUp();
        mode_flag = MODE_PASEL;
    }

    // The countdown ran out: what the timer thread does at the end of it.
    static void expire() REQUIRES(link_lock)
    {
        timeout_flag = true;
        timeout_action();
    }

    static std::string pattern(size_t n)
    {
        std::string s;
        for (size_t i = 0; i < n; i++) {
            s.push_back(static_cast<char>(i * 7 + i / 256));
        }
        return s;
    }

    // A get request for name, answered with its accept and ACK 0: the first block is out.
    static void start_get(const std::string& name, uint16_t size = 128) REQUIRES(link_lock)
    {
        deliver(request(PKT_GET_REQUEST, size, T1, T2, name));
        ASSERT_EQ(transfer_state, TS_SEND_START);
        (void)sent();
        deliver(ack(0));
    }

    // A put request for name, accepted and acknowledged: data blocks are expected.
    static void start_put(const std::string& name) REQUIRES(link_lock)
    {
        deliver(request(PKT_PUT_REQUEST, 128, T1, T2, name));
        EXPECT_EQ(sent(), Sent{hex("04 00 80 01 F4 03 E8")});
        deliver(ack(0));
        EXPECT_EQ(sent(), Sent{});
        ASSERT_EQ(transfer_state, TS_RECV_DATA);
    }
};

TEST_F(Transfer, GetSendsAFileBlockByBlock)
{
    link_lock.assert_held();
    std::string body = pattern(300);
    write_file("f.bin", body);
    deliver(request(PKT_GET_REQUEST, 128, T1, T2, "f.bin"));
    EXPECT_EQ(sent(), Sent{hex("04 00 80 01 F4 03 E8")});
    EXPECT_EQ(transfer_state, TS_SEND_START);
    EXPECT_EQ(timeout_value, T2);
    EXPECT_EQ(progress_counters().total, 300u);

    deliver(ack(0));
    EXPECT_EQ(sent(), Sent{data(1, body.substr(0, 128))});
    EXPECT_EQ(transfer_state, TS_SEND_DATA);
    EXPECT_EQ(timeout_value, T2);
    deliver(ack(2));
    EXPECT_EQ(sent(), Sent{data(2, body.substr(128, 128))});
    deliver(ack(3));
    EXPECT_EQ(sent(), Sent{data(3, body.substr(256))});
    EXPECT_EQ(progress_counters().done, 300u);
    deliver(ack(4));
    EXPECT_EQ(sent(), Sent{end_pkt()});
    EXPECT_EQ(transfer_state, TS_SEND_END);
    EXPECT_EQ(timeout_value, T1);

    deliver(ack(0));
    EXPECT_EQ(sent(), Sent{});
    EXPECT_EQ(transfer_state, TS_IDLE);
    EXPECT_EQ(timeout_value, 0u);
    EXPECT_FALSE(plat::fake_event_is_set(timer_event));
    EXPECT_EQ(progress_counters().done, 300u);  // resends and acks add nothing
    EXPECT_EQ(pool_free_count(), POOL_SIZE - 1);
}

TEST_F(Transfer, GetOfAnEmptyFileSendsTheEndAtOnce)
{
    link_lock.assert_held();
    write_file("empty", "");
    start_get("empty");
    EXPECT_EQ(sent(), Sent{end_pkt()});
    EXPECT_EQ(transfer_state, TS_SEND_END);
}

TEST_F(Transfer, GetOfAMissingFileAnswersFileError)
{
    link_lock.assert_held();
    deliver(request(PKT_GET_REQUEST, 64, T1, T2, "nothere"));
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_FILE)});
    EXPECT_EQ(transfer_state, TS_ERROR);
    EXPECT_EQ(timeout_value, T2);
    EXPECT_EQ(block_size, 64);  // the request's values are taken even so
}

TEST_F(Transfer, NameWithAZeroByteIsRefusedNotCut)
{
    link_lock.assert_held();
    write_file("a", "must not be sent");
    deliver(request(PKT_GET_REQUEST, 128, T1, T2, std::string("a\0b", 3)));
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_FILE)});
    EXPECT_EQ(transfer_state, TS_ERROR);

    deliver(ack(0));
    deliver(request(PKT_PUT_REQUEST, 128, T1, T2, std::string("a\0b", 3)));
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_FILE)});
    EXPECT_EQ(read_file("a"), "must not be sent");  // not truncated
}

TEST_F(Transfer, BackslashInANameSeparatesDirectories)
{
    link_lock.assert_held();
    ASSERT_TRUE(std::filesystem::create_directory("sub"));
    write_file("sub/f", "inner");
    start_get("sub\\f");
    EXPECT_EQ(sent(), Sent{data(1, "inner")});
}

TEST_F(Transfer, BlockSizeAboveTheLimitIsCapped)
{
    link_lock.assert_held();
    write_file("big", pattern(200));
    deliver(request(PKT_GET_REQUEST, 1000, T1, T2, "big"));
    EXPECT_EQ(sent(), Sent{hex("04 00 80 01 F4 03 E8")});
    EXPECT_EQ(block_size, 128);
    deliver(ack(0));
    EXPECT_EQ(sent(), Sent{data(1, pattern(128))});

    deliver(end_pkt());  // unexpected now: error state
    deliver(ack(0));     // its acknowledgement: idle again
    (void)sent();
    deliver(request(PKT_GET_REQUEST, 64, 0x1234, 0xC0DB, "big"));
    EXPECT_EQ(sent(), Sent{hex("04 00 40 12 34 C0 DB")});  // T1 and T2 echoed unchanged
    deliver(ack(0));
    EXPECT_EQ(sent(), Sent{data(1, pattern(64))});
}

TEST_F(Transfer, RepeatedGetRequestIsAcceptedAgain)
{
    link_lock.assert_held();
    write_file("f", "x");
    deliver(request(PKT_GET_REQUEST, 128, T1, T2, "f"));
    (void)sent();
    deliver(request(PKT_GET_REQUEST, 128, T1, T2, "f"));
    EXPECT_EQ(sent(), Sent{hex("04 00 80 01 F4 03 E8")});
    EXPECT_EQ(transfer_state, TS_SEND_START);
    EXPECT_EQ(timeout_value, T1);
}

TEST_F(Transfer, WrongAckIsIgnoredWhileSending)
{
    link_lock.assert_held();
    write_file("f", pattern(300));
    start_get("f");
    (void)sent();
    timer_arm(700);  // to see that the timer is left alone
    deliver(ack(1));
    EXPECT_EQ(sent(), Sent{});
    EXPECT_EQ(transfer_state, TS_SEND_DATA);
    EXPECT_EQ(timeout_value, 700u);
    deliver(ack(2));
    EXPECT_EQ(sent(), Sent{data(2, pattern(300).substr(128, 128))});
}

TEST_F(Transfer, BlockNumbersWrapAfter255)
{
    link_lock.assert_held();
    std::string body = pattern(257);
    write_file("f", body);
    deliver(request(PKT_GET_REQUEST, 1, T1, T2, "f"));
    EXPECT_EQ(sent(), Sent{hex("04 00 01 01 F4 03 E8")});
    deliver(ack(0));
    for (int i = 1; i <= 257; i++) {
        uint8_t number = static_cast<uint8_t>(i);
        EXPECT_EQ(sent(), Sent{data(number, body.substr(static_cast<size_t>(i - 1), 1))});
        deliver(ack(static_cast<uint8_t>(number + 1)));
    }
    EXPECT_EQ(sent(), Sent{end_pkt()});  // block 256 went out as 0 and was acknowledged with 1
}

TEST_F(Transfer, ReadFailuresAnswerFileError)
{
    link_lock.assert_held();
    write_file("f", pattern(300));
    deliver(request(PKT_GET_REQUEST, 128, T1, T2, "f"));
    plat::fake_file_fail("read", EIO);
    deliver(ack(0));
    EXPECT_EQ(sent(), (Sent{hex("04 00 80 01 F4 03 E8"), error_pkt(ERR_FILE)}));
    EXPECT_EQ(transfer_state, TS_ERROR);
    EXPECT_EQ(timeout_value, T2);
    EXPECT_EQ(plat::fake_console_output(),
              "\nERROR #" + std::to_string(EIO) + ": " + plat::error_text(EIO) + "\n");

    deliver(ack(0));
    plat::fake_console_clear_output();
    start_get("f");
    (void)sent();
    plat::fake_file_fail("read", EIO);
    deliver(ack(2));
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_FILE)});
    EXPECT_EQ(transfer_state, TS_IDLE);  // sent once: nothing is resent in TS_IDLE
    EXPECT_EQ(plat::fake_console_output(), "\nReadFile ERROR.\nERROR #" + std::to_string(EIO) +
                                               ": " + plat::error_text(EIO) + "\n");
    expire();
    EXPECT_EQ(sent(), Sent{});
}

TEST_F(Transfer, PutReceivesAFile)
{
    link_lock.assert_held();
    write_file("in.bin", "old contents, longer than the new");
    start_put("in.bin");
    EXPECT_EQ(timeout_value, 0u);  // no timer runs while the device sends
    deliver(data(0, "xyz"));       // nothing written yet: a block 0 is out of order, no reply
    EXPECT_EQ(sent(), Sent{});
    deliver(data(1, "abc"));
    EXPECT_EQ(sent(), Sent{ack(2)});
    deliver(data(1, "abc"));  // a repeat after a lost ack: acknowledged again, written once
    EXPECT_EQ(sent(), Sent{ack(2)});
    deliver(data(3, "zzz"));  // out of order: ignored
    deliver(data(2, ""));     // an empty block is still a block
    EXPECT_EQ(sent(), Sent{ack(3)});
    deliver(data(3, "def"));
    EXPECT_EQ(sent(), Sent{ack(4)});
    EXPECT_EQ(progress_counters().done, 6u);
    EXPECT_EQ(progress_counters().total, 0u);
    deliver(end_pkt());
    EXPECT_EQ(sent(), Sent{ack(0)});
    EXPECT_EQ(transfer_state, TS_IDLE);
    EXPECT_EQ(read_file("in.bin"), "abcdef");
}

TEST_F(Transfer, EndOfReceivedFileReportsBytesAndTime)
{
    link_lock.assert_held();
    for (uint32_t start : {1000u, 0xfffffff0u}) {  // and across the wrap of the tick count
        SCOPED_TRACE(start);
        plat::fake_clock_set(start);
        progress_begin(0);  // the clock from start, nothing done
        plat::fake_console_clear_output();
        start_put("r.bin");
        for (int b = 1; b <= 3; b++) {
            deliver(data(b, std::string(100, 'r')));
        }
        plat::fake_clock_advance(75000);
        deliver(end_pkt());
        EXPECT_EQ(plat::fake_console_output(), "\r300 bytes received, 01:15 elapsed\n");
        EXPECT_EQ(sent(), (Sent{ack(2), ack(3), ack(4), ack(0)}));
        EXPECT_EQ(read_file("r.bin"), std::string(300, 'r'));
    }
}

TEST_F(Transfer, ReceivedBlocksWrapAfter255)
{
    link_lock.assert_held();
    start_put("w");
    std::string expect;
    for (int i = 1; i <= 257; i++) {
        uint8_t number = static_cast<uint8_t>(i);
        std::string chunk(1, static_cast<char>(i));
        deliver(data(number, chunk));
        expect += chunk;
        ASSERT_EQ(sent(), Sent{ack(static_cast<uint8_t>(number + 1))});
    }
    deliver(end_pkt());
    EXPECT_EQ(read_file("w"), expect);
}

TEST_F(Transfer, PutWhoseFileCannotBeCreatedStaysIdle)
{
    link_lock.assert_held();
    plat::fake_file_fail("open", EACCES);
    deliver(request(PKT_PUT_REQUEST, 128, T1, T2, "x"));
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_FILE)});
    EXPECT_EQ(transfer_state, TS_IDLE);
    expire();
    EXPECT_EQ(sent(), Sent{});  // sent once
}

TEST_F(Transfer, WriteFailureAnswersFileError)
{
    link_lock.assert_held();
    start_put("w");
    plat::fake_file_fail("write", ENOSPC);
    deliver(data(1, "abc"));
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_FILE)});
    EXPECT_EQ(transfer_state, TS_ERROR);
    EXPECT_EQ(timeout_value, T1);
}

TEST_F(Transfer, ErrorFromTheDeviceEndsReception)
{
    link_lock.assert_held();
    start_put("w");
    deliver(error_pkt(3));
    EXPECT_EQ(sent(), Sent{});
    EXPECT_EQ(transfer_state, TS_IDLE);
}

TEST_F(Transfer, UnexpectedPacketsByState)
{
    link_lock.assert_held();
    deliver(ack(0));  // idle: answered, nothing else changes
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_PROTOCOL)});
    EXPECT_EQ(transfer_state, TS_IDLE);
    EXPECT_EQ(timeout_value, 0u);

    // A request with a stray byte after its name is no request.
    deliver(request(PKT_GET_REQUEST, 128, T1, T2, "abc") + "x");
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_PROTOCOL)});

    write_file("f", pattern(300));
    deliver(request(PKT_GET_REQUEST, 128, T1, T2, "f"));
    (void)sent();
    deliver(end_pkt());  // send start
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_PROTOCOL)});
    EXPECT_EQ(transfer_state, TS_ERROR);
    EXPECT_EQ(timeout_value, T2);

    deliver(data(1, "x"));  // the error state ignores all but ACK 0
    EXPECT_EQ(sent(), Sent{});
    deliver(ack(0));
    EXPECT_EQ(transfer_state, TS_IDLE);
    EXPECT_EQ(progress_counters().total, 0u);

    start_get("f");
    (void)sent();
    deliver(end_pkt());  // send data
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_PROTOCOL)});
    EXPECT_EQ(timeout_value, T1);

    deliver(ack(0));
    deliver(request(PKT_PUT_REQUEST, 128, T1, T2, "p"));
    (void)sent();
    deliver(data(1, "x"));  // receive start
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_PROTOCOL)});
    EXPECT_EQ(transfer_state, TS_ERROR);

    deliver(ack(0));
    start_put("q");
    deliver(ack(0));  // receive data ignores what it does not expect
    EXPECT_EQ(sent(), Sent{});
    EXPECT_EQ(transfer_state, TS_RECV_DATA);
}

TEST_F(Transfer, AcceptAndEndAreResentThenGivenUp)
{
    link_lock.assert_held();
    write_file("f", "");
    const std::string accept = hex("04 00 80 01 F4 03 E8");
    for (TransferState waiting : {TS_SEND_START, TS_RECV_START, TS_SEND_END}) {
        SCOPED_TRACE(static_cast<int>(waiting));
        if (waiting == TS_SEND_END) {
            start_get("f");  // empty: the end follows ACK 0
        } else {
            deliver(request(waiting == TS_SEND_START ? PKT_GET_REQUEST : PKT_PUT_REQUEST, 128, T1,
                            T2, "f"));
        }
        ASSERT_EQ(transfer_state, waiting);
        (void)sent();
        for (int i = 0; i < 3; i++) {
            expire();
            EXPECT_EQ(sent(), Sent{waiting == TS_SEND_END ? end_pkt() : accept});
            EXPECT_EQ(timeout_value, T1);
        }
        expire();
        EXPECT_EQ(sent(), Sent{error_pkt(ERR_TIMEOUT)});
        EXPECT_EQ(transfer_state, TS_ERROR);
        EXPECT_EQ(timeout_value, T1);
        deliver(ack(0));
    }
}

TEST_F(Transfer, ErrorStateResendsThenGoesIdle)
{
    link_lock.assert_held();
    deliver(request(PKT_GET_REQUEST, 128, T1, T2, "missing"));
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_FILE)});
    progress_size(1234);
    for (int i = 0; i < 3; i++) {
        expire();
        EXPECT_EQ(sent(), Sent{error_pkt(ERR_TIMEOUT)});  // code 1 whatever came first
        EXPECT_EQ(timeout_value, T1);
    }
    expire();
    EXPECT_EQ(sent(), Sent{});
    EXPECT_EQ(transfer_state, TS_IDLE);
    EXPECT_EQ(timeout_value, 0u);
    EXPECT_EQ(progress_counters().total, 0u);
}

TEST_F(Transfer, InitClosesATransferFileLeftOpen)
{
    link_lock.assert_held();
    start_put("held");
    transfer_init();
    EXPECT_EQ(transfer_state, TS_IDLE);
    EXPECT_EQ(block_size, 128);
    int fd = plat::file_open("held", plat::FO_WRITE_EXCLUSIVE);  // no lock left behind
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
        plat::file_close(fd);
    }
}

// A packet the state has no use for is counted whether it is refused or ignored; the repeat of
// the block just written is answered, not dropped.
TEST_F(Transfer, UnexpectedPacketsAreCounted)
{
    link_lock.assert_held();
    deliver(ack(0));  // idle: refused with a protocol error
    EXPECT_EQ(sent(), Sent{error_pkt(ERR_PROTOCOL)});
    EXPECT_EQ(drop_total(DROP_UNEXPECTED), 1u);
    start_put("in.bin");
    deliver(data(1, "a"));
    deliver(data(1, "a"));  // answered again
    deliver(data(5, "z"));  // out of order: ignored
    deliver(ack(3));        // ignored while the device sends
    EXPECT_EQ(drop_total(DROP_UNEXPECTED), 3u);
}
