// platform/net.h: the network port's side of the serial procedures (net_link.cpp, on each
// backend's sockets); each backend's serial.cpp hands a network port's calls here. Each does
// what its serial_ namesake does.
#pragma once

#include <cstdint>

namespace plat
{

int net_open(const char* name);
int net_set_state(int32_t baud, bool raise_lines);
// DTR and RTS up or down, after a write in flight that gives the socket up within lock_ms.
void net_set_lines(bool up, uint32_t lock_ms);
int net_wait();
int net_queued();
int net_read(uint8_t* buf, uint32_t n);
int net_write(const uint8_t* buf, uint32_t n);
int net_write_some(const uint8_t* buf, uint32_t n, uint32_t wait_ms);
void net_close(uint32_t lock_ms);
// The pause before a lost server is tried again: ms, or less once the program ends.
void net_name_wait(uint32_t ms);
void net_cancel();

}  // namespace plat
