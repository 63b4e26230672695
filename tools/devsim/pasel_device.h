// tools/devsim/pasel_device.h: the device's side of a packet-link transfer (PASEL mode).
// Owns the protocol engine: get (the host sends a file) and put (the host takes one), over a
// Link, with the device's own deadlines and resends; text between frames is collected. Used by
// the device emulator and the end-to-end tests.
//
// get: GET_REQUEST -> ACCEPT, ACK 0; then DATA 1, 2, ... each answered with ACK block+1 (block
// numbers wrap after 255 to 0); END answered with ACK 0. The host resends on its own time-outs,
// so a repeated block is acknowledged again but kept once, and a repeated ACCEPT gets ACK 0 again.
// put: PUT_REQUEST -> ACCEPT, ACK 0; then DATA blocks of at most the accepted block size, each
// resent until ACK block+1 comes; then END until ACK 0 comes.
// An ERROR from the host ends the operation with its code. It is answered with ACK 0 when the
// host waits for one; not after a refused put request, after a failed read past the first
// block of a get, or in answer to END: the host is idle then and would answer the ACK with
// ERROR 4.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/devsim/link.h"
#include "tools/devsim/pasel_codec.h"

namespace devsim
{

struct PaselOptions {
    int reply_timeout_ms = 2000;  // wait for the answer to a request, data block or END
    int tries = 4;                // sends of one request, data block or END before giving up
    int data_timeout_ms = 10000;  // get: wait for the host's next packet (the host resends)
};

struct PaselResult {
    bool ok = false;
    uint8_t error = 0;        // code of the host's ERROR that ended the operation, 0 if none
    bool timed_out = false;   // gave up waiting for the host
    uint16_t block_size = 0;  // as the host's ACCEPT said
    Bytes data;               // get: the file received
    std::string text;         // bytes seen between frames during the operation
    int bad_frames = 0;       // frames that failed their checksum or framing
    int duplicates = 0;       // repeated host packets answered again (DATA, ACCEPT)
    int resends = 0;          // packets this side sent again after a time-out
    // Oddities, in order: packets out of place, an ACCEPT that raises the block size or changes
    // T1 or T2, a DATA block larger than the block size.
    std::vector<std::string> notes;
    std::string failure;  // why ok is false, for test messages
};

// One device on one link. Not thread-safe: drive it from one thread (a test thread or the
// emulator loop); every wait is bounded by a deadline.
class PaselDevice
{
  public:
    explicit PaselDevice(Link& link, PaselOptions options = {});

    PaselResult get(const std::string& name, uint16_t block_size, uint16_t t1, uint16_t t2);
    PaselResult put(const std::string& name, const Bytes& data, uint16_t block_size, uint16_t t1,
                    uint16_t t2);

    // Lower level, for scripted exchanges. send frames one packet and writes it.
    bool send(const Bytes& packet);
    // Packet bytes of the next sound frame within timeout_ms; text and bad frames met on the
    // way are kept for take_text() and take_bad_frames().
    std::optional<Bytes> receive(int timeout_ms);
    // Between operations: listens for timeout_ms, answers a stray END with ACK 0 (the host
    // resends an END whose ACK was lost) and returns the other packets that came.
    std::vector<Bytes> idle(int timeout_ms);
    // Text seen outside operations (and bad frames counted there) since the last take.
    std::string take_text();
    int take_bad_frames();

  private:
    std::optional<Packet> wait_packet(int timeout_ms, PaselResult& r);
    std::optional<Packet> request(const Bytes& req, bool put, PaselResult& r);
    bool exchange(const Bytes& packet, uint8_t ack, bool first_block, bool end, PaselResult& r);
    void run_get(const std::string& name, uint16_t block_size, uint16_t t1, uint16_t t2,
                 PaselResult& r);
    void run_put(const std::string& name, const Bytes& data, uint16_t block_size, uint16_t t1,
                 uint16_t t2, PaselResult& r);
    // Moves the text and bad frames seen since the marks into r.
    void finish(PaselResult& r, size_t text_mark, int bad_mark);

    Link& link_;
    PaselOptions options_;
    FrameDecoder decoder_;
    std::string text_;    // text between frames not yet taken
    int bad_frames_ = 0;  // bad frames not yet taken
};

}  // namespace devsim
