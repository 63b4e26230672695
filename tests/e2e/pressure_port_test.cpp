// tests/e2e/pressure_port_test.cpp: the port under pressure: a symbolic link to a pseudo-terminal
// whose number the next terminal gets.
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

#include "tests/e2e/harness.h"

using namespace e2e;

namespace
{

// Points the symbolic link at path to target, in one step (a reader never finds it missing).
bool point_link(const std::string& link, const std::string& target)
{
    const std::string tmp = link + ".new";
    (void)unlink(tmp.c_str());
    return symlink(target.c_str(), tmp.c_str()) == 0 && rename(tmp.c_str(), link.c_str()) == 0;
}

}  // namespace

// A bridge's link to its pseudo-terminal, the bridge gone: the next terminal that gets the old
// number is not the device, so nothing typed there is shown and no key goes there; the link
// pointed at another terminal is followed.
TEST(Pressure, LinkToAReusedPseudoTerminalIsNotReopened)
{
    SKIP_ON_WINE("pts names: a COM port is always opened again");
    Host h;
    auto first = std::make_unique<devsim::Pty>();
    const std::string number = first->slave_path();
    ASSERT_TRUE(point_link(h.file("tty"), number));
    ASSERT_TRUE(h.start(KIVET_BIN, {"./tty", "57600"}));
    first.reset();
    ASSERT_TRUE(h.screen_until("KIVET32: Port \"./tty\" lost. A pseudo-terminal is not opened "
                               "again (its number goes to the next terminal); waiting for "
                               "\"./tty\" to lead to another one.\n"));

    // The kernel gives a new terminal the lowest free number: the lower ones are held until a
    // terminal gets the old one (unless another program took it meanwhile).
    std::vector<std::unique_ptr<devsim::Pty>> lower;
    std::unique_ptr<devsim::Pty> reused;
    for (int i = 0; i < 64 && !reused; ++i) {
        auto pty = std::make_unique<devsim::Pty>();
        if (pty->slave_path() == number) {
            reused = std::move(pty);
        } else {
            lower.push_back(std::move(pty));
        }
    }
    if (!reused) {
        GTEST_SKIP() << "no new terminal got " << number << " again";
    }
    ASSERT_TRUE(reused->write("typed there\r\n"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two looks at the link
    h.keys("k");
    EXPECT_EQ(h.screen().find("typed there"), std::string::npos) << "the other terminal was read";
    EXPECT_EQ(h.screen().find("is back"), std::string::npos);
    EXPECT_TRUE(reused->read_some(16, 500).empty()) << "a key went to the other terminal";

    devsim::Pty other;
    ASSERT_TRUE(point_link(h.file("tty"), other.slave_path()));
    ASSERT_TRUE(h.screen_until("KIVET32: Port \"./tty\" is back.\n"));
    ASSERT_TRUE(other.write("other\r\n"));
    ASSERT_TRUE(h.screen_until("other\r\n"));
    h.keys("j");
    EXPECT_NE(other.read_until("j", WAIT_MS).find('j'), std::string::npos);
    h.keys(KEY_END);
    EXPECT_EQ(h.wait_exit(), 0);
}
