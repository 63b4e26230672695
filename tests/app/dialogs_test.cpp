// tests/app/dialogs_test.cpp: the prompt dialogs, character by character, with their exact echo,
// messages and closing CRs: F5 (send request), F6/F7/F8 (scheme tasks), F9/F10 (capture file).
#include <cstring>
#include <string>

#include "app/dialogs.h"
#include "output/logfile.h"
#include "sending/scheme.h"
#include "sending/sender.h"
#include "tests/support/fixture.h"

namespace
{

const std::string RULE(50, '-');
const std::string OPEN = "\n\n" + RULE + "\n";
const std::string CLOSE = RULE + "\n\n";
const std::string NULL_LINE = "      NULL      NULL(s)   NULL(s)\n";
const std::string LIST_HEAD =
    OPEN + "Scheme task list:\n" + "    TASK NO.  INTERVENE  LAST_TIME  FILENAME\n";

class Dialogs : public SystemTest
{
  protected:
    static void type(const std::string& keys) REQUIRES(link_lock)
    {
        for (char c : keys) {
            prompt_input(static_cast<uint8_t>(c));
        }
    }
    static void add_task(const std::string& keys) REQUIRES(link_lock)
    {
        dialog_add_task_start();
        type(keys);
    }
    // Console text since the last call.
    static std::string out()
    {
        std::string s = plat::fake_console_output();
        plat::fake_console_clear_output();
        return s;
    }
};

TEST_F(Dialogs, AddedTaskIsStoredAndListed)
{
    link_lock.assert_held();
    add_task("310\r5\ra.txt\r");
    EXPECT_EQ(out(), OPEN + "Add a scheme task.\nInput the no[0-9]:" + "3\r\n" +
                         "Input the intervene:" + "10\r\n" + "\nInput start time(s):" + "5\r\n" +
                         "\nInput filename:" + "a.txt\r\n" + CLOSE);
    EXPECT_EQ(plat::fake_port_written(), "\r");
    EXPECT_FALSE(prompt_active());
    const SchemeTask& t = scheme_table[3];
    EXPECT_EQ(t.active.load(), 1);
    EXPECT_TRUE(plat::fake_event_is_set(sender_event));  // the idle sending thread wakes
    EXPECT_EQ(t.interval.load(), 10);
    EXPECT_EQ(t.countdown.load(), 5);
    EXPECT_STREQ(t.name, "a.txt");

    dialog_task_list();
    char line[128];
    snprintf(line, sizeof line, "%10d%10d(s)%8d(s)  %s\n", 3, 10, 5, "a.txt");
    EXPECT_EQ(out(), LIST_HEAD + line + CLOSE);
    EXPECT_EQ(plat::fake_port_written(), "\r\r");
}

TEST_F(Dialogs, NumbersWrapAndIntervalZeroNeverActivates)
{
    link_lock.assert_held();
    add_task("3\r\ra.txt\r");  // interval 0
    EXPECT_EQ(scheme_table[3].active.load(), 0);
    (void)out();
    dialog_task_list();
    EXPECT_EQ(out(), LIST_HEAD + NULL_LINE + CLOSE);

    add_task("2300\r257\rb\r");
    EXPECT_EQ(scheme_table[2].interval.load(), 44);  // 300 modulo 256
    EXPECT_EQ(scheme_table[2].countdown.load(), 1);  // 257 modulo 256
    EXPECT_EQ(scheme_table[2].active.load(), 1);
}

TEST_F(Dialogs, NonDigitEndsTheTaskDialogsWithoutTouchingARecord)
{
    link_lock.assert_held();
    add_task("310\r5\ra.txt\r");
    (void)out();
    plat::fake_port_clear_written();

    // A non-digit task number: echoed with a line end, nothing else.
    add_task("x");
    EXPECT_EQ(out(), OPEN + "Add a scheme task.\nInput the no[0-9]:" + "x\r\n");
    EXPECT_FALSE(prompt_active());
    dialog_delete_task_start();
    type(":");
    EXPECT_EQ(out(), OPEN + "Delete a scheme task[0-9]:" + ":\r\n" + CLOSE);
    EXPECT_EQ(plat::fake_port_written(), "\r");
    EXPECT_EQ(scheme_table[3].active.load(), 1);
    EXPECT_STREQ(scheme_table[3].name, "a.txt");

    // A valid number clears the old task at once; a non-digit interval then ends the dialog.
    add_task("31z");
    EXPECT_EQ(out(), OPEN + "Add a scheme task.\nInput the no[0-9]:" + "3\r\n" +
                         "Input the intervene:" + "1z" + CLOSE);
    EXPECT_EQ(plat::fake_port_written(), "\r\r");
    EXPECT_FALSE(prompt_active());
    EXPECT_EQ(scheme_table[3].active.load(), 0);
    EXPECT_EQ(scheme_table[3].interval.load(), 1);
    EXPECT_STREQ(scheme_table[3].name, "");
}

TEST_F(Dialogs, DeleteKeepsTheFieldsAndAnEmptyListShowsNull)
{
    link_lock.assert_held();
    dialog_task_list();
    EXPECT_EQ(out(), LIST_HEAD + NULL_LINE + CLOSE);

    add_task("47\r2\rb.bin\r");
    dialog_delete_task_start();
    type("4");
    const SchemeTask& t = scheme_table[4];
    EXPECT_EQ(t.active.load(), 0);
    EXPECT_EQ(t.interval.load(), 7);
    EXPECT_EQ(t.countdown.load(), 2);
    EXPECT_STREQ(t.name, "b.bin");
    (void)out();
    dialog_task_list();
    EXPECT_EQ(out(), LIST_HEAD + NULL_LINE + CLOSE);
}

TEST_F(Dialogs, EraseEchoesBackspaceBlankBackspaceAndStopsAtAnEmptyName)
{
    link_lock.assert_held();
    dialog_send_file_start();
    (void)out();
    type("\x08");
    EXPECT_EQ(out(), "\x08");
    type("ab\x08\x7f\r");
    EXPECT_EQ(out(), "ab\x08 \x08\x7f\r\n");
    EXPECT_STREQ(request_name, "a\x7f");  // 0x7F is an ordinary character
    EXPECT_EQ(request_ready.load(), 1);
}

TEST_F(Dialogs, SendRequestIsSetEvenForAnEmptyNameAndRefusedWhilePending)
{
    link_lock.assert_held();
    dialog_send_file_start();
    type("\r");
    EXPECT_EQ(out(), "\r\nInput filename:\r\n");
    EXPECT_EQ(request_ready.load(), 1);
    EXPECT_TRUE(plat::fake_event_is_set(sender_event));  // the idle sending thread wakes
    EXPECT_STREQ(request_name, "");
    EXPECT_EQ(plat::fake_port_written(), "");  // the sending thread writes the CR

    // The sending thread still owns the name: a second F5 does not start.
    dialog_send_file_start();
    EXPECT_EQ(out(), "");
    EXPECT_FALSE(prompt_active());
    request_ready.store(0);
    dialog_send_file_start();
    EXPECT_TRUE(prompt_active());
}

TEST_F(Dialogs, CaptureStartedDuringTheSendPromptWaitsForIt)
{
    link_lock.assert_held();
    dialog_send_file_start();
    type("ab");
    dialog_capture_start();
    type("c\r");
    EXPECT_STREQ(request_name, "abc");
    EXPECT_EQ(request_ready.load(), 1);
    EXPECT_TRUE(prompt_active());
    (void)out();
    type("d.cap\r");
    EXPECT_EQ(out(), "d.cap\r\nCapture file :\"d.cap\"\n");
    EXPECT_EQ(plat::fake_port_written(), "\r");
    EXPECT_TRUE(capture_is_open());
    EXPECT_FALSE(prompt_active());
}

TEST_F(Dialogs, CaptureEndsWithItsSizeAndANewCaptureClosesTheOldFirst)
{
    link_lock.assert_held();
    dialog_capture_end();  // nothing open: nothing happens
    EXPECT_EQ(out(), "");
    dialog_capture_start();
    type("\r");  // an empty name opens nothing; the CR still goes out
    EXPECT_EQ(out(), "\r\nInput filename:\r\n");
    EXPECT_EQ(plat::fake_port_written(), "\r");
    EXPECT_FALSE(capture_is_open());

    dialog_capture_start();
    type("one.cap\r");
    const std::string xs(1500, 'x');
    log_text(reinterpret_cast<const uint8_t*>(xs.data()), 1500);
    (void)out();
    plat::fake_port_clear_written();
    dialog_capture_start();  // the open capture is ended first, with its message and CR
    EXPECT_EQ(out(), "\nCapture file :\"one.cap\" (1 KB)\n\r\nInput filename:");
    EXPECT_EQ(plat::fake_port_written(), "\r");
    EXPECT_FALSE(capture_is_open());
    EXPECT_EQ(read_file("one.cap"), std::string(1500, 'x'));
    type("two.cap\r");
    log_text(reinterpret_cast<const uint8_t*>("yy"), 2);
    (void)out();
    dialog_capture_end();
    EXPECT_EQ(out(), "\nCapture file :\"two.cap\" (0 KB)\n");
    EXPECT_EQ(plat::fake_port_written(), "\r\r\r");
    EXPECT_EQ(read_file("two.cap"), "yy");
    dialog_capture_end();
    EXPECT_EQ(out(), "");

    // A file that cannot be opened is announced all the same and leaves no capture.
    dialog_capture_start();
    type("no/such/dir.cap\r");
    EXPECT_EQ(out(), "\r\nInput filename:no/such/dir.cap\r\nCapture file :\"no/such/dir.cap\"\n");
    EXPECT_FALSE(capture_is_open());
}

TEST_F(Dialogs, NamesStopAtTwoHundredFiftyFiveCharacters)
{
    link_lock.assert_held();
    dialog_send_file_start();
    (void)out();
    type(std::string(300, 'n') + "\r");
    EXPECT_EQ(out(), std::string(255, 'n') + "\r\n");  // the rest is neither stored nor echoed
    EXPECT_EQ(strlen(request_name), 255u);

    dialog_capture_start();
    type(std::string(256, 'c') + "\x08" + "d\r");
    EXPECT_EQ(std::string(capture_name), std::string(254, 'c') + "d");

    add_task("51\r1\r" + std::string(400, 't') + "\r");
    EXPECT_EQ(strlen(scheme_table[5].name), 255u);
    EXPECT_EQ(scheme_table[5].active.load(), 1);
}

}  // namespace
