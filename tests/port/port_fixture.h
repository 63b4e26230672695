// tests/port/port_fixture.h: the fixture of the port-open tests, which opens the port with the
// command line's name and rate the way start-up does: without the link lock.
#pragma once

#include "app/options.h"
#include "port/port.h"
#include "tests/support/fixture.h"

class PortOpen : public SystemTest
{
  protected:
    int open_port() REQUIRES(link_lock)
    {
        link_lock.give();
        int r = port_open(port_name, baud_rate);
        link_lock.take();
        return r;
    }
};
