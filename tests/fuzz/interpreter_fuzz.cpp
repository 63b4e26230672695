// Fuzz target: KIVET bytes from the device through the stream interpreter and the file-service
// collectors. Opens are refused, so no input reaches the disk; every command still replies.
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "app/startup.h"
#include "fileservice/filecmd.h"
#include "fileservice/interpreter.h"
#include "fileservice/progress.h"
#include "output/logfile.h"
#include "output/text.h"
#include "platform/fake/fake.h"
#include "port/mode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    plat::fake_reset();
    plat::fake_files_refuse(true);
    link_lock.take();
    mode_flag = MODE_KIVET;
    timestamp_option = size > 0 ? data[0] & 1 : 0;
    modules_init();
    for (size_t i = 0; i < size; ++i) {
        interp_byte(data[i]);
        assert(text_length() < TEXT_BUF_SIZE);
    }
    text_flush();
    assert(open_file_count == 0);
    link_lock.give();
    return 0;
}
