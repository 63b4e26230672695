// Fuzz target: KIVET bytes from the device through the stream interpreter and the file-service
// collectors, byte by byte and a chunk at a time, which must agree. Opens are refused, so no
// input reaches the disk; every command still replies.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/startup.h"
#include "fileservice/filecmd.h"
#include "fileservice/interpreter.h"
#include "output/logfile.h"
#include "output/progress.h"
#include "output/text.h"
#include "output/view.h"
#include "platform/fake/fake.h"
#include "port/mode.h"

// One pass over the input in chunks of chunk bytes, as the read pump hands them over: the
// console text and the replies it produced.
static std::string interpret(const uint8_t* data, size_t size, size_t chunk, bool at_once)
{
    plat::fake_reset();
    plat::fake_files_refuse(true);
    link_lock.take();
    mode_flag = MODE_KIVET;
    timestamp_option = size > 0 ? data[0] & 1 : 0;
    modules_init();
    for (size_t i = 0; i < size; i += chunk) {
        const size_t n = size - i < chunk ? size - i : chunk;
        text_empty();
        if (at_once) {
            interp_chunk(data + i, static_cast<uint32_t>(n));
        } else {
            for (size_t j = i; j < i + n; ++j) {
                interp_byte(data[j]);
            }
        }
        text_flush();
    }
    assert(open_file_count == 0);
    std::string out = plat::fake_console_output();
    for (const std::string& w : plat::fake_port_writes()) {
        out += "|" + w;
    }
    link_lock.give();
    return out;
}

// Byte by byte and a chunk at a time must do the same.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t chunk = size > 1 ? 1 + data[1] % 97 : 1;
    const std::string bytewise = interpret(data, size, chunk, false);
    assert(interpret(data, size, chunk, true) == bytewise);
    (void)bytewise;
    return 0;
}
