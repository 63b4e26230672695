// tests/e2e/sending_test.cpp: what the program sends to the device unattended, as the device
// receives it: a file named with F5 (whole, then CR), scheme tasks added with F6 that fire their
// files at their intervals, listed by F8 and stopped by F7, and the random printable characters
// that F11 streams, during which a send request waits.
#include <regex>

#include "tests/e2e/harness.h"
#include "tests/e2e/pasel_util.h"

using namespace e2e;

namespace
{

constexpr int SEND_WAIT_MS = 20000;  // a cycle's 1 s pause plus paced sends, on a slow machine
constexpr int GRACE_MS = 2000;       // for a send or a batch under way to finish
constexpr int SILENCE_MS = 3000;     // longer than a 2-cycle scheme interval

// Opens the send-file prompt. F5 is refused without a word while the last request is still
// being finished (the sending thread clears it just after it writes the CR the device has
// seen), so a press that shows no prompt is repeated.
testing::AssertionResult open_send_prompt(Host& h)
{
    for (int i = 0; i < 5; ++i) {
        h.keys(KEY_F5);
        if (h.screen_until("\r\nInput filename:", 1000)) {
            return testing::AssertionSuccess();
        }
    }
    return testing::AssertionFailure() << "F5 showed no prompt";
}

// F5, the name, Enter: the request is ready for the sending thread's next cycle.
void request_send(Host& h, const std::string& name)
{
    ASSERT_TRUE(open_send_prompt(h));
    type_keys(h, name);
    h.keys(KEY_ENTER);
    EXPECT_EQ(h.screen_read("\r\n"), name + "\r\n");
}

// F6 dialog for task no with interval and start time (digits) and a file name.
void add_task(Host& h, char no, const std::string& interval, const std::string& start,
              const std::string& name)
{
    h.keys(KEY_F6);
    EXPECT_TRUE(h.screen_until("Add a scheme task.\nInput the no[0-9]:"));
    h.keys(std::string(1, no));
    EXPECT_TRUE(h.screen_until(std::string(1, no) + "\r\nInput the intervene:"));
    type_keys(h, interval);
    h.keys(KEY_ENTER);
    EXPECT_TRUE(h.screen_until(interval + "\r\n\nInput start time(s):"));
    type_keys(h, start);
    h.keys(KEY_ENTER);
    EXPECT_TRUE(h.screen_until(start + "\r\n\nInput filename:"));
    type_keys(h, name);
    h.keys(KEY_ENTER);
    EXPECT_TRUE(h.screen_until(name + "\r\n"));
    EXPECT_TRUE(h.screen_until(DIALOG_CLOSE));
}

void delete_task(Host& h, char no)
{
    h.keys(KEY_F7);
    EXPECT_TRUE(h.screen_until("Delete a scheme task[0-9]:"));
    h.keys(std::string(1, no));
    EXPECT_TRUE(h.screen_until(std::string(1, no) + "\r\n"));
    EXPECT_TRUE(h.screen_until(DIALOG_CLOSE));
}

std::string without_cr(const std::string& s)
{
    std::string out;
    for (const char c : s) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

// How many times the stream holds unit whole, when it is unit repeated (the last copy may be
// cut short); -1 when it is anything else.
int whole_copies(const std::string& stream, const std::string& unit)
{
    for (size_t i = 0; i < stream.size(); ++i) {
        if (stream[i] != unit[i % unit.size()]) {
            return -1;
        }
    }
    return int(stream.size() / unit.size());
}

bool all_printable(const std::string& s)
{
    for (const char c : s) {
        if (c < 32 || c > 126) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(Sending, F5SendsTheWholeFileThenCr)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("KIVET32"));

    // 2 KB in chunks of 100 bytes with pauses of 1 to 200 ms, then CR.
    const std::string data = devsim::to_string(seeded_bytes(2048, 11));
    ASSERT_TRUE(write_file(h.file("s.bin"), data));
    request_send(h, "s.bin");
    const std::string got = h.device().read_text(data.size() + 1, SEND_WAIT_MS);
    EXPECT_EQ(got.size(), data.size() + 1);
    EXPECT_TRUE(got == data + "\r") << "the device received other bytes";
    EXPECT_EQ(device_reads_for(h, 500), "");

    // An empty name sends the CR alone.
    request_send(h, "");
    EXPECT_EQ(h.device().read_text(1, SEND_WAIT_MS), "\r");

    // A file that is not there: the message with the mode's label, then the CR alone.
    request_send(h, "gone.bin");
    EXPECT_TRUE(h.screen_until("\nKIVET32" + std::string(NO_SUCH_FILE), SEND_WAIT_MS));
    EXPECT_EQ(h.device().read_text(1, SEND_WAIT_MS), "\r");
    EXPECT_EQ(device_reads_for(h, 500), "");
}

TEST(Sending, SchemeTasksFireAtTheirIntervalUntilDeleted)
{
    Host h;
    ASSERT_TRUE(h.start(PASEL_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("PASEL32"));
    ASSERT_TRUE(write_file(h.file("t.txt"), "ABCDE"));

    // Task 1 sends t.txt every 2 cycles from the 1st; task 2 names a missing file, which is
    // reported at each firing. Each dialog's end and F8 send a CR, which may fall between
    // the task's bytes (they go out one by one).
    add_task(h, '1', "2", "1", "t.txt");
    add_task(h, '2', "3", "1", "gone.txt");
    std::string stream = device_reads_until(
        h, [](const std::string& s) { return whole_copies(without_cr(s), "ABCDE") >= 2; },
        SEND_WAIT_MS);
    EXPECT_GE(whole_copies(without_cr(stream), "ABCDE"), 2) << escaped(stream);
    EXPECT_TRUE(h.screen_until("\nPASEL32" + std::string(NO_SUCH_FILE), SEND_WAIT_MS));

    // The list: one line per active task, the countdown somewhere between its interval and 0.
    h.keys(KEY_F8);
    const std::string list = h.screen_read(DIALOG_CLOSE);
    EXPECT_NE(list.find("Scheme task list:\n    TASK NO.  INTERVENE  LAST_TIME  FILENAME\n"),
              std::string::npos)
        << escaped(list);
    EXPECT_TRUE(std::regex_search(list, std::regex("\n         1         2\\(s\\)       [0-2]"
                                                   "\\(s\\)  t\\.txt\n")))
        << escaped(list);
    EXPECT_TRUE(std::regex_search(list, std::regex("\n         2         3\\(s\\)       [0-3]"
                                                   "\\(s\\)  gone\\.txt\n")))
        << escaped(list);

    // Deleted, they stop: a send under way finishes, then nothing more comes or is reported.
    delete_task(h, '1');
    delete_task(h, '2');
    h.keys(KEY_F8);
    EXPECT_TRUE(h.screen_until("      NULL      NULL(s)   NULL(s)\n"));
    EXPECT_TRUE(h.screen_until(DIALOG_CLOSE));
    stream += device_reads_for(h, GRACE_MS);
    EXPECT_GE(whole_copies(without_cr(stream), "ABCDE"), 2) << escaped(stream);
    h.screen_skip();
    EXPECT_EQ(device_reads_for(h, SILENCE_MS), "");
    EXPECT_EQ(h.screen_read("\x01", 0), "");
}

TEST(Sending, F11StreamsPrintableCharactersWhileASendRequestWaits)
{
    Host h;
    ASSERT_TRUE(h.start(PASEL_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("PASEL32"));
    const std::string file = "\x01\x02\x03\x04";  // bytes no random character can be
    ASSERT_TRUE(write_file(h.file("r.bin"), file));

    h.keys(KEY_F11);
    std::string stream = device_reads_until(
        h, [](const std::string& s) { return s.size() >= 20; }, SEND_WAIT_MS);
    EXPECT_GE(stream.size(), 20u);
    EXPECT_TRUE(all_printable(stream)) << escaped(stream);

    // Random characters are flowing, so no cycle runs: the request waits.
    request_send(h, "r.bin");
    stream = device_reads_for(h, GRACE_MS);
    EXPECT_FALSE(stream.empty());
    EXPECT_TRUE(all_printable(stream)) << escaped(stream);

    // Off: the batch under way ends, the next cycle sends the file and the CR, then silence.
    h.keys(KEY_F11);
    stream = device_reads_until(
        h, [](const std::string& s) { return s.find('\r') != std::string::npos; }, SEND_WAIT_MS);
    ASSERT_GE(stream.size(), file.size() + 1) << escaped(stream);
    const size_t tail = stream.size() - file.size() - 1;
    EXPECT_EQ(stream.substr(tail), file + "\r") << escaped(stream);
    EXPECT_TRUE(all_printable(stream.substr(0, tail))) << escaped(stream);
    EXPECT_EQ(device_reads_for(h, GRACE_MS), "");  // random characters come 1 to 100 ms apart
}
