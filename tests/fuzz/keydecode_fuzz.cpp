// Fuzz target: terminal bytes through the key decoder, with a pause at every 0xFF.
#include <cassert>
#include <cstddef>
#include <cstdint>

#include "platform/keydecode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    plat::keydecode_init();
    plat::KeyEvent ev[plat::KEYDECODE_MAX_EVENTS];
    for (size_t i = 0; i < size; ++i) {
        int n = data[i] == 0xFF ? plat::keydecode_idle(ev) : plat::keydecode_byte(data[i], ev);
        assert(n >= 0 && n <= plat::KEYDECODE_MAX_EVENTS);
        for (int k = 0; k < n; ++k) {
            assert(ev[k].key_down == 1);
        }
    }
    return 0;
}
