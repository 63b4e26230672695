// tests/support/fixture.cpp: SetUp and TearDown shared by the unit tests.
#include "tests/support/fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/options.h"
#include "app/startup.h"
#include "output/logfile.h"
#include "output/text.h"
#include "packet/transfer.h"
#include "port/mode.h"

void SystemTest::SetUp()
{
    plat::fake_reset();
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    home_ = cwd;
    char tmpl[] = "/tmp/kivet-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_EQ(chdir(dir_.c_str()), 0);

    srand(1);
    link_lock.take();
    mode_flag = MODE_KIVET;
    timestamp_option = 0;
    backspace_char = 0x7F;
    modules_init();
}

void SystemTest::TearDown()
{
    if (!plat::fake_lock_held()) {
        link_lock.take();
    }
    log_close();
    capture_close();
    transfer_close_file();
    link_lock.give();
    (void)chdir(home_.c_str());
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void SystemTest::write_file(const std::string& name, const std::string& bytes)
{
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string SystemTest::read_file(const std::string& name)
{
    std::ifstream f(name, std::ios::binary);
    if (!f) {
        return "<missing>";
    }
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}
