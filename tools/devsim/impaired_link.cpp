// tools/devsim/impaired_link.cpp: the spoiling Link wrapper: frame splitter, seeded random
// decisions, held-back units. Writers hold out_mutex_, readers in_mutex_; counters are atomic.
#include "tools/devsim/impaired_link.h"

#include <algorithm>
#include <thread>

#include "tools/devsim/pasel_codec.h"

namespace devsim
{

namespace
{

constexpr size_t READ_CHUNK = 4096;

}  // namespace

ImpairedLink::Side::Side(const Impairment& impairment, uint32_t seed)
    : impairment_(impairment), rng_(seed)
{
}

double ImpairedLink::Side::draw()
{
    // mt19937's output is fixed by the standard; the library's distributions are not.
    return double(rng_()) / 4294967296.0;
}

void ImpairedLink::Side::set(const Impairment& impairment, uint32_t seed)
{
    impairment_ = impairment;
    rng_.seed(seed);
}

bool ImpairedLink::Side::sound() const
{
    return impairment_.drop == 0 && impairment_.corrupt == 0 && impairment_.duplicate == 0 &&
           impairment_.delay == 0;
}

std::vector<Bytes> ImpairedLink::Side::cut(const Bytes& bytes)
{
    std::vector<Bytes> units;
    if (!impairment_.whole_frames || sound()) {
        if (inside_) {  // a frame begun under another setting goes on as one unit
            units.push_back(std::move(unit_));
            unit_.clear();
            inside_ = false;
        }
        if (sound()) {
            // Nothing to spoil, so nothing is held: a 0xC0 in a KIVET reply or file is no
            // frame to wait for the end of.
            units.push_back(bytes);
            return units;
        }
        for (const uint8_t b : bytes) {
            units.push_back({b});
        }
        return units;
    }
    Bytes text;  // text passes as one unit per run
    for (const uint8_t b : bytes) {
        if (!inside_) {
            if (b == FRAME_END) {
                if (!text.empty()) {
                    units.push_back(std::move(text));
                    text.clear();
                }
                inside_ = true;
                esc_ = false;
                unit_ = {b};
            } else {
                text.push_back(b);
            }
            continue;
        }
        if (esc_) {
            esc_ = false;
            unit_.push_back(b);
        } else if (b == FRAME_END && unit_.size() == 1) {
            units.push_back(std::move(unit_));  // END END: the second END opens the frame
            unit_ = {b};
        } else if (b == FRAME_END) {
            unit_.push_back(b);
            units.push_back(std::move(unit_));
            unit_.clear();
            inside_ = false;
        } else {
            esc_ = b == FRAME_ESC;
            unit_.push_back(b);
        }
    }
    if (!text.empty()) {
        units.push_back(std::move(text));
    }
    return units;
}

// Changes one decoded byte of the frame to another value, escaping it as needed: the framing
// stays and the sum no longer comes to 0.
void ImpairedLink::Side::corrupt_frame(Bytes& frame)
{
    std::vector<std::pair<size_t, size_t>> bytes;  // start and length of each encoded byte
    for (size_t i = 1; i + 1 < frame.size(); ++i) {
        const size_t len = frame[i] == FRAME_ESC && i + 2 < frame.size() ? 2 : 1;
        bytes.emplace_back(i, len);
        i += len - 1;
    }
    if (bytes.empty()) {
        return;
    }
    const auto [at, len] = bytes[rng_() % bytes.size()];
    const uint8_t old =
        len == 2 ? (frame[at + 1] == FRAME_ESC_END ? FRAME_END : FRAME_ESC) : frame[at];
    const uint8_t now = uint8_t(old ^ (1 + rng_() % 255));
    Bytes encoded{now};
    if (now == FRAME_END || now == FRAME_ESC) {
        encoded = {FRAME_ESC, now == FRAME_END ? FRAME_ESC_END : FRAME_ESC_ESC};
    }
    frame.erase(frame.begin() + long(at), frame.begin() + long(at + len));
    frame.insert(frame.begin() + long(at), encoded.begin(), encoded.end());
}

std::vector<Bytes> ImpairedLink::Side::spoil(Bytes unit, bool& delayed)
{
    delayed = false;
    if (sound()) {
        return {std::move(unit)};
    }
    const bool is_frame = unit.size() >= 2 && unit.front() == FRAME_END && unit.back() == FRAME_END;
    if (impairment_.whole_frames && !is_frame) {
        return {std::move(unit)};  // text and a lone END pass untouched
    }
    ++units_;
    // Four draws for every unit, whatever happens, so one outcome never shifts the next ones.
    const bool drop = draw() < impairment_.drop;
    const bool corrupt = draw() < impairment_.corrupt;
    const bool duplicate = draw() < impairment_.duplicate;
    delayed = draw() < impairment_.delay;
    if (drop) {
        ++dropped_;
        delayed = false;
        return {};
    }
    if (corrupt) {
        ++corrupted_;
        if (impairment_.whole_frames) {
            corrupt_frame(unit);
        } else {
            unit[0] = uint8_t(unit[0] ^ (1 + rng_() % 255));
        }
    }
    if (delayed) {
        ++delayed_;
    }
    if (duplicate) {
        ++duplicated_;
        return {unit, unit};
    }
    return {std::move(unit)};
}

ImpairedLink::Counts ImpairedLink::Side::counts() const
{
    return {units_.load(), dropped_.load(), corrupted_.load(), duplicated_.load(), delayed_.load()};
}

ImpairedLink::ImpairedLink(Link& inner, Impairment outgoing, Impairment incoming, uint32_t seed)
    : inner_(inner), out_(outgoing, seed), in_(incoming, seed + 1)
{
}

bool ImpairedLink::write(const Bytes& bytes)
{
    std::lock_guard<std::mutex> hold(out_mutex_);
    bool ok = true;
    for (Bytes& unit : out_.cut(bytes)) {
        bool delayed = false;
        const std::vector<Bytes> copies = out_.spoil(std::move(unit), delayed);
        if (delayed) {
            std::this_thread::sleep_for(std::chrono::milliseconds(out_.delay_ms()));
        }
        for (const Bytes& copy : copies) {
            ok = inner_.write(copy) && ok;
        }
    }
    return ok;
}

Bytes ImpairedLink::read_some(size_t max, int timeout_ms)
{
    std::lock_guard<std::mutex> hold(in_mutex_);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool read_once = false;
    for (;;) {
        const auto now = Clock::now();
        if (!ready_.empty() && ready_.front().first <= now) {
            Bytes out;
            while (!ready_.empty() && ready_.front().first <= now && out.size() < max) {
                Bytes& unit = ready_.front().second;
                const size_t n = std::min(max - out.size(), unit.size());
                out.insert(out.end(), unit.begin(), unit.begin() + long(n));
                unit.erase(unit.begin(), unit.begin() + long(n));
                if (unit.empty()) {
                    ready_.pop_front();
                }
            }
            return out;
        }
        if (read_once && now >= deadline) {
            return {};
        }
        const auto until = ready_.empty() ? deadline : std::min(deadline, ready_.front().first);
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
        const Bytes got = inner_.read_some(READ_CHUNK, int(std::max<long long>(0, wait)));
        read_once = true;
        if (got.empty()) {
            if (until == deadline) {
                return {};  // timed out, or the inner link is closed
            }
            std::this_thread::sleep_until(until);  // a closed inner link returns at once
            continue;
        }
        const auto arrived = Clock::now();
        for (Bytes& unit : in_.cut(got)) {
            bool delayed = false;
            for (Bytes& copy : in_.spoil(std::move(unit), delayed)) {
                auto release =
                    delayed ? arrived + std::chrono::milliseconds(in_.delay_ms()) : arrived;
                if (!ready_.empty()) {
                    release = std::max(release, ready_.back().first);  // never overtake
                }
                ready_.emplace_back(release, std::move(copy));
            }
        }
    }
}

void ImpairedLink::set(Impairment outgoing, Impairment incoming, uint32_t seed)
{
    std::scoped_lock hold(out_mutex_, in_mutex_);
    out_.set(outgoing, seed);
    in_.set(incoming, seed + 1);
}

ImpairedLink::Counts ImpairedLink::outgoing_counts() const
{
    return out_.counts();
}

ImpairedLink::Counts ImpairedLink::incoming_counts() const
{
    return in_.counts();
}

}  // namespace devsim
