// app/options.cpp: the command line: mode from the program's name, the options, the port, the
// rate and the log file, with the banner, the usage text and the messages that go with them.
// Runs on the main thread before any other thread starts.
#include "app/options.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "output/logfile.h"
#include "output/text.h"
#include "output/view.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "port/mode.h"
#include "port/port.h"

uint8_t backspace_char;
char port_name[PORT_NAME_MAX + 1] = "COM1";
int32_t baud_rate = DEFAULT_BAUD;
char log_name[LOG_NAME_MAX + 1];

static const char BANNER_FORMAT[] = "%s Version 3.47, Build: Oct 21 2002";

static const char USAGE_TEXT[] =
    "[/?] [/HELP] [/KIVET] [/PASEL] [/TIMESTAMP] [<com> [[<baud> [<file>]]]\n"
    "Options:\n"
    "      /? : Print usage\n"
    "      /HELP : Print usage\n"
    "      /KIVET : KIVET mode\n"
    "      /PASEL : PASEL mode\n"
    "      /TIMESTAMP : Enable timestamp\n"
    "      /ROOT:<dir> : Serve the device only the files under <dir>\n"
    "      <com>: COM1/COM2/..., default:COM1\n"
    "      <baud>: 1200/2400/4800/9600/19200/38400/57600/115200/..., Default: 57600\n"
    "      <file>: Log file name\n"
    "Hot keys:\n";

const char HOTKEY_TEXT[] = "      <F1>  : Show system status and hot keys\n"
                           "      <F2>  : Set <BACKSPACE> ASCII as 0x7f or 0x08\n"
                           "      <F3>  : Enable/Disable timestamp in KIVET\n"
                           "      <F4>  : Toggle PASEL/KIVET mode.\n"
                           "      <F5>  : Send a file.\n"
                           "      <F6>  : Add a scheme task.\n"
                           "      <F7>  : Delete a scheme task.\n"
                           "      <F8>  : Show scheme task list.\n"
                           "      <F9>  : Capture file begin.\n"
                           "      <F10> : Capture file end.\n"
                           "      <F11> : Toggle random char send mode.\n"
                           "      <DEL> : ASCII 08\n"
                           "      <End> : Exit the program.\n";

// The baud table: rate texts and their values, in the order they are compared.
struct BaudEntry {
    char text[10];
    int32_t value;
};
static const BaudEntry BAUD_TABLE[] = {
    {"1200", 1200},   {"2400", 2400},   {"4800", 4800},   {"9600", 9600},
    {"19200", 19200}, {"38400", 38400}, {"57600", 57600}, {"115200", 115200},
};

// An argument that holds a second '/' before any ':' is a path (/tmp/ttyV0, /home/...), never
// an option, though options match by their first two characters.
static bool is_path(const char* arg)
{
    int slashes = 0;
    for (const char* p = arg; *p != '\0' && *p != ':'; ++p) {
        slashes += *p == '/' ? 1 : 0;
    }
    return slashes >= 2;
}

// True when the first two characters of arg equal a or b, ignoring case, and arg is no path.
static bool starts_with2(const char* arg, const char* a, const char* b)
{
    if (is_path(arg)) {
        return false;
    }
    auto eq2 = [arg](const char* x) {
        return arg[0] != '\0' && std::tolower(static_cast<unsigned char>(arg[0])) == x[0] &&
               std::tolower(static_cast<unsigned char>(arg[1])) == x[1];
    };
    return eq2(a) || eq2(b);
}

// The directory of a "/ROOT:<dir>" argument ("ROOT" in any case, '-' for '/'), or nullptr.
static const char* root_option(const char* arg)
{
    static const char ROOT[] = "root:";
    if (arg[0] != '/' && arg[0] != '-') {
        return nullptr;
    }
    for (size_t k = 0; k < sizeof ROOT - 1; ++k) {
        if (std::tolower(static_cast<unsigned char>(arg[k + 1])) != ROOT[k]) {
            return nullptr;
        }
    }
    return arg + sizeof ROOT;
}

uint8_t mode_from_name(const char* argv0)
{
    const char* base = argv0;
    for (const char* p = argv0; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    const char* dot = std::strrchr(base, '.');
    size_t len = dot != nullptr ? static_cast<size_t>(dot - base) : std::strlen(base);
    static const char KIVET[] = "kivet";
    if (len < sizeof KIVET - 1) {
        return MODE_PASEL;
    }
    for (size_t i = 0; i < sizeof KIVET - 1; ++i) {
        if (std::tolower(static_cast<unsigned char>(base[i])) != KIVET[i]) {
            return MODE_PASEL;
        }
    }
    return MODE_KIVET;
}

int32_t baud_lookup(const char* arg)
{
    for (const BaudEntry& e : BAUD_TABLE) {
        if (std::strcmp(arg, e.text) == 0) {
            return e.value;
        }
    }
    return 0;
}

// True when arg equals the lower-case word, ignoring case.
static bool equals_nocase(const char* arg, const char* word)
{
    for (; *arg != '\0' && *word != '\0'; ++arg, ++word) {
        if (std::tolower(static_cast<unsigned char>(*arg)) != *word) {
            return false;
        }
    }
    return *arg == *word;
}

// The stamp form of a time-stamp option: its value after the first ':', "CLOCK" or "ISO" in any
// case; "mm:ss.hh " otherwise, as the option always meant whatever followed its first letters.
static uint8_t stamp_form(const char* arg)
{
    const char* value = std::strchr(arg, ':');
    if (value != nullptr && equals_nocase(value + 1, "clock")) {
        return STAMP_CLOCK;
    }
    if (value != nullptr && equals_nocase(value + 1, "iso")) {
        return STAMP_ISO;
    }
    return STAMP_MINUTES;
}

// The options between the time-stamp option and <com>, each once, in any order: "/ROOT:<dir>"
// (its directory to *root) and "/HEX" ('-' for '/', the whole word in any case, before any "/H"
// means help). False for any other argument, and for one given before.
static bool middle_option(const char* arg, const char** root) REQUIRES(link_lock)
{
    if (*root == nullptr && root_option(arg) != nullptr) {
        *root = root_option(arg);
        return true;
    }
    if (hex_view == 0 && (equals_nocase(arg, "/hex") || equals_nocase(arg, "-hex"))) {
        hex_view = 1;
        return true;
    }
    return false;
}

// "/?", "/h..." in any case, and the usual -h, -? and --help.
static bool is_help(const char* arg)
{
    return std::strcmp(arg, "/?") == 0 || starts_with2(arg, "/h", "/h") ||
           std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "-?") == 0 ||
           std::strcmp(arg, "--help") == 0;
}

int cmdline_parse(int argc, char** argv)
{
    mode_flag = mode_from_name(argc > 0 ? argv[0] : "");
    int i = 1;
    if (i < argc) {  // the mode option is looked for in the first argument only
        if (starts_with2(argv[i], "/k", "-k")) {
            mode_flag = MODE_KIVET;
            ++i;
        } else if (starts_with2(argv[i], "/p", "-p")) {
            mode_flag = MODE_PASEL;
            ++i;
        }
    }
    plat::LockHold hold(link_lock);
    timestamp_option = 0;
    timestamp_form = STAMP_MINUTES;
    if (i < argc && starts_with2(argv[i], "/t", "-t")) {
        timestamp_option = 1;
        timestamp_form = stamp_form(argv[i]);
        ++i;
    }
    const char* root = nullptr;  // the directory the device's file names are confined to
    hex_view = 0;
    while (i < argc && middle_option(argv[i], &root)) {
        ++i;
    }
    backspace_char = mode_flag.load() != MODE_PASEL ? 0x7F : 0x08;
    plat::console_print(BANNER_FORMAT, program_label());

    if (i < argc && is_help(argv[i])) {
        plat::console_print("\n%s %s%s", program_label(), USAGE_TEXT, HOTKEY_TEXT);
        return 0;
    }
    if (i < argc && (equals_nocase(argv[i], "/list") || std::strcmp(argv[i], "--list") == 0)) {
        plat::console_print("\nSerial ports present:\n");
        if (port_list_show() == 0) {
            plat::console_print("  none\n");
        }
        return 0;
    }
    if (root != nullptr) {
        const int r = plat::file_serve_root(root);
        if (r < 0) {
            plat::console_print("\nERROR: Unable to open root directory \"%s\"\nERROR #%d: %s\n",
                                root, -r, plat::error_text(-r));
            return 1;
        }
    }
    if (i < argc) {
        if (std::strlen(argv[i]) > PORT_NAME_MAX) {
            plat::console_print("\nERROR: port name \"%s\" is longer than %d characters.\n",
                                argv[i], PORT_NAME_MAX);
            return 1;
        }
        std::strcpy(port_name, argv[i]);
        ++i;
    }
    if (i < argc) {
        if (baud_lookup(argv[i]) == 0) {
            plat::console_print("\nWARNING: MAYBE INVALID BAUDRATE");
        }
        baud_rate = std::atoi(argv[i]);
        ++i;
    }
    bool log_failed = false;  // the log named did not open: its reason follows the banner line
    int log_err = 0;
    if (i < argc) {
        if (std::strlen(argv[i]) > LOG_NAME_MAX) {
            plat::console_print("\nWARNING: Log file name \"%s\" is longer than %d characters, "
                                "no log file",
                                argv[i], LOG_NAME_MAX);
        } else {
            std::strcpy(log_name, argv[i]);
            if (log_open(log_name, &log_err)) {
                plat::console_print("\nLog file: \"%s\"", log_name);
            } else {
                plat::console_print("\nWARNING: Failed to open trace file \"%s\"", log_name);
                log_failed = true;
            }
        }
        ++i;
    }
    // Any further arguments are ignored.
    plat::console_print(", Press <End> key to exit.\n");
    if (log_failed) {
        // The reason is advice on a line of its own: the banner line above stays whole.
        plat::console_print("Reason: %s; no log file\n", plat::error_text(log_err));
    }
    return CMDLINE_RUN;
}
