// Fuzz target: PASEL bytes from the device through the deframer and the transfer state machine,
// then the encoder. Opens of files are refused, so no input reaches the disk; asserts and the
// sanitizers find the faults.
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "app/startup.h"
#include "output/progress.h"
#include "packet/framing.h"
#include "packet/link.h"
#include "packet/pool.h"
#include "packet/timer.h"
#include "packet/transfer.h"
#include "platform/fake/fake.h"
#include "port/mode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    plat::fake_reset();
    plat::fake_files_refuse(true);
    link_lock.take();
    mode_flag = MODE_PASEL;
    modules_init();
    for (size_t i = 0; i < size; ++i) {
        (void)deframe_byte(data[i]);  // text between frames is the link's to keep
        if (data[i] == FRAME_END) {
            for (Packet* p = rx_queue_take(); p != nullptr; p = rx_queue_take()) {
                assert(p->length <= PACKET_DATA_SIZE);
                progress_show(transfer_phase());
                packet_dispatch(p);
            }
            timeout_flag = true;  // every frame also counts as a time-out
            timeout_action();
            while (encoder_step() != 0) {
            }
        }
    }
    while (encoder_step() != 0) {
    }
    transfer_close_file();
    // Every Packet is back but the current receive one.
    assert(pool_free_count() == POOL_SIZE - 1);
    link_lock.give();
    return 0;
}
