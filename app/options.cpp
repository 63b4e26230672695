// app/options.cpp: the command line read into an options value: mode from the program's name,
// the options, the port, the rate and the log file. Each option's rule is here, and nothing is
// printed or opened: start-up does that with the value.
#include "app/options.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "output/view.h"
#include "port/mode.h"

uint8_t backspace_char;
char port_name[PORT_NAME_MAX + 1] = "COM1";
int32_t baud_rate = DEFAULT_BAUD;
char log_name[LOG_NAME_MAX + 1];

const char USAGE_TEXT[] =
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
    "      <com>: rfc2217://HOST:PORT or tcp://HOST:PORT for a port on another machine\n"
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

// The value of a "/<WORD>:<value>" argument (word, lower case with its ':', in any case; '-'
// for '/'), or nullptr.
static const char* value_option(const char* arg, const char* word)
{
    if (arg[0] != '/' && arg[0] != '-') {
        return nullptr;
    }
    size_t k = 0;
    for (; word[k] != '\0'; ++k) {
        if (std::tolower(static_cast<unsigned char>(arg[k + 1])) != word[k]) {
            return nullptr;
        }
    }
    return arg + 1 + k;
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

// "/?", "/h..." in any case, and the usual -h, -? and --help.
static bool is_help(const char* arg)
{
    return std::strcmp(arg, "/?") == 0 || starts_with2(arg, "/h", "/h") ||
           std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "-?") == 0 ||
           std::strcmp(arg, "--help") == 0;
}

// Takes the options that may stand anywhere among the others, before <com>, from argument i on:
// /NORESET and /APPEND. Returns the index of the first argument that is none of them.
static int take_free_options(int argc, char** argv, int i, Options* o)
{
    for (; i < argc; ++i) {
        if (starts_with2(argv[i], "/n", "-n")) {
            o->noreset = true;
        } else if (starts_with2(argv[i], "/a", "-a")) {
            o->append = true;
        } else {
            break;
        }
    }
    return i;
}

// Takes the options with a value (/ROOT:, /TRACE:), /HEX and the free ones, in any order, from
// argument i on; a later one of a kind wins. Returns the index of the first that is none of them.
static int take_value_options(int argc, char** argv, int i, Options* o)
{
    for (;; ++i) {
        i = take_free_options(argc, argv, i, o);
        if (i >= argc) {
            return i;
        }
        if (const char* v = value_option(argv[i], "root:"); v != nullptr) {
            o->root = v;
        } else if (const char* t = value_option(argv[i], "trace:"); t != nullptr) {
            o->trace = t;
        } else if (equals_nocase(argv[i], "/hex") || equals_nocase(argv[i], "-hex")) {
            o->hex = 1;  // the whole word: any other "/H..." is help
        } else {
            return i;
        }
    }
}

// Takes <com>, <baud> and <file> from argument i on; any further arguments are ignored.
static void take_names(int argc, char** argv, int i, Options* o)
{
    if (i >= argc) {
        return;
    }
    o->port = argv[i];
    if (std::strlen(argv[i]) > PORT_NAME_MAX) {
        o->action = CMDLINE_LONG_PORT;
        return;
    }
    if (++i >= argc) {
        return;
    }
    o->rate_given = true;
    o->rate_listed = baud_lookup(argv[i]) != 0;
    o->rate = static_cast<int32_t>(std::strtol(argv[i], nullptr, 10));
    if (++i < argc) {
        o->log = argv[i];
        o->log_too_long = std::strlen(argv[i]) > LOG_NAME_MAX;
    }
}

void cmdline_parse(int argc, char** argv, Options* o)
{
    *o = Options{};
    o->action = CMDLINE_OPEN;
    o->mode = mode_from_name(argc > 0 ? argv[0] : "");
    o->stamp_form = STAMP_MINUTES;
    int i = take_free_options(argc, argv, 1, o);
    if (i < argc) {  // the mode option is looked for in the first argument only (after those)
        if (starts_with2(argv[i], "/k", "-k")) {
            o->mode = MODE_KIVET;
            ++i;
        } else if (starts_with2(argv[i], "/p", "-p")) {
            o->mode = MODE_PASEL;
            ++i;
        }
    }
    i = take_free_options(argc, argv, i, o);
    if (i < argc && starts_with2(argv[i], "/t", "-t") &&
        value_option(argv[i], "trace:") == nullptr) {
        o->timestamp = 1;
        o->stamp_form = stamp_form(argv[i]);
        ++i;
    }
    i = take_value_options(argc, argv, i, o);
    if (i < argc && is_help(argv[i])) {
        o->action = CMDLINE_HELP;
    } else if (i < argc &&
               (equals_nocase(argv[i], "/list") || std::strcmp(argv[i], "--list") == 0)) {
        o->action = CMDLINE_LIST;
    } else {
        take_names(argc, argv, i, o);
    }
}
