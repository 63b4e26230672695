// tests/tools/device_dir.h: a fixture base with a fresh device directory for each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class DeviceDirTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/devsim_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        std::filesystem::remove_all(dir_);
    }

    std::string dir_;  // removed with its contents after the test
};
