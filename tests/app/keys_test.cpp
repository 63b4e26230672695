// The key handler: translations, the line-free rule, the hot keys' messages.
#include <cstring>
#include <string>

#include "app/dialogs.h"
#include "app/keys.h"
#include "app/options.h"
#include "app/startup.h"
#include "fileservice/filecmd.h"
#include "output/logfile.h"
#include "output/text.h"
#include "output/view.h"
#include "packet/transfer.h"
#include "platform/fake/fake.h"
#include "port/mode.h"
#include "sending/sender.h"
#include "tests/support/fixture.h"

namespace
{

using plat::KeyEvent;

KeyEvent key(uint16_t vk, uint8_t ch = 0, uint32_t ctrl = 0)
{
    return KeyEvent{1, vk, ch, ctrl};
}

class Keys : public SystemTest
{
  protected:
    std::string sent(const KeyEvent& ev) REQUIRES(link_lock)
    {
        plat::fake_port_clear_written();
        key_handle(ev);
        return plat::fake_port_written();
    }
    // One batch of the console thread, which takes the link lock itself.
    static void batch() REQUIRES(link_lock)
    {
        link_lock.give();
        console_batch();
        link_lock.take();
    }
};

TEST_F(Keys, TranslatedKeysInEachMode)
{
    link_lock.assert_held();
    EXPECT_EQ(sent(key(plat::KEY_BACK, 0x08)), "\x7F");
    EXPECT_EQ(sent(key(plat::KEY_DELETE)), "\x08");
    EXPECT_EQ(sent(key('C', 0x03, plat::KEY_LEFT_CTRL)), "\x03");
    EXPECT_EQ(sent(key(plat::KEY_UP)), "\x1B[A");
    EXPECT_EQ(sent(key(plat::KEY_LEFT)), "\x1B[D");
    mode_flag = MODE_PASEL;
    backspace_char = 0x08;
    EXPECT_EQ(sent(key(plat::KEY_BACK, 0x08)), "\x08");
    EXPECT_EQ(sent(key(plat::KEY_DELETE)), "\x08");
}

TEST_F(Keys, CtrlShiftSixNeedsBothModifiers)
{
    link_lock.assert_held();
    EXPECT_EQ(sent(key(plat::KEY_6, 0x1E, plat::KEY_SHIFT | plat::KEY_RIGHT_CTRL)), "\x1E");
    EXPECT_EQ(sent(key(plat::KEY_6, '6', plat::KEY_SHIFT | plat::KEY_LEFT_CTRL)), "\x1E");
    EXPECT_EQ(sent(key(plat::KEY_6, '^', plat::KEY_SHIFT)), "^");
    EXPECT_EQ(sent(key(plat::KEY_6, '6', plat::KEY_LEFT_CTRL)), "6");
}

TEST_F(Keys, KeysWithoutACharacterSendNothing)
{
    link_lock.assert_held();
    EXPECT_EQ(sent(key(plat::KEY_HOME)), "");
    EXPECT_EQ(sent(key(0x10 /* Shift alone */)), "");
    EXPECT_EQ(plat::fake_console_output(), "");
}

TEST_F(Keys, KivetTypedCharacterJoinsTheConsoleTextBuffer)
{
    link_lock.assert_held();
    EXPECT_EQ(sent(key('A', 'a')), "a");
    mode_flag = MODE_PASEL;
    EXPECT_EQ(sent(key('B', 'b')), "b");
    text_flush();  // only the KIVET key was held for the console
    EXPECT_EQ(plat::fake_console_output(), "a");
}

TEST_F(Keys, BusyLineRefusesTypingAndTheModeSwitch)
{
    link_lock.assert_held();
    open_file_count = 1;
    EXPECT_EQ(sent(key('A', 'a')), "");
    EXPECT_EQ(sent(key(plat::KEY_UP)), "");
    EXPECT_EQ(plat::fake_console_output(),
              "\r\nPress <End> key to exit\n\r\nPress <End> key to exit\n");
    plat::fake_console_clear_output();
    EXPECT_EQ(sent(key(plat::KEY_F4)), "");
    EXPECT_EQ(sent(key(plat::KEY_F5)), "");
    EXPECT_EQ(plat::fake_console_output(), "");
    EXPECT_EQ(mode_flag.load(), MODE_KIVET);
    EXPECT_FALSE(prompt_active());

    open_file_count = 0;
    mode_flag = MODE_PASEL;
    transfer_state = TS_RECV_DATA;
    EXPECT_EQ(sent(key('A', 'a')), "");
    EXPECT_EQ(sent(key(plat::KEY_F4)), "");
    EXPECT_EQ(mode_flag.load(), MODE_PASEL);
    transfer_state = TS_IDLE;
}

// Every key's row in the hot-key table: F1 .. F11 with or without Alt, Alt+R and Alt+H with Alt
// alone, no other key; only the mode switch and the file send wait for a free line.
TEST(HotKeys, OnlyTheModeSwitchAndTheFileSendNeedAFreeLine)
{
    for (uint16_t vk = 0; vk <= 0xFF; ++vk) {
        for (bool alt : {false, true}) {
            const HotKey* k = hot_key_find(vk, alt);
            const bool function_key = vk >= plat::KEY_F1 && vk <= plat::KEY_F11;
            const bool alt_key = alt && (vk == 'R' || vk == 'H');
            ASSERT_EQ(k != nullptr, function_key || alt_key) << vk << " alt " << alt;
            if (k != nullptr) {
                EXPECT_EQ(k->needs_free_line, vk == plat::KEY_F4 || vk == plat::KEY_F5) << vk;
                EXPECT_EQ(k->alt, alt_key) << vk;
            }
        }
    }
}

TEST_F(Keys, ModeSwitchResetsTheBackspaceCharacter)
{
    link_lock.assert_held();
    EXPECT_EQ(sent(key(plat::KEY_F2)), "\r");
    EXPECT_EQ(backspace_char, 0x08);
    EXPECT_EQ(sent(key(plat::KEY_F4)), "\r");
    EXPECT_EQ(mode_flag.load(), MODE_PASEL);
    EXPECT_EQ(sent(key(plat::KEY_F4)), "\r");
    EXPECT_EQ(backspace_char, 0x7F);
    EXPECT_EQ(plat::fake_console_output(),
              "\r\nKIVET32: Backspace key: 08\n"
              "\r\nPASEL32: File transfer mode change to PASEL32, Backspace key: 08\n"
              "\r\nKIVET32: File transfer mode change to KIVET32, Backspace key: 7f\n");
}

TEST_F(Keys, TimestampToggleSaysEnabledThenDisabled)
{
    link_lock.assert_held();
    sent(key(plat::KEY_F3));
    EXPECT_EQ(timestamp_option, 1);
    sent(key(plat::KEY_F3));
    EXPECT_EQ(timestamp_option, 0);
    EXPECT_EQ(plat::fake_console_output(),
              "\r\nKIVET32: Timestamp is Enabled.\n\r\nKIVET32: Timestamp is Disabled.\n");
}

TEST_F(Keys, StatusShowsTheLogAndTheHotKeys)
{
    link_lock.assert_held();
    EXPECT_EQ(sent(key(plat::KEY_F1)), "\r");
    EXPECT_EQ(plat::fake_console_output(),
              std::string("\r\nKIVET32 Mode, <Backspace>=7f, timestamp=0, No Log file\n") +
                  HOTKEY_TEXT);
    plat::fake_console_clear_output();
    std::strcpy(log_name, "t.log");
    ASSERT_TRUE(log_open(log_name));
    log_write(std::string(2500, 'x').data(), 2500);
    sent(key(plat::KEY_F1));
    EXPECT_EQ(
        plat::fake_console_output().rfind(
            "\r\nKIVET32 Mode, <Backspace>=7f, timestamp=0, Log file \"t.log\" size : 2 K\n", 0),
        0u);
}

TEST_F(Keys, RandomModeTogglesSilently)
{
    link_lock.assert_held();
    EXPECT_EQ(sent(key(plat::KEY_F11)), "");
    EXPECT_EQ(random_mode.load(), 1);
    EXPECT_TRUE(plat::fake_event_is_set(sender_event));  // the idle sending thread wakes
    EXPECT_EQ(sent(key(plat::KEY_F11)), "");
    EXPECT_EQ(random_mode.load(), 0);
    EXPECT_EQ(plat::fake_console_output(), "");
}

TEST_F(Keys, PromptTakesTheCharactersAfterTheCursorPrefix)
{
    link_lock.assert_held();
    sent(key(plat::KEY_F5));
    ASSERT_TRUE(prompt_active());
    EXPECT_EQ(sent(key('A', 'a')), "");
    EXPECT_EQ(sent(key(plat::KEY_UP)), "\x1B[");  // the letter goes into the name
    EXPECT_NE(plat::fake_console_output().find("aA"), std::string::npos);
}

TEST_F(Keys, EndShutsDownEvenDuringAPrompt)
{
    link_lock.assert_held();
    sent(key(plat::KEY_F9));
    ASSERT_TRUE(prompt_active());
    ASSERT_EQ(key_handle(key(plat::KEY_END)), KEY_QUIT) << "End did not shut down";
    shutdown();
    EXPECT_NE(plat::fake_console_output().find("\r\nKIVET32: program terminated.\n"),
              std::string::npos);
}

TEST_F(Keys, BatchKeepsTypedKeysAndSaysBusyOncePerBatch)
{
    link_lock.assert_held();
    for (char c : std::string("paste")) {
        plat::fake_keys_push(key(0, c));
    }
    batch();  // a paste with the line free: every key, in order
    EXPECT_EQ(plat::fake_port_written(), "paste");
    open_file_count = 1;  // the device holds a file: the line is busy
    for (char c : std::string("more")) {
        plat::fake_keys_push(key(0, c));
    }
    batch();
    open_file_count = 0;
    const std::string out = plat::fake_console_output();
    EXPECT_EQ(out.find("Press <End> key to exit"), out.rfind("Press <End> key to exit"));
}

}  // namespace
