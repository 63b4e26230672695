// tests/e2e/fileservice_test.cpp: the KIVET host file service as a device uses it over the
// line: files read and written byte-exact, the progress line of a read, the refusals, the
// keyboard held back while a file is open, and commands mixed into the device's text.
#include <filesystem>
#include <random>
#include <regex>

#include "tests/e2e/harness.h"
#include "tools/devsim/kivet_device.h"

using namespace e2e;
using devsim::Bytes;
using devsim::KivetClient;
using devsim::KivetReply;

namespace
{

constexpr uint16_t INVALID_HANDLE_STATUS = 6;  // a handle that names no open file

// Each "\r"-separated progress line of text matches the shape of a total line.
testing::AssertionResult all_total_lines(const std::string& text, uint32_t total)
{
    const std::string n = std::to_string(total);
    const std::regex line("Total " + n +
                          " bytes, [0-9]+ bytes sent \\([0-9]+%\\), [0-9]{2,}:[0-5][0-9] "
                          "elapsed, [0-9]{2,}:[0-5][0-9] left   \n?");
    size_t start = text.find('\r');
    if (start == std::string::npos) {
        return testing::AssertionFailure() << "no progress line in \"" << escaped(text) << "\"";
    }
    while (start != std::string::npos) {
        const size_t next = text.find('\r', start + 1);
        const std::string one = text.substr(start + 1, next - start - 1);
        if (!std::regex_match(one, line)) {
            return testing::AssertionFailure() << "progress line \"" << escaped(one) << "\"";
        }
        start = next;
    }
    return testing::AssertionSuccess();
}

// Waits until the device's text marker is on the screen and returns what came before it: the
// console output of everything the device did until then.
std::string screen_through_marker(Host& h, const std::string& marker)
{
    EXPECT_TRUE(h.device().write(marker));
    const std::string s = h.screen_read(marker);
    return s.size() >= marker.size() ? s.substr(0, s.size() - marker.size()) : s;
}

}  // namespace

TEST(FileService, DeviceReadsFilesWithProgressLine)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("KIVET32"));
    KivetClient client(h.device());

    const std::string big = random_bytes(1 << 20, 1);
    ASSERT_TRUE(write_file(h.file("big.bin"), big));
    KivetReply r = client.fetch_file("big.bin");
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_EQ(r.data.size(), big.size());
    EXPECT_TRUE(devsim::to_string(r.data) == big) << "the file arrived changed";
    const std::string progress = h.screen_read("(100%)");
    const std::string last = h.screen_read("\n");
    EXPECT_NE(progress.find("\rTotal 1048576 bytes, 1048576 bytes sent (100%)"), std::string::npos);
    EXPECT_TRUE(all_total_lines(progress + last, 1 << 20));

    // A ".RMS" name shows no progress; the same ending in lower case does.
    ASSERT_TRUE(write_file(h.file("quiet.RMS"), big.substr(0, 70000)));
    r = client.fetch_file("quiet.RMS");
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_TRUE(devsim::to_string(r.data) == big.substr(0, 70000));
    EXPECT_EQ(screen_through_marker(h, "<rms>"), "");

    ASSERT_TRUE(write_file(h.file("loud.rms"), big.substr(0, 70000)));
    r = client.fetch_file("loud.rms");
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    const std::string shown = screen_through_marker(h, "<rms>");
    EXPECT_NE(shown.find("\rTotal 70000 bytes, 70000 bytes sent (100%)"), std::string::npos)
        << escaped(shown);
    EXPECT_TRUE(all_total_lines(shown, 70000));

    // An empty file: nothing to read, nothing shown.
    ASSERT_TRUE(write_file(h.file("empty"), ""));
    r = client.fetch_file("empty");
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(screen_through_marker(h, "<empty>"), "");

    // A missing file is refused with a status and shows nothing.
    r = client.open(devsim::KV_MODE_READ, "missing.bin");
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.handle, devsim::KIVET_BAD_HANDLE);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(screen_through_marker(h, "<missing>"), "");
}

TEST(FileService, DeviceWritesFilesThatLandByteExact)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("KIVET32"));
    KivetClient client(h.device());

    // Every byte value, the command and escape bytes included.
    const std::string data = random_bytes(100000, 2);
    KivetReply r = client.store_file("up.bin", devsim::to_bytes(data));
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_TRUE(read_file(h.file("up.bin")) == data) << "the file landed changed";
    EXPECT_EQ(screen_through_marker(h, "<stored>"), "") << "a write shows no progress";

    // Creating a file that exists fails; updating overwrites from the start and keeps the rest.
    r = client.open(devsim::KV_MODE_CREATE, "up.bin");
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.handle, devsim::KIVET_BAD_HANDLE);
    EXPECT_NE(r.status, 0);
    r = client.store_file("up.bin", devsim::to_bytes("HELLO"), devsim::KV_MODE_UPDATE);
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_TRUE(read_file(h.file("up.bin")) == "HELLO" + data.substr(5));

    // Two files open at once; a closed handle is refused afterwards.
    const KivetReply a = client.open(devsim::KV_MODE_CREATE, "a.txt");
    const KivetReply b = client.open(devsim::KV_MODE_CREATE, "b.txt");
    ASSERT_TRUE(a.ok());
    ASSERT_TRUE(b.ok());
    EXPECT_NE(a.handle, b.handle);
    EXPECT_TRUE(client.write(b.handle, devsim::to_bytes("to b")).ok());
    EXPECT_TRUE(client.write(a.handle, devsim::to_bytes("to a")).ok());
    EXPECT_TRUE(client.close(a.handle).ok());
    r = client.write(a.handle, devsim::to_bytes("late"));
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.status, INVALID_HANDLE_STATUS);
    EXPECT_TRUE(client.close(b.handle).ok());
    EXPECT_EQ(client.close(b.handle).status, INVALID_HANDLE_STATUS);
    EXPECT_EQ(read_file(h.file("a.txt")), "to a");
    EXPECT_EQ(read_file(h.file("b.txt")), "to b");
}

// Full paths longer than 260 characters (MAX_PATH on Windows): a served root, a file the
// device writes and reads below it, and the log.
TEST(FileService, NamesLongerThan260CharactersAreServedAndLogged)
{
    Host h;
    const std::string root = std::string(120, 'r') + "/" + std::string(120, 's');
    const std::string log = std::string(124, 'l') + "/" + std::string(121, 'g') + ".log";
    const std::string dir(100, 'd');
    ASSERT_TRUE(std::filesystem::create_directories(h.file(root + "/" + dir)));
    ASSERT_TRUE(std::filesystem::create_directory(h.file(log.substr(0, 124))));
    ASSERT_TRUE(h.start(KIVET_BIN, {"/ROOT:" + root, h.port_name(), "57600", log}));
    KivetClient client(h.device());

    const std::string name = dir + "\\" + std::string(100, 'f') + ".txt";
    KivetReply r = client.store_file(name, devsim::to_bytes("long way down"));
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_EQ(read_file(h.file(root + "/" + dir + "/" + std::string(100, 'f') + ".txt")),
              "long way down");
    r = client.fetch_file(name);
    ASSERT_TRUE(r.ok()) << "status " << r.status;
    EXPECT_EQ(devsim::to_string(r.data), "long way down");
    EXPECT_TRUE(h.device().write("<logged>"));
    EXPECT_TRUE(h.screen_until("<logged>"));
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_NE(read_file(h.file(log)).find("<logged>"), std::string::npos);
}

TEST(FileService, OpenFileHoldsBackKeysAndModeSwitch)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("KIVET32"));
    KivetClient client(h.device());
    ASSERT_TRUE(write_file(h.file("held.txt"), "held"));
    const KivetReply held = client.open(devsim::KV_MODE_READ, "held.txt");
    ASSERT_TRUE(held.ok());

    const std::string refused = "\r\nPress <End> key to exit\n";
    h.keys("a");
    EXPECT_EQ(h.screen_read(refused), refused);
    h.keys(KEY_UP);  // no ESC '[' goes out; the letter is refused like a typed key
    EXPECT_EQ(h.screen_read(refused), refused);
    h.keys(KEY_BACKSPACE);
    EXPECT_EQ(h.screen_read(refused), refused);
    // F4 does nothing at all: the next message is F3's, and its CR is the first byte out.
    h.keys(KEY_F4);
    h.keys(KEY_F3);
    EXPECT_EQ(h.screen_read("Enabled.\n"), "\r\nKIVET32: Timestamp is Enabled.\n");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");

    // Closed: keys and F4 work again.
    EXPECT_TRUE(client.close(held.handle).ok());
    h.keys("b");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "b");
    h.keys(KEY_F4);
    EXPECT_EQ(h.screen_read("08\n"),
              "\r\nPASEL32: File transfer mode change to PASEL32, Backspace key: 08\n");
    EXPECT_EQ(h.device().read_text(1, WAIT_MS), "\r");
}

TEST(FileService, TextAndCommandsInterleaved)
{
    Host h;
    ASSERT_TRUE(h.start(KIVET_BIN, {h.port_name()}));
    EXPECT_EQ(h.screen_read("exit.\n"), banner_line("KIVET32"));
    ASSERT_TRUE(write_file(h.file("note.txt"), "0123456789"));
    devsim::Pty& dev = h.device();
    auto cat = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& p : parts) {
            all.insert(all.end(), p.begin(), p.end());
        }
        return all;
    };
    using devsim::to_bytes;

    // Text, an open, text: one write.
    ASSERT_TRUE(
        dev.write(cat({to_bytes("boot "), devsim::kivet_open(1, "note.txt"), to_bytes("ok\r\n")})));
    const auto opened = devsim::kivet_parse_open(dev.read_exactly(4, WAIT_MS));
    ASSERT_TRUE(opened.has_value());
    ASSERT_TRUE(opened->ok()) << "status " << opened->status;
    const uint16_t handle = opened->handle;
    EXPECT_EQ(h.screen_read("\n"), "boot ok\r\n");

    // A read, command 5 with the command and escape bytes as arguments, unknown codes (no
    // reply; 0x02 0x02 hides both, 0x02 0x07 lets the next byte through), a close.
    ASSERT_TRUE(dev.write(
        cat({to_bytes("reading "), devsim::kivet_read(handle, 4), to_bytes("more "),
             devsim::kivet_cmd5({0x02, 0x1B, 0x02, 'E', 0}), to_bytes("text\r\n\x02\x02x\x02\x07y"),
             devsim::kivet_close(handle), to_bytes("done|")})));
    const auto read = devsim::kivet_parse_read(dev.read_exactly(8, WAIT_MS));
    ASSERT_TRUE(read.has_value());
    EXPECT_TRUE(read->ok());
    EXPECT_EQ(devsim::to_string(read->data), "0123");
    EXPECT_EQ(dev.read_text(4, WAIT_MS), std::string(4, '\0'));  // command 5, then the close
    EXPECT_EQ(h.screen_read("|"), "reading more text\r\nxydone|");

    // ESC, then a command: the ESC still waits, and takes the first text byte after the reply.
    ASSERT_TRUE(dev.write(
        cat({to_bytes("\x1b"), devsim::kivet_cmd5({1, 2, 3, 4, 5}), to_bytes("Zvisible|")})));
    EXPECT_EQ(dev.read_text(2, WAIT_MS), std::string(2, '\0'));
    EXPECT_EQ(h.screen_read("|"), "visible|");

    // A command split byte by byte over separate writes, with text on both sides.
    const Bytes open_cmd = cat({to_bytes("<"), devsim::kivet_open(1, "note.txt"), to_bytes(">")});
    for (const uint8_t b : open_cmd) {
        ASSERT_TRUE(dev.write(Bytes{b}));
    }
    const auto again = devsim::kivet_parse_open(dev.read_exactly(4, WAIT_MS));
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(again->ok());
    EXPECT_TRUE(h.screen_until("<"));
    EXPECT_EQ(h.screen_read(">"), ">");
    KivetClient client(dev);
    const KivetReply rest = client.read(again->handle, 300);  // above what one read returns
    EXPECT_TRUE(rest.ok());
    EXPECT_EQ(devsim::to_string(rest.data), "0123456789");
    EXPECT_TRUE(client.close(again->handle).ok());
}
