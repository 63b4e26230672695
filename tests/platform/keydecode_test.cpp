// Terminal byte sequences to key events.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/keydecode.h"

namespace
{

using namespace plat;

std::vector<KeyEvent> decode(const std::string& bytes, bool idle_after = true)
{
    keydecode_init();
    std::vector<KeyEvent> out;
    KeyEvent ev[KEYDECODE_MAX_EVENTS];
    for (char c : bytes) {
        int n = keydecode_byte(static_cast<uint8_t>(c), ev);
        out.insert(out.end(), ev, ev + n);
    }
    if (idle_after) {
        int n = keydecode_idle(ev);
        out.insert(out.end(), ev, ev + n);
    }
    return out;
}

uint16_t only_vk(const std::string& bytes)
{
    auto ev = decode(bytes);
    return ev.size() == 1 ? ev[0].vk : 0;
}

TEST(KeyDecode, FunctionKeysOfEveryTerminal)
{
    const std::vector<std::pair<std::string, uint16_t>> table = {
        {"\x1bOP", KEY_F1},    {"\x1bOS", KEY_F4},    {"\x1b[11~", KEY_F1},    {"\x1b[14~", KEY_F4},
        {"\x1b[[A", KEY_F1},   {"\x1b[[E", KEY_F5},   {"\x1b[15~", KEY_F5},    {"\x1b[17~", KEY_F6},
        {"\x1b[21~", KEY_F10}, {"\x1b[23~", KEY_F11}, {"\x1b[F", KEY_END},     {"\x1bOF", KEY_END},
        {"\x1b[4~", KEY_END},  {"\x1b[8~", KEY_END},  {"\x1b[A", KEY_UP},      {"\x1bOB", KEY_DOWN},
        {"\x1b[C", KEY_RIGHT}, {"\x1b[D", KEY_LEFT},  {"\x1b[3~", KEY_DELETE}, {"\x1b[H", KEY_HOME},
        {"\x1b[1;5A", KEY_UP}, {"\x1b[1;2P", KEY_F1},
    };
    for (const auto& [seq, vk] : table) {
        auto ev = decode(seq);
        ASSERT_EQ(ev.size(), 1u) << seq.substr(1);
        EXPECT_EQ(ev[0].vk, vk) << seq.substr(1);
        EXPECT_EQ(ev[0].ch, 0) << seq.substr(1);
        EXPECT_EQ(ev[0].key_down, 1);
    }
}

TEST(KeyDecode, PlainBytesKeepTheirCharacter)
{
    auto ev = decode("a\x7f\x08\r\x03\x1e^");
    ASSERT_EQ(ev.size(), 7u);
    EXPECT_EQ(ev[0].ch, 'a');
    EXPECT_EQ(ev[1].vk, KEY_BACK);
    EXPECT_EQ(ev[2].vk, KEY_BACK);
    EXPECT_EQ(ev[3].vk, KEY_RETURN);
    EXPECT_EQ(ev[3].ch, 0x0D);
    EXPECT_EQ(ev[4].ch, 0x03);  // Ctrl+C is a key like any other
    EXPECT_EQ(ev[5].vk, KEY_6);
    EXPECT_EQ(ev[5].ctrl & (KEY_SHIFT | KEY_LEFT_CTRL), KEY_SHIFT | KEY_LEFT_CTRL);
    EXPECT_EQ(ev[6].vk, KEY_6);
    EXPECT_EQ(ev[6].ctrl & KEY_LEFT_CTRL, 0u);  // Shift+6 alone
}

TEST(KeyDecode, LoneEscBecomesEscOnlyAfterThePause)
{
    auto ev = decode("\x1b", false);
    EXPECT_TRUE(ev.empty());
    EXPECT_TRUE(keydecode_pending());
    KeyEvent out[KEYDECODE_MAX_EVENTS];
    ASSERT_EQ(keydecode_idle(out), 1);
    EXPECT_EQ(out[0].vk, KEY_ESCAPE);
    EXPECT_EQ(out[0].ch, 0x1B);
    EXPECT_FALSE(keydecode_pending());

    ev = decode("\x1b\x1b[A");  // Esc, then Up
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].vk, KEY_ESCAPE);
    EXPECT_EQ(ev[1].vk, KEY_UP);
}

TEST(KeyDecode, UnknownOrBrokenSequencesAreDroppedWhole)
{
    EXPECT_EQ(decode("\x1b[99~").size(), 0u);
    EXPECT_EQ(decode("\x1b[Z").size(), 0u);
    auto ev = decode("\x1b[12"
                     "x");  // final byte x: an unknown sequence, dropped
    EXPECT_TRUE(ev.empty());
    ev = decode("\x1b[1\rb");  // a control byte breaks the sequence and counts as itself
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].vk, KEY_RETURN);
    EXPECT_EQ(ev[1].ch, 'b');
    std::string junk = "\x1b[" + std::string(100, '1') + "~z";
    ev = decode(junk);
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.back().ch, 'z');
    EXPECT_EQ(only_vk("\x1b"
                      "a"),
              'A');  // Alt+a
}

}  // namespace
