// tools/devsim/transfers.cpp: whole-file reads and writes over the host file service or the
// packet link, the device directory, and the words for host status words and error codes.
// Used by the emulator's shell and script; no shared state.
#include "tools/devsim/transfers.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "tools/devsim/pasel_device.h"

namespace devsim
{

namespace
{

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TransferResult from_kivet(const KivetReply& reply)
{
    TransferResult r;
    r.ok = reply.ok();
    r.answered = reply.answered;
    r.status = reply.status;
    r.data = reply.data;
    if (!reply.answered) {
        r.failure = "no answer from the host (is it in KIVET mode? F4 switches)";
    } else if (reply.status != 0) {
        r.failure = "the host says " + kivet_status_text(reply.status);
    }
    return r;
}

TransferResult from_pasel(const PaselResult& result)
{
    TransferResult r;
    r.ok = result.ok;
    r.answered = !(result.timed_out && result.error == 0 && result.block_size == 0);
    r.error = result.error;
    r.data = result.data;
    r.resends = result.resends;
    r.duplicates = result.duplicates;
    r.bad_frames = result.bad_frames;
    if (!r.answered) {
        r.failure = "no answer from the host (is it in PASEL mode? F4 switches)";
    } else if (result.error != 0) {
        r.failure = "the host sent " + pasel_error_text(result.error);
    } else if (!result.ok) {
        r.failure = result.failure;
    }
    return r;
}

PaselOptions pasel_options(const TransferSetup& setup)
{
    PaselOptions options;
    if (setup.pasel_reply_ms > 0) {
        options.reply_timeout_ms = setup.pasel_reply_ms;
    }
    return options;
}

}  // namespace

const char* mode_name(DeviceMode mode)
{
    switch (mode) {
    case DEV_KIVET:
        return "kivet";
    case DEV_PASEL:
        return "pasel";
    }
    return "?";
}

std::optional<DeviceMode> mode_parse(const std::string& word)
{
    std::string w = word;
    std::transform(w.begin(), w.end(), w.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (w == "kivet") {
        return DEV_KIVET;
    }
    if (w == "pasel") {
        return DEV_PASEL;
    }
    return std::nullopt;
}

TransferResult transfer_read(Link& link, const TransferSetup& setup, const std::string& name)
{
    const auto start = Clock::now();
    TransferResult r;
    if (setup.mode == DEV_KIVET) {
        KivetClient client(link, setup.reply_timeout_ms);
        r = from_kivet(client.fetch_file(name));
    } else {
        PaselDevice device(link, pasel_options(setup));
        r = from_pasel(device.get(name, setup.block_size, setup.t1_ms, setup.t2_ms));
    }
    r.seconds = seconds_since(start);
    return r;
}

TransferResult transfer_write(Link& link, const TransferSetup& setup, const std::string& name,
                              const Bytes& data)
{
    const auto start = Clock::now();
    TransferResult r;
    if (setup.mode == DEV_KIVET) {
        KivetClient client(link, setup.reply_timeout_ms);
        r = from_kivet(client.store_file(name, data, setup.open_mode));
    } else {
        PaselDevice device(link, pasel_options(setup));
        r = from_pasel(device.put(name, data, setup.block_size, setup.t1_ms, setup.t2_ms));
    }
    r.seconds = seconds_since(start);
    return r;
}

std::string kivet_status_text(uint16_t status)
{
    // The host reports failures with these status words, whatever system it runs on.
    struct Known {
        uint16_t status;
        const char* words;
    };
    static const Known KNOWN[] = {
        {0, "success"},          {2, "file not found"},
        {3, "path not found"},   {4, "too many open files"},
        {5, "access denied"},    {6, "invalid handle"},
        {31, "general failure"}, {32, "sharing violation"},
        {80, "file exists"},     {87, "invalid parameter"},
        {112, "disk full"},      {206, "name too long"},
    };
    const char* words = "status";
    for (const Known& k : KNOWN) {
        if (k.status == status) {
            words = k.words;
        }
    }
    return std::string(words) + " (" + std::to_string(status) + ")";
}

std::string pasel_error_text(uint8_t code)
{
    const char* words = "unknown error";
    switch (code) {
    case ERR_TIMEOUT:
        words = "time-out";
        break;
    case ERR_DATA_TIMEOUT:
        words = "data time-out";
        break;
    case ERR_PROTOCOL:
        words = "protocol error";
        break;
    case ERR_FILE:
        words = "file error";
        break;
    default:
        break;
    }
    return "ERROR " + std::to_string(code) + " (" + words + ")";
}

std::string transfer_summary(const TransferResult& r)
{
    if (!r.ok) {
        return "failed: " + r.failure;
    }
    char line[160];
    std::snprintf(line, sizeof line, "%zu bytes in %.1f s", r.data.size(), r.seconds);
    std::string out = line;
    if (r.resends + r.duplicates + r.bad_frames > 0) {
        out += " (" + std::to_string(r.resends) + " resends, " + std::to_string(r.duplicates) +
               " repeats, " + std::to_string(r.bad_frames) + " bad frames)";
    }
    return out + ", ok";
}

bool device_name_ok(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

std::string base_name(const std::string& path)
{
    const size_t at = path.find_last_of("/\\");
    return at == std::string::npos ? path : path.substr(at + 1);
}

std::vector<std::pair<std::string, uintmax_t>> device_list(const std::string& dir)
{
    std::vector<std::pair<std::string, uintmax_t>> files;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
        if (e.is_regular_file(ec)) {
            files.emplace_back(e.path().filename().string(), e.file_size(ec));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::optional<Bytes> device_load(const std::string& dir, const std::string& name,
                                 std::string& error)
{
    if (!device_name_ok(name)) {
        error = "not a plain file name: " + name;
        return std::nullopt;
    }
    std::ifstream in(fs::path(dir) / name, std::ios::binary);
    if (!in) {
        error = "no file " + name + " in " + dir;
        return std::nullopt;
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool device_save(const std::string& dir, const std::string& name, const Bytes& data,
                 std::string& error)
{
    if (!device_name_ok(name)) {
        error = "not a plain file name: " + name;
        return false;
    }
    std::ofstream out(fs::path(dir) / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    out.close();
    if (!out) {
        error = "cannot write " + name + " in " + dir;
        return false;
    }
    return true;
}

}  // namespace devsim
