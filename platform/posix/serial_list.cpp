// platform/posix/serial_list.cpp: the serial ports present, found by their names under a /dev
// directory and, for the ttyS* ports, by the UART type the kernel reports under a sysfs
// directory. Both are parameters of serial_list_dirs, so that a test can hand in a made-up tree.
#include "platform/serial_list.h"

#include "platform/posix/serial_list_dirs.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace plat
{

namespace fs = std::filesystem;

namespace
{

constexpr const char SERIAL_DEV_DIR[] = "/dev";
constexpr const char SERIAL_SYS_DIR[] = "/sys/class/tty";  // one folder per tty, with its type

// Names compared with their runs of digits as numbers.
bool natural_less(const std::string& a, const std::string& b)
{
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ie = i;
            size_t je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) {
                ++ie;
            }
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) {
                ++je;
            }
            const std::string na = a.substr(i, ie - i);
            const std::string nb = b.substr(j, je - j);
            if (na.size() != nb.size()) {
                return na.size() < nb.size();
            }
            if (na != nb) {
                return na < nb;
            }
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// The names in dir that start with prefix, sorted; none when dir cannot be read.
std::vector<std::string> names(const fs::path& dir, const std::string& prefix)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0 && name.size() > prefix.size()) {
            out.push_back(name);
        }
    }
    std::sort(out.begin(), out.end(), natural_less);
    return out;
}

// A ttyS port has a UART behind it when the kernel gives it a type other than 0 (unknown).
bool has_uart(const fs::path& sys_dir, const std::string& name)
{
    std::ifstream in(sys_dir / name / "type");
    int type = 0;
    return static_cast<bool>(in >> type) && type != 0;
}

}  // namespace

int posix::serial_list_dirs(const char* dev_dir, const char* sys_dir,
                            void (*show)(const char* path, const char* target))
{
    const fs::path dev(dev_dir);
    int count = 0;
    const fs::path by_id = dev / "serial" / "by-id";
    for (const std::string& name : names(by_id, "")) {
        std::error_code ec;
        const fs::path link = by_id / name;
        fs::path target = fs::read_symlink(link, ec);
        if (!ec && target.is_relative()) {
            target = fs::weakly_canonical(by_id / target, ec);
        }
        show(link.c_str(), ec ? "" : target.c_str());
        ++count;
    }
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        for (const std::string& name : names(dev, prefix)) {
            if (std::string(prefix) == "ttyS" && !has_uart(sys_dir, name)) {
                continue;
            }
            show((dev / name).c_str(), "");
            ++count;
        }
    }
    return count;
}

int serial_list(void (*show)(const char* path, const char* target))
{
    return posix::serial_list_dirs(SERIAL_DEV_DIR, SERIAL_SYS_DIR, show);
}

}  // namespace plat
