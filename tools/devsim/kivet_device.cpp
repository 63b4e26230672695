// tools/devsim/kivet_device.cpp: encoders, reply parsers and the synchronous client of the host
// file service. Used by the device emulator and the end-to-end tests; no shared state.
#include "tools/devsim/kivet_device.h"

#include <algorithm>
#include <cassert>

namespace devsim
{

namespace
{

constexpr uint8_t FILLER = 0x00;  // taken by the host for a zero name length or write count

void put_le16(Bytes& out, uint16_t v)
{
    out.push_back(uint8_t(v & 0xFF));
    out.push_back(uint8_t(v >> 8));
}

// The head bytes, then tail, copied into a vector sized up front: g++ 12 at -O2 takes
// vector::insert after an initializer list for an out-of-bounds copy (-Warray-bounds).
template <class Tail> Bytes join(std::initializer_list<uint8_t> head, const Tail& tail)
{
    Bytes out(head.size() + tail.size());
    std::copy(head.begin(), head.end(), out.begin());
    std::copy(tail.begin(), tail.end(), out.begin() + long(head.size()));
    return out;
}

uint16_t get_le16(const Bytes& in, size_t at)
{
    return uint16_t(in[at] | (in[at + 1] << 8));
}

}  // namespace

Bytes kivet_open(uint8_t mode, const std::string& name)
{
    assert(name.size() <= KIVET_NAME_MAX);
    Bytes out = join({KIVET_COMMAND, KV_OPEN, mode, uint8_t(name.size())}, name);
    if (name.empty()) {
        out.push_back(FILLER);
    }
    return out;
}

Bytes kivet_close(uint16_t handle)
{
    Bytes out{KIVET_COMMAND, KV_CLOSE};
    put_le16(out, handle);
    return out;
}

Bytes kivet_read(uint16_t handle, uint16_t count)
{
    Bytes out{KIVET_COMMAND, KV_READ};
    put_le16(out, handle);
    put_le16(out, count);
    return out;
}

Bytes kivet_write(uint16_t handle, const Bytes& data)
{
    assert(data.size() <= 0xFFFF);
    Bytes out = join({KIVET_COMMAND, KV_WRITE, uint8_t(handle & 0xFF), uint8_t(handle >> 8),
                      uint8_t(data.size() & 0xFF), uint8_t(data.size() >> 8)},
                     data);
    if (data.empty()) {
        out.push_back(FILLER);
    }
    return out;
}

Bytes kivet_cmd5(const std::array<uint8_t, 5>& args)
{
    return join({KIVET_COMMAND, KV_CMD5}, args);
}

std::optional<KivetReply> kivet_parse_open(const Bytes& reply)
{
    if (reply.size() != 4) {
        return std::nullopt;
    }
    KivetReply r;
    r.answered = true;
    r.handle = get_le16(reply, 0);
    r.status = get_le16(reply, 2);
    return r;
}

std::optional<KivetReply> kivet_parse_read(const Bytes& reply)
{
    if (reply.size() < 4 || reply.size() != size_t(get_le16(reply, 0)) + 4) {
        return std::nullopt;
    }
    KivetReply r;
    r.answered = true;
    r.data.assign(reply.begin() + 2, reply.end() - 2);
    r.status = get_le16(reply, reply.size() - 2);
    return r;
}

std::optional<KivetReply> kivet_parse_status(const Bytes& reply)
{
    if (reply.size() != 2) {
        return std::nullopt;
    }
    KivetReply r;
    r.answered = true;
    r.status = get_le16(reply, 0);
    return r;
}

KivetClient::KivetClient(Link& link, int reply_timeout_ms)
    : link_(link), timeout_ms_(reply_timeout_ms)
{
}

KivetReply KivetClient::exchange_status(const Bytes& command)
{
    if (!link_.write(command)) {
        return {};
    }
    return kivet_parse_status(link_.read_exactly(2, timeout_ms_)).value_or(KivetReply{});
}

KivetReply KivetClient::open(uint8_t mode, const std::string& name)
{
    if (!link_.write(kivet_open(mode, name))) {
        return {};
    }
    return kivet_parse_open(link_.read_exactly(4, timeout_ms_)).value_or(KivetReply{});
}

KivetReply KivetClient::close(uint16_t handle)
{
    return exchange_status(kivet_close(handle));
}

KivetReply KivetClient::read(uint16_t handle, uint16_t count)
{
    if (!link_.write(kivet_read(handle, count))) {
        return {};
    }
    Bytes reply = link_.read_exactly(2, timeout_ms_);
    if (reply.size() != 2) {
        return {};
    }
    const Bytes rest = link_.read_exactly(size_t(get_le16(reply, 0)) + 2, timeout_ms_);
    reply.insert(reply.end(), rest.begin(), rest.end());
    return kivet_parse_read(reply).value_or(KivetReply{});
}

KivetReply KivetClient::write(uint16_t handle, const Bytes& data)
{
    return exchange_status(kivet_write(handle, data));
}

KivetReply KivetClient::cmd5(const std::array<uint8_t, 5>& args)
{
    return exchange_status(kivet_cmd5(args));
}

KivetReply KivetClient::fetch_file(const std::string& name)
{
    KivetReply result = open(KV_MODE_READ, name);
    if (!result.ok()) {
        return result;
    }
    for (;;) {
        const KivetReply r = read(result.handle, KIVET_READ_MAX);
        if (!r.answered) {
            result.answered = false;  // out of step: closing would only add to the confusion
            return result;
        }
        result.data.insert(result.data.end(), r.data.begin(), r.data.end());
        if (r.status != 0) {
            result.status = r.status;
            break;
        }
        if (r.data.empty()) {
            break;  // end of file
        }
    }
    const KivetReply c = close(result.handle);
    result.answered = c.answered;
    if (result.status == 0) {
        result.status = c.status;
    }
    return result;
}

KivetReply KivetClient::store_file(const std::string& name, const Bytes& data, uint8_t mode)
{
    KivetReply result = open(mode, name);
    if (!result.ok()) {
        return result;
    }
    for (size_t at = 0; at < data.size(); at += KIVET_WRITE_MAX) {
        const size_t n = std::min<size_t>(KIVET_WRITE_MAX, data.size() - at);
        const KivetReply r =
            write(result.handle, Bytes(data.begin() + long(at), data.begin() + long(at + n)));
        if (!r.answered) {
            result.answered = false;
            return result;
        }
        if (r.status != 0) {
            result.status = r.status;
            break;
        }
    }
    const KivetReply c = close(result.handle);
    result.answered = c.answered;
    if (result.status == 0) {
        result.status = c.status;
    }
    return result;
}

}  // namespace devsim
