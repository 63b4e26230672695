// tests/tools/pasel_device_test.cpp: the device's packet-link engine (tools/devsim/pasel_device)
// against a host played from a script, and against a small resending host over a spoiled link.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tools/devsim/impaired_link.h"
#include "tools/devsim/pasel_device.h"

using namespace devsim;

namespace
{

constexpr int WAIT_MS = 5000;  // bounds every wait of the host stubs

Bytes pattern(size_t n)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = uint8_t(i * 13 + 1);  // passes through 0xC0 and 0xDB
    }
    return out;
}

Bytes slice(const Bytes& b, size_t at, size_t n)
{
    return Bytes(b.begin() + long(at), b.begin() + long(std::min(b.size(), at + n)));
}

// A host played from a script on its own thread: each step sends bytes or expects one packet.
// What went otherwise is collected in errors, checked after join().
class ScriptHost
{
  public:
    explicit ScriptHost(Link& link) : link_(link) {}
    ~ScriptHost()
    {
        join();
    }

    ScriptHost& send(const Bytes& packet)
    {
        steps_.push_back({true, frame_encode(packet)});
        return *this;
    }
    ScriptHost& send_raw(const Bytes& bytes)
    {
        steps_.push_back({true, bytes});
        return *this;
    }
    ScriptHost& expect(const Bytes& packet)
    {
        steps_.push_back({false, packet});
        return *this;
    }
    void start()
    {
        thread_ = std::thread([this] { run(); });
    }
    std::vector<std::string> join()
    {
        if (thread_.joinable()) {
            thread_.join();
        }
        return errors_;
    }

  private:
    struct Step {
        bool send;
        Bytes bytes;
    };

    std::optional<Bytes> next_frame()
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
        for (;;) {
            while (auto e = decoder_.next()) {
                if (e->kind == RX_FRAME) {
                    return e->bytes;
                }
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return std::nullopt;
            }
            decoder_.feed(link_.read_some(4096, 50));
        }
    }

    void run()
    {
        for (size_t i = 0; i < steps_.size(); ++i) {
            const Step& s = steps_[i];
            if (s.send) {
                link_.write(s.bytes);
                continue;
            }
            const std::optional<Bytes> got = next_frame();
            if (!got) {
                errors_.push_back("step " + std::to_string(i) + ": no packet, expected " +
                                  packet_describe(s.bytes));
                return;
            }
            if (*got != s.bytes) {
                errors_.push_back("step " + std::to_string(i) + ": got " + packet_describe(*got) +
                                  ", expected " + packet_describe(s.bytes));
            }
        }
    }

    Link& link_;
    FrameDecoder decoder_;
    std::vector<Step> steps_;
    std::vector<std::string> errors_;
    std::thread thread_;
};

class PaselDeviceTest : public ::testing::Test
{
  protected:
    std::pair<MemoryLink, MemoryLink> pair_ = make_memory_pair();
    MemoryLink& device_link_ = pair_.first;
    MemoryLink& host_link_ = pair_.second;
    ScriptHost host_{host_link_};

    // What the device sent after the script ended: its writes are done when an operation
    // returns, so nothing here is still on its way.
    std::vector<Bytes> left_over()
    {
        FrameDecoder d;
        d.feed(host_link_.read_some(4096, 0));
        std::vector<Bytes> out;
        while (auto e = d.next()) {
            out.push_back(e->bytes);
        }
        return out;
    }
};

}  // namespace

TEST_F(PaselDeviceTest, GetAcknowledgesEachBlockAndEnd)
{
    const Bytes file = pattern(300);
    host_.expect(packet_request(PKT_GET_REQUEST, 1000, 500, 1000, "a.txt"))
        .send(packet_accept(128, 500, 1000))
        .expect(packet_ack(0))
        .send(packet_data(1, slice(file, 0, 128)))
        .expect(packet_ack(2))
        .send(packet_data(2, slice(file, 128, 128)))
        .expect(packet_ack(3))
        .send(packet_data(3, slice(file, 256, 128)))
        .expect(packet_ack(4))
        .send(packet_end())
        .expect(packet_ack(0))
        .start();
    PaselDevice device(device_link_);
    const PaselResult r = device.get("a.txt", 1000, 500, 1000);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(r.block_size, 128);
    EXPECT_EQ(r.data, file);
    EXPECT_EQ(r.notes, std::vector<std::string>{});
}

TEST_F(PaselDeviceTest, GetAnswersRepeatsAgainButKeepsDataOnce)
{
    // The host resends what it thinks was lost: the ACCEPT, then block 1.
    host_.expect(packet_request(PKT_GET_REQUEST, 64, 100, 200, "f"))
        .send(packet_accept(64, 100, 200))
        .expect(packet_ack(0))
        .send(packet_accept(64, 100, 200))
        .expect(packet_ack(0))
        .send(packet_data(1, to_bytes("one")))
        .expect(packet_ack(2))
        .send(packet_data(1, to_bytes("one")))
        .expect(packet_ack(2))
        .send(packet_data(2, to_bytes("two")))
        .expect(packet_ack(3))
        .send(packet_end())
        .expect(packet_ack(0))
        .start();
    PaselDevice device(device_link_);
    const PaselResult r = device.get("f", 64, 100, 200);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(to_string(r.data), "onetwo");
    EXPECT_EQ(r.duplicates, 2);
}

TEST_F(PaselDeviceTest, GetBlockNumbersWrapAfter255)
{
    host_.expect(packet_request(PKT_GET_REQUEST, 1, 100, 100, "w"))
        .send(packet_accept(1, 100, 100));
    host_.expect(packet_ack(0));
    Bytes file;
    for (int i = 1; i <= 257; ++i) {
        const uint8_t block = uint8_t(i);
        file.push_back(uint8_t(i));
        host_.send(packet_data(block, {uint8_t(i)})).expect(packet_ack(uint8_t(block + 1)));
    }
    host_.send(packet_end()).expect(packet_ack(0)).start();
    PaselDevice device(device_link_);
    const PaselResult r = device.get("w", 1, 100, 100);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(r.data, file);
}

TEST_F(PaselDeviceTest, GetErrorIsAcknowledgedWhileTheHostWaitsForIt)
{
    host_.expect(packet_request(PKT_GET_REQUEST, 128, 100, 100, "nope"))
        .send(packet_error(ERR_FILE))
        .expect(packet_ack(0))
        .start();
    PaselDevice device(device_link_);
    const PaselResult r = device.get("nope", 128, 100, 100);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ERR_FILE);
    EXPECT_FALSE(r.timed_out);
}

TEST_F(PaselDeviceTest, GetReadFailureAfterDataLeavesTheErrorUnanswered)
{
    host_.expect(packet_request(PKT_GET_REQUEST, 128, 100, 100, "f"))
        .send(packet_accept(128, 100, 100))
        .expect(packet_ack(0))
        .send(packet_data(1, to_bytes("x")))
        .expect(packet_ack(2))
        .send(packet_error(ERR_FILE))
        .start();
    PaselDevice device(device_link_);
    const PaselResult r = device.get("f", 128, 100, 100);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_EQ(r.error, ERR_FILE);
    EXPECT_EQ(left_over().size(), 0u);
}

TEST_F(PaselDeviceTest, GetCollectsTextAndCountsBadFrames)
{
    host_.expect(packet_request(PKT_GET_REQUEST, 128, 100, 100, "t"))
        .send_raw(to_bytes("typed"))
        .send_raw({0xC0, 0x04, 0x00, 0xC0})  // a spoiled ACCEPT
        .send(packet_accept(128, 100, 100))
        .expect(packet_ack(0))
        .send_raw(to_bytes("\r\n"))
        .send(packet_end())
        .expect(packet_ack(0))
        .start();
    PaselDevice device(device_link_);
    const PaselResult r = device.get("t", 128, 100, 100);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(r.text, "typed\r\n");
    EXPECT_EQ(r.bad_frames, 1);
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(device.take_text(), "");
}

TEST_F(PaselDeviceTest, AcceptThatDoesNotEchoTheRequestIsNoted)
{
    host_.expect(packet_request(PKT_GET_REQUEST, 64, 500, 1000, "e"))
        .send(packet_accept(128, 500, 999))
        .expect(packet_ack(0))
        .send(packet_end())
        .expect(packet_ack(0))
        .start();
    PaselDevice device(device_link_);
    const PaselResult r = device.get("e", 64, 500, 1000);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(r.notes, std::vector<std::string>{"ACCEPT 128/500/999 for GET 64/500/1000 e"});
}

TEST_F(PaselDeviceTest, PutSendsBlocksOfTheAcceptedSize)
{
    const Bytes file = pattern(300);
    host_.expect(packet_request(PKT_PUT_REQUEST, 1000, 500, 1000, "up.bin"))
        .send(packet_accept(128, 500, 1000))
        .expect(packet_ack(0))
        .expect(packet_data(1, slice(file, 0, 128)))
        .send(packet_ack(2))
        .expect(packet_data(2, slice(file, 128, 128)))
        .send(packet_ack(3))
        .expect(packet_data(3, slice(file, 256, 128)))
        .send(packet_ack(4))
        .expect(packet_end())
        .send(packet_ack(0))
        .start();
    PaselDevice device(device_link_);
    const PaselResult r = device.put("up.bin", file, 1000, 500, 1000);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(r.resends, 0);
}

TEST_F(PaselDeviceTest, PutResendsABlockUntilItsAckComes)
{
    host_.expect(packet_request(PKT_PUT_REQUEST, 16, 100, 100, "r"))
        .send(packet_accept(16, 100, 100))
        .expect(packet_ack(0))
        .expect(packet_data(1, to_bytes("abc")))
        .send(packet_ack(1))  // a stale number changes nothing
        .expect(packet_data(1, to_bytes("abc")))
        .send(packet_ack(2))
        .expect(packet_end())
        .send(packet_ack(0))
        .start();
    PaselDevice device(device_link_, {.reply_timeout_ms = 100, .tries = 4});
    const PaselResult r = device.put("r", to_bytes("abc"), 16, 100, 100);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(r.resends, 1);
    EXPECT_EQ(r.notes.size(), 1u);
}

TEST_F(PaselDeviceTest, PutGivesUpAfterItsTries)
{
    host_.expect(packet_request(PKT_PUT_REQUEST, 16, 100, 100, "g"))
        .send(packet_accept(16, 100, 100))
        .expect(packet_ack(0))
        .expect(packet_data(1, to_bytes("z")))
        .expect(packet_data(1, to_bytes("z")))
        .start();
    PaselDevice device(device_link_, {.reply_timeout_ms = 50, .tries = 2});
    const PaselResult r = device.put("g", to_bytes("z"), 16, 100, 100);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.failure, "no ACK 2 for DATA 1 (1 bytes)");
    EXPECT_EQ(left_over().size(), 0u);
}

TEST_F(PaselDeviceTest, RefusedPutLeavesTheErrorUnanswered)
{
    host_.expect(packet_request(PKT_PUT_REQUEST, 128, 100, 100, "ro/x"))
        .send(packet_error(ERR_FILE))
        .start();
    PaselDevice device(device_link_);
    const PaselResult r = device.put("ro/x", to_bytes("data"), 128, 100, 100);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_EQ(r.error, ERR_FILE);
    EXPECT_EQ(left_over().size(), 0u);
}

TEST_F(PaselDeviceTest, PutErrorDuringDataIsAcknowledged)
{
    host_.expect(packet_request(PKT_PUT_REQUEST, 128, 100, 100, "full"))
        .send(packet_accept(128, 100, 100))
        .expect(packet_ack(0))
        .expect(packet_data(1, to_bytes("d")))
        .send(packet_error(ERR_FILE))
        .expect(packet_ack(0))
        .start();
    PaselDevice device(device_link_);
    const PaselResult r = device.put("full", to_bytes("d"), 128, 100, 100);
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_EQ(r.error, ERR_FILE);
}

TEST_F(PaselDeviceTest, IdleAnswersAStrayEndAndHandsBackTheRest)
{
    host_.send(packet_end()).send(packet_ack(5)).send_raw(to_bytes("hi")).expect(packet_ack(0));
    host_.start();
    PaselDevice device(device_link_);
    std::vector<Bytes> others;
    for (int i = 0; i < 50 && others.empty(); ++i) {
        others = device.idle(100);
    }
    EXPECT_EQ(host_.join(), std::vector<std::string>{});
    EXPECT_EQ(others, std::vector<Bytes>{packet_ack(5)});
    EXPECT_EQ(device.take_text(), "hi");
}

namespace
{

// A host that sends a file the way the real one does: it resends the last packet when no
// acknowledgement came within RESEND_MS, up to TRIES times, and answers a repeated request
// with its ACCEPT. Returns quietly when it gives up.
void resending_host(Link& link, const Bytes& file, uint16_t block_size)
{
    constexpr int RESEND_MS = 40;
    constexpr int TRIES = 10;
    FrameDecoder decoder;
    const auto next_packet = [&](int timeout_ms) -> std::optional<Packet> {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            while (auto e = decoder.next()) {
                if (e->kind == RX_FRAME) {
                    if (auto p = packet_parse(e->bytes)) {
                        return p;
                    }
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                return std::nullopt;
            }
            decoder.feed(link.read_some(4096, int(left)));
        }
    };
    std::optional<Packet> request;
    while (!(request = next_packet(WAIT_MS)) || request->op != PKT_GET_REQUEST) {
        if (!request) {
            return;
        }
    }
    const Bytes accept = packet_accept(block_size, 100, 100);
    // Sends packet until ACK `ack` comes; false when the device stays silent.
    const auto exchange = [&](const Bytes& packet, uint8_t ack) {
        for (int i = 0; i < TRIES; ++i) {
            link.write(frame_encode(packet));
            while (auto p = next_packet(RESEND_MS)) {
                if (p->op == PKT_ACK && p->block == ack) {
                    return true;
                }
                if (p->op == PKT_GET_REQUEST && packet == accept) {
                    break;  // the device did not see the ACCEPT: resend it now
                }
            }
        }
        return false;
    };
    if (!exchange(accept, 0)) {
        return;
    }
    uint8_t block = 1;
    for (size_t at = 0; at < file.size(); at += block_size, ++block) {
        if (!exchange(packet_data(block, slice(file, at, block_size)), uint8_t(block + 1))) {
            return;
        }
    }
    (void)exchange(packet_end(), 0);  // a lost final ACK only costs the host its resends
}

}  // namespace

TEST_F(PaselDeviceTest, GetSurvivesASpoiledLine)
{
    const Bytes file = pattern(2000);
    std::thread host([&] { resending_host(host_link_, file, 64); });
    const Impairment spoil{
        .drop = 0.15, .corrupt = 0.1, .duplicate = 0.1, .delay = 0.05, .delay_ms = 10};
    ImpairedLink line(device_link_, spoil, spoil, 1234);
    PaselDevice device(line, {.reply_timeout_ms = 300, .tries = 10});
    const PaselResult r = device.get("big", 64, 100, 100);
    host.join();
    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(r.data, file);
    const auto in = line.incoming_counts();
    const auto out = line.outgoing_counts();
    EXPECT_GT(in.dropped + out.dropped, 0);
    EXPECT_GT(in.corrupted + out.corrupted, 0);
    EXPECT_GT(r.bad_frames, 0);
    EXPECT_GT(r.duplicates, 0);
}
