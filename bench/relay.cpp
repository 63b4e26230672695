// bench/relay.cpp: a pacing relay between two pseudo-terminal pairs, standing in for a serial
// line with a USB adapter: each direction carries at most RATE bytes/s, and every byte arrives
// LATENCY_MS after it has left. The device side is a pseudo-terminal slave given on the command
// line (devsim's port, or the bench's own echo); the host side is a new pair whose slave name is
// written to NAME_FILE. The relay opens the device side only once the host has put its side
// into raw mode, so nothing the device sends is purged by the host's start-up.
//
// At the end (either side hung up, or SIGTERM) it prints one line on standard output:
//   first_ns last_ns bytes_to_host bytes_to_device legs host_reply_ns device_reply_ns
//   host_replies_total_ns device_replies_total_ns
// with the monotonic times of the first and the last byte it delivered, the number of legs
// (runs of bytes in one direction between changes of direction), and the median time each side
// took from the last byte delivered to it to the first byte of its answer (-1: none) and the
// sum of those times, which show who keeps the line idle.
//
// usage: relay DEVICE_SLAVE NAME_FILE [RATE [LATENCY_MS]]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

std::atomic<bool> stop_flag{false};

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_until_ns(int64_t t)
{
    timespec ts{};
    ts.tv_sec = t / 1000000000;
    ts.tv_nsec = t % 1000000000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

struct Stats {
    std::mutex lock;
    int64_t first = 0;
    int64_t last = 0;
    uint64_t bytes[2] = {0, 0};
    uint64_t legs = 0;
    int last_dir = -1;
    int64_t last_out[2] = {0, 0};     // when each direction last delivered, 0 once answered
    std::vector<int64_t> replies[2];  // delivery in one direction to the first byte back
};

Stats stats;
FILE* trace;  // RELAY_TRACE: one line per read and per write, for finding who keeps the line idle

void trace_event(const char* what, int dir, size_t n)
{
    if (trace != nullptr) {
        std::lock_guard<std::mutex> hold(stats.lock);
        fprintf(trace, "%lld %s %d %zu\n", (long long)now_ns(), what, dir, n);
    }
}

void note_delivery(int dir, size_t n)
{
    std::lock_guard<std::mutex> hold(stats.lock);
    const int64_t t = now_ns();
    if (stats.first == 0) {
        stats.first = t;
    }
    stats.last = t;
    stats.last_out[dir] = t;
    stats.bytes[dir] += n;
    if (dir != stats.last_dir) {
        stats.legs++;
        stats.last_dir = dir;
    }
}

// Bytes read for dir after the other direction delivered: the other side's reply time. The
// host's replies come in on the device-bound direction (1), the device's on the other (0).
void note_arrival(int dir)
{
    std::lock_guard<std::mutex> hold(stats.lock);
    const int other = 1 - dir;
    if (stats.last_out[other] != 0) {
        stats.replies[dir].push_back(now_ns() - stats.last_out[other]);
        stats.last_out[other] = 0;
    }
}

int64_t sum_of(const std::vector<int64_t>& v)
{
    int64_t sum = 0;
    for (const int64_t x : v) {
        sum += x;
    }
    return sum;
}

int64_t median_of(std::vector<int64_t>& v)
{
    if (v.empty()) {
        return -1;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One direction: reads what comes in, gives each byte the time it finishes leaving at the line
// rate, and writes it out LATENCY later. Bytes due at the same moment go out in one write.
void pump(int in, int out, int dir, double rate, int64_t latency_ns)
{
    const double byte_ns = 1e9 / rate;
    struct Item {
        int64_t due;
        uint8_t b;
    };
    std::deque<Item> line;
    double wire_free = 0;  // when the last byte queued has left, in ns
    uint8_t buf[4096];
    uint8_t outbuf[4096];
    while (!stop_flag.load()) {
        int timeout_ms = 200;
        const int64_t t = now_ns();
        if (!line.empty()) {
            const int64_t wait = line.front().due - t;
            timeout_ms = wait <= 0 ? 0 : int(wait / 1000000);  // the rest by a precise sleep
        }
        pollfd p{in, POLLIN, 0};
        const int r = poll(&p, 1, timeout_ms);
        if (r > 0 && (p.revents & POLLIN) != 0) {
            const ssize_t n = read(in, buf, sizeof buf);
            if (n > 0) {
                note_arrival(dir);
                trace_event("in", dir, size_t(n));
                const double arrive = double(now_ns());
                for (ssize_t i = 0; i < n; i++) {
                    wire_free = (wire_free > arrive ? wire_free : arrive) + byte_ns;
                    line.push_back({int64_t(wire_free) + latency_ns, buf[i]});
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                break;
            }
        } else if (r > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
            break;
        }
        if (line.empty()) {
            continue;
        }
        if (line.front().due > now_ns()) {
            if (line.front().due - now_ns() < 2000000) {
                sleep_until_ns(line.front().due);
            } else {
                continue;
            }
        }
        const int64_t t2 = now_ns();
        size_t k = 0;
        while (!line.empty() && line.front().due <= t2 && k < sizeof outbuf) {
            outbuf[k++] = line.front().b;
            line.pop_front();
        }
        size_t done = 0;
        while (done < k) {
            const ssize_t w = write(out, outbuf + done, k - done);
            if (w > 0) {
                done += size_t(w);
            } else if (errno == EAGAIN || errno == EINTR) {
                pollfd q{out, POLLOUT, 0};
                (void)poll(&q, 1, 100);
            } else {
                stop_flag.store(true);
                return;
            }
        }
        note_delivery(dir, k);
        trace_event("out", dir, k);
    }
    stop_flag.store(true);
}

void on_term(int)
{
    stop_flag.store(true);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: relay DEVICE_SLAVE NAME_FILE [RATE [LATENCY_MS]]\n");
        return 2;
    }
    const double rate = argc > 3 ? atof(argv[3]) : 11520.0;
    const double latency_ms = argc > 4 ? atof(argv[4]) : 5.0;

    int host_master = -1;
    int host_slave = -1;
    char name[128];
    if (openpty(&host_master, &host_slave, name, nullptr, nullptr) != 0) {
        perror("openpty");
        return 1;
    }
    termios raw{};
    tcgetattr(host_slave, &raw);
    const tcflag_t cooked_lflag = raw.c_lflag;
    char tmp[512];
    snprintf(tmp, sizeof tmp, "%s.tmp", argv[2]);
    FILE* f = fopen(tmp, "w");
    if (f == nullptr || fprintf(f, "%s\n", name) < 0 || fclose(f) != 0 ||
        rename(tmp, argv[2]) != 0) {
        perror("name file");
        return 1;
    }
    if (const char* t = getenv("RELAY_TRACE")) {
        trace = fopen(t, "w");
    }
    signal(SIGTERM, on_term);
    signal(SIGINT, on_term);

    // Wait for the host: its raw mode shows on the master.
    for (;;) {
        termios now{};
        if (tcgetattr(host_master, &now) == 0 && now.c_lflag != cooked_lflag) {
            break;
        }
        if (stop_flag.load()) {
            return 1;
        }
        usleep(10000);
    }
    close(host_slave);  // the host's own descriptor keeps the pair up; its close hangs up

    const int dev = open(argv[1], O_RDWR | O_NOCTTY);
    if (dev < 0) {
        perror(argv[1]);
        return 1;
    }
    termios t{};
    tcgetattr(dev, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(dev, TCSANOW, &t);

    const int64_t latency_ns = int64_t(latency_ms * 1e6);
    std::thread to_host(pump, dev, host_master, 0, rate, latency_ns);
    std::thread to_device(pump, host_master, dev, 1, rate, latency_ns);
    to_host.join();
    to_device.join();
    std::lock_guard<std::mutex> hold(stats.lock);
    if (trace != nullptr) {
        fclose(trace);
    }
    printf("%lld %lld %llu %llu %llu %lld %lld %lld %lld\n", (long long)stats.first,
           (long long)stats.last, (unsigned long long)stats.bytes[0],
           (unsigned long long)stats.bytes[1], (unsigned long long)stats.legs,
           (long long)median_of(stats.replies[1]), (long long)median_of(stats.replies[0]),
           (long long)sum_of(stats.replies[1]), (long long)sum_of(stats.replies[0]));
    return 0;
}
