// tests/output/trace_test.cpp: the names the device gives, as the trace writes them.
#include <gtest/gtest.h>

#include <string>

#include "output/trace.h"

namespace
{

TEST(TraceQuote, DevicesNameIsPrintableAndBoundedWhateverItHolds)
{
    char out[24];
    const std::string name("a\x1b[2J\"\\\x7f\xff\0z", 11);
    EXPECT_STREQ(trace_quote(name.data(), static_cast<uint32_t>(name.size()), out, sizeof out),
                 "\"a\\x1b[2J\\x22\\x5c...\"");  // cut whole, with room for the close
    char wide[64];
    EXPECT_STREQ(trace_quote(name.data(), static_cast<uint32_t>(name.size()), wide, sizeof wide),
                 "\"a\\x1b[2J\\x22\\x5c\\x7f\\xff\\x00z\"");
}

}  // namespace
