// Terminal byte sequences to key events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
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

// The key code of a plain byte.
uint16_t plain_vk(char c)
{
    auto ev = decode(std::string(1, c));
    return ev.size() == 1 ? ev[0].vk : 0;
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

    keydecode_init();  // Esc, the pause, then Up
    ASSERT_EQ(keydecode_byte(0x1B, out), 0);
    ASSERT_EQ(keydecode_idle(out), 1);
    EXPECT_EQ(out[0].vk, KEY_ESCAPE);
    ev = decode("\x1b[A");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].vk, KEY_UP);
    ev = decode("\x1b\x1b");  // Esc twice
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].vk, KEY_ESCAPE);
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

// A key a sequence should give: vk with exactly these modifiers, or (none_ok) nothing at all;
// any_key: any one key will do (the terminal sends the same as for a key of ours); fewer: some
// of the modifiers may be missing (a terminal that cannot tell sends the key without them).
struct Want {
    uint16_t vk;
    uint32_t mods;
    bool none_ok;
    bool any_key = false;
    bool fewer = false;
};

constexpr uint32_t MODS = KEY_SHIFT | KEY_LEFT_CTRL | KEY_LEFT_ALT;

// The sequence, then 'x': the wanted key (or nothing), then 'x' as itself, and nothing else.
void expect_whole(const std::string& seq, const Want& want, const std::string& what)
{
    auto ev = decode(seq + "x");
    ASSERT_FALSE(ev.empty()) << what;
    EXPECT_TRUE(ev.back().ch == 'x' && ev.back().ctrl == 0) << what << ": x lost";
    ev.pop_back();
    if (ev.empty()) {
        EXPECT_TRUE(want.none_ok) << what << ": dropped";
        return;
    }
    ASSERT_EQ(ev.size(), 1u) << what;
    const uint32_t mods = ev[0].ctrl & MODS;
    EXPECT_TRUE(want.any_key || (ev[0].vk == want.vk &&
                                 (mods == want.mods || (want.fewer && (mods & ~want.mods) == 0))))
        << what << ": key " << ev[0].vk << " mods " << mods << ", wanted " << want.vk << " mods "
        << want.mods;
}

TEST(KeyDecode, RxvtKonsoleKittyAndXtermFormsAreDecodedOrDroppedWhole)
{
    const uint32_t S = KEY_SHIFT, C = KEY_LEFT_CTRL, A = KEY_LEFT_ALT;
    const std::vector<std::pair<std::string, Want>> table = {
        {"\x1bO2P", {KEY_F1, S, false}},         // Shift+F1, ESC O with a parameter
        {"\x1bO1;2P", {KEY_F1, S, false}},       //
        {"\x1bO5S", {KEY_F4, C, false}},         //
        {"\x1bOa", {KEY_UP, C, false}},          // rxvt's Ctrl+cursor
        {"\x1bOd", {KEY_LEFT, C, false}},        //
        {"\x1b[b", {KEY_DOWN, S, false}},        // rxvt's Shift+cursor
        {"\x1b[c", {KEY_RIGHT, S, false}},       //
        {"\x1b[11^", {KEY_F1, C, false}},        // rxvt's Ctrl+F1
        {"\x1b[23$", {KEY_F11, S, false}},       // rxvt's Shift+F11
        {"\x1b[8$", {KEY_END, S, false}},        //
        {"\x1b[7@", {KEY_HOME, C | S, false}},   //
        {"\x1b[25~", {KEY_F3, S, false}},        // VT220 F13: Shift+F3
        {"\x1b[34^", {KEY_F10, C | S, false}},   //
        {"\x1b\x1b[A", {KEY_UP, A, false}},      // an extra ESC: Alt
        {"\x1b\x1bOP", {KEY_F1, A, false}},      //
        {"\x1b[114;3u", {'R', A, false}},        // kitty and foot: Alt+r
        {"\x1b[13;2u", {KEY_RETURN, S, false}},  //
        {"\x1b[27;3;114~", {'R', A, false}},     // xterm's modifyOtherKeys
        {"\x1b[97;1:3u", {0, 0, true}},          // a release
        {"\x1b[57399u", {0, 0, true}},           // no ASCII key
        {"\x1b[<0;10;5M", {0, 0, true}},         // a mouse report
        {"\x1b[?1;2c", {0, 0, true}},            // a reply
        {"\x1b[[", {0, 0, true}},                //
        {"\x1bOM", {0, 0, true}},                // keypad Enter in application mode
    };
    for (const auto& [seq, want] : table) {
        expect_whole(seq, want, seq.substr(1));
    }
    auto ev = decode("\x1b[99;5u");  // Ctrl+c
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].ch, 0x03);
}

// The key capabilities of a compiled terminfo entry (term(5)): name and value of each.
using Caps = std::vector<std::pair<std::string, std::string>>;

std::string key_cap_name(size_t i)
{
    static const char* const first[] = {"kbs",   "ktbc",  "kclr", "kctab", "kdch1", "kdl1", "kcud1",
                                        "krmir", "kel",   "ked",  "kf0",   "kf1",   "kf10", "kf2",
                                        "kf3",   "kf4",   "kf5",  "kf6",   "kf7",   "kf8",  "kf9",
                                        "khome", "kich1", "kil1", "kcub1", "kll",   "knp",  "kpp",
                                        "kcuf1", "kind",  "kri",  "khts",  "kcuu1"};  // 55 .. 87
    static const char* const second[] = {
        "kbeg", "kcan", "kclo", "kcmd", "kcpy", "kcrt", "kend", "kent", "kext", "kfnd",
        "khlp", "kmrk", "kmsg", "kmov", "knxt", "kopn", "kopt", "kprv", "kprt", "krdo",
        "kref", "krfr", "krpl", "krst", "kres", "ksav", "kspd", "kund", "kBEG", "kCAN",
        "kCMD", "kCPY", "kCRT", "kDC",  "kDL",  "kslt", "kEND", "kEOL", "kEXT", "kFND",
        "kHLP", "kHOM", "kIC",  "kLFT", "kMSG", "kMOV", "kNXT", "kOPT", "kPRV", "kPRT",
        "kRDO", "kRPL", "kRIT", "kRES", "kSAV", "kSPD", "kUND"};              // 158 .. 214
    static const char* const keypad[] = {"ka1", "ka3", "kb2", "kc1", "kc3"};  // 139 .. 143
    if (i >= 55 && i <= 87) {
        return first[i - 55];
    }
    if (i >= 158 && i <= 214) {
        return second[i - 158];
    }
    if (i >= 139 && i <= 143) {
        return keypad[i - 139];
    }
    if (i >= 216 && i <= 268) {
        return "kf" + std::to_string(i - 216 + 11);
    }
    return i == 148 ? "kcbt" : "";  // kmous (355) opens a mouse report: no key
}

bool read_terminfo(const std::string& name, Caps* caps)
{
    std::vector<std::string> dirs;
    if (const char* env = std::getenv("TERMINFO_DIRS")) {
        std::string all = env;
        for (size_t a = 0, b; a <= all.size(); a = b + 1) {
            b = all.find(':', a);
            b = b == std::string::npos ? all.size() : b;
            if (b > a) {
                dirs.push_back(all.substr(a, b - a));
            }
        }
    }
    for (const char* d : {"/etc/terminfo", "/lib/terminfo", "/usr/share/terminfo"}) {
        dirs.emplace_back(d);
    }
    std::vector<uint8_t> f;
    for (const auto& d : dirs) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(name[0]));
        for (const std::string& sub : {std::string(1, name[0]), std::string(hex)}) {
            FILE* fp = std::fopen((d + "/" + sub + "/" + name).c_str(), "rb");
            if (fp != nullptr) {
                int c;
                while ((c = std::fgetc(fp)) != EOF) {
                    f.push_back(static_cast<uint8_t>(c));
                }
                std::fclose(fp);
                break;
            }
        }
        if (!f.empty()) {
            break;
        }
    }
    auto u16 = [&](size_t at) -> int {
        if (at + 2 > f.size()) {
            return -1;
        }
        int v = f[at] | (f[at + 1] << 8);
        return v >= 0x8000 ? v - 0x10000 : v;
    };
    auto str_at = [&](size_t at, size_t end) {
        std::string v;
        while (at < end && at < f.size() && f[at] != 0) {
            v += static_cast<char>(f[at++]);
        }
        return v;
    };
    const int magic = u16(0);
    if (magic != 0432 && magic != 01036) {
        return false;
    }
    const size_t numw = magic == 01036 ? 4 : 2;
    size_t at = 12 + u16(2) + u16(4);
    at += at & 1;
    at += numw * u16(6);
    const size_t nstr = u16(8);
    const size_t table = at + 2 * nstr;
    const size_t table_end = table + u16(10);
    for (size_t i = 0; i < nstr; ++i) {
        int off = u16(at + 2 * i);
        std::string nm = key_cap_name(i);
        if (off >= 0 && !nm.empty()) {
            caps->emplace_back(nm, str_at(table + off, table_end));
        }
    }
    // The extended capabilities (kLFT5, kHOM3 ...): counts, values, then names after them.
    at = table_end + (table_end & 1);
    if (at + 10 > f.size()) {
        return true;
    }
    const size_t xb = u16(at), xn = u16(at + 2), xs = u16(at + 4);
    size_t p = at + 10 + xb;
    p += p & 1;
    p += numw * xn;
    const size_t xvals = p, xnames = p + 2 * xs, xtable = xnames + 2 * (xb + xn + xs);
    const size_t xend = xtable + u16(at + 8);
    size_t names = 0;  // the names follow the last value
    for (size_t i = 0; i < xs; ++i) {
        int off = u16(xvals + 2 * i);
        if (off >= 0) {
            names = std::max(names, off + str_at(xtable + off, xend).size() + 1);
        }
    }
    for (size_t i = 0; i < xs; ++i) {
        int off = u16(xvals + 2 * i);
        std::string nm = str_at(xtable + names + u16(xnames + 2 * (xb + xn + i)), xend);
        if (off >= 0 && nm.size() > 1 && nm[0] == 'k') {
            caps->emplace_back(nm, str_at(xtable + off, xend));
        }
    }
    return true;
}

// Modifiers of an xterm modifier number (the digit of kLFT5, the ;m of a sequence); Meta
// (iTerm2's Option key) is Alt.
uint32_t xterm_mods(int m)
{
    m -= 1;
    return ((m & 1) != 0 ? KEY_SHIFT : 0) | ((m & 10) != 0 ? KEY_LEFT_ALT : 0) |
           ((m & 4) != 0 ? KEY_LEFT_CTRL : 0);
}

// What a key capability should decode to. F12 and beyond may be dropped; so may every key the
// program has no use for (keypad keys, Back Tab, Help ...), but never leak a byte.
Want wanted(const std::string& cap, const std::string& seq, bool vt220)
{
    const uint32_t S = KEY_SHIFT, C = KEY_LEFT_CTRL;
    if (seq.size() == 1) {  // a control byte: the key that types it, as plain bytes decode
        auto ev = decode(seq);
        return {ev[0].vk, ev[0].ctrl & MODS, false};
    }
    if (cap.rfind("kf", 0) == 0 && cap.size() > 2 && cap[2] >= '1' && cap[2] <= '9') {
        const int n = std::atoi(cap.c_str() + 2);
        int base = 0;
        uint32_t mods = 0;
        if (n >= 1 && n <= 12) {
            base = n;
        } else if (!vt220 && n >= 13) {  // xterm: 12 keys each Shift, Ctrl, Ctrl+Shift, Alt ...
            static const uint32_t group[] = {0, S, C, C | S, KEY_LEFT_ALT, KEY_LEFT_ALT | S};
            base = (n - 1) % 12 + 1;
            mods = group[(n - 1) / 12];
        } else if (vt220 && n >= 13 && n <= 22) {  // rxvt, Linux: F11 .. F20 are Shift+F1 ..
            base = n - 10;
            mods = S;
        } else if (vt220 && n >= 23 && n <= 34) {
            base = n - 22;
            mods = C;
        } else if (vt220 && n >= 35 && n <= 46) {
            base = n - 32;
            mods = C | S;
        }
        if (base == 0) {
            return {0, 0, true};
        }
        return {static_cast<uint16_t>(KEY_F1 + base - 1), mods, base == 12};
    }
    static const std::vector<std::pair<std::string, uint16_t>> plain = {
        {"kcuu1", KEY_UP},   {"kcud1", KEY_DOWN}, {"kcuf1", KEY_RIGHT},  {"kcub1", KEY_LEFT},
        {"khome", KEY_HOME}, {"kend", KEY_END},   {"kich1", KEY_INSERT}, {"kdch1", KEY_DELETE},
        {"kpp", KEY_PRIOR},  {"knp", KEY_NEXT},   {"kUP", KEY_UP},       {"kDN", KEY_DOWN},
        {"kRIT", KEY_RIGHT}, {"kLFT", KEY_LEFT},  {"kHOM", KEY_HOME},    {"kEND", KEY_END},
        {"kIC", KEY_INSERT}, {"kDC", KEY_DELETE}, {"kPRV", KEY_PRIOR},   {"kNXT", KEY_NEXT},
    };
    for (const auto& [name, vk] : plain) {
        if (cap == name) {  // the lower-case ones alone, the upper-case ones with Shift
            return {vk, cap[1] < 'a' ? S : 0, false};
        }
        if (cap.size() == name.size() + 1 && cap.rfind(name, 0) == 0 && name[1] < 'a' &&
            cap.back() >= '2' && cap.back() <= '9') {  // kLFT5: Left with Ctrl
            return {vk, xterm_mods(cap.back() - '0'), false, false, true};
        }
    }
    if (seq.size() == 2) {  // ESC and a key: that key with Alt
        return {plain_vk(seq[1]), KEY_LEFT_ALT, false};
    }
    return {0, 0, true, true};  // a key the program has no use for: dropped, or a key of ours
}

TEST(KeyDecode, EveryKeyOfCommonTerminalsIsDecodedOrDroppedWhole)
{
    const char* const terminals[] = {"xterm",
                                     "xterm-256color",
                                     "xterm-new",
                                     "xterm-xfree86",
                                     "vte",
                                     "vte-256color",
                                     "gnome-256color",
                                     "konsole",
                                     "konsole-256color",
                                     "rxvt",
                                     "rxvt-unicode",
                                     "rxvt-unicode-256color",
                                     "mrxvt",
                                     "Eterm",
                                     "linux",
                                     "screen",
                                     "screen-256color",
                                     "tmux",
                                     "tmux-256color",
                                     "putty",
                                     "putty-256color",
                                     "putty-vt100",
                                     "st",
                                     "st-256color",
                                     "alacritty",
                                     "kitty",
                                     "foot",
                                     "foot+base",
                                     "mlterm",
                                     "iterm2",
                                     "xfce",
                                     "mintty",
                                     "ms-terminal",
                                     "teraterm",
                                     "terminator",
                                     "cygwin",
                                     "vt220",
                                     "ansi"};
    int entries = 0;
    int keys = 0;
    std::set<std::string> sequences;
    for (const char* term : terminals) {
        Caps caps;
        if (!read_terminfo(term, &caps)) {
            continue;
        }
        ++entries;
        bool vt220 = false;  // F-keys numbered the VT220 way: Shift+F3 is F13, ESC [ 25 ~
        for (const auto& [cap, seq] : caps) {
            vt220 = vt220 || (cap == "kf13" && seq == "\x1b[25~");
        }
        for (const auto& [cap, seq] : caps) {
            if (seq.empty()) {
                continue;
            }
            ++keys;
            sequences.insert(seq);
            expect_whole(seq, wanted(cap, seq, vt220), std::string(term) + " " + cap);
        }
    }
    std::printf("terminfo: %d key capabilities (%zu sequences) of %d of %zu terminals checked\n",
                keys, sequences.size(), entries, sizeof terminals / sizeof terminals[0]);
}

}  // namespace
