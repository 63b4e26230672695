// tools/devsim/session.h: the emulator's hold on the line: noticing when the host program opens
// the port and when it closes it again, and a Link that can put bytes back, which the shell and
// the script read through. Used by tools/devsim/main.cpp; single-threaded.
#pragma once

#include <csignal>

#include "tools/devsim/link.h"
#include "tools/devsim/pty.h"

namespace devsim
{

// Watches the host's end of a Pty. The host configures the line when it opens the port (its
// settings, which the master sees, differ from the pair's initial raw ones) and then purges
// it, so whatever the device wrote before is lost: the device speaks only once the host came.
class HostWatch
{
  public:
    // Records the slave's settings as they are now, before any host opened it.
    explicit HostWatch(Pty& pty);

    // True once the host has configured the slave or sent a byte. Does not read.
    bool host_arrived() const;
    // Waits for host_arrived(), lets the host's purge at open pass, then releases the pair's own
    // slave fd. False when timeout_ms (negative: no limit) passed or stop became nonzero first.
    bool wait_for_host(int timeout_ms, const volatile std::sig_atomic_t& stop);
    // True once the host has closed the slave again; only after wait_for_host() succeeded.
    bool host_gone() const;

  private:
    Pty& pty_;
    unsigned long initial_cflag_ = 0;  // the slave's control flags before the host
    unsigned long initial_speed_ = 0;  // its output speed code before the host
};

// A Link over another whose bytes can be put back: read_some hands them out first. expect keeps
// what followed its match this way for the next command, transfers included.
class BufferedLink : public Link
{
  public:
    explicit BufferedLink(Link& inner) : inner_(inner) {}

    bool write(const Bytes& bytes) override;
    Bytes read_some(size_t max, int timeout_ms) override;
    // Puts bytes back in front of whatever is still pending.
    void unread(const Bytes& bytes);
    // Reads and throws away whatever comes within timeout_ms (0: only what is there).
    size_t drain(int timeout_ms);

  private:
    Link& inner_;
    Bytes pending_;  // put back, handed out before anything new
};

}  // namespace devsim
