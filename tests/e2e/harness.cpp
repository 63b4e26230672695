// tests/e2e/harness.cpp: starting the built program on pseudo-terminals, typing into its
// console, reading its screen, ending it. The screen reader thread is the only reader of the
// console master (and under Wine of the screen pipe); the screen text and the cursor are guarded
// by screen_mutex_. Whether start-up is complete is read from /proc (the system calls its
// threads are blocked in).
#include "tests/e2e/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace e2e
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int POLL_PAUSE_MS = 1;       // between two looks at a child's state
constexpr size_t SCREEN_CHUNK = 4096;  // bytes the reader takes from the console at a time
constexpr int EXEC_FAILED = 127;       // the child's exit code when exec fails

Clock::time_point deadline_in(int ms)
{
    return Clock::now() + std::chrono::milliseconds(ms);
}

int ms_left(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

void pause_briefly()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(POLL_PAUSE_MS));
}

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

int exit_code_of(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// The launcher, from KIVET_E2E_WINE: empty natively; else the Windows kivet32.exe and the
// Wine prefix of this test binary.
struct Launcher {
    std::string win_exe;
    std::string prefix;
};

const Launcher& launcher()
{
    static const Launcher l = [] {
        Launcher made;
        const char* wine = getenv("KIVET_E2E_WINE");
        if (wine == nullptr || *wine == '\0' || std::string(wine) == "0") {
            return made;
        }
        const char* named = getenv("KIVET_WIN_EXE");
        made.win_exe = std::string(wine) != "1"             ? wine
                       : named != nullptr && *named != '\0' ? named
                                                            : WIN_KIVET_BIN;
        made.prefix =
            std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/wine";
        return made;
    }();
    return l;
}

// The program file for bin: bin itself natively; under Wine kivet32.exe for KIVET_BIN and its
// copy pasel32.exe (next to it) for PASEL_BIN.
std::string program_file(const std::string& bin)
{
    const Launcher& l = launcher();
    if (l.win_exe.empty()) {
        return bin;
    }
    if (bin == PASEL_BIN) {
        return std::filesystem::path(l.win_exe).parent_path().string() + "/pasel32.exe";
    }
    return bin == KIVET_BIN ? l.win_exe : bin;
}

// The path of the program to run: the program file, or one named name in dir: natively a
// symbolic link to it, under Wine a copy of it.
std::string exec_path(const std::string& bin, const std::string& dir, const std::string& name)
{
    std::string program = program_file(bin);
    if (name.empty()) {
        return program;
    }
    std::string link =
        std::filesystem::absolute((dir.empty() ? std::string(".") : dir) + "/" + name).string();
    std::error_code ec;
    std::filesystem::remove(link, ec);
    if (on_wine()) {
        std::filesystem::copy_file(program, link);
    } else {
        std::filesystem::create_symlink(std::filesystem::absolute(program), link);
    }
    return link;
}

// The command line that runs the program at path with args: itself natively, under Wine
// wine-run.sh with the prefix and it.
std::vector<std::string> command_line(const std::string& path, const std::vector<std::string>& args)
{
    std::vector<std::string> line;
    if (on_wine()) {
        line = {WINE_RUN, launcher().prefix};
    }
    line.push_back(path);
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

// Ends a started program at once: natively the process; under Wine its whole process group
// (the program and the console Wine made for it).
void kill_program(pid_t pid)
{
    (void)kill(on_wine() ? -pid : pid, SIGKILL);
}

// Everything the child needs, built before fork: after it only async-signal-safe calls run.
struct ExecPlan {
    std::string path;
    std::vector<std::string> args;
    std::vector<char*> argv;

    ExecPlan(const std::string& program, const std::vector<std::string>& a)
        : args(command_line(program, a))
    {
        path = args.front();
        for (std::string& s : args) {
            argv.push_back(s.data());
        }
        argv.push_back(nullptr);
    }
    ExecPlan(const ExecPlan&) = delete;  // argv points into args
    ExecPlan& operator=(const ExecPlan&) = delete;
};

// In the child: its own session, stdin/stdout/stderr as given, the working directory, exec.
[[noreturn]] void child_exec(const ExecPlan& plan, int in, int out, const char* cwd)
{
    (void)setsid();
    if (dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
        dup2(out, STDERR_FILENO) < 0) {
        _exit(EXEC_FAILED);
    }
    if (cwd != nullptr && chdir(cwd) != 0) {
        _exit(EXEC_FAILED);
    }
    execv(plan.path.c_str(), plan.argv.data());
    _exit(EXEC_FAILED);
}

bool write_all(int fd, const char* p, size_t n, Clock::time_point deadline)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= size_t(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        const int left = ms_left(deadline);
        if (left == 0) {
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        (void)poll(&pfd, 1, left);
    }
    return true;
}

std::string read_proc(const std::string& path)
{
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

// Is task tid of pid blocked in poll() (or ppoll()) on nfds descriptors without a time-out
// (with any_timeout, with or without one)? Read from the system call it is in; where the kernel
// does not tell, from its wait channel (then the arguments are not known).
bool task_polls(pid_t pid, const std::string& tid, unsigned long nfds, bool any_timeout = false)
{
    const std::string task = "/proc/" + std::to_string(pid) + "/task/" + tid;
    std::istringstream call(read_proc(task + "/syscall"));
    std::string nr;
    if (call >> nr) {
        if (nr == "running" || nr == "-1") {
            return false;
        }
        char* end = nullptr;
        const long n = std::strtol(nr.c_str(), &end, 10);
        if (end != nr.c_str() && *end == '\0') {
            std::string fds_arg, count_arg, timeout_arg;
            call >> fds_arg >> count_arg >> timeout_arg;
            const unsigned long count = std::strtoul(count_arg.c_str(), nullptr, 16);
            const unsigned long timeout = std::strtoul(timeout_arg.c_str(), nullptr, 16);
#ifdef SYS_poll
            if (n == SYS_poll) {
                return count == nfds &&
                       (any_timeout || (timeout & 0xFFFFFFFFul) == 0xFFFFFFFFul);  // -1: none
            }
#endif
#ifdef SYS_ppoll
            if (n == SYS_ppoll) {
                return count == nfds && (any_timeout || timeout == 0);  // null: none
            }
#endif
            return false;
        }
    }
    return read_proc(task + "/wchan").find("poll") != std::string::npos;
}

// Under Wine: the threads of pid as "tid system-call" lines, each blocked in a system call;
// empty when one of them runs. count is the number of threads.
std::string blocked_threads(pid_t pid, size_t* count)
{
    *count = 0;
    std::string all;
    std::error_code ec;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(tasks, ec)) {
        const std::string call = read_proc(entry.path().string() + "/syscall");
        if (call.empty() || call == "running" || call.rfind("-1", 0) == 0) {
            return "";
        }
        ++*count;
        all += entry.path().filename().string() + " " + call + "\n";
    }
    return all;
}

// The port argument under Wine: COM(100 + n) for /dev/pts/n, above the numbers Wine gives
// the machine's own serial ports. The link is replaced in one step.
std::string wine_port(const std::string& linux_port)
{
    static const std::string PTS = "pts/";
    if (linux_port.rfind(PTS, 0) != 0) {
        ADD_FAILURE() << "no COM port for \"" << linux_port << "\": not a pseudo-terminal";
        return linux_port;
    }
    const std::string com = "com" + std::to_string(100 + std::stoi(linux_port.substr(PTS.size())));
    const std::string dir = launcher().prefix + "/dosdevices";
    const std::string tmp = dir + "/" + com + "." + std::to_string(getpid()) + ".new";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::filesystem::remove(tmp, ec);
    std::filesystem::create_symlink("/dev/" + linux_port, tmp, ec);
    if (!ec) {
        std::filesystem::rename(tmp, dir + "/" + com, ec);
    }
    if (ec) {
        ADD_FAILURE() << "cannot link " << dir << "/" << com << ": " << ec.message();
    }
    return "COM" + com.substr(3);
}

}  // namespace

bool on_wine()
{
    return !launcher().win_exe.empty();
}

bool left_out_on_wine(std::string_view reason)
{
    if (on_wine()) {
        std::printf("not under Wine: %.*s\n", int(reason.size()), reason.data());
    }
    return on_wine();
}

std::string port_argument(const std::string& linux_port)
{
    return on_wine() ? wine_port(linux_port) : linux_port;
}

void wine_port_relink(const std::string& com_port, const std::string& linux_port)
{
    std::string com = com_port;
    for (char& c : com) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::string link = launcher().prefix + "/dosdevices/" + com;
    const std::string tmp = link + ".relink";
    std::error_code ec;
    std::filesystem::remove(tmp, ec);
    std::filesystem::create_symlink(linux_port.empty() ? "/nonexistent-port" : "/dev/" + linux_port,
                                    tmp, ec);
    if (!ec) {
        std::filesystem::rename(tmp, link, ec);
    }
    if (ec) {
        ADD_FAILURE() << "cannot link " << link << ": " << ec.message();
    }
}

std::string escaped(std::string_view s)
{
    std::string out;
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b < 0x20 || b >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string banner_line(std::string_view label)
{
    return std::string(label) + std::string(VERSION_TEXT) + ", Press <End> key to exit.\n";
}

std::string random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(rng() & 0xFF);
    }
    return s;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool write_file(const std::string& path, std::string_view data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
    return bool(out);
}

bool file_exists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

TempDir::TempDir()
{
    char templ[] = "/tmp/kivet-e2e-XXXXXX";
    if (mkdtemp(templ) == nullptr) {
        fail("mkdtemp");
    }
    path_ = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);  // a leftover in /tmp is no reason to fail a test
}

std::string TempDir::file(const std::string& name) const
{
    return path_ + "/" + name;
}

RunResult run_captured(const std::string& bin, const std::vector<std::string>& args,
                       const std::string& cwd, const std::string& name, int timeout_ms)
{
    RunResult result;
    const ExecPlan plan(exec_path(bin, cwd, name), args);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        fail("open /dev/null");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid == 0) {
        child_exec(plan, in, out[1], cwd.empty() ? nullptr : cwd.c_str());
    }
    ::close(in);
    ::close(out[1]);

    // Read to the end of output (every writer gone), then reap.
    const auto deadline = deadline_in(timeout_ms);
    char buf[SCREEN_CHUNK];
    for (;;) {
        pollfd pfd{out[0], POLLIN, 0};
        const int left = ms_left(deadline);
        if (left == 0) {
            break;
        }
        if (poll(&pfd, 1, left) <= 0) {
            continue;
        }
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n > 0) {
            result.output.append(buf, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(out[0]);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            result.exit_code = exit_code_of(status);
            break;
        }
        if (ms_left(deadline) == 0) {
            kill_program(pid);
            (void)waitpid(pid, &status, 0);
            result.exit_code = -1;
            break;
        }
        pause_briefly();
    }
    return result;
}

Host::Host()
{
    con_master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (con_master_ < 0) {
        fail("posix_openpt");
    }
    char name[128];
    if (grantpt(con_master_) != 0 || unlockpt(con_master_) != 0 ||
        ptsname_r(con_master_, name, sizeof name) != 0) {
        fail("grantpt/unlockpt/ptsname");
    }
    con_slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (con_slave_ < 0) {
        fail("open console slave");
    }
    // A fresh terminal's cooked mode, without output processing: what the program writes
    // arrives as it is written.
    if (tcgetattr(con_slave_, &console_before_) != 0) {
        fail("tcgetattr");
    }
    console_before_.c_oflag &= ~tcflag_t(OPOST);
    if (tcsetattr(con_slave_, TCSANOW, &console_before_) != 0 ||
        tcgetattr(con_slave_, &console_before_) != 0) {
        fail("tcsetattr");
    }
    const int flags = fcntl(con_master_, F_GETFL);
    if (flags < 0 || fcntl(con_master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        fail("fcntl");
    }
    if (pipe2(stop_pipe_, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
    screen_fd_ = con_master_;
    if (on_wine()) {
        if (pipe2(wine_out_, O_CLOEXEC) != 0) {
            fail("pipe2");
        }
        screen_fd_ = wine_out_[0];
    }
    port_name_ = port_argument(device_.port_name());
}

Host::~Host()
{
#ifdef KIVET_COVERAGE
    // The coverage build's counts are written when the program ends itself: SIGTERM first.
    if (pid_ > 0 && !on_wine()) {
        (void)kill(pid_, SIGTERM);
        const auto deadline = deadline_in(5000);
        int status = 0;
        for (;;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            if (ms_left(deadline) == 0) {
                break;  // killed below
            }
            pause_briefly();
        }
    }
#endif
    if (pid_ > 0) {
        kill_program(pid_);
        int status = 0;
        (void)waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    if (reader_.joinable()) {
        const char stop = 1;
        (void)!::write(stop_pipe_[1], &stop, 1);
        reader_.join();
    }
    if (testing::Test::HasFailure()) {
        std::lock_guard<std::mutex> g(screen_mutex_);
        std::fprintf(stderr, "--- screen of the failed test ---\n%s\n---\n",
                     escaped(screen_).c_str());
    }
    ::close(stop_pipe_[0]);
    ::close(stop_pipe_[1]);
    ::close(con_slave_);
    ::close(con_master_);
    if (on_wine()) {
        ::close(wine_out_[0]);
        ::close(wine_out_[1]);
        // The COM link of the device's slave, which is still this test's: no other can have
        // taken its number yet.
        std::error_code ec;
        std::filesystem::remove(launcher().prefix + "/dosdevices/com" + port_name_.substr(3), ec);
    }
}

void Host::spawn(const std::string& bin, const std::vector<std::string>& args,
                 const std::string& name)
{
    const ExecPlan plan(exec_path(bin, dir(), name), args);
    const pid_t pid = fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid == 0) {
        child_exec(plan, con_slave_, on_wine() ? wine_out_[1] : con_slave_, dir().c_str());
    }
    pid_ = pid;
    exit_code_ = -1;
    if (!reader_.joinable()) {
        reader_ = std::thread([this] { reader_loop(); });
    }
}

testing::AssertionResult Host::start(const std::string& bin, const std::vector<std::string>& args,
                                     const std::string& name)
{
    spawn(bin, args, name);
    return wait_ready();
}

testing::AssertionResult Host::wait_ready(int timeout_ms)
{
    if (on_wine()) {
        return wait_ready_wine(timeout_ms);
    }
    const auto deadline = deadline_in(timeout_ms);
    for (;;) {
        if (pid_ < 0 || wait_exit(0) >= 0) {
            return testing::AssertionFailure()
                   << "the program ended (exit code " << exit_code_ << ") before it was ready";
        }
        // The console thread is the main thread; the receive thread is the one other thread
        // that polls: one descriptor, the port; or a network port's two, its socket and its
        // wake-up, with a time-out while a setting's reply is awaited.
        bool receiving = false;
        std::error_code ec;
        const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
        for (const auto& entry : std::filesystem::directory_iterator(tasks, ec)) {
            const std::string tid = entry.path().filename().string();
            if (tid != std::to_string(pid_) &&
                (task_polls(pid_, tid, 1) || task_polls(pid_, tid, 2, true))) {
                receiving = true;
            }
        }
        if (receiving && console_thread_reading()) {
            return testing::AssertionSuccess();
        }
        if (ms_left(deadline) == 0) {
            return testing::AssertionFailure()
                   << "the program did not become ready within " << timeout_ms << " ms; screen: \""
                   << escaped(screen()) << "\"";
        }
        pause_briefly();
    }
}

// Under Wine every wait of a thread is a read of its pipe to the Wine server, so the waits
// cannot be told apart: the program is ready when it has started all its threads and none of
// them has moved for a while. Start-up is a run of brief server calls (the port's purge, the
// console's mode), so a still moment comes only once they are done. Keys it reads are not
// counted: it keeps them. On a busy machine a server call can take longer than that moment, so
// the console's terminal must also have left canonical mode: until Wine's console takes it raw,
// its line editing eats a Backspace (the erase character) before Wine sees it.
testing::AssertionResult Host::wait_ready_wine(int timeout_ms)
{
    constexpr size_t THREADS = 5;  // the console thread and the four it starts
    constexpr int STILL_MS = 100;
    const auto deadline = deadline_in(timeout_ms);
    std::string last;
    auto still_since = Clock::now();
    for (;;) {
        if (pid_ < 0 || wait_exit(0) >= 0) {
            return testing::AssertionFailure()
                   << "the program ended (exit code " << exit_code_ << ") before it was ready";
        }
        size_t threads = 0;
        const std::string now = blocked_threads(pid_, &threads);
        termios mode{};
        const bool raw = tcgetattr(con_slave_, &mode) == 0 && (mode.c_lflag & ICANON) == 0;
        if (threads < THREADS || now.empty() || now != last || !raw) {
            last = now;
            still_since = Clock::now();
        } else if (Clock::now() - still_since >= std::chrono::milliseconds(STILL_MS)) {
            return testing::AssertionSuccess();
        }
        if (ms_left(deadline) == 0) {
            return testing::AssertionFailure()
                   << "the program did not become ready within " << timeout_ms << " ms (" << threads
                   << " threads); screen: \"" << escaped(screen()) << "\"";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool Host::console_thread_reading() const
{
    if (on_wine()) {
        return true;  // not to be seen (wait_ready_wine); keys typed ahead are kept
    }
    return task_polls(pid_, std::to_string(pid_), 2);  // the signal pipe and standard input
}

void Host::keys(std::string_view bytes)
{
    if (!write_all(con_master_, bytes.data(), bytes.size(), deadline_in(WAIT_MS))) {
        ADD_FAILURE() << "keys \"" << escaped(bytes) << "\" could not be written";
    }
}

void Host::reader_loop()
{
    char buf[SCREEN_CHUNK];
    // Under Wine the console pseudo-terminal is not the screen; what Wine's console writes to
    // it is read and dropped, so that it never fills up.
    const int console_fd = screen_fd_ != con_master_ ? con_master_ : -1;
    for (;;) {
        const bool paused = paused_.load();
        pollfd p[3] = {{paused ? -1 : screen_fd_, POLLIN, 0},
                       {stop_pipe_[0], POLLIN, 0},
                       {console_fd, POLLIN, 0}};
        const int r = poll(p, 3, paused ? 10 : -1);
        if (r < 0) {
            continue;  // EINTR
        }
        if (p[1].revents != 0) {
            return;
        }
        if (p[2].revents != 0 && ::read(console_fd, buf, sizeof buf) <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // should not happen
        }
        if (paused || p[0].revents == 0) {
            continue;
        }
        // A slow terminal takes a hundredth of its second's worth at a time, and pauses for it.
        const size_t rate = throttle_.load();
        const size_t want = rate > 0 ? std::clamp<size_t>(rate / 100, 1, sizeof buf) : sizeof buf;
        const ssize_t n = ::read(screen_fd_, buf, want);
        if (n > 0) {
            {
                std::lock_guard<std::mutex> g(screen_mutex_);
                screen_.append(buf, size_t(n));
            }
            screen_grew_.notify_all();
            if (rate > 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(size_t(n) * 1000000 / rate));
            }
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // The slave is held open, so this should not happen; do not spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

void Host::screen_pause(bool paused)
{
    paused_ = paused;
}

void Host::screen_throttle(size_t bytes_per_second)
{
    throttle_ = bytes_per_second;
}

std::string Host::screen()
{
    std::lock_guard<std::mutex> g(screen_mutex_);
    return screen_;
}

testing::AssertionResult Host::screen_until(const std::string& needle, int timeout_ms)
{
    std::unique_lock<std::mutex> g(screen_mutex_);
    size_t at = std::string::npos;
    const bool found = screen_grew_.wait_until(g, deadline_in(timeout_ms), [&] {
        at = screen_.find(needle, cursor_);
        return at != std::string::npos;
    });
    if (!found) {
        return testing::AssertionFailure()
               << "\"" << escaped(needle) << "\" not on the screen within " << timeout_ms
               << " ms; after the cursor: \"" << escaped(screen_.substr(cursor_)) << "\"";
    }
    cursor_ = at + needle.size();
    return testing::AssertionSuccess();
}

std::string Host::screen_read(const std::string& needle, int timeout_ms)
{
    std::unique_lock<std::mutex> g(screen_mutex_);
    size_t at = std::string::npos;
    const bool found = screen_grew_.wait_until(g, deadline_in(timeout_ms), [&] {
        at = screen_.find(needle, cursor_);
        return at != std::string::npos;
    });
    const size_t end = found ? at + needle.size() : screen_.size();
    std::string text = screen_.substr(cursor_, end - cursor_);
    cursor_ = end;
    return text;
}

void Host::screen_skip()
{
    std::lock_guard<std::mutex> g(screen_mutex_);
    cursor_ = screen_.size();
}

void Host::signal(int sig)
{
    if (pid_ > 0) {
        (void)kill(pid_, sig);
    }
}

int Host::wait_exit(int timeout_ms)
{
    if (pid_ < 0) {
        return exit_code_;
    }
    const auto deadline = deadline_in(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            exit_code_ = exit_code_of(status);
            return exit_code_;
        }
        if (ms_left(deadline) == 0) {
            return -1;
        }
        pause_briefly();
    }
}

void Host::console_output_processing()
{
    console_before_.c_oflag |= tcflag_t(OPOST | ONLCR);
    if (tcsetattr(con_slave_, TCSANOW, &console_before_) != 0 ||
        tcgetattr(con_slave_, &console_before_) != 0) {
        fail("tcsetattr");
    }
}

termios Host::console_mode() const
{
    termios t{};
    (void)tcgetattr(con_slave_, &t);
    return t;
}

namespace
{

// A TCP socket of 127.0.0.1 bound to port (0: any free one); -1 when it cannot be had.
int loopback_socket(uint16_t port, uint16_t* bound)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *bound = ntohs(a.sin_port);
    return fd;
}

// A connect to 127.0.0.1:port without waiting: the socket, or -1.
int connect_start(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Has the connect on fd completed within ms?
bool connected_within(int fd, int ms)
{
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, ms) != 1) {
        return false;
    }
    int err = 0;
    socklen_t len = sizeof err;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

// The ser2net program: on the PATH or where Debian puts it.
std::string ser2net_program()
{
    const char* path = getenv("PATH");
    std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/sbin:/usr/local/sbin";
    std::istringstream in(dirs);
    std::string dir;
    while (std::getline(in, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/ser2net";
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

}  // namespace

uint16_t free_local_port()
{
    uint16_t port = 0;
    const int fd = loopback_socket(0, &port);
    if (fd < 0) {
        fail("a free port of 127.0.0.1");
    }
    ::close(fd);
    return port;
}

Ser2net::Ser2net(devsim::Pty& device, const std::string& dir, Ser2netOptions options)
    : device_(device), dir_(dir), options_(std::move(options))
{
}

Ser2net::~Ser2net()
{
    stop();
    if (testing::Test::HasFailure()) {
        std::fprintf(stderr, "--- ser2net's output ---\n%s---\n",
                     read_file(dir_ + "/ser2net.out").c_str());
    }
}

std::string Ser2net::name() const
{
    return std::string(options_.telnet ? "rfc2217" : "tcp") +
           "://127.0.0.1:" + std::to_string(port_);
}

testing::AssertionResult Ser2net::start()
{
    const std::string program = ser2net_program();
    if (program.empty()) {
        return testing::AssertionFailure() << "ser2net is not installed (scripts/setup.sh)";
    }
    // A free port may be taken by another before ser2net binds it: the first start tries again
    // on another one.
    const int tries = starts_ == 0 ? 3 : 1;
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (starts_ == 0) {
            port_ = free_local_port();
        }
        std::ostringstream conf;
        conf << "%YAML 1.1\n---\nconnection: &device\n"
             << "    accepter: " << (options_.telnet ? "telnet(rfc2217),tcp" : "tcp")
             << ",127.0.0.1," << port_ << "\n"
             << "    connector: serialdev," << device_.slave_path() << ",115200n81,local\n"
             << "    options:\n"
             << "      max-connections: " << options_.max_connections << "\n"
             << "      kickolduser: false\n"
             << "      chardelay: " << (options_.chardelay ? "true" : "false") << "\n";
        if (!options_.banner.empty()) {
            conf << "      banner: \"" << options_.banner << "\"\n";
        }
        const std::string conf_file = dir_ + "/ser2net.yaml";
        const std::string out_file = dir_ + "/ser2net.out";
        if (!write_file(conf_file, conf.str())) {
            return testing::AssertionFailure() << "cannot write " << conf_file;
        }
        // Not through command_line: ser2net runs natively under Wine too.
        std::vector<std::string> args = {program, "-n", "-d", "-u", "-c", conf_file};
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out < 0 || in < 0) {
            fail("open ser2net's files");
        }
        const pid_t pid = fork();
        if (pid < 0) {
            fail("fork");
        }
        if (pid == 0) {
            if (dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
                dup2(out, STDERR_FILENO) < 0) {
                _exit(EXEC_FAILED);
            }
            execv(argv[0], argv.data());
            _exit(EXEC_FAILED);
        }
        ::close(in);
        ::close(out);
        pid_ = pid;
        ++starts_;
        const auto deadline = deadline_in(WAIT_MS);
        while (!listening()) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            if (ms_left(deadline) == 0) {
                stop();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (pid_ > 0) {
            return testing::AssertionSuccess();
        }
    }
    return testing::AssertionFailure() << "ser2net did not listen on 127.0.0.1:" << port_ << ": "
                                       << read_file(dir_ + "/ser2net.out");
}

// Does ser2net (its pid, not another program) listen on the port? Read from /proc: the
// listening socket's inode among its descriptors.
bool Ser2net::listening() const
{
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port_);
    std::string inode;
    while (std::getline(tcp, line)) {
        std::istringstream f(line);
        std::string slot, loc, rem, st, queues, timer, retr, uid, timeout, ino;
        if (f >> slot >> loc >> rem >> st >> queues >> timer >> retr >> uid >> timeout >> ino &&
            loc == local && st == "0A") {
            inode = ino;
        }
    }
    if (inode.empty()) {
        return false;
    }
    const std::string want = "socket:[" + inode + "]";
    std::error_code ec;
    for (const auto& e :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec)) {
        std::error_code lec;
        if (std::filesystem::read_symlink(e.path(), lec).string() == want) {
            return true;
        }
    }
    return false;
}

void Ser2net::stop()
{
    if (pid_ <= 0) {
        return;
    }
    (void)kill(pid_, SIGTERM);
    const auto deadline = deadline_in(2000);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) != pid_) {
        if (ms_left(deadline) == 0) {
            (void)kill(pid_, SIGKILL);
            (void)waitpid(pid_, &status, 0);
            break;
        }
        pause_briefly();
    }
    pid_ = -1;
}

Ser2netClient::Ser2netClient(uint16_t port) : fd_(connect_start(port))
{
    if (fd_ < 0 || !connected_within(fd_, WAIT_MS)) {
        fail("a connection to 127.0.0.1");
    }
}

Ser2netClient::~Ser2netClient()
{
    close();
}

bool Ser2netClient::read_until(const std::string& needle, int timeout_ms)
{
    const auto deadline = deadline_in(timeout_ms);
    while (got_.find(needle) == std::string::npos) {
        pollfd p{fd_, POLLIN, 0};
        const int left = ms_left(deadline);
        if (fd_ < 0 || left == 0) {
            return false;
        }
        if (poll(&p, 1, left) != 1) {
            continue;
        }
        char buf[SCREEN_CHUNK];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            got_.append(buf, size_t(n));
        } else if (n == 0 || errno != EAGAIN) {
            return false;
        }
    }
    return true;
}

void Ser2netClient::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

HangingListener::HangingListener(uint16_t port)
{
    listen_fd_ = loopback_socket(port, &port_);
    if (listen_fd_ < 0 || ::listen(listen_fd_, 0) != 0) {
        fail("a listener on 127.0.0.1");
    }
    filler_fd_ = connect_start(port_);
    if (filler_fd_ < 0 || !connected_within(filler_fd_, WAIT_MS)) {
        fail("the connection that fills the backlog");
    }
}

HangingListener::~HangingListener()
{
    ::close(filler_fd_);
    ::close(listen_fd_);
}

bool HangingListener::hangs(int ms) const
{
    const int probe = connect_start(port_);
    const bool done = probe >= 0 && connected_within(probe, ms);
    if (probe >= 0) {
        ::close(probe);
    }
    return probe >= 0 && !done;
}

int end_by(Host& h, bool by_signal, double* took)
{
    const auto t = std::chrono::steady_clock::now();
    if (by_signal) {
        h.signal(SIGTERM);
    } else {
        h.keys(KEY_END);
    }
    const int code = h.wait_exit(10000);
    *took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    return code;
}

}  // namespace e2e
