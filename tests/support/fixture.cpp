// tests/support/fixture.cpp: SetUp and TearDown shared by the unit tests.
#include "tests/support/fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "app/options.h"
#include "app/startup.h"
#include "output/logfile.h"
#include "output/view.h"
#include "packet/transfer.h"
#include "port/mode.h"

void SystemTest::SetUp()
{
    plat::fake_reset();
    link_lock.take();
    namespace fs = std::filesystem;
    home_ = fs::current_path().string();
    // A fresh directory under the system's temporary directory, whatever the OS.
    std::random_device rd;
    fs::path dir;
    for (int tries = 0; dir.empty() && tries < 100; ++tries) {
        const fs::path p = fs::temp_directory_path() / ("kivet-test-" + std::to_string(rd()));
        if (fs::create_directory(p)) {
            dir = p;
        }
    }
    ASSERT_FALSE(dir.empty());
    dir_ = dir.string();
    fs::current_path(dir);

    srand(1);
    mode_flag = MODE_KIVET;
    timestamp_option = 0;
    backspace_char = 0x7F;
    modules_init();
}

void SystemTest::TearDown()
{
    if (plat::fake_lock_held()) {
        link_lock.assert_held();
    } else {
        link_lock.take();
    }
    log_close();
    capture_close();
    transfer_close_file();
    link_lock.give();
    std::error_code ec;
    std::filesystem::current_path(home_, ec);
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
