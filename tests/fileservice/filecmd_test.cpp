// tests/fileservice/filecmd_test.cpp: the file service commands byte for byte on the wire,
// the handle table, the open-file count, the progress counters they feed, and the status numbers.
#include <filesystem>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "fileservice/filecmd.h"
#include "fileservice/interpreter.h"
#include "output/progress.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "tests/fileservice/wire.h"
#include "tests/support/fixture.h"

namespace
{

using Writes = std::vector<std::string>;

const std::string OK = bytes({0, 0});

std::string status(uint32_t st)
{
    return le16(st);
}

class FileService : public SystemTest
{
  protected:
    // Feeds cmd and returns the writes it caused, one entry per port write.
    static Writes exchange(const std::string& cmd) REQUIRES(link_lock)
    {
        plat::fake_port_clear_written();
        feed(cmd);
        EXPECT_EQ(interp_state(), CS_TEXT);
        return plat::fake_port_writes();
    }
    // Opens name and returns its handle; the open must succeed.
    static uint32_t open_ok(int mode, const std::string& name) REQUIRES(link_lock)
    {
        const Writes w = exchange(open_cmd(mode, name));
        EXPECT_EQ(w.size(), 2u);
        if (w.size() != 2 || w[0].size() != 2) {
            return 0;
        }
        EXPECT_EQ(w[1], OK) << name;
        const uint32_t h = static_cast<uint8_t>(w[0][0]) | static_cast<uint8_t>(w[0][1]) << 8;
        EXPECT_NE(h, 0u);
        EXPECT_NE(h, FS_BAD_HANDLE);
        return h;
    }
    // An open that fails: handle 0xFFFF and the status, nothing counted.
    static void open_fails(int mode, const std::string& name, uint32_t st) REQUIRES(link_lock)
    {
        const uint32_t count = open_file_count;
        EXPECT_EQ(exchange(open_cmd(mode, name)), (Writes{le16(FS_BAD_HANDLE), status(st)}))
            << name;
        EXPECT_EQ(open_file_count, count);
    }
};

std::string pattern(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(static_cast<char>(i * 7 + 3));
    }
    return s;
}

TEST_F(FileService, OpenReadCloseExchangeIsByteExact)
{
    link_lock.assert_held();
    const std::string data = pattern(40);
    write_file("ABCDE", data);

    const Writes o = exchange(open_cmd(1, "ABCDE"));
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(o[1], OK);
    const std::string& h = o[0];
    EXPECT_EQ(open_file_count, 1u);

    EXPECT_EQ(exchange(bytes({0x02, 0x03}) + h + bytes({0x10, 0x00})),
              (Writes{bytes({0x10, 0x00}), data.substr(0, 16), OK}));
    EXPECT_EQ(exchange(bytes({0x02, 0x01}) + h), Writes{OK});
    EXPECT_EQ(open_file_count, 0u);
}

TEST_F(FileService, ReadAtEndOfFileRepliesZeroCountAndStatus)
{
    link_lock.assert_held();
    write_file("f", "abc");
    const uint32_t h = open_ok(1, "f");
    EXPECT_EQ(exchange(read_cmd(h, 3)), (Writes{le16(3), "abc", OK}));
    exchange(read_cmd(h, 16));
    EXPECT_EQ(plat::fake_port_written(), bytes({0, 0, 0, 0}));
    EXPECT_EQ(exchange(read_cmd(h, 16)), (Writes{bytes({0, 0}), OK}));
}

TEST_F(FileService, ReadOf256FromALargerFileAndCountsAbove256ReadOneBuffer)
{
    link_lock.assert_held();
    const std::string data = pattern(700);
    write_file("big", data);
    const uint32_t h = open_ok(1, "big");
    EXPECT_EQ(exchange(read_cmd(h, 256)), (Writes{bytes({0x00, 0x01}), data.substr(0, 256), OK}));
    EXPECT_EQ(exchange(read_cmd(h, 0xFFFF)),
              (Writes{bytes({0x00, 0x01}), data.substr(256, 256), OK}));
    EXPECT_EQ(exchange(read_cmd(h, 1000)), (Writes{le16(188), data.substr(512), OK}));
    EXPECT_EQ(progress_counters().done, 700u);
}

TEST_F(FileService, WriteOfCountZeroTakesOneByteAndWritesNothing)
{
    link_lock.assert_held();
    write_file("w", "old");
    const uint32_t h = open_ok(3, "w");
    EXPECT_EQ(exchange(write_cmd(h, "") + "Z"), Writes{OK});
    feed("t");  // the byte after the one data byte is text again
    EXPECT_EQ(interp_state(), CS_TEXT);
    exchange(close_cmd(h));  // Windows shares no file the service holds for writing
    EXPECT_EQ(read_file("w"), "old");
}

TEST_F(FileService, WriteAboveTheBufferWritesEveryByteInPieces)
{
    link_lock.assert_held();
    const uint32_t h = open_ok(2, "out");
    const std::string data = pattern(601);
    EXPECT_EQ(exchange(write_cmd(h, data)), Writes{OK});
    EXPECT_EQ(progress_counters().done, 601u);
    exchange(close_cmd(h));  // Windows shares no file the service holds for writing
    EXPECT_EQ(read_file("out"), data);
}

TEST_F(FileService, FailedPieceIsRepliedAfterAllBytesAreTaken)
{
    link_lock.assert_held();
    const uint32_t h = open_ok(2, "out");
    exchange(write_cmd(h, "first"));  // 5 bytes done
    plat::fake_file_fail("write", ENOSPC);
    // The stream stays in step: the 0x02 0x05 inside the data is not a command.
    std::string data = pattern(600);
    data[300] = 0x02;
    data[301] = 0x05;
    EXPECT_EQ(exchange(write_cmd(h, data)), Writes{status(plat::file_status(ENOSPC, nullptr))});
    EXPECT_EQ(progress_counters().done, 5u);
    // Closed first: Windows shares no file the service holds for writing.
    exchange(close_cmd(h));
    EXPECT_EQ(read_file("out"), "first");  // nothing after the failed piece lands elsewhere
}

TEST_F(FileService, NameLengthZeroTakesOneNameByte)
{
    link_lock.assert_held();
    write_file("A", "x");
    const Writes w = exchange(bytes({0x02, 0x00, 0x01, 0x00, 'A'}));
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1], OK);
    EXPECT_EQ(open_file_count, 1u);
}

TEST_F(FileService, CommandFiveRepliesOkAfterExactlyFiveBytes)
{
    link_lock.assert_held();
    EXPECT_EQ(exchange(bytes({0x02, 0x05, 0xFF, 0x00, 0x02, 0x1B, 0x45})), Writes{OK});
    EXPECT_EQ(exchange(bytes({0x02, 0x05, 1, 2, 3, 4, 5})), Writes{OK});
}

TEST_F(FileService, OpenModesCreateOpenAndRefuseAsTheySay)
{
    link_lock.assert_held();
    write_file("old", "0123456789");
    open_fails(2, "old", ST_FILE_EXISTS);
    EXPECT_EQ(read_file("old"), "0123456789");
    open_fails(1, "none", ST_FILE_NOT_FOUND);
    open_fails(3, "none", ST_FILE_NOT_FOUND);

    const uint32_t created = open_ok(2, "new");
    const uint32_t h = open_ok(3, "old");  // not truncated, overwritten from its start
    EXPECT_EQ(exchange(write_cmd(h, "ab")), Writes{OK});
    EXPECT_NE(created, h);
    EXPECT_EQ(open_file_count, 2u);
    // Closed before they are looked at: Windows shares no file the service holds for writing.
    exchange(close_cmd(created));
    exchange(close_cmd(h));
    EXPECT_EQ(read_file("new"), "");
    EXPECT_EQ(read_file("old"), "ab23456789");
}

TEST_F(FileService, UnknownModeOpensNothingAndRepliesInvalidParameter)
{
    link_lock.assert_held();
    write_file("f", "x");
    open_ok(1, "f");
    for (const int mode : {0, 4, 0xFF}) {
        open_fails(mode, "f", ST_INVALID_PARAMETER);
        open_fails(mode, "made", ST_INVALID_PARAMETER);
    }
    EXPECT_EQ(read_file("made"), "<missing>");
    EXPECT_EQ(open_file_count, 1u);
}

TEST_F(FileService, HandlesTheServiceDidNotOpenAreRefused)
{
    link_lock.assert_held();
    write_file("f", "data");
    const uint32_t h = open_ok(1, "f");
    for (const uint32_t bad : {0u, 0xFFFFu, FS_FILES_MAX + 1, h + 1}) {
        EXPECT_EQ(exchange(read_cmd(bad, 4)), (Writes{bytes({0, 0}), status(6)})) << bad;
        EXPECT_EQ(exchange(write_cmd(bad, "xyz")), Writes{status(6)}) << bad;
        EXPECT_EQ(exchange(write_cmd(bad, "") + "q"), Writes{status(6)}) << bad;
        EXPECT_EQ(exchange(close_cmd(bad)), Writes{status(6)}) << bad;
    }
    EXPECT_EQ(open_file_count, 1u);
    EXPECT_EQ(exchange(read_cmd(h, 4)), (Writes{le16(4), "data", OK}));  // untouched
}

TEST_F(FileService, ClosedHandleIsRefusedAndNotGivenOutAgainAtOnce)
{
    link_lock.assert_held();
    write_file("f", "data");
    const uint32_t h = open_ok(1, "f");
    EXPECT_EQ(exchange(close_cmd(h)), Writes{OK});
    EXPECT_EQ(exchange(close_cmd(h)), Writes{status(6)});
    EXPECT_EQ(exchange(read_cmd(h, 4)), (Writes{bytes({0, 0}), status(6)}));
    EXPECT_NE(open_ok(1, "f"), h);
    EXPECT_EQ(open_file_count, 1u);
}

TEST_F(FileService, OpenFilesAreLimitedByTheProcessNotByTheTable)
{
    link_lock.assert_held();
    write_file("f", "x");
    std::vector<uint32_t> handles;
    for (uint32_t i = 0; i < 100; ++i) {
        handles.push_back(open_ok(1, "f"));  // readers share
    }
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());
    plat::fake_file_fail("open", EMFILE);  // the process may open no more
    open_fails(1, "f", plat::file_status(EMFILE, nullptr));
    EXPECT_EQ(open_file_count, 100u);
    EXPECT_EQ(exchange(close_cmd(handles[10])), Writes{OK});
    EXPECT_NE(open_ok(1, "f"), FS_BAD_HANDLE);
}

TEST_F(FileService, SharingViolationWhileAWriterHoldsTheFile)
{
    link_lock.assert_held();
    open_ok(2, "shared");
    open_fails(1, "shared", ST_SHARING_VIOLATION);
    open_fails(3, "shared", ST_SHARING_VIOLATION);

    write_file("r", "x");
    open_ok(1, "r");
    open_ok(1, "r");
    open_fails(3, "r", ST_SHARING_VIOLATION);
}

TEST_F(FileService, InitClosesWhatTheDeviceLeftOpen)
{
    link_lock.assert_held();
    write_file("f", "x");
    open_ok(3, "f");
    filecmd_init();
    EXPECT_EQ(open_file_count, 0u);
    open_ok(3, "f");
}

TEST_F(FileService, ProgressStartsAtOpenAndIsClearedByAnyClose)
{
    link_lock.assert_held();
    write_file("a.bin", pattern(1000));
    write_file("b.bin", pattern(10));
    plat::fake_clock_set(5000);
    const uint32_t a = open_ok(1, "a.bin");
    EXPECT_EQ(progress_counters().total, 1000u);
    EXPECT_EQ(progress_counters().start, 5000u);
    EXPECT_EQ(progress_counters().shown, 1u);
    exchange(read_cmd(a, 100));
    EXPECT_EQ(progress_counters().done, 100u);

    const uint32_t b = open_ok(1, "b.bin");
    EXPECT_EQ(progress_counters().total, 10u);
    EXPECT_EQ(progress_counters().done, 0u);
    EXPECT_EQ(exchange(close_cmd(b)), Writes{OK});  // not the file shown, cleared all the same
    EXPECT_EQ(progress_counters().total, 0u);
    EXPECT_EQ(progress_counters().done, 0u);
    EXPECT_EQ(progress_counters().shown, 0u);
    EXPECT_EQ(open_file_count, 1u);
}

TEST_F(FileService, RmsNamesShowNoProgressButStillCountBytes)
{
    link_lock.assert_held();
    write_file("a.bin", pattern(1000));
    write_file("X.RMS", pattern(50));
    write_file("y.rms", pattern(60));
    write_file("RMS", pattern(3));
    plat::fake_clock_set(1000);
    const uint32_t a = open_ok(1, "a.bin");
    exchange(read_cmd(a, 100));

    plat::fake_clock_set(9000);
    const uint32_t r = open_ok(1, "X.RMS");
    EXPECT_EQ(progress_counters().shown, 0u);
    EXPECT_EQ(progress_counters().total, 1000u);  // the earlier file's counters stay
    EXPECT_EQ(progress_counters().start, 1000u);
    plat::fake_console_clear_output();
    EXPECT_EQ(exchange(read_cmd(r, 50)).size(), 3u);
    EXPECT_EQ(progress_counters().done, 150u);
    EXPECT_EQ(plat::fake_console_output(), "");  // no progress line for it

    open_ok(1, "y.rms");  // case matters: tracked
    EXPECT_EQ(progress_counters().shown, 1u);
    EXPECT_EQ(progress_counters().total, 60u);
    open_ok(1, "RMS");  // shorter than ".RMS"
    EXPECT_EQ(progress_counters().shown, 1u);
    EXPECT_EQ(progress_counters().total, 3u);
}

TEST_F(FileService, ReadShowsProgressAfterTheDataAndBeforeTheStatus)
{
    link_lock.assert_held();
    write_file("f", pattern(100));
    plat::fake_clock_set(0);
    const uint32_t h = open_ok(1, "f");
    plat::fake_clock_set(2500);
    plat::fake_console_clear_output();
    exchange(read_cmd(h, 100));
    EXPECT_EQ(plat::fake_console_output(),
              "\rTotal 100 bytes, 100 bytes sent (100%), 00:02 elapsed, 00:00 left   \n");
    EXPECT_EQ(progress_counters().total, 0u);  // complete
}

TEST_F(FileService, NameHoldingNulIsRefusedNotCut)
{
    link_lock.assert_held();
    write_file("a", "x");
    open_fails(1, std::string("a\0b", 3), ST_FILE_NOT_FOUND);
    open_fails(1, std::string("a\0", 2), ST_FILE_NOT_FOUND);
    open_fails(2, std::string(1, '\0'), ST_FILE_NOT_FOUND);
}

TEST_F(FileService, BackslashSeparatesDirectoriesAndMissingDirectoryIsPathNotFound)
{
    link_lock.assert_held();
    ASSERT_TRUE(std::filesystem::create_directory("sub"));
    write_file("sub/f.txt", "in sub");
    const uint32_t h = open_ok(1, "sub\\f.txt");
    EXPECT_EQ(exchange(read_cmd(h, 10)), (Writes{le16(6), "in sub", OK}));
    open_fails(1, "sub\\none.txt", ST_FILE_NOT_FOUND);
    open_fails(1, "nodir\\f.txt", ST_PATH_NOT_FOUND);
    open_fails(2, "nodir/deeper\\f.txt", ST_PATH_NOT_FOUND);
    open_fails(1, "sub\\f.txt\\x", ST_PATH_NOT_FOUND);  // a file on the way
    open_fails(1, "sub", ST_ACCESS_DENIED);
    const std::string longest(255, 'n');
    open_fails(1, longest, ST_FILE_NOT_FOUND);
    EXPECT_EQ(read_file("sub/new"), "<missing>");
    exchange(close_cmd(open_ok(2, "sub\\new")));  // Windows shares no file held for writing
    EXPECT_EQ(read_file("sub/new"), "");
}

TEST_F(FileService, FailedCallsLeaveCountAndProgressAsTheyWere)
{
    link_lock.assert_held();
    write_file("f", pattern(100));
    const uint32_t h = open_ok(1, "f");
    exchange(read_cmd(h, 10));

    plat::fake_file_fail("read", EIO);
    EXPECT_EQ(exchange(read_cmd(h, 10)),
              (Writes{bytes({0, 0}), status(plat::file_status(EIO, nullptr))}));
    EXPECT_EQ(progress_counters().done, 10u);

    plat::fake_file_fail("open", EMFILE);
    open_fails(1, "f", plat::file_status(EMFILE, nullptr));
    EXPECT_EQ(progress_counters().total, 100u);

    // A failed close still released the file: it is not closed twice, and the device's next
    // close of the handle brings the count down.
    plat::fake_file_fail("close", EIO);
    EXPECT_EQ(exchange(close_cmd(h)), Writes{status(plat::file_status(EIO, nullptr))});
    EXPECT_EQ(open_file_count, 1u);
    EXPECT_EQ(progress_counters().total, 100u);
    EXPECT_EQ(progress_counters().done, 10u);
    EXPECT_EQ(exchange(read_cmd(h, 10)), (Writes{bytes({0, 0}), status(6)}));
    EXPECT_EQ(exchange(close_cmd(h)), Writes{OK});
    EXPECT_EQ(open_file_count, 0u);
}

TEST_F(FileService, UnreadableSizeOpensWithoutATotal)
{
    link_lock.assert_held();
    write_file("f", pattern(100));
    plat::fake_file_fail("size", EIO);
    open_ok(1, "f");
    EXPECT_EQ(progress_counters().total, 0u);
    EXPECT_EQ(progress_counters().shown, 1u);
}

TEST(DeviceName, BackslashesBecomeSlashesAndNothingElseChanges)
{
    char name[] = "a\\b/c\\\\D.RMS ";
    plat::device_name_to_path(name);
    EXPECT_STREQ(name, "a/b/c//D.RMS ");
}

}  // namespace
