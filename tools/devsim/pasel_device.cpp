// tools/devsim/pasel_device.cpp: the device's packet-link engine (get, put, idle) over a Link.
// Used by the device emulator and the end-to-end tests; each PaselDevice owns its state.
#include "tools/devsim/pasel_device.h"

#include <algorithm>
#include <chrono>

namespace devsim
{

namespace
{

using Clock = std::chrono::steady_clock;

constexpr size_t READ_CHUNK = 4096;

int ms_left(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::max<long long>(0, left));
}

Clock::time_point after_ms(int ms)
{
    return Clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

PaselDevice::PaselDevice(Link& link, PaselOptions options) : link_(link), options_(options) {}

bool PaselDevice::send(const Bytes& packet)
{
    return link_.write(frame_encode(packet));
}

std::optional<Bytes> PaselDevice::receive(int timeout_ms)
{
    const auto deadline = after_ms(timeout_ms);
    bool read_once = false;
    for (;;) {
        while (std::optional<FrameDecoder::Event> e = decoder_.next()) {
            switch (e->kind) {
            case RX_TEXT:
                text_.append(e->bytes.begin(), e->bytes.end());
                break;
            case RX_BAD_FRAME:
                ++bad_frames_;
                break;
            case RX_FRAME:
                return std::move(e->bytes);
            }
        }
        // A steady stream of text must not hold the caller past its deadline.
        if (read_once && Clock::now() >= deadline) {
            return std::nullopt;
        }
        const Bytes got = link_.read_some(READ_CHUNK, ms_left(deadline));
        if (got.empty()) {
            return std::nullopt;
        }
        read_once = true;
        decoder_.feed(got);
    }
}

std::optional<Packet> PaselDevice::wait_packet(int timeout_ms, PaselResult& r)
{
    const auto deadline = after_ms(timeout_ms);
    while (std::optional<Bytes> raw = receive(ms_left(deadline))) {
        if (std::optional<Packet> p = packet_parse(*raw)) {
            return p;
        }
        r.notes.push_back("malformed packet " + packet_describe(*raw));
    }
    return std::nullopt;
}

std::vector<Bytes> PaselDevice::idle(int timeout_ms)
{
    const auto deadline = after_ms(timeout_ms);
    std::vector<Bytes> others;
    while (std::optional<Bytes> raw = receive(ms_left(deadline))) {
        const std::optional<Packet> p = packet_parse(*raw);
        if (p && p->op == PKT_END) {
            (void)send(packet_ack(0));  // a lost write shows up as the host's next resend
        } else {
            others.push_back(std::move(*raw));
        }
    }
    return others;
}

std::string PaselDevice::take_text()
{
    std::string out;
    out.swap(text_);
    return out;
}

int PaselDevice::take_bad_frames()
{
    const int n = bad_frames_;
    bad_frames_ = 0;
    return n;
}

void PaselDevice::finish(PaselResult& r, size_t text_mark, int bad_mark)
{
    r.text = text_.substr(text_mark);
    text_.resize(text_mark);
    r.bad_frames = bad_frames_ - bad_mark;
    bad_frames_ = bad_mark;
}

PaselResult PaselDevice::get(const std::string& name, uint16_t block_size, uint16_t t1, uint16_t t2)
{
    const size_t text_mark = text_.size();
    const int bad_mark = bad_frames_;
    PaselResult r;
    run_get(name, block_size, t1, t2, r);
    finish(r, text_mark, bad_mark);
    return r;
}

PaselResult PaselDevice::put(const std::string& name, const Bytes& data, uint16_t block_size,
                             uint16_t t1, uint16_t t2)
{
    const size_t text_mark = text_.size();
    const int bad_mark = bad_frames_;
    PaselResult r;
    run_put(name, data, block_size, t1, t2, r);
    finish(r, text_mark, bad_mark);
    return r;
}

// Sends the request until an ACCEPT comes, up to `tries` times.
std::optional<Packet> PaselDevice::request(const Bytes& req, bool put, PaselResult& r)
{
    for (int attempt = 0; attempt < options_.tries; ++attempt) {
        if (attempt > 0) {
            ++r.resends;
        }
        (void)send(req);  // a lost write shows up as a missing ACCEPT
        const auto deadline = after_ms(options_.reply_timeout_ms);
        while (std::optional<Packet> p = wait_packet(ms_left(deadline), r)) {
            if (p->op == PKT_ACCEPT) {
                const std::optional<Packet> asked = packet_parse(req);
                if (p->block_size > asked->block_size || p->t1 != asked->t1 || p->t2 != asked->t2) {
                    r.notes.push_back(packet_describe(*p) + " for " + packet_describe(*asked));
                }
                return p;
            }
            if (p->op == PKT_ERROR) {
                r.error = p->code;
                r.failure = "the host refused the request with ERROR " + std::to_string(p->code);
                // A put the host cannot create a file for leaves it idle, not waiting.
                if (!(put && p->code == ERR_FILE)) {
                    (void)send(packet_ack(0));
                }
                return std::nullopt;
            }
            r.notes.push_back("waiting for ACCEPT: " + packet_describe(*p));
        }
    }
    r.timed_out = true;
    r.failure = "no ACCEPT for the request";
    return std::nullopt;
}

void PaselDevice::run_get(const std::string& name, uint16_t block_size, uint16_t t1, uint16_t t2,
                          PaselResult& r)
{
    const std::optional<Packet> accept =
        request(packet_request(PKT_GET_REQUEST, block_size, t1, t2, name), false, r);
    if (!accept) {
        return;
    }
    r.block_size = accept->block_size;
    (void)send(packet_ack(0));
    uint8_t expected = 1;  // number of the next new block
    bool any_data = false;
    for (;;) {
        const std::optional<Packet> p = wait_packet(options_.data_timeout_ms, r);
        if (!p) {
            r.timed_out = true;
            r.failure = "the host went quiet waiting for DATA " + std::to_string(expected);
            return;
        }
        switch (p->op) {
        case PKT_DATA:
            if (p->block == expected) {
                if (p->data.size() > r.block_size) {
                    r.notes.push_back("DATA " + std::to_string(p->block) + " carries " +
                                      std::to_string(p->data.size()) +
                                      " bytes, more than the block size");
                }
                r.data.insert(r.data.end(), p->data.begin(), p->data.end());
                ++expected;
                any_data = true;
                (void)send(packet_ack(expected));
            } else if (any_data && p->block == uint8_t(expected - 1)) {
                ++r.duplicates;  // our ACK was lost or late: acknowledge again, keep once
                (void)send(packet_ack(expected));
            } else {
                r.notes.push_back("DATA " + std::to_string(p->block) + " while expecting " +
                                  std::to_string(expected));
            }
            break;
        case PKT_ACCEPT:
            if (any_data) {
                r.notes.emplace_back("ACCEPT after data");
            } else {
                ++r.duplicates;  // our ACK 0 was lost
                (void)send(packet_ack(0));
            }
            break;
        case PKT_END:
            (void)send(packet_ack(0));
            r.ok = true;
            return;
        case PKT_ERROR:
            r.error = p->code;
            r.failure = "the host ended the transfer with ERROR " + std::to_string(p->code);
            // A read that fails after the first block leaves the host idle, not waiting.
            if (!(any_data && p->code == ERR_FILE)) {
                (void)send(packet_ack(0));
            }
            return;
        default:
            r.notes.push_back("unexpected " + packet_describe(*p));
            break;
        }
    }
}

// Sends packet until ACK `ack` comes, up to `tries` times. first_block: a repeated ACCEPT means
// our ACK 0 was lost, so it is sent again. end: the packet is END, after which an ERROR comes
// from an idle host and is not answered.
bool PaselDevice::exchange(const Bytes& packet, uint8_t ack, bool first_block, bool end,
                           PaselResult& r)
{
    for (int attempt = 0; attempt < options_.tries; ++attempt) {
        if (attempt > 0) {
            ++r.resends;
        }
        (void)send(packet);  // a lost write shows up as a missing ACK
        const auto deadline = after_ms(options_.reply_timeout_ms);
        bool resend_now = false;
        while (!resend_now) {
            const std::optional<Packet> p = wait_packet(ms_left(deadline), r);
            if (!p) {
                break;
            }
            if (p->op == PKT_ACK && p->block == ack) {
                return true;
            }
            if (p->op == PKT_ACCEPT && first_block) {
                ++r.duplicates;
                (void)send(packet_ack(0));
                resend_now = true;
            } else if (p->op == PKT_ERROR) {
                r.error = p->code;
                r.failure = "the host answered " + packet_describe(packet) + " with ERROR " +
                            std::to_string(p->code);
                if (!end) {
                    (void)send(packet_ack(0));
                }
                return false;
            } else {
                r.notes.push_back("waiting for ACK " + std::to_string(ack) + ": " +
                                  packet_describe(*p));
            }
        }
    }
    r.timed_out = true;
    r.failure = "no ACK " + std::to_string(ack) + " for " + packet_describe(packet);
    return false;
}

void PaselDevice::run_put(const std::string& name, const Bytes& data, uint16_t block_size,
                          uint16_t t1, uint16_t t2, PaselResult& r)
{
    const std::optional<Packet> accept =
        request(packet_request(PKT_PUT_REQUEST, block_size, t1, t2, name), true, r);
    if (!accept) {
        return;
    }
    r.block_size = accept->block_size;
    const size_t piece = std::min(accept->block_size, block_size);
    if (piece == 0 && !data.empty()) {
        r.failure = "the host accepted block size 0";
        return;
    }
    (void)send(packet_ack(0));
    uint8_t block = 1;
    for (size_t at = 0; at < data.size(); at += piece, ++block) {
        const size_t n = std::min(piece, data.size() - at);
        const Bytes chunk(data.begin() + long(at), data.begin() + long(at + n));
        if (!exchange(packet_data(block, chunk), uint8_t(block + 1), at == 0, false, r)) {
            return;
        }
    }
    if (!exchange(packet_end(), 0, data.empty(), true, r)) {
        return;
    }
    r.ok = true;
}

}  // namespace devsim
