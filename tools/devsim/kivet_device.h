// tools/devsim/kivet_device.h: the device's client of the host file service (KIVET mode).
// Owns the encoders of the in-band file commands, the parsers of the host's replies and a small
// synchronous client over a Link. Used by the device emulator and the end-to-end tests.
//
// On the line, device to host: 0x02, a command code, the command's argument bytes, mixed into
// the device's text. Host to device: the command's reply bytes, then a two-byte status (0 for
// success). All numbers are 16-bit, low byte first. The host sends nothing else in reply, but
// its channel also carries what the user types and what the host sends unattended; the client
// reads whatever comes as reply bytes, so a test keeps those quiet while a command runs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/devsim/link.h"

namespace devsim
{

constexpr uint8_t KIVET_COMMAND = 0x02;        // introduces every command in the device's text
constexpr uint16_t KIVET_BAD_HANDLE = 0xFFFF;  // handle of a failed open
constexpr uint16_t KIVET_READ_MAX = 256;       // most bytes one read returns
constexpr uint16_t KIVET_WRITE_MAX = 250;      // most bytes one write carries
constexpr size_t KIVET_NAME_MAX = 255;         // longest name of an open

enum KivetCode : uint8_t {
    KV_OPEN = 0x00,
    KV_CLOSE = 0x01,
    KV_READ = 0x03,
    KV_WRITE = 0x04,
    KV_CMD5 = 0x05
};

// Open modes: 1 reads an existing file, 2 creates a new one (fails if it exists), 3 updates an
// existing one from its start without truncating it.
enum KivetMode : uint8_t { KV_MODE_READ = 1, KV_MODE_CREATE = 2, KV_MODE_UPDATE = 3 };

// Command encoders: the whole command, 0x02 and the code included. The host takes one name or
// data byte even for a length of 0, so open with an empty name and write with no data add one
// filler byte 0x00 to stay in step. name is at most 255 bytes (asserted).
Bytes kivet_open(uint8_t mode, const std::string& name);
Bytes kivet_close(uint16_t handle);
Bytes kivet_read(uint16_t handle, uint16_t count);
Bytes kivet_write(uint16_t handle, const Bytes& data);
Bytes kivet_cmd5(const std::array<uint8_t, 5>& args);

// A host's answer. answered is false when the reply did not come in time (the exchange is then
// out of step); handle is set by open, data by read (and by fetch_file: the whole file).
struct KivetReply {
    bool answered = false;
    uint16_t handle = 0;
    uint16_t status = 0;
    Bytes data;
    bool ok() const
    {
        return answered && status == 0;
    }
};

// Reply parsers over a complete reply; nothing when the bytes are not exactly one reply.
// Open: handle, status (4 bytes). Read: count R, R data bytes, status. Others: status only.
std::optional<KivetReply> kivet_parse_open(const Bytes& reply);
std::optional<KivetReply> kivet_parse_read(const Bytes& reply);
std::optional<KivetReply> kivet_parse_status(const Bytes& reply);

// Runs commands one at a time: writes a command, then reads its reply with a deadline of
// reply_timeout_ms per read of the link. Not thread-safe; one client per link.
class KivetClient
{
  public:
    explicit KivetClient(Link& link, int reply_timeout_ms = 5000);

    KivetReply open(uint8_t mode, const std::string& name);
    KivetReply close(uint16_t handle);
    KivetReply read(uint16_t handle, uint16_t count);
    KivetReply write(uint16_t handle, const Bytes& data);
    KivetReply cmd5(const std::array<uint8_t, 5>& args);

    // Opens name for reading, reads 256 bytes at a time until a read returns none, closes it.
    // data is the file; status is the first failure's status (0 if none); a failed read still
    // closes the file.
    KivetReply fetch_file(const std::string& name);
    // Opens name with mode (2 or 3), writes data in pieces of at most 250 bytes, closes it.
    // status is the first failure's status; a failed write still closes the file.
    KivetReply store_file(const std::string& name, const Bytes& data,
                          uint8_t mode = KV_MODE_CREATE);

  private:
    KivetReply exchange_status(const Bytes& command);

    Link& link_;
    int timeout_ms_;
};

}  // namespace devsim
