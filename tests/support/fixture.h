// tests/support/fixture.h: the fixture every unit test starts from: fake platform reset, every
// module's state set by its _init(), a fresh temporary directory as the current directory, and
// the link lock held as the callers of most procedures hold it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/fake/fake.h"

class SystemTest : public ::testing::Test
{
  protected:
    // Takes the link lock; test bodies that need it say so with link_lock.assert_held().
    void SetUp() override ACQUIRE(link_lock);
    // Gives the link lock, taken first if the test has given it.
    void TearDown() override;

    // Writes a file in the test's directory.
    static void write_file(const std::string& name, const std::string& bytes);
    // Whole contents of a file, or "<missing>".
    static std::string read_file(const std::string& name);

    std::string dir_;   // the test's temporary directory (also the current directory)
    std::string home_;  // current directory before the test
};
