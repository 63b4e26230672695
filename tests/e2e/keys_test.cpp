// tests/e2e/keys_test.cpp: the keyboard as the device and the user meet it: typed keys and the
// translated ones (cursor keys, Backspace, Delete, Ctrl keys) on the line in both modes, and the
// hot keys F1 to F4 with their exact messages and the carriage return each sends, and Alt+digit
// for a function key.
#include <array>

#include "tests/e2e/harness.h"
#include "tools/devsim/kivet_device.h"

using namespace e2e;

namespace
{

struct KeyCase {
    std::string_view key;
    std::string line;  // what the device receives for it
};

// Presses each key and expects exactly its bytes at the device before the next key.
void expect_keys_reach_device(Host& h, const std::vector<KeyCase>& cases)
{
    for (const KeyCase& c : cases) {
        if (c.key == KEY_CTRL_C &&
            left_out_on_wine("Ctrl+C: Wine's console makes it a break event (End) in any mode")) {
            continue;
        }
        h.keys(c.key);
        EXPECT_EQ(h.device().read_text(c.line.size(), WAIT_MS), c.line)
            << "key \"" << escaped(c.key) << "\"";
    }
}

// A hot key's message on the console, and its carriage return at the device.
void expect_hot_key(Host& h, std::string_view key, const std::string& message)
{
    h.keys(key);
    EXPECT_EQ(h.screen_read(message.substr(message.size() - 3)), message)
        << "key \"" << escaped(key) << "\"";
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r") << "key \"" << escaped(key) << "\"";
}

}  // namespace

TEST(Keyboard, KivetModeSendsTypedAndTranslatedKeys)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("KIVET32"));

    expect_keys_reach_device(h, {
                                    {"a", "a"},
                                    {"xyz", "xyz"},  // a burst read at once
                                    {"Q", "Q"},
                                    {KEY_CTRL_C, "\x03"},  // a byte, not the end of the program
                                    {KEY_ENTER, "\r"},
                                    {"\t", "\t"},
                                    {"\x1e", "\x1e"},  // Ctrl+Shift+6
                                    {KEY_UP, "\x1b[A"},
                                    {KEY_DOWN, "\x1b[B"},
                                    {KEY_RIGHT, "\x1b[C"},
                                    {KEY_LEFT, "\x1b[D"},
                                    {KEY_BACKSPACE, "\x7f"},
                                    {KEY_DELETE, "\x08"},
                                });

    // F2 swaps what Backspace sends, until F2 again.
    expect_hot_key(h, KEY_F2, "\r\nKIVET32: Backspace key: 08\n");
    expect_keys_reach_device(h, {{KEY_BACKSPACE, "\x08"}, {KEY_DELETE, "\x08"}});
    expect_hot_key(h, KEY_F2, "\r\nKIVET32: Backspace key: 7f\n");
    expect_keys_reach_device(h, {{KEY_BACKSPACE, "\x7f"}});

    // A typed key is not shown: the device's next text replaces it.
    expect_keys_reach_device(h, {{"q", "q"}});
    ASSERT_TRUE(h.device().write("R|"));
    EXPECT_EQ(h.screen_read("|"), "R|");
}

TEST(Keyboard, PaselModeSendsBackspaceAsBs)
{
    Host h;
    ASSERT_TRUE(h.start(PASEL_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("PASEL32"));

    expect_keys_reach_device(h, {
                                    {KEY_BACKSPACE, "\x08"},
                                    {KEY_DELETE, "\x08"},
                                    {"p", "p"},
                                    {KEY_CTRL_C, "\x03"},
                                    {KEY_UP, "\x1b[A"},
                                });
    expect_hot_key(h, KEY_F2, "\r\nPASEL32: Backspace key: 7f\n");
    expect_keys_reach_device(h, {{KEY_BACKSPACE, "\x7f"}, {KEY_DELETE, "\x08"}});
}

TEST(HotKeys, StatusBackspaceTimestampAndModeSwitch)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name(), "115200", "k.log"}));
    EXPECT_EQ(h.screen_read("exit.\n"), "KIVET32" + std::string(VERSION_TEXT) +
                                            "\nLog file: \"k.log\", Press <End> key to exit.\n");

    expect_hot_key(
        h, KEY_F1,
        "\r\nKIVET32 Mode, <Backspace>=7f, timestamp=0, Log file \"k.log\" size : 0 K\n" +
            std::string(HOTKEY_TEXT));
    expect_hot_key(h, KEY_F3, "\r\nKIVET32: Timestamp is Enabled.\n");
    expect_hot_key(h, KEY_F2, "\r\nKIVET32: Backspace key: 08\n");
    expect_hot_key(
        h, KEY_F1,
        "\r\nKIVET32 Mode, <Backspace>=08, timestamp=1, Log file \"k.log\" size : 0 K\n" +
            std::string(HOTKEY_TEXT));
    expect_hot_key(h, KEY_F3, "\r\nKIVET32: Timestamp is Disabled.\n");

    // F4 to PASEL mode: the label and the Backspace byte follow, an F2 choice is dropped.
    expect_hot_key(h, KEY_F4,
                   "\r\nPASEL32: File transfer mode change to PASEL32, Backspace key: 08\n");
    expect_hot_key(h, KEY_F2, "\r\nPASEL32: Backspace key: 7f\n");

    // In PASEL mode a file command is plain text: shown, not answered.
    const devsim::Bytes cmd5 = devsim::kivet_cmd5({'a', 'b', 'c', 'd', 'e'});
    ASSERT_TRUE(h.device().write(cmd5));
    EXPECT_EQ(h.screen_read("abcde"), "\x02\x05"
                                      "abcde");

    expect_hot_key(h, KEY_F4,
                   "\r\nKIVET32: File transfer mode change to KIVET32, Backspace key: 7f\n");
    expect_hot_key(
        h, KEY_F1,
        "\r\nKIVET32 Mode, <Backspace>=7f, timestamp=0, Log file \"k.log\" size : 0 K\n" +
            std::string(HOTKEY_TEXT));
    expect_keys_reach_device(h, {{KEY_BACKSPACE, "\x7f"}});

    // Back in KIVET mode the same command is answered.
    ASSERT_TRUE(h.device().write(cmd5));
    EXPECT_EQ(h.device().read_text(2, WAIT_MS), std::string("\0\0", 2));
}

// Alt+1, which every terminal delivers (as ESC 1), does what F1 does, and types no '1'.
TEST(HotKeys, AltDigitIsTheFunctionKey)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("KIVET32"));
    expect_hot_key(h, "\x1b\x31",  // ESC '1'
                   "\r\nKIVET32 Mode, <Backspace>=7f, timestamp=0, No Log file\n" +
                       std::string(HOTKEY_TEXT));
    expect_keys_reach_device(h, {{"a", "a"}});
}

// A long command pasted into the program's console reaches the device whole and in order, in
// both modes: nothing typed while a batch is handled is dropped.
TEST(Keyboard, PasteReachesTheDeviceWhole)
{
    for (const auto& [bin, size] : {std::pair{KIVET_BIN, 4000}, std::pair{PASEL_BIN, 1000}}) {
        Host h;
        ASSERT_TRUE(h.start(bin, {h.port_name()}));
        std::string paste;
        for (int i = 0; i < size; ++i) {
            paste += char('a' + i % 26);
        }
        h.keys(paste);
        const std::string got = h.device().read_text(paste.size(), WAIT_MS);
        std::printf("%s: %zu of %zu pasted characters received\n", bin, got.size(), paste.size());
        EXPECT_EQ(got, paste);
        h.keys(KEY_END);
        EXPECT_EQ(h.wait_exit(), 0);
    }
}
