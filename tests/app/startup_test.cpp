// Command line, banner, usage text and the End-key shutdown.
#include <cstring>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/keys.h"
#include "app/options.h"
#include "app/startup.h"
#include "output/drops.h"
#include "output/logfile.h"
#include "output/trace.h"
#include "output/view.h"
#include "platform/fake/fake.h"
#include "port/mode.h"
#include "port/port.h"
#include "tests/support/fixture.h"

namespace
{

class Startup : public SystemTest
{
  protected:
    // Reads a program name and its arguments and acts on them as start-up does, without the
    // lock.
    int parse(std::vector<std::string> args) REQUIRES(link_lock)
    {
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv_store_ = std::move(args);
        link_lock.give();
        Options o;
        cmdline_parse(static_cast<int>(argv.size()), argv.data(), &o);
        int r = cmdline_apply(o);
        link_lock.take();
        return r;
    }
    std::vector<std::string> argv_store_;
};

// The options value of a command line, in one line: action, mode, the flags set, the names given.
std::string parsed(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    Options o;
    std::memset(&o, 0x5A, sizeof o);  // every field must be set by the parser
    cmdline_parse(static_cast<int>(argv.size()), argv.data(), &o);
    static const char* const ACTIONS[] = {"open", "help", "list", "long-port"};
    static const char* const FORMS[] = {"", ":clock", ":iso"};
    auto name = [](const char* n) {
        return n == nullptr ? std::string("-") : std::string(n).substr(0, 12);
    };
    std::string out = std::string(ACTIONS[o.action]) + (o.mode == MODE_KIVET ? " kivet" : " pasel");
    out += o.noreset ? " noreset" : "";
    out += o.append ? " append" : "";
    out += o.timestamp != 0 ? std::string(" stamp") + FORMS[o.stamp_form] : "";
    out += o.timestamp == 0 && o.stamp_form != STAMP_MINUTES ? " form-without-stamp" : "";
    out += o.hex != 0 ? " hex" : "";
    out += " root=" + name(o.root) + " trace=" + name(o.trace) + " port=" + name(o.port);
    out += o.rate_given ? " rate=" + std::to_string(o.rate) + (o.rate_listed ? "" : "?") : "";
    out += " log=" + name(o.log) + (o.log_too_long ? "(too long)" : "");
    return out;
}

// Each option's rule, from the value the parser fills alone: nothing is printed or opened.
TEST(Cmdline, ParsedValueOfEachCommandLine)
{
    const std::string long_name(256, 'n');
    const struct {
        std::vector<std::string> args;
        const char* want;
    } CASES[] = {
        {{"kivet32"}, "open kivet root=- trace=- port=- log=-"},
        {{}, "open pasel root=- trace=- port=- log=-"},
        {{"pasel32", "-n", "/KIVET", "/a", "/TIMESTAMP:ISO", "-n", "/hex", "/ROOT:r1", "/a",
          "/trace:t.txt", "-Root:r2", "ttyS0", "38400", "x.log", "extra"},
         "open kivet noreset append stamp:iso hex root=r2 trace=t.txt port=ttyS0 rate=38400 "
         "log=x.log"},
        {{"kivet32", "/px", "-t:Clock", "COM2", "300"},
         "open pasel stamp:clock root=- trace=- port=COM2 rate=300? log=-"},
        {{"kivet32", "/t:other"}, "open kivet stamp root=- trace=- port=- log=-"},
        {{"pasel32", "-t", "-k"}, "open pasel stamp root=- trace=- port=-k log=-"},
        {{"kivet32", "/TRACE:tr", "/t"}, "open kivet root=- trace=tr port=/t log=-"},
        {{"kivet32", "/tmp/ttyV0", "9600"},
         "open kivet root=- trace=- port=/tmp/ttyV0 rate=9600 log=-"},
        {{"kivet32", "/tmp", "/dev"}, "open kivet stamp root=- trace=- port=/dev log=-"},
        {{"kivet32", "COM1", "/n", "/a"}, "open kivet root=- trace=- port=COM1 rate=0? log=/a"},
        {{"kivet32", "COM2", "/?"}, "open kivet root=- trace=- port=COM2 rate=0? log=-"},
        {{"kivet32", "/hexa"}, "help kivet root=- trace=- port=- log=-"},
        {{"kivet32", "/hex", "--help", "COM2"}, "help kivet hex root=- trace=- port=- log=-"},
        {{"pasel32", "/root:r", "--list", "COM2"}, "list pasel root=r trace=- port=- log=-"},
        {{"kivet32", long_name, "9600"}, "long-port kivet root=- trace=- port=nnnnnnnnnnnn log=-"},
        {{"kivet32", "COM3", "9600", long_name},
         "open kivet root=- trace=- port=COM3 rate=9600 log=nnnnnnnnnnnn(too long)"},
    };
    for (const auto& c : CASES) {
        EXPECT_EQ(parsed(c.args), c.want) << testing::PrintToString(c.args);
    }
}

TEST_F(Startup, ModeComesFromTheBaseNameCutAtItsLastDot)
{
    EXPECT_EQ(mode_from_name("C:\\tools\\KIVET32.EXE"), MODE_KIVET);
    EXPECT_EQ(mode_from_name("./kivet32"), MODE_KIVET);
    EXPECT_EQ(mode_from_name("/usr/bin/kivet32"), MODE_KIVET);
    EXPECT_EQ(mode_from_name("kivet.exe"), MODE_KIVET);
    EXPECT_EQ(mode_from_name("pasel.exe"), MODE_PASEL);
    EXPECT_EQ(mode_from_name("kiv.exe"), MODE_PASEL);
    EXPECT_EQ(mode_from_name("/opt/kivet.d/pasel32"), MODE_PASEL);
    EXPECT_EQ(mode_from_name(""), MODE_PASEL);
}

TEST_F(Startup, BaudLookupIsExactAndCaseSensitive)
{
    EXPECT_EQ(baud_lookup("9600"), 9600);
    EXPECT_EQ(baud_lookup("115200"), 115200);
    EXPECT_EQ(baud_lookup("300"), 0);
    EXPECT_EQ(baud_lookup("9600 "), 0);
    EXPECT_EQ(baud_lookup(""), 0);
}

TEST_F(Startup, NoArgumentsKeepTheDefaults)
{
    link_lock.assert_held();
    EXPECT_EQ(parse({"kivet32"}), CMDLINE_RUN);
    EXPECT_STREQ(port_name, "COM1");
    EXPECT_EQ(baud_rate, 57600);
    EXPECT_EQ(mode_flag.load(), MODE_KIVET);
    EXPECT_EQ(timestamp_option, 0);
    EXPECT_EQ(backspace_char, 0x7F);
    EXPECT_FALSE(log_is_open());
    EXPECT_EQ(plat::fake_console_output(),
              "KIVET32 Version " KIVET_VERSION ", Build: Oct 21 2002, Press <End> key to exit.\n");
}

TEST_F(Startup, OptionsAreTakenInTheirOrder)
{
    link_lock.assert_held();
    EXPECT_EQ(parse({"kivet32", "/PASEL", "/t", "pts/3", "9600", "a.log", "extra"}), CMDLINE_RUN);
    EXPECT_EQ(mode_flag.load(), MODE_PASEL);
    EXPECT_EQ(backspace_char, 0x08);
    EXPECT_EQ(timestamp_option, 1);
    EXPECT_STREQ(port_name, "pts/3");
    EXPECT_EQ(baud_rate, 9600);
    EXPECT_TRUE(log_is_open());
    EXPECT_EQ(plat::fake_console_output(), "PASEL32 Version " KIVET_VERSION ", Build: Oct 21 2002\n"
                                           "Log file: \"a.log\", Press <End> key to exit.\n");
    EXPECT_EQ(read_file("a.log"), "");
}

TEST_F(Startup, TimestampBeforeModeMakesTheModeOptionThePortName)
{
    link_lock.assert_held();
    EXPECT_EQ(parse({"pasel32", "-t", "-k"}), CMDLINE_RUN);
    EXPECT_EQ(mode_flag.load(), MODE_PASEL);
    EXPECT_EQ(timestamp_option, 1);
    EXPECT_STREQ(port_name, "-k");
}

TEST_F(Startup, ShortModeOptionsSelectTheMode)
{
    link_lock.assert_held();
    EXPECT_EQ(parse({"pasel32", "-k"}), CMDLINE_RUN);
    EXPECT_EQ(mode_flag.load(), MODE_KIVET);
    EXPECT_EQ(parse({"kivet32", "/px"}), CMDLINE_RUN);
    EXPECT_EQ(mode_flag.load(), MODE_PASEL);
}

TEST_F(Startup, HelpAndPortListPrintAfterTheBannerAndEndWithZero)
{
    link_lock.assert_held();
    for (const char* h : {"/?", "/HELP", "/h", "/Hx", "-h", "-?", "--help"}) {
        plat::fake_console_clear_output();
        EXPECT_EQ(parse({"kivet.exe", h}), 0) << h;
        std::string out = plat::fake_console_output();
        EXPECT_EQ(out.rfind("KIVET32 Version " KIVET_VERSION
                            ", Build: Oct 21 2002\nKIVET32 [/?] [/HELP]",
                            0),
                  0u)
            << h;
        EXPECT_NE(out.find("Hot keys:\n      <F1>  : Show system status and hot keys\n"),
                  std::string::npos);
        EXPECT_NE(out.find("      <End> : Exit the program.\n"), std::string::npos);
    }
    for (const char* list : {"/LIST", "/list", "--list"}) {
        plat::fake_console_clear_output();
        EXPECT_EQ(parse({"pasel32", list}), 0) << list;
        EXPECT_EQ(
            plat::fake_console_output().rfind("PASEL32 Version " KIVET_VERSION
                                              ", Build: Oct 21 2002\nSerial ports present:\n  ",
                                              0),
            0u)
            << list;
    }
}

TEST_F(Startup, AnArgumentWithASecondSlashIsAPathNeverAnOption)
{
    link_lock.assert_held();
    EXPECT_EQ(parse({"kivet32", "/tmp/ttyV0", "9600"}), CMDLINE_RUN);  // not /T
    EXPECT_EQ(timestamp_option, 0);
    EXPECT_STREQ(port_name, "/tmp/ttyV0");
    EXPECT_EQ(parse({"kivet32", "/home/u/tty"}), CMDLINE_RUN);  // not /H
    EXPECT_STREQ(port_name, "/home/u/tty");
    EXPECT_EQ(parse({"kivet32", "/pts/1"}), CMDLINE_RUN);  // not /P
    EXPECT_EQ(mode_flag.load(), MODE_KIVET);
    EXPECT_EQ(parse({"kivet32", "/tmp", "/dev"}), CMDLINE_RUN);  // one '/' is still an option
    EXPECT_EQ(timestamp_option, 1);
    EXPECT_STREQ(port_name, "/dev");
}

TEST_F(Startup, QuestionMarkAfterThePortIsABaudRateOfZero)
{
    link_lock.assert_held();
    EXPECT_EQ(parse({"kivet32", "COM2", "/?"}), CMDLINE_RUN);
    EXPECT_EQ(baud_rate, 0);
    EXPECT_NE(plat::fake_console_output().find("\nWARNING: MAYBE INVALID BAUDRATE, Press"),
              std::string::npos);
}

TEST_F(Startup, BaudOutsideTheTableWarnsAndIsUsed)
{
    link_lock.assert_held();
    EXPECT_EQ(parse({"kivet32", "COM2", "300"}), CMDLINE_RUN);
    EXPECT_EQ(baud_rate, 300);
    EXPECT_NE(plat::fake_console_output().find("WARNING: MAYBE INVALID BAUDRATE"),
              std::string::npos);
    plat::fake_console_clear_output();
    EXPECT_EQ(parse({"kivet32", "COM2", "9600"}), CMDLINE_RUN);
    EXPECT_EQ(plat::fake_console_output().find("WARNING"), std::string::npos);
}

TEST_F(Startup, NamesUpTo255CharactersAreTakenLongerOnesNever)
{
    link_lock.assert_held();
    const std::string port = "/dev/serial/by-id/usb-" + std::string(255 - 22, 'p');
    const std::string log = "logs-" + std::string(250, 'l');
    EXPECT_EQ(parse({"kivet32", port, "9600", log}), CMDLINE_RUN);
    EXPECT_STREQ(port_name, port.c_str());
    EXPECT_TRUE(log_is_open());
    EXPECT_STREQ(log_name, log.c_str());
    log_close();

    EXPECT_EQ(parse({"kivet32", port + "0"}), 1);  // 256 characters: refused
    EXPECT_NE(plat::fake_console_output().find("is longer than 255 characters.\n"),
              std::string::npos);

    plat::fake_console_clear_output();
    EXPECT_EQ(parse({"kivet32", "ttyUSB1", "9600", log + "x"}), CMDLINE_RUN);
    EXPECT_FALSE(log_is_open());
    EXPECT_EQ(read_file(log + "x"), "<missing>");
    EXPECT_NE(plat::fake_console_output().find("longer than 255 characters, no log file"),
              std::string::npos);
}

TEST_F(Startup, LogThatCannotOpenWarnsAndRunsOn)
{
    link_lock.assert_held();
    EXPECT_EQ(parse({"kivet32", "COM1", "57600", "no/dir.log"}), CMDLINE_RUN);
    EXPECT_FALSE(log_is_open());
    // The warning and the end of the banner line are one whole line; the reason, the system's
    // text for the failed open (it differs between systems), is the line after it.
    const std::string out = plat::fake_console_output();
    const std::string whole = "\nWARNING: Failed to open trace file \"no/dir.log\", Press <End> "
                              "key to exit.\nReason: ";
    const size_t at = out.find(whole);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string reason = out.substr(at + whole.size());
    EXPECT_EQ(reason.find('\n'), reason.size() - 1) << out;  // one line, the last
    EXPECT_TRUE(reason.ends_with("; no log file\n")) << out;
}

TEST_F(Startup, ShutdownReportsClosesDropsLinesAndExitsWithZero)
{
    link_lock.assert_held();
    EXPECT_EQ(parse({"kivet32", "COM1", "57600", "s.log"}), CMDLINE_RUN);
    log_write(std::string(999, 'x').data(), 999);
    plat::fake_console_clear_output();
    shutdown();
    EXPECT_EQ(plat::fake_console_output(),
              "\n\nKIVET32: Log file \"s.log\" (0 KB)\r\nKIVET32: program terminated.\n");
    EXPECT_FALSE(log_is_open());
    EXPECT_FALSE(plat::fake_port_lines_up());
    EXPECT_EQ(plat::fake_sleeps(), std::vector<uint32_t>{1000});
}

TEST_F(Startup, ShutdownReportsTheCaptureFileInKilobytes)
{
    link_lock.assert_held();
    ASSERT_TRUE(capture_open("cap.txt"));
    std::strcpy(capture_name, "cap.txt");
    mode_flag = MODE_PASEL;
    const std::string text(1000, 'c');
    log_text(reinterpret_cast<const uint8_t*>(text.data()), 1000);
    shutdown();
    EXPECT_NE(plat::fake_console_output().find("\n\nPASEL32: Capture file \"cap.txt\" (1 KB)\n"),
              std::string::npos);
    EXPECT_EQ(read_file("cap.txt").size(), 1000u);
}

// Opens the port as start-up does, loses it and opens it again, as the receive thread does: all
// without the link lock. Returns what the open returned.
static int open_lose_and_reopen() REQUIRES(link_lock)
{
    link_lock.give();
    const int opened = port_open(port_name, baud_rate);
    port_lost();
    port_reopen();
    link_lock.take();
    return opened;
}

// /NORESET: DTR and RTS stay as found at the open, a reopen and the end; Alt+R pulses them
// all the same, and its 'r' is not typed.
TEST_F(Startup, NoresetLeavesTheLinesAndAltRPulsesThem)
{
    link_lock.assert_held();
    ASSERT_EQ(parse({"kivet32", "/T", "-noreset", "COM1"}), CMDLINE_RUN);
    EXPECT_EQ(timestamp_option, 1);
    ASSERT_EQ(open_lose_and_reopen(), 0);
    port_drop_lines();
    EXPECT_EQ(plat::fake_port_line_changes(), "");

    plat::fake_console_clear_output();
    plat::fake_port_clear_written();
    EXPECT_EQ(key_handle(plat::KeyEvent{1, 'R', 'r', plat::KEY_LEFT_ALT}), KEY_GO_ON);
    EXPECT_EQ(plat::fake_console_output(), "\r\nKIVET32: Reset pulse on DTR and RTS.\n");
    EXPECT_EQ(plat::fake_port_line_changes(), "DU");
    EXPECT_EQ(plat::fake_sleeps(), (std::vector<uint32_t>{100, 100}));  // the reopen's, the pulse's
    EXPECT_EQ(plat::fake_port_written(), "");

    shutdown();
    EXPECT_EQ(plat::fake_port_line_changes(), "DU");
    EXPECT_FALSE(plat::fake_port_open());
    noreset_option = false;
}

// The counts of what the link threw away: said by F1 and the shutdown report only when there
// are any, traced as they grow and at the end.
TEST_F(Startup, DropCountsShowInTheStatusTheTraceAndTheShutdownReport)
{
    link_lock.assert_held();
    int err = 0;
    ASSERT_TRUE(trace_open("d.trc", &err));
    const plat::KeyEvent f1{1, plat::KEY_F1, 0, 0};
    EXPECT_EQ(key_handle(f1), KEY_GO_ON);
    EXPECT_EQ(plat::fake_console_output().find("Dropped"), std::string::npos);
    drop_count(DROP_BAD_CHECKSUM, 2);
    drop_count(DROP_KEY);
    drop_trace();
    plat::fake_console_clear_output();
    EXPECT_EQ(key_handle(f1), KEY_GO_ON);
    EXPECT_NE(
        plat::fake_console_output().find("No Log file\nDropped: bad checksum 2, key not taken 1\n" +
                                         std::string(HOTKEY_TEXT)),
        std::string::npos);
    plat::fake_console_clear_output();
    shutdown();
    EXPECT_EQ(plat::fake_console_output(), "\r\nKIVET32: Dropped: bad checksum 2, key not taken "
                                           "1.\r\nKIVET32: program terminated.\n");
    const std::string trace = read_file("d.trc");
    const size_t grew = trace.find(" key dropped: the line could not take it (1 in all)\n");
    const size_t end = trace.find(" dropped: bad checksum 2, key not taken 1\n");
    EXPECT_NE(grew, std::string::npos);
    EXPECT_NE(end, std::string::npos);
    EXPECT_LT(grew, end);
    EXPECT_NE(trace.find(" end\n", end), std::string::npos);
}

}  // namespace
