// tools/devsim/transfers.h: the emulated device's file operations, shared by its shell and its
// script: move a whole file from or to the host in the protocol the device speaks (the host
// file service in KIVET mode, packet transfers in PASEL mode), keep files in the device's own
// directory, and put results into words. Built on KivetClient and PaselDevice; no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/devsim/kivet_device.h"
#include "tools/devsim/link.h"

namespace devsim
{

// The protocol the device speaks; the host has its own mode, switched with F4.
enum DeviceMode : uint8_t { DEV_KIVET = 1, DEV_PASEL = 2 };

const char* mode_name(DeviceMode mode);  // "kivet", "pasel"
std::optional<DeviceMode> mode_parse(const std::string& word);

// How a transfer is asked for.
struct TransferSetup {
    DeviceMode mode = DEV_KIVET;
    uint16_t block_size = 128;  // PASEL: asked for in the request; the host caps it at 128
    uint16_t t1_ms = 1000;      // PASEL: the host's resend times, echoed in its ACCEPT
    uint16_t t2_ms = 1000;
    uint8_t open_mode = KV_MODE_CREATE;  // KIVET write: 2 creates (fails if the file exists),
                                         // 3 overwrites an existing file from its start
    int reply_timeout_ms = 3000;         // KIVET: wait for each reply
    int pasel_reply_ms = 0;  // PASEL: wait for each answer before sending again; 0: the default
};

struct TransferResult {
    bool ok = false;
    bool answered = true;  // false when the host did not answer at all
    uint16_t status = 0;   // KIVET: the host's status word (0: success)
    uint8_t error = 0;     // PASEL: code of the host's ERROR (0: none)
    Bytes data;            // read: the file
    int resends = 0;       // PASEL: packets sent again after a time-out
    int duplicates = 0;    // PASEL: repeated host packets answered again
    int bad_frames = 0;    // PASEL: frames that failed their checksum
    double seconds = 0;    // how long it took
    std::string failure;   // in words, when ok is false
};

// Reads the PC file name whole. KIVET: open (mode 1), reads of 256 bytes, close. PASEL: a get
// request; the host sends the file block by block.
TransferResult transfer_read(Link& link, const TransferSetup& setup, const std::string& name);
// Writes data to the PC file name. KIVET: open (setup.open_mode), writes of 250 bytes, close.
// PASEL: a put request; the host creates or truncates the file.
TransferResult transfer_write(Link& link, const TransferSetup& setup, const std::string& name,
                              const Bytes& data);

// A host status word or error code in words: "file not found (2)", "ERROR 5 (file error)".
std::string kivet_status_text(uint16_t status);
std::string pasel_error_text(uint8_t code);
// One line about a finished transfer: "1234 bytes in 0.4 s" and, when there were any, the
// resends, repeats and bad frames; or the failure.
std::string transfer_summary(const TransferResult& r);

// The device's own directory holds plain names only: no '/', not empty, "." or "..".
bool device_name_ok(const std::string& name);
// The last part of a PC path ("sub/a.txt" and "sub\a.txt" give "a.txt").
std::string base_name(const std::string& path);
// Files of the device directory, with their sizes, sorted by name.
std::vector<std::pair<std::string, uintmax_t>> device_list(const std::string& dir);
// Reads or writes a whole file of the device directory; error says why on failure.
std::optional<Bytes> device_load(const std::string& dir, const std::string& name,
                                 std::string& error);
bool device_save(const std::string& dir, const std::string& name, const Bytes& data,
                 std::string& error);

}  // namespace devsim
