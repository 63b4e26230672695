// A failed port open on Linux: the error, its text, and the line that says what to do.
#include <cerrno>
#include <cstring>
#include <string>

#include "app/options.h"
#include "platform/fake/fake.h"
#include "port/port.h"
#include "tests/port/port_fixture.h"

namespace
{

class PortOpenAdvice : public PortOpen
{
};

TEST_F(PortOpenAdvice, FailedOpenShowsErrnoItsTextAndWhatToDo)
{
    link_lock.assert_held();
    std::strcpy(port_name, "ttyS9");
    plat::fake_port_fail("open", ENOENT);
    EXPECT_EQ(open_port(), 1);
    const std::string missing = plat::fake_console_output();
    EXPECT_EQ(missing.rfind("ERROR: Unable to open device file \"ttyS9\"\nERROR #2: No such file "
                            "or directory\nThere is no port at \"/dev/ttyS9\"; serial ports "
                            "present:\n  ",
                            0),
              0u)
        << missing;

    plat::fake_console_clear_output();
    plat::fake_port_fail("open", EWOULDBLOCK);
    EXPECT_EQ(open_port(), 1);
    plat::fake_port_fail("open", EACCES);
    EXPECT_EQ(open_port(), 1);
    plat::fake_port_fail("open", EIO);
    EXPECT_EQ(open_port(), 1);
    EXPECT_EQ(plat::fake_console_output(),
              "ERROR: Unable to open device file \"ttyS9\"\nERROR #11: " +
                  std::string(std::strerror(EWOULDBLOCK)) +
                  "\nAnother program has this port open; close it there first.\n"
                  "ERROR: Unable to open device file \"ttyS9\"\nERROR #13: Permission denied\n"
                  "You need read and write access to the port; on Debian that is the dialout "
                  "group: sudo adduser $USER dialout, then log in again.\n"
                  "ERROR: Unable to open device file \"ttyS9\"\nERROR #5: Input/output error\n");
}

}  // namespace
