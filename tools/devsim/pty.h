// tools/devsim/pty.h: a pseudo-terminal pair that stands in for the serial line.
// The host program opens the slave by name; the device side (emulator or end-to-end test)
// reads and writes the master. Used by tools/devsim/main.cpp and tests/e2e.
#pragma once

#include <string>

#include "tools/devsim/link.h"

namespace devsim
{

// Owns the master fd and one slave fd, both open for the pair's whole life unless
// release_slave() lets the slave fd go: with no slave fd open, reads of the master fail with EIO
// between two openers of the slave. The slave starts raw (no echo, no line editing, no CR/LF
// translation). Throws std::system_error when the pair cannot be made. Reads from one thread at
// a time; writes may come from another meanwhile.
class Pty : public Link
{
  public:
    Pty();
    ~Pty() override;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Path of the slave, e.g. "/dev/pts/7".
    const std::string& slave_path() const
    {
        return slave_path_;
    }
    // The port argument the host takes for the slave: the path below /dev/, e.g. "pts/7".
    std::string port_name() const;
    int master_fd() const
    {
        return master_;
    }

    // Writes all bytes; false on failure or when the host has not taken them within 10 s.
    bool write(const Bytes& bytes) override;
    bool write(const std::string& text)
    {
        return write(to_bytes(text));
    }
    // Closes the slave fd held since construction. Call it once the host has the slave open:
    // from then on the host's close leaves no slave fd open, so poll() on the master reports
    // POLLHUP and reads end empty at once (EIO). The emulator notices the host's exit this way.
    void release_slave();
    bool slave_released() const
    {
        return slave_ < 0;
    }

    // Bytes put back by read_until come first.
    Bytes read_some(size_t max, int timeout_ms) override;

    // Reads until needle has arrived and returns everything up to and including it; bytes
    // after it stay for the next read. On timeout returns all bytes read (without the needle).
    std::string read_until(const std::string& needle, int timeout_ms);
    // read_exactly as text.
    std::string read_text(size_t n, int timeout_ms)
    {
        return to_string(read_exactly(n, timeout_ms));
    }

  private:
    int master_ = -1;
    int slave_ = -1;          // held open until release_slave(), never used for I/O
    std::string slave_path_;  // "/dev/pts/N"
    Bytes pending_;           // read past a needle, handed out first
};

}  // namespace devsim
